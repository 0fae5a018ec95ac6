// Fuzzes the PC's whole side of the protocol: the Start command of the main panel (boot,
// flash identification, speed change, sector download, switch-off, result display) against a
// phone whose every answer the input decides, over the in-memory scripted line. Time-outs run
// on the line's manual clock, so a run that waits minutes of line time takes microseconds; the
// line's waits with nothing to come last to the clock's next whole second (the product's
// deadlines are whole seconds), so a ten-second answer wait is a dozen polls, not five hundred.
//
// Input: a header of six bytes (job options, the flash the phone reports, the software's
// length, how slowly the output queue drains), then one decision per answer the phone owes:
//
//   decision >> 5   what the phone does                     low bits
//   0, 1, 2         the right answer, at once
//   3               the right answer, late                  delay in half seconds (0..15.5 s)
//   4               other bytes instead                     count (0..15) of bytes that follow;
//                                                           bit 4: the right answer after them
//   5               nothing
//   6               pulls the cable (at power-on: once the PC
//                   opened the port)
//   7               the right answer with one byte changed  which byte; the next input byte is
//                                                           XORed into it
//
// Once the input is used up the phone answers right. Every run must end in a result the
// display knows, with the port released, the progress never ahead of what the phone received,
// and success only for a job whose every byte reached the phone's flash.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/context.h"
#include "data/mfl10fla.h"
#include "link/mfl11command.h"
#include "link/mfl12pclib.h"
#include "testing/scriptedserial.h"
#include "tests/flashtxt.h"
#include "toolkit/toolkit.h"
#include "ui/mfl51mmi.h"
#include "ui/mfl52display.h"
#include "ui/transferstatus.h"
#include "ui/uirids.h"

namespace {

using vbc::platform::ScriptedLine;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The chips the tool knows here; the phone reports one of them unless the input says otherwise.
const std::string kFlashTxt = vbc::test::FlashTxt({
    {.manufacturerName = "ST",
     .deviceName = "DUAL",
     .product = "x",
     .manufacturerId = "32",
     .deviceId = "202",
     .banks = "2",
     .sectorCount = "6",
     .sectors = {"0-3*256*0", "4-5*65536*1"}},
    {.manufacturerName = "AM",
     .deviceName = "SMALL",
     .product = "x",
     .manufacturerId = "1",
     .deviceId = "34",
     .sectorCount = "16",
     .sectors = {"0-15*512*0"}},
    {.manufacturerName = "MI",
     .deviceName = "EXT",
     .product = "x",
     .manufacturerId = "44",
     .deviceId = "182",
     .sectorCount = "3",
     .sectors = {"0*125*0", "1-2*4096*0"}},
    {.manufacturerName = "TO",
     .deviceName = "ONE",
     .product = "x",
     .manufacturerId = "152",
     .deviceId = "1",
     .sectorCount = "1",
     .sectors = {"0*131072*0"}},
});

struct Chip {
    std::uint8_t manufacturer, device;
    bool extension;
};
constexpr Chip kChips[4] = {
    {0x20, 0xCA, true}, {0x01, 0x22, false}, {0x2C, 0xB6, true}, {0x98, 0x01, false}};

// Room for the largest flash above; the phone keeps whatever lands past it out.
constexpr std::uint32_t kFlashRoom = 4 * 256 + 2 * 65536;

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Next() { return pos_ < size_ ? data_[pos_++] : 0; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// The phone: follows what the PC writes as the real one would, and answers as the input says.
class Phone {
  public:
    Phone(ScriptedLine& line, Input& in, const Chip& chip, std::uint32_t flashBase)
        : line_(line), in_(in), chip_(chip), base_(flashBase) {
        // The flash outlives the run (two buffers of 136 KiB a run cost more than most jobs):
        // only what the last job wrote is erased.
        std::memset(gFlash, 0xFF, gTouched);
        gTouched = 0;
        line_.OnPcBytes(
            [this](ScriptedLine&, std::span<const std::uint8_t> bytes) { Take(bytes); });
        line_.OnDtr([this](ScriptedLine&, bool) { PcActs(); });
        reached_.reserve(32);
    }

    // The boot loader announces itself once the PC has the port open.
    void PowerOn() { Answer({0xBE}, 20); }

    bool switchOffSeen = false;
    const std::uint8_t* Flash() const { return gFlash; }
    // Bytes of [0, length) of the flash that some sector data reached.
    std::uint64_t Received(std::uint32_t length) const {
        std::uint64_t n = 0;
        for (const auto& [from, to] : reached_) {
            if (from < length) n += std::min(to, length) - from;
        }
        return n;
    }

  private:
    enum class State {
        kBootLoader,  // until the PC's 0x44
        kFrames,      // configuration and boot-loader frames, up to the jump
        kCommands,
        kParameters,  // collecting need_ bytes for the command in op_
        kData,        // a sector's data
        kLost,        // the line is gone
    };

    // The PC's first write or DTR change: the port is open.
    void PcActs() {
        if (dropOnOpen_) {
            dropOnOpen_ = false;
            line_.Drop();
        }
    }

    // The boot is taken byte by byte; after it the PC's writes mark the frames: an opcode is
    // written on its own, parameters and data in writes of their own, so a phone that lost
    // track (after a garbled answer, say) finds the next command again.
    void Take(std::span<const std::uint8_t> bytes) {
        PcActs();
        switch (state_) {
            case State::kBootLoader:
            case State::kFrames:
                for (std::uint8_t b : bytes) {
                    if (state_ == State::kBootLoader && b == 0x44) {
                        state_ = State::kFrames;
                    } else if (state_ == State::kFrames) {
                        Frame(b);
                    }
                }
                break;
            case State::kData:
                Data(bytes);
                break;
            case State::kCommands:
            case State::kParameters:
                if (bytes.size() == 1) {
                    Command(bytes[0]);
                } else if (state_ == State::kParameters) {
                    for (std::uint8_t b : bytes) {
                        if (state_ != State::kParameters) break;
                        params_[have_++] = b;
                        if (have_ == need_) Parameters();
                    }
                }
                break;
            case State::kLost:
                break;
        }
    }

    // Boot-loader frames: set-address 00 03 + 4, block 4x/5x + length, jump 60 00; before the
    // first of them the configuration (the eight fixed bytes, or four wait-state pairs).
    void Frame(std::uint8_t b) {
        if (skip_ > 0) {
            --skip_;
            if (blockHeader_) {
                blockHeader_ = false;
                skip_ = (((blockFirst_ & 0x1F) << 8) | b) + 1u;
            }
            return;
        }
        if (jumpHalf_) {
            jumpHalf_ = false;
            if (b == 0x00) Jumped();
            return;
        }
        if (b == 0x86) {
            skip_ = 7;
        } else if (b == 0xC6 || b == 0x96 || b == 0xC7 || b == 0xD7) {
            skip_ = 1;
        } else if (b == 0x00) {
            skip_ = 5;
        } else if (b >= 0x40 && b <= 0x5F) {
            blockFirst_ = b;
            blockHeader_ = true;
            skip_ = 1;
        } else if (b == 0x60) {
            jumpHalf_ = true;
        }
    }

    void Jumped() {
        state_ = State::kCommands;
        Answer({0x44, 0xA0, 0x02, 0x05});
        if (chip_.extension) {
            Answer({0xC2, chip_.manufacturer, chip_.device, 0x03});
        } else {
            Answer({0xC2, chip_.manufacturer, chip_.device});
        }
    }

    void Command(std::uint8_t op) {
        op_ = op;
        have_ = 0;
        state_ = State::kCommands;
        switch (op) {
            case 0xE0:
                Answer({0xC0});
                Expect(5);
                break;
            case 0xE9:
                Answer({0xCA});
                break;
            case 0xEB:
                Answer({0xC0, 0xC9});
                break;
            case 0xEF:
                Answer({0xC0, 0xCF, 0x00});
                break;
            case 0xE8:
                switchOffSeen = true;
                state_ = State::kCommands;
                Answer({0xC0});
                break;
            case 0xEA:
                Expect(12);
                break;
            default:
                break;  // not a command: ignored
        }
    }

    void Expect(std::size_t n) {
        need_ = n;
        state_ = State::kParameters;
    }

    static std::uint32_t BigEndian(const std::uint8_t* p) {
        return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
               static_cast<std::uint32_t>(p[2]) << 8 | p[3];
    }

    void Parameters() {
        state_ = State::kCommands;
        if (op_ == 0xE0) {
            const unsigned sum = (params_[0] + params_[1] + params_[2]) & 0xFFFF;
            const bool good = sum == ((static_cast<unsigned>(params_[3]) << 8) | params_[4]);
            Answer({0xC3, static_cast<std::uint8_t>(good ? 0x00 : 0x01)});
        } else if (op_ == 0xEA) {
            address_ = BigEndian(&params_[4]);
            length_ = BigEndian(&params_[8]);
            got_ = 0;
            sum_ = 0;
            Answer({0xCB});
            if (length_ > 0) {
                state_ = State::kData;
            } else {
                Checksum();
            }
        }
    }

    void Data(std::span<const std::uint8_t> bytes) {
        const std::uint32_t n = std::min<std::uint32_t>(length_ - got_, bytes.size());
        const std::uint64_t at = static_cast<std::uint64_t>(address_) + got_;
        if (at >= base_ && at - base_ < kFlashRoom) {
            const std::uint64_t offset = at - base_;
            const std::uint32_t room =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(n, kFlashRoom - offset));
            std::memcpy(&gFlash[offset], bytes.data(), room);
            Reached(static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(offset) + room);
        }
        sum_ += Sum(bytes.first(n));
        got_ += n;
        if (got_ == length_) {
            state_ = State::kCommands;
            Checksum();
        }
    }

    // The bytes of a sector's data added up, eight at a time (pairs into 16-bit lanes, the
    // lanes by one multiplication) and outside the sanitizers: a large image's sector is
    // 64 KiB, and a checked add per byte cost more than the rest of the run.
    __attribute__((no_sanitize("address", "undefined"))) static std::uint32_t Sum(
        std::span<const std::uint8_t> bytes) {
        constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
        const std::uint8_t* p = bytes.data();
        const std::size_t n = bytes.size();
        std::uint32_t sum = 0;
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            const std::uint64_t lanes = (word & kLowBytes) + ((word >> 8) & kLowBytes);
            sum += static_cast<std::uint32_t>((lanes * 0x0001000100010001ull) >> 48);
        }
        for (; i < n; ++i) sum += p[i];
        return sum;
    }

    // Adds [from, to) to the disjoint, sorted ranges the sector data reached (merged in
    // place: the storage is reserved once).
    void Reached(std::uint32_t from, std::uint32_t to) {
        gTouched = std::max(gTouched, to);
        std::size_t kept = 0;
        for (const auto& r : reached_) {
            if (r.second < from || r.first > to) {
                reached_[kept++] = r;
            } else {
                from = std::min(from, r.first);
                to = std::max(to, r.second);
            }
        }
        reached_.resize(kept);
        reached_.emplace_back(from, to);
        std::sort(reached_.begin(), reached_.end());
    }

    void Checksum() {
        Answer({0xCC, static_cast<std::uint8_t>(sum_), static_cast<std::uint8_t>(sum_ >> 8),
                static_cast<std::uint8_t>(sum_ >> 16), static_cast<std::uint8_t>(sum_ >> 24)});
    }

    // What the phone says where it owes an answer: the right one, or what the input makes of it.
    // Answers are at most five bytes, noise at most fifteen: both live on the stack.
    void Answer(std::initializer_list<std::uint8_t> answer, int delayMs = 0) {
        if (state_ == State::kLost) return;
        std::uint8_t bytes[8];
        std::copy(answer.begin(), answer.end(), bytes);
        const std::span<std::uint8_t> right(bytes, answer.size());
        const std::uint8_t d = in_.Next();
        const int low = d & 0x1F;
        switch (d >> 5) {
            case 3:
                delayMs += low * 500;
                break;
            case 4: {
                std::uint8_t other[15];
                const int count = low & 0x0F;
                for (int i = 0; i < count; ++i) other[i] = in_.Next();
                line_.SendAfter(delayMs, std::span<const std::uint8_t>(other, count));
                if ((low & 0x10) == 0) return;
                break;
            }
            case 5:
                return;
            case 6:
                state_ = State::kLost;
                // A cable pulled before the PC opened the port waits for that open: the job
                // would otherwise test this machine's port list (which explains a failed
                // first open), not the protocol.
                if (line_.IsOpen()) {
                    line_.Drop();
                } else {
                    dropOnOpen_ = true;
                }
                return;
            case 7:
                right[static_cast<std::size_t>(low) % right.size()] ^= in_.Next();
                break;
            default:
                break;
        }
        line_.SendAfter(delayMs, right);
    }

    ScriptedLine& line_;
    Input& in_;
    Chip chip_;
    std::uint32_t base_;
    State state_ = State::kBootLoader;
    bool dropOnOpen_ = false;
    std::uint32_t skip_ = 0;
    bool blockHeader_ = false;
    std::uint8_t blockFirst_ = 0;
    bool jumpHalf_ = false;
    std::uint8_t op_ = 0;
    std::uint8_t params_[12] = {};
    std::size_t have_ = 0, need_ = 0;
    std::uint32_t address_ = 0, length_ = 0, got_ = 0, sum_ = 0;

    std::vector<std::pair<std::uint32_t, std::uint32_t>> reached_;  // by sector data

    static std::uint8_t gFlash[kFlashRoom];
    static std::uint32_t gTouched;  // the end of what the last job wrote
};
std::uint8_t Phone::gFlash[kFlashRoom];
std::uint32_t Phone::gTouched = kFlashRoom;

// The operator interface, kept as light as the fuzzer needs it (a waiting job pumps events
// hundreds of times a second of line time): panels are handles, and only the values set into
// controls are remembered, for the progress indicators.
class FuzzToolkit : public vbc::platform::Toolkit {
  public:
    int Value(int panel, int control) const {
        for (std::size_t i = 0; i < count_; ++i) {
            if (values_[i].panel == panel && values_[i].control == control) return values_[i].value;
        }
        return 0;
    }

    using Toolkit::SetCtrlVal;
    int LoadPanel(int, const std::string&, int) override { return ++handles_; }
    int LoadMenuBar(int, const std::string&, int) override { return ++handles_; }
    int SetCtrlVal(int panel, int control, int value) override {
        for (std::size_t i = 0; i < count_; ++i) {
            if (values_[i].panel == panel && values_[i].control == control) {
                values_[i].value = value;
                return 0;
            }
        }
        Check(count_ < std::size(values_), "more controls set than the fuzz toolkit keeps");
        values_[count_++] = {panel, control, value};
        return 0;
    }
    int GetCtrlVal(int panel, int control, int* value) override {
        *value = Value(panel, control);
        return 0;
    }

  private:
    int handles_ = 0;
    // A handful of controls get values: a table on the stack, not a map's nodes.
    struct Entry {
        int panel, control, value;
    };
    Entry values_[32];
    std::size_t count_ = 0;
};

bool KnownResult(const vbc::DownloadResult& r) {
    const std::int32_t c = r.code;
    switch (r.category) {
        case 0:
            return c == 0;
        case 1:
            return c == 0;
        case 2:
            return c == 15 || c == 18 || c == 19 || c == 20;
        case 5:
            return c == 3 || c == 4 || c < 0;
        case 6:
            return c == 4 || c == 7 || c == 8 || c == 9 || c == 11 || c == 12 || c == 13 ||
                   c == 15 || ((c & 0xFFFF0000) == 0x000A0000 && (c & 0xFF) == 0x9D);
        case 8:
            return c == 2 || c == 7 || c == 8 || c == 9 || c == 10 || c == 20 || c == 21;
        case 9:
        case 13:
            return c == 0;
        case 10:
            return c >= 0 && c <= 0xFF;
        case 11:
            return c >= 0 && c <= 0xFF && c != 0xCC && c != 0xCD;
        case 12:
            return c == 0xCC;
        default:
            return false;
    }
}

// The software the phone is sent: a window, chosen by a header byte, of a pattern made once
// (a large image is 72 KiB, and making it byte by byte cost more than the rest of its run).
constexpr std::uint32_t kLongestImage = 65536 + 7 * 1024 + 255;
std::uint8_t gPattern[kLongestImage + 256];

void FillImage(std::uint8_t* image, std::uint32_t length, std::uint8_t offset) {
    std::memcpy(image, gPattern + offset, length);
}

// The serial provider of every run, installed once: it hands each open to the run's line.
// A line that installs itself clears the whole port table twice a run.
class RunLine : public vbc::platform::SerialProvider {
  public:
    ScriptedLine* line = nullptr;
    std::unique_ptr<vbc::platform::SerialDevice> Open(int port, const std::string& deviceName,
                                                      const vbc::platform::LineSettings& settings,
                                                      int* error) override {
        return line->Open(port, deviceName, settings, error);
    }
};
RunLine gRunLine;

// The boot reads the bootstrap files from the working directory: each run works in a
// directory of its own that holds them, and goes back to where libFuzzer keeps its corpus.
int gJobDir = -1;
int gHomeDir = -1;
// VBC_FUZZ_VERBOSE=1 tells how each run ended, for replaying a finding.
bool gVerbose = false;

struct InJobDirectory {
    InJobDirectory() { Check(::fchdir(gJobDir) == 0, "job directory"); }
    ~InJobDirectory() { Check(::fchdir(gHomeDir) == 0, "working directory"); }
};

constexpr const char* kBootstraps[] = {"mfl104_4.spm", "mfl104_5.spm"};
char gJobPath[] = "/tmp/vbcfuzz.XXXXXX";

void RemoveJobDirectory() {
    for (const char* name : kBootstraps) ::unlink((std::string(gJobPath) + "/" + name).c_str());
    ::rmdir(gJobPath);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (gJobDir >= 0) return 0;
    gVerbose = std::getenv("VBC_FUZZ_VERBOSE") != nullptr;
    const char* dir = ::mkdtemp(gJobPath);
    if (!dir) std::abort();
    std::atexit(RemoveJobDirectory);
    gHomeDir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    gJobDir = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (gHomeDir < 0 || gJobDir < 0) std::abort();
    for (const char* name : kBootstraps) {
        const std::string path = std::string(dir) + "/" + name;
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) std::abort();
        for (int i = 0; i < 16; ++i) std::fputc((i * 7 + name[7]) & 0xFF, f);
        std::fclose(f);
    }
    for (std::uint32_t i = 0; i < sizeof gPattern; ++i)
        gPattern[i] = static_cast<std::uint8_t>((i * 131) ^ (i >> 8));
    const auto* text = reinterpret_cast<const std::uint8_t*>(kFlashTxt.data());
    if (vbc::ParseFlashDescription(&vbc::_vg_FlashDescritpion, text,
                                   static_cast<std::uint32_t>(kFlashTxt.size())) != 1)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vbc;
    if (size > 4096) return -1;
    InJobDirectory here;
    Input in(data, size);

    // The job.
    const std::uint8_t h0 = in.Next(), h1 = in.Next(), h2 = in.Next(), h3 = in.Next(),
                       h4 = in.Next(), h5 = in.Next();
    ResetDownloadContext();
    DownloadContext& c = _sg_DownloadContext;
    static constexpr std::int32_t kProductTypes[4] = {2, 1, 0, 3};
    c.productType = kProductTypes[h0 & 3];
    c.pmuOption = (h0 >> 2) & 3;
    c.downloadType = ((h0 >> 4) & 7) == 7 ? 1 : 0;
    c.speedIndex = h1 < 200 ? 1 : h1 % 13;
    for (int i = 0; i < 4; ++i) c.csWaitStates[i] = static_cast<std::uint8_t>((h1 >> i) % 5);
    const Chip& chip = kChips[h2 & 3];
    // Mostly short software over small sectors: a few sectors of a few hundred bytes take the
    // same paths as large ones, and every byte costs (the checksums, the phone's copy). One run
    // in 256 sends software that needs a sector of 64 KiB, sent as a whole block, a drain and a
    // rest (each of its bytes costs as much as a whole short run).
    const bool large = h3 >= 0xF0 && (h4 & 15) == 0;
    const std::uint32_t length = large ? 65536u + (h3 & 7u) * 1024u + h4 : (h3 * 17u + h4) / 8;
    std::strcpy(c.claFileName, "fuzz.cla");
    c.fileBuffer = static_cast<std::uint8_t*>(std::malloc(length + 1));
    Check(c.fileBuffer != nullptr, "image buffer");
    FillImage(c.fileBuffer, length, h4);
    c.fileSize = static_cast<std::int32_t>(length);
    _mv_ResultDownload = {};

    // The operator interface: the main panel as after start-up.
    FuzzToolkit toolkit;
    platform::SetToolkit(&toolkit);
    ForgetMessagePanels();
    ClearLastDisplayedResult();
    _v_Panel = LoadPanel(0, kMmiUir, PANEL_MAIN);
    DisplayPanel(_v_Panel);
    _v_MenuBarHandle = LoadMenuBar(_v_Panel, kMmiUir, MENUBAR_MAIN);
    _mv_NbCommentLine = 0;
    // Whatever a run leaves in the modules' state is freed in the run that replaces it, so that
    // libFuzzer sees as many frees as allocations and does not run a leak check after each
    // input: the comment lines (cleared at the end too), the transfer figures.
    ForgetCommentLines();
    BeginTransferStatus(0, 0);

    // The line and the phone.
    ScriptedLine line(false);
    line.SetRecording(false);
    line.SetCoarseIdleWaits(true);
    // Like a real port, the line names its device: a failed reopen then tells it, and no
    // first-open explanation (a scan of this machine's ports) is made for it.
    line.SetDevicePath("/dev/ttyFUZZ");
    if (&platform::CurrentSerialProvider() != &gRunLine) platform::SetSerialProvider(&gRunLine);
    gRunLine.line = &line;
    platform::SetClock(&line.Clock());
    if (h5 != 0) line.SetOutQueueReadings(std::vector<int>(h5 * 4u, 4096));
    const std::uint32_t base = c.productType == 1 ? 0x200000 : 0x800000;
    Phone phone(line, in, chip, base);
    phone.PowerOn();
    const std::int64_t startMs = line.Clock().NowMs();

    _mfl51_50MMIStart(_v_Panel, MAIN_START, EVENT_COMMIT, nullptr, 0, 0);

    // A defined end.
    DownloadResult r{-1, -1};
    Check(LastDisplayedResult(&r), "no result shown");
    Check(KnownResult(r), "result outside the defined ones");
    Check(!line.IsOpen(), "port left open");
    Check(line.Clock().NowMs() - startMs < 24LL * 3600 * 1000, "a day of line time");

    // Nothing presented as done that was not.
    const int progress = toolkit.Value(_v_Panel, MAIN_PROGRESS_A);
    const std::uint64_t received = phone.Received(length);
    if (gVerbose) {
        std::fprintf(stderr,
                     "product %d, speed row %d, %u bytes: result (%d, 0x%x), progress %d %%, "
                     "%llu bytes received, switch-off %s, %lld ms of line time\n",
                     c.productType, c.speedIndex, length, r.category, r.code, progress,
                     static_cast<unsigned long long>(received), phone.switchOffSeen ? "yes" : "no",
                     static_cast<long long>(line.Clock().NowMs() - startMs));
    }
    Check(progress >= 0 && progress <= 100, "progress out of range");
    Check(static_cast<std::uint64_t>(progress) * length <= received * 100,
          "progress ahead of the data the phone received");
    if (r.category == 0) {
        Check(c.downloadType == 0 && (c.productType == 1 || c.productType == 2),
              "success without a download");
        Check(phone.switchOffSeen, "success without the switch-off");
        Check(length <= kFlashRoom && received == length, "success with bytes never sent");
        Check(std::memcmp(phone.Flash(), c.fileBuffer, length) == 0,
              "success with the flash not holding the software");
        Check(length == 0 || progress == 100, "success short of 100 %");
    }
    if (phone.switchOffSeen) {
        Check(r.category == 0 || (r.category == 8 && r.code == 20),
              "phone switched off after a failure");
    }
    ResetDownloadContext();
    ForgetCommentLines();
    BeginTransferStatus(0, 0);
    platform::SetToolkit(nullptr);
    platform::SetClock(nullptr);
    gRunLine.line = nullptr;
    return 0;
}
