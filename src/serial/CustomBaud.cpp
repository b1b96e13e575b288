// termios2 side of the serial port; see CustomBaud.h.
#include "serial/CustomBaud.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace sorbel::detail {

int setCustomBaud(int fd, unsigned long baud, unsigned long& actual) {
    actual = 0;
    struct termios2 tio {};
    if (::ioctl(fd, TCGETS2, &tio) != 0) {
        return errno;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(baud);
    tio.c_ospeed = static_cast<speed_t>(baud);
    if (::ioctl(fd, TCSETS2, &tio) != 0) {
        return errno;
    }
    struct termios2 check {};
    if (::ioctl(fd, TCGETS2, &check) != 0) {
        return errno;
    }
    actual = check.c_ospeed;
    return 0;
}

} // namespace sorbel::detail
