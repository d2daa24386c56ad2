// Where the Linux window keeps its settings: under $XDG_CONFIG_HOME, else
// under ~/.config.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "settings.h"

namespace {
TEST(SettingsPath, FollowsXdgConfigHomeElseHome) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  const std::string saved_config = config != nullptr ? config : "";
  const std::string saved_home = home != nullptr ? home : "";
  ::setenv("XDG_CONFIG_HOME", "/somewhere/config", 1);
  EXPECT_EQ(settings_file_path(), std::filesystem::path("/somewhere/config/corvanta/corvanta.conf"));
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/home/user", 1);
  EXPECT_EQ(settings_file_path(), std::filesystem::path("/home/user/.config/corvanta/corvanta.conf"));
  if (config != nullptr) ::setenv("XDG_CONFIG_HOME", saved_config.c_str(), 1);
  if (home != nullptr) ::setenv("HOME", saved_home.c_str(), 1);
}
}  // namespace
