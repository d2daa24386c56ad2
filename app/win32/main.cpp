// corvanta.exe: the controller's window on Windows.
//
//   corvanta.exe [--port PORT] [--baud RATE] [--flow none|rtscts]
//
// The settings file (%APPDATA%\\Corvanta\\corvanta.ini) is read once, here;
// the options take its place for this run. Link keys that pairing made are
// kept in %LOCALAPPDATA%\\Corvanta\\link-keys.
#include <windows.h>

#include "link_keys.h"
#include "port_list.h"
#include "win32_shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_state) {
  Win32Start start;
  start.settings_file = settings_file_path();
  read_settings_file(start.settings_file, start.settings, start.problems);
  std::vector<std::string> args = command_line_arguments();
  std::string error;
  if (!take_line_options(args, start.settings, error) || !args.empty()) {
    const std::string text = (error.empty() ? "unknown option " + args.front() : error) + "\n\nOptions:\n" + kLineOptionsUsage;
    ::MessageBoxW(nullptr, wide_text(CP_UTF8, text.c_str()).c_str(), L"Corvanta Controller", MB_OK | MB_ICONERROR);
    ::ExitProcess(2);
  }
  start.present_ports = present_ports();
  start.key_file = link_key_file_path();
  // End at once: a worker may still be inside an operation, and nothing is
  // released explicitly (the system frees the port).
  ::ExitProcess(static_cast<UINT>(app_main(instance, show_state, start)));
}
