// A program run as a child process (POSIX: the end-to-end tests start vbcflash-cli and vbcsim).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vbc::test {

// A program run as a child process, its standard input from /dev/null. Standard output goes to
// a file, or to a pipe read line by line; standard error to a file, or with standard output.
// Every wait has a limit; a child still running when the object goes is killed.
class Child {
  public:
    using Ms = std::chrono::milliseconds;
    static constexpr Ms kLimit{60'000};  // far beyond anything a working program takes here

    // argv[0] is the program's path. out: file for standard output, empty for a pipe read with
    // Line and Rest; err: file for standard error, empty for where standard output goes; cwd:
    // the directory the child starts in, empty for this process's; pipeBytes: the pipe's
    // capacity when not the system's (a page at least).
    explicit Child(const std::vector<std::string>& argv, const std::string& out = "",
                   const std::string& err = "", const std::string& cwd = "", int pipeBytes = 0) {
        if (argv.empty()) return;
        int fds[2] = {-1, -1};
        if (out.empty() && ::pipe2(fds, O_CLOEXEC) != 0) return;
        if (out.empty() && pipeBytes > 0) ::fcntl(fds[0], F_SETPIPE_SZ, pipeBytes);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (out.empty()) {
            posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        if (err.empty()) {
            posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (fds[1] >= 0) ::close(fds[1]);
        out_ = fds[0];
        // A descriptor for the process, so that its end can be waited for with a limit.
        if (pid_ > 0) pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pid_ > 0 && pidfd_ < 0) Kill();
    }
    ~Child() {
        Kill();
        if (out_ >= 0) ::close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    void Signal(int signal) {
        if (pid_ > 0) ::kill(pid_, signal);
    }

    // The next line of the piped output, without its newline; nothing at the end of the
    // output or when no whole line comes within the limit.
    std::optional<std::string> Line(Ms limit = kLimit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto nl = piped_.find('\n');
            if (nl != std::string::npos) {
                std::string line = piped_.substr(0, nl);
                piped_.erase(0, nl + 1);
                return line;
            }
            if (!Fill(end)) return std::nullopt;
        }
    }
    // The rest of the piped output, up to its end or the limit.
    std::string Rest(Ms limit = kLimit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (Fill(end)) {
        }
        std::string rest;
        rest.swap(piped_);
        return rest;
    }

    // Closes this end of the piped output: the child's next write to it fails (EPIPE).
    void CloseOutput() {
        if (out_ >= 0) ::close(out_);
        out_ = -1;
    }

    // The exit status; nothing when the child never started, ended on a signal (EndSignal
    // tells which), or is still running after the limit (it is killed then).
    std::optional<int> Wait(Ms limit = kLimit) {
        if (pid_ <= 0) return std::nullopt;
        pollfd p{pidfd_, POLLIN, 0};
        const bool ended = ::poll(&p, 1, static_cast<int>(limit.count())) > 0;
        if (!ended) ::kill(pid_, SIGKILL);
        int status = 0;
        const bool reaped = ::waitpid(pid_, &status, 0) == pid_;
        Forget();
        if (ended && reaped && WIFSIGNALED(status)) endSignal_ = WTERMSIG(status);
        if (!ended || !reaped || !WIFEXITED(status)) return std::nullopt;
        return WEXITSTATUS(status);
    }
    // Waits until the running child has a handler of its own for signal (caught) or has none
    // (it ran one that reset itself); false when the child ended or the limit passed first.
    // Nothing tells of a handler but the kernel's process status, which is read again and again.
    bool WaitForHandler(int signal, bool caught, Ms limit = kLimit) {
        return Poll(limit, [&] {
            std::ifstream f("/proc/" + std::to_string(pid_) + "/status");
            bool alive = false;
            for (std::string line; std::getline(f, line);) {
                if (line.rfind("State:", 0) == 0) alive = line.find('Z') == std::string::npos;
                if (alive && line.rfind("SigCgt:", 0) == 0)
                    return ((std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1) ==
                           (caught ? 1u : 0u);
            }
            return false;
        });
    }
    // Waits until the child sleeps in a write to its descriptor fd (a full pipe nobody reads
    // holds it there); false when that does not happen within the limit.
    bool WaitUntilBlockedWriting(int fd, Ms limit = kLimit) {
        char call[32];
        std::snprintf(call, sizeof call, "%ld 0x%x ", static_cast<long>(SYS_write), fd);
        return Poll(limit, [&] {
            std::ifstream f("/proc/" + std::to_string(pid_) + "/syscall");
            std::string line;
            return std::getline(f, line) && line.rfind(call, 0) == 0;
        });
    }

    // The signal that ended the child, once Wait saw it end on one; 0 otherwise.
    int EndSignal() const { return endSignal_; }

  private:
    template <typename Done>
    static bool Poll(Ms limit, Done done) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(Ms(1));
        }
        return true;
    }
    bool Fill(std::chrono::steady_clock::time_point end) {
        if (out_ < 0) return false;
        const auto left =
            std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now()).count();
        pollfd p{out_, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char chunk[4096];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) return false;
        piped_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        Forget();
    }
    void Forget() {
        pid_ = -1;
        if (pidfd_ >= 0) ::close(pidfd_);
        pidfd_ = -1;
    }

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int out_ = -1;
    int endSignal_ = 0;
    std::string piped_;
};

}  // namespace vbc::test
