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
#include <string>

#include "platform/jobstop.h"
#include "platform/uniquefd.h"

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

struct Process::State {
    int pid = -1;
    UniqueFd out;
};

Process::Process() : state_(std::make_unique<State>()) {}

Process::~Process() {
    if (state_->pid > 0) {
        Kill();
        ::waitpid(state_->pid, nullptr, 0);
    }
}

bool Process::Running() const {
    return state_->pid > 0;
}

int Process::Id() const {
    return state_->pid;
}

WaitObject Process::OutputWait() const {
    return state_->out.Valid() ? state_->out.Get() : kNoWaitObject;
}

bool Process::Start(const std::vector<std::string>& argv, std::string* error, int keepFd) {
    if (state_->pid > 0 || argv.empty()) {
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
    state_->pid = pid;
    state_->out = std::move(readEnd);
    return true;
}

bool Process::ReadAvailable(std::string* into) {
    UniqueFd& out = state_->out;
    if (out.Get() < 0) return false;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(out.Get(), chunk, sizeof chunk);
        if (n > 0) {
            into->append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        out.Reset();  // its end, or a read fault: either way nothing more comes
        return false;
    }
}

void Process::RequestStop() {
    if (state_->pid > 0) ::kill(state_->pid, SIGTERM);
}

void Process::Kill() {
    if (state_->pid > 0) ::kill(state_->pid, SIGKILL);
}

std::optional<ProcessEnd> Process::TryReap() {
    const pid_t pid = state_->pid;
    if (pid <= 0) return std::nullopt;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return std::nullopt;
    ProcessEnd end;
    if (r == pid && WIFEXITED(status)) {
        end.exited = true;
        end.code = WEXITSTATUS(status);
    } else if (r == pid && WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
    }
    state_->pid = -1;
    state_->out.Reset();
    return end;
}

std::string DescribeAbnormalEnd(int signal) {
    return "signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
}

void WaitReady(const std::vector<WaitObject>& objects, int timeoutMs, std::vector<bool>* ready) {
    std::vector<pollfd> polled;
    for (WaitObject o : objects)  // poll skips negative ones
        polled.push_back(pollfd{static_cast<int>(o), POLLIN, 0});
    ready->assign(objects.size(), false);
    if (::poll(polled.data(), polled.size(), timeoutMs) <= 0) return;
    for (std::size_t i = 0; i < objects.size(); ++i)
        (*ready)[i] = objects[i] >= 0 && (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

struct StandardInput::State {
    bool open = true;
};

StandardInput::StandardInput() : state_(std::make_unique<State>()) {}
StandardInput::~StandardInput() = default;

WaitObject StandardInput::Wait() const {
    return state_->open ? STDIN_FILENO : kNoWaitObject;
}

bool StandardInput::ReadAvailable(std::string* into) {
    if (!state_->open) return false;
    char buffer[512];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0) into->append(buffer, static_cast<std::size_t>(n));
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) state_->open = false;
    return state_->open;
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

std::string ProgramFileName(const std::string& stem) {
    return stem;
}

bool CanRun(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

bool ChangeDirectory(const std::string& path, std::string* error) {
    if (::chdir(path.c_str()) == 0) return true;
    if (error) *error = std::strerror(errno);
    return false;
}

WaitObject JobStopWaitObject() {
    return JobStopWakeFd();
}

}  // namespace vbc::platform
