// Line speeds through termios2, which takes any rate (BOTHER) and reads
// back the one in use. <asm/termbits.h> defines struct termios and the flag
// names again, so it cannot share a file with <termios.h>: it is kept alone
// here.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "posix_serial.h"

bool set_other_line_speed(int fd, std::uint32_t baud) {
  termios2 tio{};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  return ::ioctl(fd, TCSETS2, &tio) == 0;
}

bool read_line_settings(int fd, LineSettings& line) {
  termios2 tio{};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  // The kernel keeps c_ospeed as the rate in use, whether it was set by a
  // B constant or by BOTHER.
  line.baud = tio.c_ospeed;
  line.flow = (tio.c_cflag & CRTSCTS) != 0 ? FlowControl::rtscts : FlowControl::none;
  return true;
}
