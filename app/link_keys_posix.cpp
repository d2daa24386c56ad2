#include <stdlib.h>

#include "link_keys.h"

// $XDG_STATE_HOME, else ~/.local/state: keys are state the program keeps,
// not settings a user edits.
std::filesystem::path link_key_file_path() {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  std::filesystem::path directory = state != nullptr && *state != '\0'
                                        ? std::filesystem::path(state)
                                        : std::filesystem::path(home != nullptr ? home : "") / ".local" / "state";
  return directory / "corvanta" / "link-keys";
}
