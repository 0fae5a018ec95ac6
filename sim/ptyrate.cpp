// termios2 lives apart from <termios.h>: the two declare the same structures.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "sim/ptyhost.h"

namespace vbc::sim {

long TerminalRate(int fd) {
    struct termios2 t {};
    // On a pseudo-terminal's master this reads the slave's settings: the PC's rate.
    if (::ioctl(fd, TCGETS2, &t) != 0) return -1;
    return static_cast<long>(t.c_ospeed);
}

}  // namespace vbc::sim
