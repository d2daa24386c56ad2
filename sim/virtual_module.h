#pragma once
// A virtual Bluetooth module on a real pseudo-terminal: the host opens the
// pty slave exactly as it opens a serial adapter, and a thread of ours
// serves the master side as a controller with cameras in range would. With
// SimOptions::tcp it serves H4 on a TCP port of the loopback address
// instead, one connection at a time, as a module behind ser2net would be.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "controller_model.h"
#include "sim_options.h"

class VirtualModule {
 public:
  explicit VirtualModule(SimOptions options);
  ~VirtualModule();  // stop()
  VirtualModule(const VirtualModule&) = delete;
  VirtualModule& operator=(const VirtualModule&) = delete;

  bool start();                                // opens a raw pty (or listens), serves it on its own thread
  const std::string& device_path() const;      // the pty slave path ("" over TCP)
  std::uint16_t tcp_port() const { return tcp_port_; }  // over TCP, the port it listens on
  // Symlinks <ports>/comN -> device_path(), removed by stop(). Never replaces
  // an entry another program or user made, nor one a running module holds;
  // false with publish_error() saying which.
  bool publish_as(std::uint8_t port_number);
  const std::string& publish_error() const { return publish_error_; }
  void stop();

  // The camera's current view as the 13,824-byte UYVY frame it would send on
  // "U", so tests can compare a captured picture pixel-exact.
  std::array<std::uint8_t, kFrameBufferSize> camera_view(std::size_t camera_index) const;

  // A camera pages the host; false when it cannot (see ControllerModel).
  bool page_host(std::size_t camera_index);
  // The third device, no camera, pages the host; false when it cannot.
  bool intruder_pages_host();
  // The link key a camera keeps for this module (none: it never paired, or
  // has forgotten the host); setting none makes it ask for the PIN again.
  std::optional<LinkKey> camera_key(std::size_t camera_index) const;
  void set_camera_key(std::size_t camera_index, const std::optional<LinkKey>& key);
  // Faults can change while the module runs, between operations.
  void set_faults(const SimFaults& faults);
  // The port vanishes now, as an unplugged adapter does; returns once it has.
  void vanish();

  // What the host has sent so far, for tests.
  std::vector<ReceivedCommand> commands_received() const;
  std::size_t acl_packets_received() const;
  std::vector<SignalCommand> host_signals() const;
  // The chaos records from the `from`-th on (see ControllerModel).
  // The chaos records made since the last call, handed over: the module
  // keeps none, so a long run's memory stays flat.
  std::vector<ChaosRecord> take_chaos_records();
  // Bytes written to the host so far.
  std::uint64_t bytes_sent() const { return bytes_sent_.load(); }
  bool vanished() const { return vanished_.load(); }

 private:
  void serve();
  void close_pty();
  void wake();
  bool listen_on_loopback();
  // Bytes written to the host that it has not read yet.
  int unread_by_host() const;
  // With a fixed line: the host's side of the pty is set as the module's.
  bool host_line_matches() const;
  // Over TCP: a host that connects takes the line; one that closes leaves it.
  void take_connection();
  void drop_connection();

  SimOptions options_;
  mutable std::mutex mutex_;  // guards model_
  ControllerModel model_;
  int master_fd_ = -1;
  int slave_fd_ = -1;  // held so the pty survives the host closing and reopening it
  int listen_fd_ = -1;  // over TCP; master_fd_ is then the host's connection (-1: none)
  std::uint16_t tcp_port_ = 0;
  int wake_pipe_[2] = {-1, -1};
  std::string device_path_;
  std::string published_link_;
  std::string publish_error_;
  int owner_fd_ = -1;  // <ports>/.comN.owner, locked while we publish comN
  std::thread server_;
  std::atomic<bool> running_{false};
  std::atomic<bool> vanish_requested_{false};
  std::atomic<bool> vanished_{false};
  std::atomic<bool> line_closed_{false};
  std::atomic<std::uint64_t> bytes_sent_{0};
};
