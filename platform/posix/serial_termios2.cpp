// Arbitrary line rates (the phone's 162500 to 302325 bit/s) through the kernel's termios2.
// Kept apart: <asm/termbits.h> redefines what <termios.h> declares.
#include <cerrno>
#include <cstdint>

#include "platform/posix/serial.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace vbc::platform::detail {

#if defined(__linux__)

int ApplyArbitraryRate(int fd, std::uint32_t iflag, std::uint32_t oflag, std::uint32_t cflag,
                       std::uint32_t lflag, std::uint8_t vmin, std::uint8_t vtime,
                       std::uint32_t baudRate) {
    struct termios2 t2;
    if (::ioctl(fd, TCGETS2, &t2) != 0) return -1;
    t2.c_iflag = iflag;
    t2.c_oflag = oflag;
    t2.c_lflag = lflag;
    // Same rate both ways: the input rate field is cleared so it follows the output rate.
    t2.c_cflag = (cflag & ~static_cast<std::uint32_t>(CBAUD | CIBAUD)) | BOTHER;
    t2.c_ispeed = baudRate;
    t2.c_ospeed = baudRate;
    t2.c_cc[VMIN] = vmin;
    t2.c_cc[VTIME] = vtime;
    // At once: the caller has drained the line within its own bound.
    return ::ioctl(fd, TCSETS2, &t2) == 0 ? 0 : -1;
}

long ReadArbitraryRate(int fd) {
    struct termios2 t2;
    if (::ioctl(fd, TCGETS2, &t2) != 0) return -1;
    return static_cast<long>(t2.c_ospeed);
}

#else

int ApplyArbitraryRate(int, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                       std::uint8_t, std::uint8_t, std::uint32_t) {
    errno = ENOTSUP;
    return -1;
}

long ReadArbitraryRate(int) {
    return -1;
}

#endif

}  // namespace vbc::platform::detail
