#include "sim/ptyhost.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace vbc::sim {
namespace {

constexpr std::int64_t kMs = 1000000;  // nanoseconds
constexpr std::size_t kReadChunk = 4096;
// Paced transfers wake at most this often: the last byte of a burst is at most this late.
constexpr std::int64_t kMinPaceWait = 1 * kMs;
// Longest wait for the PC to read what was sent before a drop.
constexpr std::int64_t kDropDrainLimit = 5000 * kMs;

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

PtyLine::PtyLine(int stopFd, bool pace) : stopFd_(stopFd), pace_(pace) {}

PtyLine::~PtyLine() {
    Close();
}

PtyLine::Ns PtyLine::Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool PtyLine::Open(std::string* error) {
    Close();
    master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_.Valid()) {
        if (error) *error = Errno("cannot open a pseudo-terminal");
        return false;
    }
    char name[128];
    if (::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0 ||
        ::ptsname_r(master_.Get(), name, sizeof name) != 0) {
        if (error) *error = Errno("cannot set up the pseudo-terminal");
        Close();
        return false;
    }
    slavePath_ = name;
    ownSlave_.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!ownSlave_.Valid()) {
        if (error) *error = Errno("cannot open " + slavePath_);
        Close();
        return false;
    }
    // Raw bytes both ways until the PC sets the line up its own way.
    struct termios t {};
    if (::tcgetattr(ownSlave_.Get(), &t) == 0) {
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        ::cfsetispeed(&t, B38400);
        ::cfsetospeed(&t, B38400);
        ::tcsetattr(ownSlave_.Get(), TCSANOW, &t);
    }
    ::fcntl(master_.Get(), F_SETFL, ::fcntl(master_.Get(), F_GETFL) | O_NONBLOCK);
    // Our own open came first, so every event counts a PC's open or close.
    inotify_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (inotify_.Valid() && ::inotify_add_watch(inotify_.Get(), name,
                                                IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        inotify_.Reset();
    }
    peers_ = 0;
    closedSinceRead_ = false;
    dropped_ = false;
    bitsPerByte_ = 11;
    rx_.clear();
    rxPos_ = 0;
    start_ = Now();
    rxLineFree_ = txLineFree_ = start_;
    rxIdle_ = true;
    return true;
}

void PtyLine::Close() {
    inotify_.Reset();
    ownSlave_.Reset();
    master_.Reset();
}

bool PtyLine::Stopped() const {
    struct pollfd p {
        stopFd_, POLLIN, 0
    };
    return stopFd_ >= 0 && ::poll(&p, 1, 0) > 0;
}

void PtyLine::ProcessPeerEvents() {
    if (!inotify_.Valid()) return;
    alignas(struct inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = ::read(inotify_.Get(), buf, sizeof buf);
        if (n <= 0) return;
        for (char* p = buf; p < buf + n;) {
            const auto* e = reinterpret_cast<const struct inotify_event*>(p);
            if (e->mask & IN_OPEN) ++peers_;
            if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                peers_ = std::max(0, peers_ - 1);
                if (peers_ == 0) closedSinceRead_ = true;
            }
            p += sizeof(struct inotify_event) + e->len;
        }
    }
}

bool PtyLine::PeerPresent() {
    if (!master_.Valid()) return false;
    ProcessPeerEvents();
    return !inotify_.Valid() || peers_ > 0;
}

long PtyLine::PcLineRate() {
    if (!master_.Valid()) return 0;
    const long rate = TerminalRate(master_.Get());
    return rate > 0 ? rate : 0;
}

PtyLine::Ns PtyLine::ByteTime() {
    long rate = PcLineRate();
    if (rate <= 0) rate = 38400;
    return static_cast<Ns>(bitsPerByte_) * 1000000000LL / rate;
}

double PtyLine::NowMs() {
    return static_cast<double>(Now() - start_) / 1e6;
}

bool PtyLine::WaitFor(Ns deadline, bool watchInput, bool watchOutput) {
    struct pollfd fds[3];
    nfds_t n = 0;
    if (stopFd_ >= 0) fds[n++] = {stopFd_, POLLIN, 0};
    if (inotify_.Valid()) fds[n++] = {inotify_.Get(), POLLIN, 0};
    const nfds_t masterAt = n;
    const short events =
        static_cast<short>((watchInput ? POLLIN : 0) | (watchOutput ? POLLOUT : 0));
    if (events) fds[n++] = {master_.Get(), events, 0};
    const Ns left = std::max<Ns>(0, deadline - Now());
    struct timespec ts {
        static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)
    };
    if (::ppoll(fds, n, &ts, nullptr) <= 0) return false;
    return events && (fds[masterAt].revents & POLLIN);
}

int PtyLine::Read(int timeoutMs) {
    if (rxPos_ < rx_.size()) return rx_[rxPos_++];
    if (dropped_ || !master_.Valid()) return kReadStopped;
    const Ns deadline = Now() + static_cast<Ns>(timeoutMs) * kMs;
    std::uint8_t buf[kReadChunk];
    for (;;) {
        ProcessPeerEvents();
        if (Stopped()) return kReadStopped;
        Ns now = Now();
        std::size_t want = sizeof buf;
        Ns bt = 0;
        if (pace_) {
            bt = ByteTime();
            if (rxIdle_) {
                struct pollfd p {
                    master_.Get(), POLLIN, 0
                };
                if (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
                    // The line was quiet: the first byte started on it no earlier than now.
                    rxIdle_ = false;
                    rxLineFree_ = std::max(rxLineFree_, now);
                }
            }
            if (!rxIdle_) {
                const Ns arrived = (now - rxLineFree_) / bt;
                if (arrived <= 0) {
                    const Ns next = std::max(rxLineFree_ + bt, now + kMinPaceWait);
                    if (next > deadline) {
                        WaitFor(deadline, false);
                        return kReadTimeout;
                    }
                    WaitFor(next, false);
                    continue;
                }
                want = static_cast<std::size_t>(std::min<Ns>(arrived, sizeof buf));
            }
        }
        if (!pace_ || !rxIdle_) {
            const ssize_t n = ::read(master_.Get(), buf, want);
            if (n > 0) {
                if (pace_) rxLineFree_ += n * bt;
                rx_.assign(buf, buf + n);
                rxPos_ = 1;
                return rx_[0];
            }
            // With our own descriptor on the slave the master only fails if the line is gone.
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) return kReadStopped;
            rxIdle_ = true;
        }
        if (closedSinceRead_) {
            closedSinceRead_ = false;
            // A close followed at once by a reopen is the same PC setting the port up again.
            if (peers_ == 0) return kReadHangup;
        }
        now = Now();
        if (now >= deadline) return kReadTimeout;
        if (WaitFor(deadline, true) && pace_) {
            rxIdle_ = false;
            rxLineFree_ = std::max(rxLineFree_, Now());
        }
    }
}

void PtyLine::Write(const std::uint8_t* data, std::size_t count) {
    if (dropped_ || !master_.Valid()) return;
    if (pace_) {
        txLineFree_ = std::max(txLineFree_, Now());
        // Nothing waiting from the PC as the phone answers: whatever it sends next starts on
        // the line no earlier than when it is seen.
        struct pollfd p {
            master_.Get(), POLLIN, 0
        };
        if (::poll(&p, 1, 0) == 0) rxIdle_ = true;
    }
    std::size_t i = 0;
    while (i < count) {
        ProcessPeerEvents();
        if (Stopped()) return;
        // Nobody listens any more: the rest is lost, the next read reports the close.
        if (inotify_.Valid() && peers_ == 0) return;
        const Ns now = Now();
        std::size_t n = count - i;
        Ns bt = 0;
        if (pace_) {
            bt = ByteTime();
            if (rxIdle_) {
                // Note when the PC starts talking while the phone is still sending.
                struct pollfd p {
                    master_.Get(), POLLIN, 0
                };
                if (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
                    rxIdle_ = false;
                    rxLineFree_ = std::max(rxLineFree_, now);
                }
            }
            // A byte reaches the PC once its last bit has gone down the line.
            const Ns gone = (now - txLineFree_) / bt;
            if (gone <= 0) {
                WaitFor(std::max(txLineFree_ + bt, now + kMinPaceWait), false);
                continue;
            }
            n = std::min<std::size_t>(n, static_cast<std::size_t>(gone));
        }
        const ssize_t w = ::write(master_.Get(), data + i, n);
        if (w > 0) {
            i += static_cast<std::size_t>(w);
            if (pace_) txLineFree_ += w * bt;
            continue;
        }
        if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            WaitFor(now + 50 * kMs, false, true);
            continue;
        }
        return;  // the line is gone
    }
}

bool PtyLine::PcHasReadAll() {
    // poll() on the slave first moves what the master wrote into the slave's input queue (the
    // kernel hands written bytes on asynchronously), so the count that follows is complete.
    struct pollfd p {
        ownSlave_.Get(), POLLIN, 0
    };
    const int ready = ::poll(&p, 1, 0);
    int unread = 0;
    if (::ioctl(ownSlave_.Get(), FIONREAD, &unread) != 0) return true;  // cannot tell: do not wait
    return unread == 0 && !(ready > 0 && (p.revents & POLLIN));
}

void PtyLine::Drop() {
    // Hanging up discards what the PC has not read yet, so a drop would land earlier than the
    // stage it was made at. Wait, with a bound, until the PC has taken everything sent.
    if (master_.Valid() && ownSlave_.Valid()) {
        const Ns deadline = Now() + kDropDrainLimit;
        for (;;) {
            ProcessPeerEvents();
            if (PcHasReadAll() || Stopped() || (inotify_.Valid() && peers_ == 0)) break;
            if (Now() >= deadline) break;
            WaitFor(std::min(deadline, Now() + kMinPaceWait), false);
        }
    }
    Close();
    dropped_ = true;
}

bool MakeLink(const std::string& link, const std::string& target, std::string* error) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        if (error) *error = link + " exists and is not a symbolic link: not replaced";
        return false;
    }
    // Made aside and renamed over, so the name never points nowhere.
    const std::string tmp = link + ".vbcsim-new";
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0) {
        if (error) *error = Errno("cannot create the link " + link);
        return false;
    }
    if (::rename(tmp.c_str(), link.c_str()) != 0) {
        if (error) *error = Errno("cannot create the link " + link);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void RemoveLink(const std::string& link, const std::string& target) {
    char buf[4096];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0) return;
    buf[n] = '\0';
    if (target == buf) ::unlink(link.c_str());
}

}  // namespace vbc::sim
