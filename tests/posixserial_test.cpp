// The raw-mode frame the POSIX backend asks the driver for (a pseudo-terminal does not keep
// the parity bits, so they are checked here, on the termios that is built).
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/serial.h"
#include "platform/serial.h"
#include "platform/uniquefd.h"
#include "tests/syscallspy.h"

namespace vbc::platform {
namespace {

struct FrameCase {
    int parity, dataBits, stopBits;
    tcflag_t set, clear;
};

TEST(PosixSerialFrame, EveryParityDataAndStopBitSetting) {
    const tcflag_t all = PARENB | PARODD | CMSPAR | CSTOPB;
    for (FrameCase c : {
             FrameCase{kParityEven, 8, 1, PARENB | CS8, PARODD | CMSPAR | CSTOPB},
             FrameCase{kParityNone, 8, 1, CS8, all},
             FrameCase{1, 8, 1, PARENB | PARODD | CS8, CMSPAR | CSTOPB},
             FrameCase{3, 7, 1, PARENB | PARODD | CMSPAR | CS7, CSTOPB},
             FrameCase{4, 7, 2, PARENB | CMSPAR | CSTOPB | CS7, PARODD},
             FrameCase{kParityNone, 5, 2, CSTOPB | CS5, PARENB | PARODD | CMSPAR},
             FrameCase{kParityNone, 6, 1, CS6, all},
         }) {
        SCOPED_TRACE(testing::Message() << c.parity << " " << c.dataBits << " " << c.stopBits);
        termios t{};
        // Start from a cooked, flow-controlled terminal with odd parity and 2 stop bits.
        t.c_iflag = ICRNL | IXON | IXOFF | INPCK | ISTRIP;
        t.c_oflag = OPOST | ONLCR;
        t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
        t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
        LineSettings s;
        s.parity = c.parity;
        s.dataBits = c.dataBits;
        s.stopBits = c.stopBits;
        ASSERT_EQ(detail::MakeRaw(s, false, false, &t), 0);
        EXPECT_EQ(t.c_cflag & c.set, c.set);
        EXPECT_EQ(t.c_cflag & c.clear, 0u);
        EXPECT_EQ(t.c_cflag & CSIZE, c.set & CSIZE);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | IXANY | INPCK | ISTRIP), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
}

TEST(PosixSerialFrame, FlowControlOnRequestAndNonsenseRefused) {
    termios t{};
    LineSettings s;
    ASSERT_EQ(detail::MakeRaw(s, true, true, &t), 0);
    EXPECT_EQ(t.c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    for (auto [parity, data, stop] : {std::tuple{5, 8, 1}, {0, 9, 1}, {0, 8, 3}, {-1, 8, 1}}) {
        s.parity = parity;
        s.dataBits = data;
        s.stopBits = stop;
        EXPECT_EQ(detail::MakeRaw(s, false, false, &t), kComErrInvalidParameter);
    }
}

TEST(PosixSerialFrame, RatesOfThePhoneTableThatNeedAnArbitraryRate) {
    for (long rate : {38400L, 115200L, 9600L, 230400L}) EXPECT_TRUE(detail::IsStandardRate(rate));
    for (long rate : {162500L, 203125L, 220338L, 240740L, 260000L, 270833L, 302325L}) {
        EXPECT_FALSE(detail::IsStandardRate(rate)) << rate;
    }
}

// ---------------------------------------------------------------------------------------------
// The output queue, against a real pseudo-terminal (which takes only a few KiB itself).

// The phone's end of a pseudo-terminal; the PC's end is opened by its device path.
class Peer {
  public:
    Peer() {
        master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!master_.Valid() || ::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0)
            std::abort();
        path_ = ::ptsname(master_.Get());
    }
    ~Peer() { Close(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    void Close() { master_.Reset(); }
    // Reads until n bytes came, the other end went away, or nothing came for 10 s.
    std::vector<std::uint8_t> Read(std::size_t n) {
        std::vector<std::uint8_t> out;
        while (out.size() < n) {
            pollfd p{master_.Get(), POLLIN, 0};
            if (::poll(&p, 1, 10'000) <= 0) break;
            std::uint8_t buf[4096];
            ssize_t r = ::read(master_.Get(), buf, std::min(sizeof buf, n - out.size()));
            if (r <= 0) break;
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }
    void Write(std::uint8_t byte) { ASSERT_EQ(::write(master_.Get(), &byte, 1), 1); }
    const std::string& path() const { return path_; }

  private:
    platform::UniqueFd master_;
    std::string path_;
};

std::vector<std::uint8_t> Pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return v;
}

class PosixSerialQueue : public testing::Test {
  protected:
    // Port numbers are per process; each test runs in a process of its own.
    static constexpr int kPort = 7;
    void SetUp() override {
        ASSERT_EQ(
            OpenComConfig(kPort, peer_.path().c_str(), 115200, kParityNone, 8, 1, 65536, 65536), 0);
        ASSERT_EQ(SetComTime(kPort, 10.0), 0);
    }
    void TearDown() override { CloseCom(kPort); }
    // Calls WaitOutQEmpty in short slices, as the download's drain does, until it reports 0
    // (or a fault, or 20 s pass); returns its last result.
    static int DrainInSlices() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int left = 0;
        do {
            left = WaitOutQEmpty(kPort, 20);
        } while (left > 0 && std::chrono::steady_clock::now() < end);
        return left;
    }
    Peer peer_;
};

TEST_F(PosixSerialQueue, WholeBlockIsQueuedAtOnceAndLeavesInOrderWhileTheDrainWaits) {
    const std::vector<std::uint8_t> block = Pattern(65536);
    // Nothing reads the other end: the block is still accepted whole, and mostly queued.
    ASSERT_EQ(ComWrt(kPort, block.data(), 65536), 65536);
    const int queued = GetOutQLen(kPort);
    EXPECT_GT(queued, 0);
    EXPECT_LE(queued, 65536);
    // Short waits with nobody reading report what is left and do not fail (the terminal may
    // still take a little as its own buffers settle).
    const int left = WaitOutQEmpty(kPort, 1);
    EXPECT_GT(left, 0);
    EXPECT_LE(left, queued);

    std::vector<std::uint8_t> got;
    std::thread reader([&] { got = peer_.Read(block.size()); });
    EXPECT_EQ(DrainInSlices(), 0);
    EXPECT_EQ(GetOutQLen(kPort), 0);
    reader.join();
    EXPECT_EQ(got, block);
}

TEST_F(PosixSerialQueue, ReadWaitingForTheAnswerSendsWhatIsStillQueued) {
    const std::vector<std::uint8_t> block = Pattern(65536 + 1000);
    // Larger than the queue: accepted whole all the same, nothing dropped.
    ASSERT_EQ(ComWrt(kPort, block.data(), static_cast<int>(block.size())),
              static_cast<int>(block.size()));
    EXPECT_GT(GetOutQLen(kPort), 0);
    // The phone answers only once it has every byte.
    std::vector<std::uint8_t> got;
    std::thread phone([&] {
        got = peer_.Read(block.size());
        if (got.size() == block.size()) peer_.Write(0xA5);
    });
    EXPECT_EQ(ComRdByte(kPort), 0xA5);
    EXPECT_EQ(GetOutQLen(kPort), 0);
    phone.join();
    EXPECT_EQ(got, block);
}

TEST_F(PosixSerialQueue, AnswerPollingSendsWhatIsStillQueued) {
    const std::vector<std::uint8_t> block = Pattern(65536);
    ASSERT_EQ(ComWrt(kPort, block.data(), 40000), 40000);
    ASSERT_EQ(ComWrt(kPort, block.data() + 40000, 25536), 25536);
    std::vector<std::uint8_t> got;
    std::thread phone([&] {
        got = peer_.Read(block.size());
        if (got.size() == block.size()) peer_.Write(0x5A);
    });
    // As the download waits for an answer: input length, then a short wait, again.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int waiting = 0;
    while ((waiting = GetInQLen(kPort)) == 0 && std::chrono::steady_clock::now() < end) {
        ASSERT_GE(WaitInQ(kPort, 20), 0);
    }
    EXPECT_EQ(waiting, 1);
    EXPECT_EQ(ComRdByte(kPort), 0x5A);
    phone.join();
    EXPECT_EQ(got, block);
}

TEST_F(PosixSerialQueue, FullQueueMakesTheWriteWaitOnlyUntilTheRestFits) {
    const std::vector<std::uint8_t> block = Pattern(3 * 65536);
    std::vector<std::uint8_t> got;
    ASSERT_EQ(ComWrt(kPort, block.data(), 65536), 65536);
    std::thread reader([&] { got = peer_.Read(block.size()); });
    // The queue is full: these wait for room as the other side reads, then return.
    ASSERT_EQ(ComWrt(kPort, block.data() + 65536, 65536), 65536);
    ASSERT_EQ(ComWrt(kPort, block.data() + 2 * 65536, 65536), 65536);
    EXPECT_EQ(DrainInSlices(), 0);
    reader.join();
    EXPECT_EQ(got, block);
}

TEST_F(PosixSerialQueue, FullQueueThatNeverMovesTimesOutWithoutTakingTheBytes) {
    const std::vector<std::uint8_t> block = Pattern(65536);
    ASSERT_EQ(ComWrt(kPort, block.data(), 65536), 65536);
    const int queued = GetOutQLen(kPort);
    ASSERT_GT(queued, 0);
    ASSERT_EQ(SetComTime(kPort, 0.1), 0);
    EXPECT_EQ(ComWrt(kPort, block.data(), 65536), kComTimeout);
    EXPECT_GT(GetOutQLen(kPort), 0);
    EXPECT_LE(GetOutQLen(kPort), queued);
    // The bytes already taken still arrive, and nothing of the refused write.
    std::vector<std::uint8_t> got;
    std::thread reader([&] { got = peer_.Read(block.size() + 1); });
    EXPECT_EQ(ComWrtByte(kPort, 0xEE), 1);
    EXPECT_EQ(DrainInSlices(), 0);
    reader.join();
    std::vector<std::uint8_t> expected = block;
    expected.push_back(0xEE);
    EXPECT_EQ(got, expected);
}

TEST_F(PosixSerialQueue, FlushDropsWhatIsQueued) {
    const std::vector<std::uint8_t> block(65536, 0x11);
    ASSERT_EQ(ComWrt(kPort, block.data(), 65536), 65536);
    ASSERT_GT(GetOutQLen(kPort), 0);
    ASSERT_EQ(FlushOutQ(kPort), 0);
    EXPECT_EQ(GetOutQLen(kPort), 0);
    EXPECT_EQ(WaitOutQEmpty(kPort, 0), 0);
    ASSERT_EQ(ComWrtByte(kPort, 0x5A), 1);
    // Whatever the terminal had taken before the flush may still come; the rest never does.
    std::vector<std::uint8_t> got;
    while (got.empty() || got.back() != 0x5A) {
        std::vector<std::uint8_t> one = peer_.Read(1);
        ASSERT_EQ(one.size(), 1u);
        got.push_back(one[0]);
    }
    EXPECT_LT(got.size(), 65536u);
    EXPECT_EQ(GetOutQLen(kPort), 0);
}

TEST_F(PosixSerialQueue, ReopenAtANewRateSendsWhatIsQueuedFirst) {
    const std::vector<std::uint8_t> block = Pattern(65536);
    ASSERT_EQ(ComWrt(kPort, block.data(), 65536), 65536);
    ASSERT_GT(GetOutQLen(kPort), 0);
    std::vector<std::uint8_t> got;
    std::thread reader([&] { got = peer_.Read(block.size()); });
    ASSERT_EQ(OpenComConfig(kPort, peer_.path().c_str(), 302325, kParityNone, 8, 1, 65536, 65536),
              0);
    EXPECT_EQ(GetOutQLen(kPort), 0);
    reader.join();
    EXPECT_EQ(got, block);
}

// A pseudo-terminal has no driver queue and never makes the kernel's drain wait: the stuck
// adapter is played by the driver's queue length, and the requests are watched as they go.
TEST_F(PosixSerialQueue, RetuneDrainsWithinItsOwnBoundThenAppliesAtOnce) {
    test::SyscallSpy spy(test::DescriptorOpenOn(peer_.path()));
    spy.SetDriverQueue(100);
    ASSERT_EQ(SetComTime(kPort, 0.2), 0);
    EXPECT_EQ(OpenComConfig(kPort, peer_.path().c_str(), 302325, kParityNone, 8, 1, 65536, 65536),
              kComTimeout);
    EXPECT_EQ(ComLastSystemError(kPort), ETIMEDOUT);
    EXPECT_EQ(ComLastSystemErrorText(kPort), "Connection timed out");
    EXPECT_EQ(ComDevicePath(kPort), peer_.path());
    EXPECT_TRUE(spy.SettingsRequests().empty());  // the line keeps its rate

    spy.SetDriverQueue(0);
    EXPECT_EQ(OpenComConfig(kPort, peer_.path().c_str(), 302325, kParityNone, 8, 1, 65536, 65536),
              0);
    EXPECT_EQ(OpenComConfig(kPort, peer_.path().c_str(), 115200, kParityNone, 8, 1, 65536, 65536),
              0);
    EXPECT_EQ(spy.SettingsRequests(), (std::vector<std::string>{"at once", "at once"}));
}

// An adapter that refuses a rate, or takes it and keeps another the phone cannot follow, fails
// the reopen with the system's reason; one a little off is what UARTs put up with.
TEST_F(PosixSerialQueue, ARateTheAdapterDoesNotMakeFailsTheOpen) {
    const struct {
        long asked;
        bool refuse;
        long driverRate;  // 0: what the pseudo-terminal reports
        int result;
    } cases[] = {
        {302325, true, 0, kComErrCannotOpen},
        {302325, false, 230400, kComErrCannotOpen},
        {38400, false, 115200, kComErrCannotOpen},
        {302325, false, 302400, 0},
        {162500, false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.asked) + " read back as " + std::to_string(c.driverRate));
        test::SyscallSpy spy(test::DescriptorOpenOn(peer_.path()));
        spy.RefuseArbitraryRates(c.refuse);
        spy.SetDriverRate(c.driverRate);
        EXPECT_EQ(
            OpenComConfig(kPort, peer_.path().c_str(), c.asked, kParityNone, 8, 1, 65536, 65536),
            c.result);
        if (c.result != 0) {
            EXPECT_EQ(ComLastSystemErrorText(kPort), "Invalid argument");
        }
        EXPECT_EQ(ComDevicePath(kPort), peer_.path());  // the port stays open, to be retried
    }
}

TEST_F(PosixSerialQueue, RetuneAfterSendingWaitsForTheUartTransmitterToEmpty) {
    // A slow line first: its FIFO takes half a second, so a loaded machine never reaches the
    // wait's bound before the transmitter says it is empty.
    ASSERT_EQ(OpenComConfig(kPort, peer_.path().c_str(), 1200, kParityNone, 8, 1, 65536, 65536), 0);
    test::SyscallSpy spy(test::DescriptorOpenOn(peer_.path()));
    ASSERT_EQ(ComWrtByte(kPort, 0x5A), 1);
    ASSERT_EQ(peer_.Read(1), std::vector<std::uint8_t>{0x5A});
    spy.SetTransmitterBusy(3);
    EXPECT_EQ(OpenComConfig(kPort, peer_.path().c_str(), 302325, kParityNone, 8, 1, 65536, 65536),
              0);
    EXPECT_EQ(spy.TransmitterQueries(), 4);
    // Nothing sent since: the next retune has nothing to wait for.
    EXPECT_EQ(OpenComConfig(kPort, peer_.path().c_str(), 115200, kParityNone, 8, 1, 65536, 65536),
              0);
    EXPECT_EQ(spy.TransmitterQueries(), 4);
    EXPECT_EQ(spy.SettingsRequests(), (std::vector<std::string>{"at once", "at once"}));
}

TEST_F(PosixSerialQueue, DriverThatCallsItselfWritableButTakesNothingIsNotSpunOn) {
    const std::vector<std::uint8_t> block = Pattern(65536);
    {
        test::SyscallSpy spy(test::DescriptorOpenOn(peer_.path()));
        spy.RefuseWrites(true);
        ASSERT_EQ(ComWrt(kPort, block.data(), 65536), 65536);
        ASSERT_EQ(SetComTime(kPort, 0.2), 0);
        const long before = spy.Writes();
        // The queue is full: the write waits for room for its time-out, mostly asleep.
        EXPECT_EQ(ComWrtByte(kPort, 0xEE), kComTimeout);
        EXPECT_LT(spy.Writes() - before, 1000);
        EXPECT_EQ(ComLastSystemError(kPort), ETIMEDOUT);
    }
    // Nothing was lost meanwhile.
    std::vector<std::uint8_t> got;
    std::thread reader([&] { got = peer_.Read(block.size()); });
    EXPECT_EQ(DrainInSlices(), 0);
    reader.join();
    EXPECT_EQ(got, block);
}

TEST_F(PosixSerialQueue, CloseSendsWhatIsQueued) {
    const std::vector<std::uint8_t> block = Pattern(65536);
    ASSERT_EQ(ComWrt(kPort, block.data(), 65536), 65536);
    ASSERT_GT(GetOutQLen(kPort), 0);
    std::vector<std::uint8_t> got;
    std::thread reader([&] { got = peer_.Read(block.size()); });
    EXPECT_EQ(CloseCom(kPort), 0);
    reader.join();
    EXPECT_EQ(got, block);
}

TEST_F(PosixSerialQueue, HangUpWithOutputQueuedIsAFaultNotAWait) {
    const std::vector<std::uint8_t> block = Pattern(65536);
    ASSERT_EQ(ComWrt(kPort, block.data(), 65536), 65536);
    ASSERT_GT(GetOutQLen(kPort), 0);
    ASSERT_EQ(SetComTime(kPort, 3600.0), 0);
    peer_.Close();
    EXPECT_EQ(GetOutQLen(kPort), kComErrUnknown);
    EXPECT_EQ(WaitOutQEmpty(kPort, 3'600'000), kComErrUnknown);
    EXPECT_EQ(ComRdByte(kPort), kComErrUnknown);
    EXPECT_EQ(WaitInQ(kPort, 3'600'000), kComErrUnknown);
    EXPECT_EQ(GetInQLen(kPort), kComErrUnknown);
    EXPECT_EQ(ComWrtByte(kPort, 0x01), kComErrUnknown);
    // The close does not wait for bytes that can no longer leave.
    EXPECT_EQ(CloseCom(kPort), 0);
}

}  // namespace
}  // namespace vbc::platform
