#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "settings.h"

std::filesystem::path settings_file_path() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  std::filesystem::path directory = config != nullptr && *config != '\0'
                                        ? std::filesystem::path(config)
                                        : std::filesystem::path(home != nullptr ? home : "") / ".config";
  return directory / "corvanta" / "corvanta.conf";
}

bool write_file_atomically(const std::filesystem::path& path, const std::string& bytes, std::string& error,
                           bool owner_only) {
  std::string temporary = path.string() + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    error = "cannot write " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  ::fchmod(fd, owner_only ? 0600 : 0644);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  // Whole and on the disk before it takes the old file's place.
  const bool whole = done == bytes.size() && ::fsync(fd) == 0;
  const int saved = errno;
  if (::close(fd) != 0 || !whole || ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path.string() + ": " + std::strerror(whole ? errno : saved);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}
