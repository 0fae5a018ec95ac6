#include "platform/posix/portlock.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "platform/uniquefd.h"

namespace vbc::platform {
namespace {

std::mutex gDirMutex;
std::string gLockDir = "/var/lock";

std::string LockDir() {
    std::lock_guard lock(gDirMutex);
    return gLockDir;
}

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

std::string ProgramOf(long pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(f, name);
    return name;
}

// The PID written in a lock file (ASCII, as other serial programs write it), or 0.
long PidIn(const std::string& file) {
    std::ifstream f(file);
    long pid = 0;
    if (!(f >> pid) || pid <= 0) return 0;
    return pid;
}

bool Alive(long pid) {
    if (pid <= 0 || pid > INT_MAX) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

enum class Holds { kYes, kNo, kUnknown };

// Whether process pid has the character device rdev open; unknown when /proc does not tell.
Holds HoldsDevice(long pid, dev_t rdev) {
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (!fds) return Holds::kUnknown;
    Holds holds = Holds::kNo;
    while (dirent* f = ::readdir(fds)) {
        if (f->d_name[0] == '.') continue;
        struct stat st {};
        if (::stat((fdDir + "/" + f->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == rdev) {
            holds = Holds::kYes;
            break;
        }
    }
    ::closedir(fds);
    return holds;
}

}  // namespace

void SetLockDirectory(const std::string& directory) {
    std::lock_guard lock(gDirMutex);
    gLockDir = directory;
}

std::string LockFileName(const std::string& devicePath) {
    std::string name = RealPath(devicePath);
    if (name.rfind("/dev/", 0) == 0) {
        name.erase(0, 5);
    } else if (const auto slash = name.rfind('/'); slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    return "LCK.." + name;
}

bool PortLock::Acquire(int fd, const std::string& path, PortHolder* holder) {
    Release();
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) return false;
        if (holder) *holder = FindDeviceHolder(path);
        errno = EBUSY;
        return false;
    }
    // The lock file, where the directory lets us write one. Two attempts: a stale file of a
    // dead process is removed once.
    const std::string file = LockDir() + "/" + LockFileName(path);
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueFd lock(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (lock.Valid()) {
            char text[16];
            const int n =
                std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
            if (::write(lock.Get(), text, static_cast<std::size_t>(n)) != n) {
                ::unlink(file.c_str());
                return true;  // a lock file we cannot fill is no lock file; flock still holds
            }
            lockFile_ = file;
            return true;
        }
        if (errno != EEXIST) return true;  // no writable lock directory: flock alone
        // Our own PID with the flock ours is a leftover of an earlier open of this process; so
        // is a file whose PID now names a process that does not have the device open.
        const long pid = PidIn(file);
        struct stat dev {};
        const bool reused = ::fstat(fd, &dev) == 0 && HoldsDevice(pid, dev.st_rdev) == Holds::kNo;
        if (pid > 0 && pid != ::getpid() && Alive(pid) && !reused) {
            if (holder) *holder = PortHolder{pid, ProgramOf(pid)};
            errno = EBUSY;
            return false;
        }
        ::unlink(file.c_str());  // stale or unreadable: its writer is gone
    }
    return true;
}

void PortLock::Release() {
    if (!lockFile_.empty()) {
        // Only our own file: another process may have replaced a file we thought stale.
        if (PidIn(lockFile_) == ::getpid()) ::unlink(lockFile_.c_str());
        lockFile_.clear();
    }
}

PortHolder FindPortHolder(const std::string& devicePath) {
    const long pid = PidIn(LockDir() + "/" + LockFileName(devicePath));
    if (pid > 0 && pid != ::getpid() && Alive(pid)) return PortHolder{pid, ProgramOf(pid)};
    return FindDeviceHolder(devicePath);
}

PortHolder FindDeviceHolder(const std::string& devicePath) {
    struct stat target {};
    if (::stat(devicePath.c_str(), &target) != 0) return {};
    DIR* proc = ::opendir("/proc");
    if (!proc) return {};
    PortHolder found;
    const long self = ::getpid();
    while (dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        const bool holds = HoldsDevice(pid, target.st_rdev) == Holds::kYes;
        // Our own process is the holder only when no other one is.
        if (holds && (pid != self || found.pid == 0)) {
            found = PortHolder{pid, ProgramOf(pid)};
            if (pid != self) break;
        }
    }
    ::closedir(proc);
    return found;
}

std::string DeviceGroup(const std::string& devicePath) {
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0) return "";
    if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
    return std::to_string(st.st_gid);
}

}  // namespace vbc::platform
