#include "posix_serial.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "port_path.h"
#include "wait_bounds.h"

namespace {
int fd_of(const PortHandle& handle) { return static_cast<int>(handle.native); }

struct NamedSpeed {
  std::uint32_t baud;
  speed_t constant;
};
// The rates termios names; any other goes through termios2 (BOTHER).
constexpr NamedSpeed kNamedSpeeds[] = {
    {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},     {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},   {1000000, B1000000}, {1500000, B1500000},
    {3000000, B3000000},
};

// B57600 for 57,600; 0 for a rate without a constant.
speed_t named_speed(std::uint32_t baud) {
  for (const NamedSpeed& s : kNamedSpeeds)
    if (s.baud == baud) return s.constant;
  return 0;
}
}  // namespace

bool make_raw_line(int fd, const LineSettings& line) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return false;
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  // CIBAUD cleared: the input runs at the output's speed, whatever rate an
  // earlier program (or an earlier open at a rate without a constant) left.
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | CIBAUD);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  if (line.flow == FlowControl::rtscts) tio.c_cflag |= CRTSCTS;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  const speed_t speed = named_speed(line.baud);
  // Without a constant the line is set up at 57,600 first, then given its
  // own rate: the rest of the settings are the same either way.
  const speed_t first = speed != 0 ? speed : B57600;
  if (::cfsetispeed(&tio, first) != 0 || ::cfsetospeed(&tio, first) != 0) return false;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) return false;
  return speed != 0 || set_other_line_speed(fd, line.baud);
}

Status PosixSerial::open_port(const PortName& port, const LineSettings& line, PortHandle& handle) {
  if (port.kind == PortKind::tcp) {
    errno = EINVAL;
    return kStatusFail;
  }
  last_open_error = PortOpenError{port.kind == PortKind::device
                                      ? port.text
                                      : posix_port_path(static_cast<std::uint8_t>(port.number))};
  auto refuse = [this](PortOpenStep step) {
    last_open_error.step = step;
    last_open_error.error = errno;
    return kStatusFail;
  };
  int fd = ::open(last_open_error.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return refuse(PortOpenStep::open);
  // Another program holds it: not ours, so nothing is held (as a refused
  // open on the other platform).
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    Status status = refuse(PortOpenStep::lock);
    ::close(fd);
    return status;
  }
  handle.held = true;
  handle.native = fd;
  io_.start(wait_bounds::byte_time(line.baud), false);
  if (!make_raw_line(fd, line)) return refuse(PortOpenStep::configure);
  // Later opens fail with EBUSY (root excepted, whom the flock still stops).
  ::ioctl(fd, TIOCEXCL);
  // Drop whatever either direction held before us, then let the module settle.
  if (::tcflush(fd, TCIOFLUSH) != 0) return refuse(PortOpenStep::flush);
  std::this_thread::sleep_for(settle);
  // A module left transmitting keeps sending through the settle time: what
  // came meanwhile belongs to nobody.
  if (::tcflush(fd, TCIFLUSH) != 0) return kStatusFail;
  io_.forget();
  return kStatusOk;
}

void PosixSerial::close_port(PortHandle& handle) {
  io_.forget();
  if (handle.held) {
    // The exclusive mark outlives us on a line someone else keeps open (the
    // virtual module's pty); the flock goes with the descriptor.
    ::ioctl(fd_of(handle), TIOCNXCL);
    ::close(fd_of(handle));
  }
  handle = PortHandle{};
}

Status PosixSerial::write_byte(const PortHandle& handle, std::uint8_t byte, Deadline deadline) {
  return io_.write_byte(fd_of(handle), byte, deadline);
}

ReadEnd PosixSerial::read_byte(const PortHandle& handle, std::uint8_t& out, Deadline deadline,
                               const std::atomic<bool>& cancel) {
  return io_.read_byte(fd_of(handle), out, deadline, cancel);
}

ReadEnd PosixSerial::read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                                const std::atomic<bool>& cancel, std::size_t& got) {
  return io_.read_bytes(fd_of(handle), out, n, deadline, cancel, got);
}
