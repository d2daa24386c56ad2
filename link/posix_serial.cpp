#include "posix_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "port_path.h"

namespace {
// A wait polls in slices this long so that a cancel request is seen quickly.
constexpr std::chrono::milliseconds kCancelSlice{20};
// One byte at 57,600 baud, 10 bits a byte.
constexpr std::chrono::microseconds kByteTime{1000000 / 5760};

int fd_of(const PortHandle& handle) { return static_cast<int>(handle.native); }

// Milliseconds to the deadline, capped to one slice; 0 once it has passed.
int slice_until(Deadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                    std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min(left, kCancelSlice).count());
}

enum class Ready { yes, timeout, error };

Ready wait_ready(int fd, short events, Deadline deadline, const std::atomic<bool>* cancel) {
  for (;;) {
    if (cancel != nullptr && cancel->load()) return Ready::timeout;
    int slice = slice_until(deadline);
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, slice);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Ready::error;
    if (n > 0) {
      if (p.revents & events) return Ready::yes;
      return Ready::error;  // POLLHUP, POLLERR, POLLNVAL: the port is gone
    }
    if (slice == 0) return Ready::timeout;
  }
}
}  // namespace

bool make_raw_line(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return false;
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, B57600) != 0 || ::cfsetospeed(&tio, B57600) != 0) return false;
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

Status PosixSerial::open_port(std::uint8_t port_number, PortHandle& handle) {
  last_open_error = PortOpenError{device_path.empty() ? posix_port_path(port_number) : device_path};
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
  if (!make_raw_line(fd)) return refuse(PortOpenStep::configure);
  // Later opens fail with EBUSY (root excepted, whom the flock still stops).
  ::ioctl(fd, TIOCEXCL);
  // Drop whatever either direction held before us, then let the module settle.
  if (::tcflush(fd, TCIOFLUSH) != 0) return refuse(PortOpenStep::flush);
  std::this_thread::sleep_for(settle);
  // A module left transmitting keeps sending through the settle time: what
  // came meanwhile belongs to nobody.
  if (::tcflush(fd, TCIFLUSH) != 0) return kStatusFail;
  read_ahead_next_ = read_ahead_end_ = 0;
  return kStatusOk;
}

void PosixSerial::close_port(PortHandle& handle) {
  read_ahead_next_ = read_ahead_end_ = 0;
  if (handle.held) {
    // The exclusive mark outlives us on a line someone else keeps open (the
    // virtual module's pty); the flock goes with the descriptor.
    ::ioctl(fd_of(handle), TIOCNXCL);
    ::close(fd_of(handle));
  }
  handle = PortHandle{};
}

Status PosixSerial::write_byte(const PortHandle& handle, std::uint8_t byte, Deadline deadline) {
  for (;;) {
    ssize_t n = ::write(fd_of(handle), &byte, 1);
    if (n == 1) return kStatusOk;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return kStatusFail;
    if (wait_ready(fd_of(handle), POLLOUT, deadline, nullptr) != Ready::yes) return kStatusFail;
  }
}

ReadEnd PosixSerial::read_byte(const PortHandle& handle, std::uint8_t& out, Deadline deadline,
                               const std::atomic<bool>& cancel) {
  // A wait whose deadline has passed is over, even on a line that never stops
  // talking (noise, a wrong baud rate): no skipping loop can outlast it.
  if (std::chrono::steady_clock::now() >= deadline) return ReadEnd::deadline;
  if (read_ahead_next_ < read_ahead_end_) {
    out = read_ahead_[read_ahead_next_++];
    return ReadEnd::byte;
  }
  for (;;) {
    ssize_t n = ::read(fd_of(handle), read_ahead_.data(), read_ahead_.size());
    if (n > 0) {
      read_ahead_end_ = static_cast<std::size_t>(n);
      read_ahead_next_ = 1;
      out = read_ahead_[0];
      return ReadEnd::byte;
    }
    if (n == 0) return ReadEnd::port_error;  // end of file: the other side hung up
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return ReadEnd::port_error;
    switch (wait_ready(fd_of(handle), POLLIN, deadline, &cancel)) {
      case Ready::yes: break;
      case Ready::error: return ReadEnd::port_error;
      case Ready::timeout: return cancel.load() ? ReadEnd::cancelled : ReadEnd::deadline;
    }
  }
}

ReadEnd PosixSerial::read_bytes(const PortHandle& handle, std::uint8_t* out, std::size_t n, Deadline deadline,
                                const std::atomic<bool>& cancel, std::size_t& got) {
  got = 0;
  for (;;) {
    const std::size_t held = std::min(n - got, read_ahead_end_ - read_ahead_next_);
    std::copy_n(read_ahead_.begin() + static_cast<std::ptrdiff_t>(read_ahead_next_), held, out + got);
    read_ahead_next_ += held;
    got += held;
    if (got == n) return ReadEnd::byte;
    if (std::chrono::steady_clock::now() >= deadline) return ReadEnd::deadline;
    switch (wait_ready(fd_of(handle), POLLIN, deadline, &cancel)) {
      case Ready::yes: break;
      case Ready::error: return ReadEnd::port_error;
      case Ready::timeout: return cancel.load() ? ReadEnd::cancelled : ReadEnd::deadline;
    }
    // Bytes have begun to come. The rest cannot come faster than the line
    // runs: wait that long (a slice at most, never past the deadline) and
    // take them all in one read, rather than wake up for each byte. The
    // wait only delays the read; what the bytes mean does not depend on it.
    int waiting = 0;
    if (::ioctl(fd_of(handle), FIONREAD, &waiting) != 0) waiting = 0;
    const std::size_t missing = n - got;
    if (waiting >= 0 && static_cast<std::size_t>(waiting) < missing) {
      const auto now = std::chrono::steady_clock::now();
      std::this_thread::sleep_for(std::min<Deadline::duration>(
          kByteTime * static_cast<long>(missing - static_cast<std::size_t>(waiting)),
          std::min<Deadline::duration>(deadline - now, kCancelSlice * 5)));
    }
    const ssize_t count = ::read(fd_of(handle), read_ahead_.data(), read_ahead_.size());
    if (count == 0) return ReadEnd::port_error;  // end of file: the other side hung up
    if (count < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return ReadEnd::port_error;
    read_ahead_next_ = 0;
    read_ahead_end_ = count > 0 ? static_cast<std::size_t>(count) : 0;
    if (cancel.load()) return ReadEnd::cancelled;
  }
}
