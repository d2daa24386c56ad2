#include <cstdlib>

#include "link_keys.h"

// %LOCALAPPDATA%: keys belong to this computer's user, and do not roam.
std::filesystem::path link_key_file_path() {
  // Wide: a user's folder may hold characters of any code page.
  const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA");
  return std::filesystem::path(local != nullptr ? local : L".") / L"Corvanta" / L"link-keys";
}
