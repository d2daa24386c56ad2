#include "port_path.h"

#include <sys/stat.h>

#include <cstdlib>

namespace {
std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
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
  // stat follows a symlink: a dangling one (adapter unplugged) falls back too.
  if (::stat(mapped.c_str(), &info) == 0) return mapped;
  return "/dev/ttyS" + std::to_string(port_number - 1);
}
