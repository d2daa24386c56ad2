#include <windows.h>

#include <cstdlib>

#include "settings.h"

namespace {
std::string last_error_text() {
  char text[256] = {};
  ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ::GetLastError(), 0, text,
                   sizeof text, nullptr);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}
}  // namespace

std::filesystem::path settings_file_path() {
  // Wide: a user's folder may hold characters of any code page.
  const wchar_t* appdata = ::_wgetenv(L"APPDATA");
  return std::filesystem::path(appdata != nullptr ? appdata : L".") / L"Corvanta" / L"corvanta.ini";
}

// A file only its owner reads needs nothing more here: %LOCALAPPDATA% is the
// user's own, and the temporary file takes its folder's access rules.
bool write_file_atomically(const std::filesystem::path& path, const std::string& bytes, std::string& error, bool) {
  wchar_t temporary[MAX_PATH];
  const std::wstring folder = path.parent_path().empty() ? L"." : path.parent_path().wstring();
  if (::GetTempFileNameW(folder.c_str(), L"cvt", 0, temporary) == 0) {  // it makes the file
    error = "cannot write " + path_text(path) + ": " + last_error_text();
    return false;
  }
  HANDLE file = ::CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool whole = false;
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    whole = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size() && ::FlushFileBuffers(file);
    if (!::CloseHandle(file)) whole = false;
  }
  if (whole && ::MoveFileExW(temporary, path.wstring().c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  error = "cannot write " + path_text(path) + ": " + last_error_text();
  ::DeleteFileW(temporary);
  return false;
}
