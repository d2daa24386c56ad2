// The link key file on POSIX: mode 0600 whatever the umask, and replaced
// whole: the old file is never written into, and stays as it
// was when the new one cannot be written.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "link_keys.h"

namespace {
namespace fs = std::filesystem;

const DeviceAddress kCamera = {0x00, 0x1B, 0xDC, 0x40, 0x00, 0x0A};

std::string file_text(const fs::path& path) {
  std::stringstream in;
  in << std::ifstream(path, std::ios::binary).rdbuf();
  return in.str();
}

struct PosixKeyFile : ::testing::Test {
  fs::path scratch = fs::temp_directory_path() /
                     ("corvanta-keys-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::path file = scratch / "corvanta" / "link-keys";
  std::string error;
  ~PosixKeyFile() override { fs::remove_all(scratch); }
};

TEST_F(PosixKeyFile, OwnerOnlyWhateverTheUmask) {
  const mode_t mask = ::umask(0);
  const bool stored = store_link_key(file, {kCamera, {}, 0}, error);
  ::umask(mask);
  ASSERT_TRUE(stored) << error;
  struct stat info{};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(PosixKeyFile, ReplacedWholeNeverWrittenInto) {
  ASSERT_TRUE(store_link_key(file, {kCamera, {}, 0}, error)) << error;
  const std::string before = file_text(file);
  // A second name for the old file: writing into it would show there.
  const fs::path old_name = scratch / "old";
  fs::create_hard_link(file, old_name);
  LinkKeyEntry changed{kCamera, {}, 3};
  changed.key.fill(0x5A);
  ASSERT_TRUE(store_link_key(file, changed, error)) << error;
  EXPECT_EQ(file_text(old_name), before);
  EXPECT_NE(file_text(file), before);

  // A new file that cannot be written whole (the file size limit cuts it):
  // the old one stays, and no temporary file is left.
  const std::string whole = file_text(file);
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 16;
  ::setrlimit(RLIMIT_FSIZE, &small);
  changed.key.fill(0xA5);
  const bool stored = store_link_key(file, changed, error);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, SIG_DFL);
  EXPECT_FALSE(stored);
  EXPECT_NE(error.find("cannot write " + file.string()), std::string::npos) << error;
  EXPECT_EQ(file_text(file), whole);
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}
}  // namespace
