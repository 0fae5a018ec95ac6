#include "platform/process.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vbc::platform {
namespace {

// Closes every descriptor from first up, but keep (safe in a forked child: no allocation).
void CloseFrom(int first, int keep) {
    auto closeRange = [](unsigned from, unsigned to) {
        if (from > to) return;
        if (::close_range(from, to, 0) == 0) return;
        for (unsigned fd = from; fd <= std::min(to, 4095u); ++fd) ::close(static_cast<int>(fd));
    };
    if (keep >= first) {
        closeRange(static_cast<unsigned>(first), static_cast<unsigned>(keep) - 1);
        closeRange(static_cast<unsigned>(keep) + 1, ~0u);
    } else {
        closeRange(static_cast<unsigned>(first), ~0u);
    }
}

}  // namespace

Process::~Process() {
    if (pid_ > 0) {
        Kill();
        ::waitpid(pid_, nullptr, 0);
    }
}

bool Process::Start(const std::vector<std::string>& argv, std::string* error, int keepFd) {
    if (pid_ > 0 || argv.empty()) {
        if (error) *error = "no program to start";
        return false;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        if (error) *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    // Everything the child needs is made before the fork: after it, only calls that are safe
    // in a forked child of a (possibly threaded) process.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        if (error) *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);  // the parent died before the line above
        // Its own process group: the terminal's Ctrl-C reaches the station, which stops each
        // worker itself, and a second Ctrl-C ends the station without tearing the workers down.
        ::setpgid(0, 0);
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull < 0 || ::dup2(devNull, STDIN_FILENO) < 0 || ::dup2(fds[1], STDOUT_FILENO) < 0 ||
            ::dup2(fds[1], STDERR_FILENO) < 0)
            ::_exit(127);
        // Whatever this process inherited or opened without close-on-exec stays here.
        CloseFrom(STDERR_FILENO + 1, keepFd);
        // The station's own handlers and mask do not belong to the worker.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGPIPE, SIG_DFL);
        ::signal(SIGXFSZ, SIG_DFL);
        ::execv(args[0], args.data());
        const char msg[] = "cannot run the worker program\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, msg, sizeof msg - 1);
        ::_exit(127);
    }
    ::fcntl(readEnd.Get(), F_SETFL, ::fcntl(readEnd.Get(), F_GETFL) | O_NONBLOCK);
    pid_ = pid;
    out_ = std::move(readEnd);
    return true;
}

bool Process::ReadAvailable(std::string* into) {
    if (out_.Get() < 0) return false;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(out_.Get(), chunk, sizeof chunk);
        if (n > 0) {
            into->append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        out_.Reset();  // its end, or a read fault: either way nothing more comes
        return false;
    }
}

void Process::RequestStop() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
}

void Process::Kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
}

std::optional<ProcessEnd> Process::TryReap() {
    if (pid_ <= 0) return std::nullopt;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return std::nullopt;
    ProcessEnd end;
    if (r == pid_ && WIFEXITED(status)) {
        end.exited = true;
        end.code = WEXITSTATUS(status);
    } else if (r == pid_ && WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
    }
    pid_ = -1;
    out_.Reset();
    return end;
}

void WaitReadable(const std::vector<int>& fds, int timeoutMs, std::vector<bool>* readable) {
    std::vector<pollfd> polled;
    for (int fd : fds) polled.push_back(pollfd{fd, POLLIN, 0});  // poll skips negative ones
    readable->assign(fds.size(), false);
    if (::poll(polled.data(), polled.size(), timeoutMs) <= 0) return;
    for (std::size_t i = 0; i < fds.size(); ++i)
        (*readable)[i] = fds[i] >= 0 && (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void KeepStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open takes the lowest free number: this one.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) ::close(opened);
    }
}

void IgnoreWriteSignals() {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

std::string OwnProgramPath() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    return std::string(path, static_cast<std::size_t>(n));
}

}  // namespace vbc::platform
