// The interposed calls behind SyscallSpy. The kernel's termios header gives the request
// numbers; the C library's <termios.h> is kept out (the two cannot share a file).
#include "tests/syscallspy.h"

#include <asm/termbits.h>
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <filesystem>
#include <mutex>

namespace {

std::atomic<int> gFd{-1};
std::atomic<int> gDriverQueue{0};
std::atomic<bool> gRefuseWrites{false};
std::atomic<long> gWrites{0};
std::atomic<int> gTransmitterBusy{-1};  // -1: the driver answers
std::atomic<int> gTransmitterQueries{0};
std::atomic<long> gDriverRate{0};
std::atomic<bool> gRefuseArbitraryRates{false};
std::mutex gMutex;
std::vector<std::string> gRequests;

void Record(const char* how) {
    std::lock_guard lock(gMutex);
    gRequests.emplace_back(how);
}

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    static const auto next = Next<int (*)(int, unsigned long, ...)>("ioctl");
    if (fd >= 0 && fd == gFd.load()) {
        if (request == TIOCOUTQ && gDriverQueue.load() > 0) {
            *static_cast<int*>(arg) = gDriverQueue.load();
            return 0;
        }
        if (request == TIOCSERGETLSR) {
            ++gTransmitterQueries;
            const int busy = gTransmitterBusy.load();
            if (busy >= 0) {
                if (busy > 0) --gTransmitterBusy;
                *static_cast<unsigned int*>(arg) = busy > 0 ? 0 : TIOCSER_TEMT;
                return 0;
            }
        }
        if (request == TCSETS || request == TCSETS2) Record("at once");
        if (request == TCSETS2 && gRefuseArbitraryRates.load()) {
            errno = EINVAL;
            return -1;
        }
        if (request == TCGETS2 && gDriverRate.load() > 0) {
            const int r = next(fd, request, arg);
            if (r == 0)
                static_cast<struct termios2*>(arg)->c_ospeed =
                    static_cast<speed_t>(gDriverRate.load());
            return r;
        }
        if (request == TCSETSW || request == TCSETSW2) Record("after drain");
        if (request == TCSETSF || request == TCSETSF2) Record("after flush");
    }
    return next(fd, request, arg);
}

// The C library's tcsetattr reaches the kernel without its own ioctl: it is watched apart.
extern "C" int tcsetattr(int fd, int when, const struct termios* t) noexcept {
    static const auto next = Next<int (*)(int, int, const struct termios*)>("tcsetattr");
    if (fd >= 0 && fd == gFd.load()) {
        Record(when == TCSANOW ? "at once" : when == TCSADRAIN ? "after drain" : "after flush");
    }
    return next(fd, when, t);
}

extern "C" ssize_t write(int fd, const void* data, size_t count) {
    static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
    if (fd >= 0 && fd == gFd.load()) {
        ++gWrites;
        if (gRefuseWrites.load()) {
            errno = EAGAIN;
            return -1;
        }
    }
    return next(fd, data, count);
}

namespace vbc::test {

SyscallSpy::SyscallSpy(int fd) {
    {
        std::lock_guard lock(gMutex);
        gRequests.clear();
    }
    gDriverQueue = 0;
    gRefuseWrites = false;
    gWrites = 0;
    gTransmitterBusy = -1;
    gTransmitterQueries = 0;
    gDriverRate = 0;
    gRefuseArbitraryRates = false;
    gFd = fd;
}

SyscallSpy::~SyscallSpy() {
    gFd = -1;
    gDriverQueue = 0;
    gRefuseWrites = false;
    gTransmitterBusy = -1;
    gDriverRate = 0;
    gRefuseArbitraryRates = false;
}

void SyscallSpy::SetDriverRate(long rate) {
    gDriverRate = rate;
}

void SyscallSpy::RefuseArbitraryRates(bool on) {
    gRefuseArbitraryRates = on;
}

void SyscallSpy::SetDriverQueue(int bytes) {
    gDriverQueue = bytes;
}

void SyscallSpy::RefuseWrites(bool on) {
    gRefuseWrites = on;
}

std::vector<std::string> SyscallSpy::SettingsRequests() const {
    std::lock_guard lock(gMutex);
    return gRequests;
}

void SyscallSpy::SetTransmitterBusy(int queries) {
    gTransmitterBusy = queries;
}

int SyscallSpy::TransmitterQueries() const {
    return gTransmitterQueries.load();
}

long SyscallSpy::Writes() const {
    return gWrites.load();
}

int DescriptorOpenOn(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code linkError;
        if (fs::read_symlink(entry.path(), linkError) == path) {
            return std::stoi(entry.path().filename().string());
        }
    }
    return -1;
}

}  // namespace vbc::test
