// Exclusive use of a serial device across processes, root's included.
//
// TIOCEXCL keeps other users out but lets root through, and production PCs often run as root.
// So a port is also held with flock() on its open descriptor (released by the kernel when the
// holder closes it or dies, so it can never go stale) and, where the lock directory is
// writable, with the lock file that other serial programs honour (/var/lock/LCK..ttyUSB0,
// holding the PID; one left by a dead process is removed).
#pragma once

#include <string>
#include <utility>

namespace vbc::platform {

// The process that holds a device, as far as the lock file or /proc tell.
struct PortHolder {
    long pid = 0;         // 0: not known
    std::string program;  // its command name, "" when not known
};

class PortLock {
  public:
    PortLock() = default;
    ~PortLock() { Release(); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
    PortLock(PortLock&& other) noexcept : lockFile_(std::exchange(other.lockFile_, {})) {}
    PortLock& operator=(PortLock&& other) noexcept {
        if (this != &other) {
            Release();
            lockFile_ = std::exchange(other.lockFile_, {});
        }
        return *this;
    }

    // Takes both locks for fd, an open descriptor of path. False, with errno EBUSY and the
    // holder when it can be found, when another open of the device holds either of them;
    // false with errno of the failure for any other fault of flock.
    bool Acquire(int fd, const std::string& path, PortHolder* holder);
    // Removes the lock file made by Acquire; the flock goes with the descriptor.
    void Release();

  private:
    std::string lockFile_;
};

// Directory of the lock files; tests point it elsewhere.
void SetLockDirectory(const std::string& directory);

// The lock file's name for a device ("LCK..ttyUSB0"; "LCK..pts_3" for /dev/pts/3).
std::string LockFileName(const std::string& devicePath);

// Another process that has the device open, from /proc (0 when none is found).
PortHolder FindDeviceHolder(const std::string& devicePath);
// The holder named by the device's lock file when that process lives, else FindDeviceHolder.
PortHolder FindPortHolder(const std::string& devicePath);

// The name of the group that owns the device, "" when it cannot be read.
std::string DeviceGroup(const std::string& devicePath);

}  // namespace vbc::platform
