// The line the POSIX port sets, read back from the other end of a real
// pseudo-terminal through termios2: its speed (rates with a B constant and
// one without), RTS/CTS, and the raw 8N1 mode. <asm/termbits.h> stands
// alone here: it cannot share a file with <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "posix_serial.h"
#include "serial_link.h"

namespace {
TEST(PtyLine, SettingsReadBackFromTheTerminal) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string slave_path = ::ptsname(master);
  // The module's view of the line: the slave, opened before the host holds
  // it exclusively.
  const int observer = ::open(slave_path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(observer, 0);

  struct Case {
    std::uint32_t baud;
    FlowControl flow;
  } cases[] = {{9600, FlowControl::none},     {14400, FlowControl::none},   {57600, FlowControl::none},
               {115200, FlowControl::rtscts}, {921600, FlowControl::none},  {1000000, FlowControl::rtscts},
               {3000000, FlowControl::rtscts}};
  for (const Case& c : cases) {
    PosixSerial port;
    port.settle = std::chrono::milliseconds(0);
    PortHandle handle;
    ASSERT_EQ(port.open_port(PortName{PortKind::device, 0, slave_path}, LineSettings{c.baud, c.flow}, handle),
              kStatusOk)
        << c.baud;
    termios2 tio{};
    ASSERT_EQ(::ioctl(observer, TCGETS2, &tio), 0);
    EXPECT_EQ(tio.c_ospeed, c.baud);
    EXPECT_EQ(tio.c_ispeed, c.baud);
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.flow == FlowControl::rtscts) << c.baud;
    // Raw 8N1: eight data bits, no parity, one stop bit, the receiver on,
    // modem lines ignored; no line editing, echo, signals or output
    // processing; no byte changed or swallowed on the way in.
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL), CS8 | CREAD | CLOCAL) << c.baud;
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u) << c.baud;
    EXPECT_EQ(tio.c_oflag & OPOST, 0u) << c.baud;
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | BRKINT | PARMRK), 0u)
        << c.baud;
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    port.close_port(handle);
  }
  ::close(observer);
  ::close(master);
}
}  // namespace
