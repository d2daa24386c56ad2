#include "port_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {
std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// The target of a symbolic link, or empty when `path` is not one.
std::string link_target(const std::string& path) {
  char target[PATH_MAX] = {};
  ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}
}  // namespace

std::string ports_directory() {
  std::string ports = env_or_empty("CORVANTA_PORTS");
  if (!ports.empty()) return ports;
  std::string config = env_or_empty("XDG_CONFIG_HOME");
  if (config.empty()) config = env_or_empty("HOME") + "/.config";
  return config + "/corvanta/ports";
}

std::string mapped_port_entry(std::uint8_t port_number) {
  return ports_directory() + "/com" + std::to_string(port_number);
}

std::string posix_port_path(std::uint8_t port_number) {
  std::string mapped = mapped_port_entry(port_number);
  struct stat info{};
  // lstat: an entry that exists is the user's choice, even when it points at
  // an adapter that is unplugged; never write to whatever /dev/ttyS<n-1> is.
  if (::lstat(mapped.c_str(), &info) == 0) return mapped;
  return "/dev/ttyS" + std::to_string(port_number - 1);
}

std::string port_open_error_text(const PortOpenError& failure) {
  const std::string& path = failure.path;
  const std::string target = link_target(path);
  const std::string named = target.empty() ? path : path + " -> " + target;
  switch (failure.error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      if (!target.empty()) return named + ": the device does not exist (adapter unplugged?)";
      return path + ": no such device";
    case EACCES:
    case EPERM:
      return named + ": permission denied (join the dialout group: sudo usermod -aG dialout $USER, "
                     "then log in again)";
    case EBUSY:
    case EWOULDBLOCK:
      return named + ": busy (another program holds the port)";
    default:
      break;
  }
  const char* what = failure.step == PortOpenStep::configure ? "cannot set up the line"
                     : failure.step == PortOpenStep::flush   ? "cannot flush the line"
                                                             : "cannot open";
  return named + ": " + what + ": " + std::strerror(failure.error);
}
