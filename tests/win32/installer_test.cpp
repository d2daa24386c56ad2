// The installer as a user meets it, under Wine: a silent install for
// everyone and one for the current user alone; each puts corvanta.exe with
// its version resource where that user's programs go, with a Start menu
// entry; the program starts from there and ends with its Exit button; the
// silent uninstall that Windows would run leaves nothing behind.
// installer_test.sh makes the installer and names it in CORVANTA_SETUP.
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "operation_runner.h"

namespace {
// Starting Wine's first process of a kind takes a few seconds on a busy machine.
constexpr auto kPatience = std::chrono::seconds(60);

template <typename Condition>
bool eventually(Condition condition) {
  auto until = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < until) {
    if (condition()) return true;
    ::Sleep(50);
  }
  return condition();
}

std::wstring widened(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring known_folder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  std::wstring result;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, 0, nullptr, &path))) result = path;
  ::CoTaskMemFree(path);
  // Wine 8 does not know the per-user programs folder; Windows has it at
  // %LOCALAPPDATA%\Programs.
  if (result.empty() && id == FOLDERID_UserProgramFiles) return known_folder(FOLDERID_LocalAppData) + L"\\Programs";
  return result;
}

bool exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A registry value as text; "" when the key or the value is missing.
std::wstring registry_text(HKEY root, const std::wstring& key, const wchar_t* name) {
  wchar_t value[512] = {};
  DWORD size = sizeof value;
  if (::RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) return L"";
  return value;
}

bool key_exists(HKEY root, const std::wstring& key) {
  HKEY handle = nullptr;
  if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  ::RegCloseKey(handle);
  return true;
}

// Runs a command line to its end; its exit status, or -1.
long run(std::wstring command_line) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  DWORD exit_code = 0;
  const bool ended = ::WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0;
  ::GetExitCodeProcess(process.hProcess, &exit_code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return ended ? static_cast<long>(exit_code) : -1;
}

struct VersionResource {
  DWORD file_ms = 0, file_ls = 0, product_ms = 0, product_ls = 0;
  std::wstring product_name, file_version, product_version, copyright;
};

VersionResource version_resource(const std::wstring& file) {
  VersionResource v;
  DWORD ignored = 0;
  std::vector<BYTE> data(::GetFileVersionInfoSizeW(file.c_str(), &ignored));
  if (data.empty() || !::GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(data.size()), data.data())) return v;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr) {
    v.file_ms = fixed->dwFileVersionMS;
    v.file_ls = fixed->dwFileVersionLS;
    v.product_ms = fixed->dwProductVersionMS;
    v.product_ls = fixed->dwProductVersionLS;
  }
  // The strings sit in the block that the translation entry names.
  const WORD* translation = nullptr;
  if (!::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", (void**)&translation, &length) || length < 4)
    return v;
  auto text = [&](const wchar_t* name) {
    wchar_t query[96];
    std::swprintf(query, 96, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], name);
    wchar_t* value = nullptr;
    UINT chars = 0;
    return ::VerQueryValueW(data.data(), query, (void**)&value, &chars) && value != nullptr ? std::wstring(value)
                                                                                             : std::wstring();
  };
  v.product_name = text(L"ProductName");
  v.file_version = text(L"FileVersion");
  v.product_version = text(L"ProductVersion");
  v.copyright = text(L"LegalCopyright");
  return v;
}

// Starts the installed program, waits for its window, presses Exit; the
// program's exit status, or -1.
long start_and_exit(const std::wstring& exe) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring command_line = L"\"" + exe + L"\"";
  if (!::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  HWND main = nullptr;
  const bool shown = eventually([&] {
    main = ::FindWindowA("QUOREL", "Corvanta Controller");
    DWORD owner = 0;
    if (main != nullptr) ::GetWindowThreadProcessId(main, &owner);
    return main != nullptr && owner == process.dwProcessId && ::IsWindowVisible(main);
  });
  if (shown) ::PostMessageA(::GetDlgItem(main, kIdExit), BM_CLICK, 0, 0);
  DWORD exit_code = 0;
  const bool ended = shown && ::WaitForSingleObject(process.hProcess, 20000) == WAIT_OBJECT_0;
  if (!ended) ::TerminateProcess(process.hProcess, 1);
  ::GetExitCodeProcess(process.hProcess, &exit_code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return ended ? static_cast<long>(exit_code) : -1;
}

// The project version, "1.0" or "1.2.3", as the four numbers of a version resource.
std::pair<DWORD, DWORD> version_numbers(const char* version) {
  unsigned part[4] = {};
  std::sscanf(version, "%u.%u.%u.%u", &part[0], &part[1], &part[2], &part[3]);
  return {MAKELONG(part[1], part[0]), MAKELONG(part[3], part[2])};
}

const wchar_t kInstallDirectory[] = L"Corvanta Controller";
const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvanta Controller";

TEST(Win32Installer, InstallsRunsAndUninstallsLeavingNothing) {
  const char* setup_path = std::getenv("CORVANTA_SETUP");
  ASSERT_NE(setup_path, nullptr) << "run by installer_test.sh, which makes the installer";
  std::wstring setup = L"Z:" + widened(setup_path);
  std::replace(setup.begin(), setup.end(), L'/', L'\\');
  ASSERT_TRUE(exists(setup)) << setup_path;

  const struct {
    const wchar_t* option;  // none: /S alone installs for everyone where it may
    KNOWNFOLDERID programs, start_menu;
    HKEY registry;
  } modes[] = {
      {L"", FOLDERID_ProgramFiles, FOLDERID_CommonPrograms, HKEY_LOCAL_MACHINE},
      {L" /CurrentUser", FOLDERID_UserProgramFiles, FOLDERID_Programs, HKEY_CURRENT_USER},
  };
  for (const auto& mode : modes) {
    SCOPED_TRACE(mode.option[0] != 0 ? "per user" : "per machine");
    ASSERT_FALSE(known_folder(mode.programs).empty());
    ASSERT_FALSE(known_folder(mode.start_menu).empty());
    const std::wstring directory = known_folder(mode.programs) + L"\\" + kInstallDirectory;
    const std::wstring exe = directory + L"\\corvanta.exe";
    const std::wstring shortcut = known_folder(mode.start_menu) + L"\\Corvanta Controller.lnk";
    ASSERT_FALSE(exists(directory));

    ASSERT_EQ(run(L"\"" + setup + L"\" /S" + mode.option), 0);
    for (const wchar_t* file : {L"corvanta.exe", L"README.md", L"LICENSE.txt", L"Uninstall.exe"})
      EXPECT_TRUE(exists(directory + L"\\" + file)) << file;
    EXPECT_TRUE(exists(shortcut));
    EXPECT_EQ(registry_text(mode.registry, kUninstallKey, L"InstallLocation"), directory);
    EXPECT_EQ(registry_text(mode.registry, kUninstallKey, L"DisplayVersion"), widened(CORVANTA_VERSION));

    const VersionResource v = version_resource(exe);
    const auto [high, low] = version_numbers(CORVANTA_VERSION);
    EXPECT_EQ(v.file_ms, high);
    EXPECT_EQ(v.file_ls, low);
    EXPECT_EQ(v.product_ms, high);
    EXPECT_EQ(v.product_ls, low);
    EXPECT_EQ(v.product_name, L"Corvanta Controller");
    EXPECT_EQ(v.file_version, widened(CORVANTA_VERSION));
    EXPECT_EQ(v.product_version, widened(CORVANTA_VERSION));
    EXPECT_NE(v.copyright.find(L"MIT License"), std::wstring::npos);

    EXPECT_EQ(start_and_exit(exe), 0);

    // The uninstaller Windows runs: it copies itself away and returns at
    // once, so what it removes is awaited.
    const std::wstring uninstall = registry_text(mode.registry, kUninstallKey, L"QuietUninstallString");
    ASSERT_FALSE(uninstall.empty());
    ASSERT_EQ(run(uninstall), 0);
    eventually([&] { return !exists(directory) && !exists(shortcut) && !key_exists(mode.registry, kUninstallKey); });
    EXPECT_FALSE(exists(directory));
    EXPECT_FALSE(exists(shortcut));
    EXPECT_FALSE(key_exists(mode.registry, kUninstallKey));
  }
}
}  // namespace
