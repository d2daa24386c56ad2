#pragma once
// The Windows window: start-up, the main window with its eight controls and
// the picture, the message loop with the About accelerators, and the About
// box, as a thin shell over the toolkit-free runner (operation_runner.h).
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "host_state.h"
#include "live_picture.h"
#include "operation_runner.h"
#include "port_switch.h"
#include "settings.h"
#include "tcp_serial.h"
#include "win32_serial.h"
#include "window_layout.h"

// What the program starts the window with besides its instance: the
// settings (the file's, then the command line's), the ports present, where
// the settings dialog saves ("": nowhere), problems with the settings file
// to show once the window is up, and where pairing keeps link keys ("":
// nowhere).
struct Win32Start {
  WindowSettings settings;
  std::vector<std::string> present_ports;
  std::filesystem::path settings_file;
  std::vector<std::string> problems;
  std::filesystem::path key_file;
};

// The status line under the picture: a static text control, no button.
inline constexpr int kIdStatusLine = 1030;
// Sent, not posted, from another thread with lParam a const
// std::filesystem::path*: starts a record into that folder as "Record to
// folder..." does once its folder is chosen; returns TRUE when it started.
inline constexpr UINT WM_RECORD_TO_FOLDER = WM_USER + 5;

// The shell's state, one per process, made by app_main and kept until the
// process ends (nothing is released at exit). The window procedure and the
// dialog procedure find it through win32_shell().
struct Win32Shell final : ShellWindow {
  HINSTANCE app_instance = nullptr;
  char title_text[100] = {};
  char class_name_text[100] = {};
  HWND main_window = nullptr;
  HWND port_box = nullptr;
  HWND device_list = nullptr;
  HWND pin_dialog = nullptr;  // the PIN dialog while it is open
  HWND status_line = nullptr;
  // The window's DPI, the picture's zoom and the geometry for both; the
  // controls' font for the DPI (nullptr: the System font they take by
  // default) and the status line's.
  int dpi = 96;
  int zoom = kMinZoom;
  WindowLayout layout = window_layout(96, kMinZoom);
  HFONT control_font = nullptr;
  HFONT status_font = nullptr;
  // The Live item's check mark, as live_changed last said; the picture's
  // context menu while it is open, so that the mark follows meanwhile.
  bool live_checked = false;
  HMENU open_menu = nullptr;
  BITMAPINFO picture_info{};
  Picture* picture = nullptr;  // GlobalAlloc'd, zero-filled: the picture shown (window thread only)

  Win32Serial serial;
  TcpSerial tcp;
  PortSwitch ports{serial, tcp};
  HostState host;
  AppShell shell{host, *this};
  LivePicture live;  // the rows of a capture, on their way to `picture`
  WorkerBody worker_body = nullptr;
  OperationRequest* worker_request = nullptr;
  // From the worker's start to its report: the busy cursor for an
  // operation, the wait cursor for a key command (nullptr: neither).
  LPCSTR busy_cursor = nullptr;

  // The port box's items and its selection at start (port_box_items).
  std::vector<std::string> port_items{kPortBoxItems.begin(), kPortBoxItems.end()};
  int port_selection = kPortBoxDefaultSelection;
  std::filesystem::path settings_file;

  // The picture zoomed by `wanted` (clamped to kMinZoom..kMaxZoom): the
  // window grows or shrinks to hold it, its top-left corner staying put; a
  // change is saved with the settings unless `save` is false.
  void set_zoom(int wanted, bool save = true);
  // "Stop recording" while a record runs; else "Record to folder...": asks
  // for the folder, then records into it.
  void record_from_menu();
  // Asks for a file name with the common Save dialog, then saves the picture
  // as BMP (Ctrl+S, the picture's context menu).
  void save_picture_as();
  // The settings dialog (the system menu, the picture's context menu); OK
  // applies and saves what it holds.
  void open_settings_dialog();
  // The settings as the window holds them: the port box's selection and
  // the line Open uses.
  WindowSettings current_settings();
  // Selects `chosen`'s port (added to the box when missing), takes its line
  // for the next Open, and saves both; false after a message box when the
  // file cannot be written.
  bool apply_settings(const WindowSettings& chosen);
  // Writes the settings file; false, after saying so, when it cannot.
  bool write_settings();

  // ShellWindow. The control calls work from the worker too: Windows
  // carries a message to another thread's window on that thread and waits.
  void enable_control(int control_id, bool enabled) override;
  std::string port_box_selection() override;
  void clear_device_list() override;
  void add_device_line(const std::string& text) override;
  int device_list_selection() override;
  void show_message(const FailureMessage& message, const std::string& details) override;
  void focus_main_window() override;
  void open_about_box() override;
  void destroy_main_window() override;
  bool start_worker(WorkerBody body, OperationRequest* request) override;
  void send_operation_done(std::int32_t operation_id, std::int32_t status) override;
  void wake_for_pin() override;
  void open_pin_dialog(const std::string& address) override;
  void close_pin_dialog() override;
  void show_notice(const std::string& text) override;
  bool confirm(const std::string& text) override;
  void save_settings() override;
  void show_status(const std::string& text) override;
  void live_changed(bool on) override;
  void post_next_step() override;
};

// The process's shell, or nullptr before app_main has made it.
Win32Shell* win32_shell();

// The process entry's work: strings, class, window, message loop. The exit
// code is the quit message's wParam; 0 when the window cannot be created.
// Without `start` the window opens as it always has: COM1 to COM6,
// COM5 selected, the default line, nothing saved.
int app_main(HINSTANCE instance, int show_state, const Win32Start& start = {});
ATOM register_main_class(HINSTANCE instance);
bool create_main_window(HINSTANCE instance, int show_state);
LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
// lParam of WM_INITDIALOG: the WindowSettings to show, filled on OK.
INT_PTR CALLBACK settings_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
// Not modal; lParam of WM_INITDIALOG: the asking device's address text
// (std::string). OK and Cancel answer through pin_dialog_answered.
INT_PTR CALLBACK pin_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// The program's arguments after its name, split (--opt=value as --opt
// value), in UTF-8.
std::vector<std::string> command_line_arguments();
// Text in a code page (CP_UTF8, 932) as UTF-16, and UTF-16 as UTF-8.
std::wstring wide_text(UINT code_page, const char* text);
std::string utf8_text(const wchar_t* text);

// Writes the picture as a .bmp file: into a temporary file beside `path`
// first, moved over `path` only once written whole. False when it cannot.
bool write_bmp_replacing(const std::wstring& path, const Picture& picture);

// A failure text as the program stores it, in code page 932 (Shift-JIS).
const char* failure_text_cp932(const FailureMessage& message);
