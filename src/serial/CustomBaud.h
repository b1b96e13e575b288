// CustomBaud: rates that have no termios speed constant, through Linux's termios2 / BOTHER.
//
// Kept apart from SerialPort.cpp because <asm/termbits.h> and <termios.h> cannot be
// included in the same translation unit.
//
// Contract:
//  - setCustomBaud(fd, baud, actual): asks the driver of the open terminal fd to run input
//    and output at baud bits per second (TCGETS2, BOTHER, TCSETS2), then reads back the
//    rate the driver settled on into actual. Returns 0 on success, else the errno value of
//    the failed call (actual is then 0). A driver that rounds or falls back to another rate
//    still returns 0; the caller compares actual with what it asked for.
#pragma once

namespace sorbel::detail {

int setCustomBaud(int fd, unsigned long baud, unsigned long& actual);

} // namespace sorbel::detail
