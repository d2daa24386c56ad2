// Where the Linux window keeps its settings: under $XDG_CONFIG_HOME, else
// under ~/.config; and the link keys: under $XDG_STATE_HOME, else under
// ~/.local/state.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "link_keys.h"
#include "settings.h"

namespace {
TEST(SettingsPath, FollowsXdgElseHome) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  const std::string saved_config = config != nullptr ? config : "";
  const std::string saved_state = state != nullptr ? state : "";
  const std::string saved_home = home != nullptr ? home : "";
  ::setenv("XDG_CONFIG_HOME", "/somewhere/config", 1);
  ::setenv("XDG_STATE_HOME", "/somewhere/state", 1);
  EXPECT_EQ(settings_file_path(), std::filesystem::path("/somewhere/config/corvanta/corvanta.conf"));
  EXPECT_EQ(link_key_file_path(), std::filesystem::path("/somewhere/state/corvanta/link-keys"));
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("XDG_STATE_HOME");
  ::setenv("HOME", "/home/user", 1);
  EXPECT_EQ(settings_file_path(), std::filesystem::path("/home/user/.config/corvanta/corvanta.conf"));
  EXPECT_EQ(link_key_file_path(), std::filesystem::path("/home/user/.local/state/corvanta/link-keys"));
  if (config != nullptr) ::setenv("XDG_CONFIG_HOME", saved_config.c_str(), 1);
  if (state != nullptr) ::setenv("XDG_STATE_HOME", saved_state.c_str(), 1);
  if (home != nullptr) ::setenv("HOME", saved_home.c_str(), 1);
}
}  // namespace
