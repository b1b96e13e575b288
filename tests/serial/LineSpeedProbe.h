// lineSpeed(fd): the output rate in bits per second that the terminal behind fd runs at, as
// the kernel holds it (termios2), or 0 when it cannot be read. On a pseudo-terminal master
// it reads the slave's settings. Apart from the tests' other sources because
// <asm/termbits.h> clashes with <termios.h>.
#pragma once

unsigned long lineSpeed(int fd);
