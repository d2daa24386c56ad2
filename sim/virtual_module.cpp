#include "virtual_module.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <thread>

#include "port_path.h"
#include "posix_serial.h"

namespace {
// A start and a stop bit around each byte.
constexpr long long kBitsPerByte = 10;
// The longest the server sleeps before it looks at the stop flag again.
constexpr auto kIdleSlice = std::chrono::milliseconds(50);
constexpr std::size_t kReadChunk = 512;
constexpr std::size_t kWriteChunk = 4096;
// Unpaced, the stale stream adds a row only while the host has less than two
// rows left to read, so the pty never fills with rows nobody asked for.
constexpr int kStaleUnpacedBacklog = 2 * 201;
constexpr auto kStaleUnpacedPoll = std::chrono::milliseconds(1);

// When byte k of a burst that began at `start` is due on a line of `baud`.
SimClock::time_point byte_slot(SimClock::time_point start, std::uint64_t k, long long baud) {
  return start + std::chrono::nanoseconds(static_cast<long long>(k) * kBitsPerByte * 1'000'000'000LL / baud);
}

// How many bytes of a burst that began at `start` are due by `now`.
std::uint64_t bytes_due(SimClock::time_point start, SimClock::time_point now, long long baud) {
  if (now < start) return 0;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
  return static_cast<std::uint64_t>(ns * baud / (kBitsPerByte * 1'000'000'000LL)) + 1;
}

bool set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

timespec to_timespec(SimClock::duration d) {
  if (d < SimClock::duration::zero()) d = SimClock::duration::zero();
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  timespec t{};
  t.tv_sec = static_cast<time_t>(ns / 1'000'000'000LL);
  t.tv_nsec = static_cast<long>(ns % 1'000'000'000LL);
  return t;
}
}  // namespace

VirtualModule::VirtualModule(SimOptions options) : options_(std::move(options)), model_(options_) {}

VirtualModule::~VirtualModule() { stop(); }

bool VirtualModule::start() {
  if (running_.load()) return true;
  if (options_.tcp) {
    if (!listen_on_loopback() || ::pipe(wake_pipe_) != 0) {
      close_pty();
      return false;
    }
  } else {
    master_fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0) return false;
    char name[PATH_MAX] = {};
    if (::grantpt(master_fd_) != 0 || ::unlockpt(master_fd_) != 0 ||
        ::ptsname_r(master_fd_, name, sizeof name) != 0 || !set_nonblocking(master_fd_)) {
      close_fd(master_fd_);
      return false;
    }
    device_path_ = name;
    // Our own slave descriptor keeps the line's settings and keeps the master
    // readable while the host has the port closed.
    slave_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_fd_ < 0 || !make_raw_line(slave_fd_, options_.line) || ::pipe(wake_pipe_) != 0) {
      close_pty();
      return false;
    }
  }
  set_nonblocking(wake_pipe_[0]);
  set_nonblocking(wake_pipe_[1]);
  running_ = true;
  server_ = std::thread([this] { serve(); });
  return true;
}

bool VirtualModule::listen_on_loopback() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return false;
  const int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.tcp_port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listen_fd_, 4) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return false;
  tcp_port_ = ntohs(address.sin_port);
  return true;
}

void VirtualModule::take_connection() {
  const int connection = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (connection < 0) return;
  // One host at a time, as one adapter has one user: a second is turned away.
  if (master_fd_ >= 0) {
    ::close(connection);
    return;
  }
  const int on = 1;
  ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  master_fd_ = connection;
}

void VirtualModule::drop_connection() { close_fd(master_fd_); }

int VirtualModule::unread_by_host() const {
  int unread = 0;
  // Over TCP, what the socket has not yet sent on; on a pty, what waits in
  // the host's input queue.
  if (options_.tcp) return master_fd_ >= 0 && ::ioctl(master_fd_, TIOCOUTQ, &unread) == 0 ? unread : 0;
  return ::ioctl(slave_fd_, FIONREAD, &unread) == 0 ? unread : 0;
}

bool VirtualModule::host_line_matches() const {
  if (!options_.fixed_line || options_.tcp) return true;
  LineSettings host;
  return read_line_settings(slave_fd_, host) && host == options_.line;
}

const std::string& VirtualModule::device_path() const { return device_path_; }

namespace {
std::string read_link(const std::string& path) {
  char target[PATH_MAX] = {};
  ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// The owner file's record: "<pid> <pty>" of the module that made the entry.
std::string read_owner_record(int fd) {
  char text[PATH_MAX + 32] = {};
  ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
}
}  // namespace

bool VirtualModule::publish_as(std::uint8_t port_number) {
  publish_error_.clear();
  if (device_path_.empty()) {
    publish_error_ = "the module is not running";
    return false;
  }
  std::error_code error;
  std::filesystem::create_directories(ports_directory(), error);
  if (error) {
    publish_error_ = "cannot create " + ports_directory() + ": " + error.message();
    return false;
  }
  const std::string link = mapped_port_entry(port_number);
  const std::string com = "COM" + std::to_string(port_number);
  // A module publishing comN holds a lock on its owner file for as long as it
  // runs; the file names the pty it made comN point at.
  const std::string owner = ports_directory() + "/.com" + std::to_string(port_number) + ".owner";
  int fd = ::open(owner.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    publish_error_ = "cannot create " + owner + ": " + std::strerror(errno);
    return false;
  }
  const std::string record = read_owner_record(fd);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    const std::string pid = record.substr(0, record.find(' '));
    publish_error_ = com + " is taken: another virtual module (pid " + pid + ") serves " + link;
    return false;
  }
  struct stat info{};
  if (::lstat(link.c_str(), &info) == 0) {
    // Ours to replace: the link a module made earlier (its owner record names
    // the target), or a link left dangling at a pty that is gone.
    const std::string target = read_link(link);
    const bool recorded = !target.empty() && record.find(" " + target + "\n") != std::string::npos;
    const bool dangling_pty = !target.empty() && target.rfind("/dev/pts/", 0) == 0 &&
                              ::stat(link.c_str(), &info) != 0;
    if (!recorded && !dangling_pty) {
      publish_error_ = com + " is taken: " + (target.empty() ? link : link + " -> " + target) +
                       " was not made by the virtual module and is left alone; choose another --port";
      if (record.empty()) ::unlink(owner.c_str());  // the empty file we just made
      ::close(fd);
      return false;
    }
    ::unlink(link.c_str());
  }
  if (::symlink(device_path_.c_str(), link.c_str()) != 0) {
    publish_error_ = "cannot create " + link + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  const std::string mine = std::to_string(::getpid()) + " " + device_path_ + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, mine.data(), mine.size(), 0) != static_cast<ssize_t>(mine.size())) {
    // Without the record a later module could not tell the link is ours.
    publish_error_ = "cannot write " + owner + ": " + std::strerror(errno);
    ::unlink(link.c_str());
    ::close(fd);
    return false;
  }
  published_link_ = link;
  owner_fd_ = fd;
  return true;
}

void VirtualModule::stop() {
  if (running_.exchange(false)) wake();
  if (server_.joinable()) server_.join();
  close_pty();
  close_fd(wake_pipe_[0]);
  close_fd(wake_pipe_[1]);
  if (!published_link_.empty()) {
    // Only our own mapping goes; someone may have re-pointed it meanwhile.
    if (read_link(published_link_) == device_path_) ::unlink(published_link_.c_str());
    published_link_.clear();
  }
  // The owner file stays (unlinking it would race a module about to lock
  // it); emptied, it claims nothing.
  if (owner_fd_ >= 0) {
    [[maybe_unused]] int emptied = ::ftruncate(owner_fd_, 0);
  }
  close_fd(owner_fd_);
}

std::array<std::uint8_t, kFrameBufferSize> VirtualModule::camera_view(std::size_t camera_index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (camera_index >= model_.camera_count()) return {};
  return render_camera_view(model_.camera(camera_index).scene);
}

bool VirtualModule::page_host(std::size_t camera_index) {
  bool paged = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paged = model_.page_host(camera_index);
  }
  wake();
  return paged;
}

bool VirtualModule::intruder_pages_host() {
  bool paged = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paged = model_.intruder_pages_host();
  }
  wake();
  return paged;
}

std::optional<LinkKey> VirtualModule::camera_key(std::size_t camera_index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return camera_index < model_.camera_count() ? model_.camera(camera_index).key : std::nullopt;
}

void VirtualModule::set_camera_key(std::size_t camera_index, const std::optional<LinkKey>& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  model_.set_camera_key(camera_index, key);
}

void VirtualModule::set_faults(const SimFaults& faults) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.set_faults(faults);
  }
  wake();  // a stale stream switched on starts at once
}

void VirtualModule::vanish() {
  vanish_requested_ = true;
  wake();
  // Return once the line is gone, so that whatever the caller does next
  // meets a port that has already vanished.
  for (int i = 0; i < 2000 && running_.load() && !line_closed_.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::vector<ReceivedCommand> VirtualModule::commands_received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.commands();
}

std::size_t VirtualModule::acl_packets_received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.acl_packets_received();
}

std::vector<SignalCommand> VirtualModule::host_signals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.host_signals();
}

std::vector<ChaosRecord> VirtualModule::take_chaos_records() {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_.take_chaos_records();
}

void VirtualModule::close_pty() {
  close_fd(master_fd_);
  close_fd(slave_fd_);
  close_fd(listen_fd_);
}

void VirtualModule::wake() {
  if (wake_pipe_[1] < 0) return;
  const char byte = 1;
  [[maybe_unused]] ssize_t ignored = ::write(wake_pipe_[1], &byte, 1);
}

// One thread does everything: it reads the host's bytes into the model,
// releases the model's timed events, and puts the model's output on the
// line, paced to the line's speed unless asked to run unpaced. A camera
// pause holds the whole line: whatever was queued behind it (the rest of the
// picture, answers to commands that came meanwhile) waits with it.
void VirtualModule::serve() {
  std::deque<std::uint8_t> line;
  std::deque<PauseMark> pauses;
  bool paused = false;  // the line holds for pauses.front() until paused_until
  SimClock::time_point paused_until{};
  bool in_burst = false;
  SimClock::time_point burst_start{};
  std::uint64_t burst_bytes = 0;
  bool write_blocked = false;
  bool stale = false;
  std::optional<std::uint64_t> vanish_point;
  const long long baud = options_.line.baud;

  while (running_.load()) {
    if (vanish_requested_.load()) break;
    SimClock::time_point now = SimClock::now();
    // The line went idle once its last byte's time has passed with nothing
    // after it: what comes next starts a fresh burst. Looked at before the
    // model's new output joins the line, so that an answer to a byte read in
    // the last round cannot ride on the old burst and catch up the idle time.
    if (line.empty() && in_burst && now >= byte_slot(burst_start, burst_bytes, baud)) in_burst = false;
    std::optional<SimClock::time_point> next_timer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      model_.advance(now);
      auto& out = model_.output();
      // The stale stream keeps the line busy with one row at a time, so that
      // HCI_Reset's answer follows at most one row behind.
      if (model_.stale_streaming() && line.empty() && out.empty() &&
          (options_.paced || unread_by_host() < kStaleUnpacedBacklog))
        model_.queue_stale_row();
      stale = model_.stale_streaming();
      line.insert(line.end(), out.begin(), out.end());
      out.clear();
      auto& marks = model_.pauses();
      pauses.insert(pauses.end(), marks.begin(), marks.end());
      marks.clear();
      next_timer = model_.next_timer();
      vanish_point = model_.vanish_point();
    }

    // A pause starts once every byte before it is on the line, and ends with
    // a fresh burst.
    if (!pauses.empty() && bytes_sent_.load() >= pauses.front().at) {
      if (!paused) {
        SimClock::time_point from = now;
        if (options_.paced && in_burst) from = std::max(now, byte_slot(burst_start, burst_bytes, baud));
        paused = true;
        paused_until = from + pauses.front().duration;
      }
      if (now >= paused_until) {
        pauses.pop_front();
        paused = false;
        in_burst = false;
      }
    }

    // Over TCP with no host connected, what the module says goes nowhere.
    if (options_.tcp && master_fd_ < 0 && !line.empty()) {
      bytes_sent_ += line.size();
      line.clear();
    }

    // Put what is due on the line.
    if (!line.empty() && !paused) {
      if (options_.paced && !in_burst) {
        in_burst = true;
        burst_start = now;
        burst_bytes = 0;
      }
      std::size_t n = line.size();
      if (options_.paced) {
        std::uint64_t due = bytes_due(burst_start, now, baud);
        n = due > burst_bytes ? static_cast<std::size_t>(std::min<std::uint64_t>(due - burst_bytes, n)) : 0;
      }
      n = std::min(n, kWriteChunk);
      if (vanish_point) n = static_cast<std::size_t>(std::min<std::uint64_t>(n, *vanish_point - bytes_sent_));
      if (!pauses.empty()) n = static_cast<std::size_t>(std::min<std::uint64_t>(n, pauses.front().at - bytes_sent_));
      if (n > 0) {
        std::uint8_t chunk[kWriteChunk];
        std::copy_n(line.begin(), n, chunk);
        // A socket whose host has gone is an error here, never a SIGPIPE.
        ssize_t w = options_.tcp ? ::send(master_fd_, chunk, n, MSG_NOSIGNAL) : ::write(master_fd_, chunk, n);
        write_blocked = w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (w < 0 && !write_blocked && options_.tcp) drop_connection();
        // A full pty (nobody reading) stops the line; it resumes at the pace,
        // not with a catch-up burst.
        if (write_blocked) in_burst = false;
        if (w > 0) {
          line.erase(line.begin(), line.begin() + w);
          burst_bytes += static_cast<std::uint64_t>(w);
          bytes_sent_ += static_cast<std::uint64_t>(w);
        }
      }
    }
    if (vanish_point && bytes_sent_.load() >= *vanish_point) break;

    // Sleep until a byte comes, a byte is due, a timer or a pause runs out or
    // we are woken.
    SimClock::duration timeout = kIdleSlice;
    if (next_timer) timeout = std::min(timeout, *next_timer - now);
    short master_events = POLLIN;
    if (paused) {
      timeout = std::min(timeout, paused_until - now);
    } else if (!line.empty()) {
      if (options_.paced && !write_blocked)
        timeout = std::min(timeout, byte_slot(burst_start, burst_bytes, baud) - now);
      else
        master_events |= POLLOUT;
    } else if (stale) {
      // The next stale row goes when this one is done (paced), or when the
      // host has read enough of the last ones (unpaced).
      timeout = std::min<SimClock::duration>(
          timeout, options_.paced ? byte_slot(burst_start, burst_bytes, baud) - now : kStaleUnpacedPoll);
    }
    // poll passes over a descriptor of -1: no host connected, no listener.
    pollfd fds[3] = {{master_fd_, master_events, 0}, {wake_pipe_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    timespec ts = to_timespec(timeout);
    int ready = ::ppoll(fds, 3, &ts, nullptr);
    if (ready < 0) continue;  // EINTR
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (::read(wake_pipe_[0], drain, sizeof drain) > 0) {
      }
    }
    if (fds[2].revents & POLLIN) take_connection();
    if (fds[0].revents & POLLOUT) write_blocked = false;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      std::uint8_t chunk[kReadChunk];
      ssize_t r = ::read(master_fd_, chunk, sizeof chunk);
      // A host that closed its connection has let go of the line.
      if (options_.tcp && (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR))) drop_connection();
      // A module fixed at its speed hears only garbage from a host set
      // otherwise: nothing of it reaches the controller.
      if (r > 0 && host_line_matches()) {
        std::lock_guard<std::mutex> lock(mutex_);
        SimClock::time_point at = SimClock::now();
        for (ssize_t i = 0; i < r; ++i) model_.host_byte(chunk[i], at);
      }
    }
  }
  if (vanish_requested_.load() || (vanish_point && bytes_sent_.load() >= *vanish_point)) {
    // A fault that vanishes after some rows lets the host read those rows
    // first: closing the master drops whatever the host has not yet read.
    if (!vanish_requested_.load()) {
      const auto give_up = SimClock::now() + std::chrono::seconds(2);
      // Bytes written to the master reach the slave's input queue a moment later.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      while (unread_by_host() > 0 && SimClock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The adapter is unplugged: the host's descriptor sees a hang-up. Marked
    // first, so that a host that has seen the hang-up also sees the mark.
    vanished_ = true;
    close_pty();
    line_closed_ = true;
  }
}
