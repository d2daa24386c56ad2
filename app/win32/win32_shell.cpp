#include "win32_shell.h"

#include <commctrl.h>
#include <commdlg.h>
#include <imm.h>
#include <process.h>
#include <shellapi.h>
#include <shlobj.h>
#include <windowsx.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "bmp_file.h"
#include "host_ops.h"
#include "line_text.h"
#include "pairing_shell.h"
#include "port_name.h"
#include "program_options.h"
#include "resource_ids.h"

namespace {
Win32Shell* the_shell = nullptr;

constexpr DWORD kPortBoxStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | CBS_DROPDOWNLIST;  // 0x50200003
constexpr DWORD kDeviceListStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | LBS_NOTIFY;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON;  // 0x50000000
constexpr DWORD kMainWindowStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // 0x80CA0000
// The port box's height as created: its dropped-down list's, at 96 DPI.
constexpr int kPortListHeight = 100;
// The System font's height at 96 DPI: the controls' font by default.
constexpr int kSystemFontHeight = 16;
// The picture's context menu; its Live item is the runner's kCommandLive.
constexpr UINT kCommandSavePicture = 106;
constexpr UINT kCommandRecord = 120;
constexpr UINT kCommandZoomIn = 121;
constexpr UINT kCommandZoomOut = 122;
constexpr UINT kCommandActualSize = 123;
// The status line's characters at 96 DPI, smaller than the controls' so
// that a line of it fits under the picture.
constexpr int kStatusFontHeight = 10;
// One line at zoom 1, cut with an ellipsis; beyond, its place is several
// lines high and the text wraps.
constexpr DWORD kStatusStyleOneLine = WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS | SS_NOPREFIX;
constexpr DWORD kStatusStyleWrapped = WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX;
// From the worker: a capture has rows for the window (LivePicture).
constexpr UINT WM_PICTURE_ROWS = WM_USER + 2;
// From the worker: a PIN question was asked or given up (pin_question_changed).
constexpr UINT WM_PIN_QUESTION = WM_USER + 3;
// Posted to itself: the runner's next step once a report is handled (live view).
constexpr UINT WM_NEXT_STEP = WM_USER + 4;

struct ControlKind {
  const char* control_class;
  DWORD style;
};

// Each control's class and style, in kControlPlaces' order: port box, device
// list, then the six buttons.
constexpr ControlKind kControlKinds[] = {
    {"COMBOBOX", kPortBoxStyle},  {"LISTBOX", kDeviceListStyle}, {"BUTTON", kButtonStyle},
    {"BUTTON", kButtonStyle},     {"BUTTON", kButtonStyle},      {"BUTTON", kButtonStyle},
    {"BUTTON", kButtonStyle},     {"BUTTON", kButtonStyle},
};
static_assert(std::size(kControlKinds) == kControlPlaces.size());

// The failure texts in code page 932, as the program stores them; the runner
// holds the same texts in UTF-8 (a test compares the two).
struct StoredText {
  const FailureMessage* message;
  const char* cp932;
};
const StoredText kStoredTexts[] = {
    {&kOpenFailed,
     "Bluetooth\x83\x82\x83W\x83\x85\x81[\x83\x8B\x82\xF0\x8F\x89\x8A\xFA\x89\xBB\x8Fo\x97\x88\x82\xDC\x82\xB9"
     "\x82\xF1"},
    {&kInquiryFailed,
     "\x91\xBC\x82\xCC"
     "Bluetooth\x83"
     "f\x83o\x83"
     "C\x83X\x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1"},
    {&kConnectFailed, "Connect\x8Fo\x97\x88\x82\xDC\x82\xB9\x82\xF1"},
    {&kDisconnectFailed, "Disconnect\x8Fo\x97\x88\x82\xDC\x82\xB9\x82\xF1"},
};

void wake_for_rows(void* context) {
  ::PostMessageA(static_cast<Win32Shell*>(context)->main_window, WM_PICTURE_ROWS, 0, 0);
}

// Window thread: the rows waiting go into the picture shown, and are
// painted where they go.
void show_new_rows(Win32Shell& shell, HWND window) {
  if (shell.picture == nullptr) return;
  const RowSpan rows = take_live_rows(shell.live, *shell.picture);
  if (rows.count == 0) return;
  const LayoutRect& shown = shell.layout.picture;
  const int scale = shell.layout.picture_scale;
  const RECT place{shown.x, shown.y + rows.first * scale, shown.x + shown.width,
                   shown.y + (rows.first + rows.count) * scale};
  ::InvalidateRect(window, &place, FALSE);
}

unsigned __stdcall worker_thread(void* context) {
  auto* shell = static_cast<Win32Shell*>(context);
  shell->worker_body(shell->worker_request);
  return 0;  // the thread ends as _endthreadex(0) would end it
}

// The port box's list as wide as its longest name; the box keeps its width.
void fit_port_list(HWND box) {
  HDC dc = ::GetDC(box);
  HGDIOBJ old_font = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(box, WM_GETFONT, 0, 0)));
  int widest = 0;
  const LRESULT count = ::SendMessageW(box, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    wchar_t item[MAX_PATH] = {};
    if (::SendMessageW(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) >= MAX_PATH) continue;
    ::SendMessageW(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
    SIZE size{};
    ::GetTextExtentPoint32W(dc, item, static_cast<int>(std::wcslen(item)), &size);
    widest = std::max(widest, static_cast<int>(size.cx));
  }
  ::SelectObject(dc, old_font);
  ::ReleaseDC(box, dc);
  ::SendMessageW(box, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(widest + ::GetSystemMetrics(SM_CXVSCROLL) + 8), 0);
}

// Selects `name` in the port box, adding it first when it is not there.
void select_port(HWND box, const std::string& name) {
  const std::wstring wide = wide_text(CP_UTF8, name.c_str());
  LRESULT index = ::SendMessageW(box, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(wide.c_str()));
  if (index == CB_ERR) index = ::SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
  ::SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  fit_port_list(box);
}

// A user32 call that older Windows lack, or nullptr there.
template <typename Call>
Call user32_call(const char* name) {
  // Through void (*)(): the one function type any other converts from
  // without a warning.
  return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleA("user32.dll"), name)));
}

// GetDpiForWindow (Windows 10 1607 and later) gives the window's monitor's;
// without it every monitor has the screen's.
int window_dpi(HWND window) {
  if (auto dpi_for_window = user32_call<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
      dpi_for_window != nullptr && window != nullptr) {
    if (const UINT dpi = dpi_for_window(window); dpi > 0) return static_cast<int>(dpi);
  }
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

// The outer size that holds the client area of `layout` under the frame and
// caption metrics at `dpi` (230 x 220 in the classic look at 96 DPI; more
// where they are thicker).
SIZE outer_size(const WindowLayout& layout, int dpi) {
  RECT outer{0, 0, layout.client_width, layout.client_height};
  if (auto adjust_for_dpi = user32_call<BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi")) {
    adjust_for_dpi(&outer, kMainWindowStyle, FALSE, 0, static_cast<UINT>(dpi));
  } else {
    ::AdjustWindowRectEx(&outer, kMainWindowStyle, FALSE, 0);
  }
  return {outer.right - outer.left, outer.bottom - outer.top};
}

// The controls' font at `dpi`: the System font, its height scaled as every
// length is. nullptr at 96 DPI: the System font itself.
HFONT make_control_font(int dpi) {
  LOGFONTW font{};
  ::GetObjectW(::GetStockObject(SYSTEM_FONT), sizeof font, &font);
  if (dpi == 96 && font.lfHeight == kSystemFontHeight) return nullptr;
  font.lfHeight = scale_for_dpi(kSystemFontHeight, dpi);
  // The face's own proportions: the stock font's width, fixed for its
  // height, would squeeze or stretch the letters at another.
  font.lfWidth = 0;
  return ::CreateFontIndirectW(&font);
}

// The status line's font at `dpi`: the dialog face, kStatusFontHeight
// pixels a character, scaled.
HFONT make_status_font(int dpi) {
  LOGFONTW font{};
  ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
  font.lfHeight = -scale_for_dpi(kStatusFontHeight, dpi);
  font.lfWidth = 0;
  return ::CreateFontIndirectW(&font);
}

DWORD status_style(int zoom) { return zoom > kMinZoom ? kStatusStyleWrapped : kStatusStyleOneLine; }

// A control's place in `layout`; the port box's height is its dropped-down
// list's.
LayoutRect control_place(const Win32Shell& shell, std::size_t index) {
  LayoutRect place = shell.layout.controls[index];
  if (kControlPlaces[index].id == kIdPortBox) place.height = scale_for_dpi(kPortListHeight, shell.dpi);
  return place;
}

// The geometry and the controls' font for `dpi`, before the controls exist
// or to move them.
void take_dpi(Win32Shell& shell, int dpi) {
  shell.dpi = dpi;
  shell.layout = window_layout(dpi, shell.zoom);
  if (shell.control_font != nullptr) ::DeleteObject(shell.control_font);
  shell.control_font = make_control_font(dpi);
  if (shell.status_font != nullptr) ::DeleteObject(shell.status_font);
  shell.status_font = make_status_font(dpi);
}

// After a DPI or zoom change: each control gets the new font, then its new
// place (a combo box sizes its closed height from its font); the whole
// window is painted again.
void lay_out_controls(Win32Shell& shell, HWND window) {
  for (std::size_t i = 0; i < kControlPlaces.size(); ++i) {
    HWND control = ::GetDlgItem(window, kControlPlaces[i].id);
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(shell.control_font), FALSE);
    const LayoutRect place = control_place(shell, i);
    ::SetWindowPos(control, nullptr, place.x, place.y, place.width, place.height, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  fit_port_list(shell.port_box);
  const LayoutRect& status = shell.layout.status_line;
  ::SendMessageW(shell.status_line, WM_SETFONT, reinterpret_cast<WPARAM>(shell.status_font), FALSE);
  ::SetWindowLongW(shell.status_line, GWL_STYLE, static_cast<LONG>(status_style(shell.zoom)));
  ::SetWindowPos(shell.status_line, nullptr, status.x, status.y, status.width, status.height,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  ::InvalidateRect(window, nullptr, TRUE);
}

void create_controls(Win32Shell& shell, HWND window) {
  for (std::size_t i = 0; i < kControlPlaces.size(); ++i) {
    const ControlPlace& row = kControlPlaces[i];
    const LayoutRect place = control_place(shell, i);
    HWND control = ::CreateWindowExA(0, kControlKinds[i].control_class, row.text, kControlKinds[i].style, place.x,
                                     place.y, place.width, place.height, window,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), shell.app_instance, nullptr);
    if (shell.control_font != nullptr)
      ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(shell.control_font), FALSE);
    if (row.id == kIdPortBox) {
      shell.port_box = control;
      for (const std::string& item : shell.port_items)
        ::SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide_text(CP_UTF8, item.c_str()).c_str()));
      ::SendMessageA(control, CB_SETCURSEL, static_cast<WPARAM>(shell.port_selection), 0);
      fit_port_list(control);
    } else if (row.id == kIdDeviceList) {
      shell.device_list = control;
    }
  }
  const LayoutRect& status = shell.layout.status_line;
  shell.status_line = ::CreateWindowExW(0, L"STATIC", L"", status_style(shell.zoom), status.x, status.y, status.width,
                                        status.height, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdStatusLine)),
                                        shell.app_instance, nullptr);
  ::SendMessageW(shell.status_line, WM_SETFONT, reinterpret_cast<WPARAM>(shell.status_font), FALSE);
}

void prepare_picture(Win32Shell& shell) {
  BITMAPINFOHEADER& header = shell.picture_info.bmiHeader;
  const BitmapInfoHeader fields;
  header.biSize = fields.biSize;
  header.biWidth = fields.biWidth;
  header.biHeight = fields.biHeight;
  header.biPlanes = fields.biPlanes;
  header.biBitCount = fields.biBitCount;
  header.biCompression = fields.biCompression;
  header.biSizeImage = fields.biSizeImage;
  header.biXPelsPerMeter = fields.biXPelsPerMeter;
  header.biYPelsPerMeter = fields.biYPelsPerMeter;
  header.biClrUsed = fields.biClrUsed;
  header.biClrImportant = fields.biClrImportant;
  // Zero-filled and never released; its pixels are the 20,736-byte picture.
  void* memory = ::GlobalAlloc(GPTR, sizeof(Picture));
  shell.picture = memory != nullptr ? new (memory) Picture : nullptr;
  shell.live.host = &shell.host;
  shell.live.wake = wake_for_rows;
  shell.live.window = &shell;
  shell.shell.view = live_picture_view(shell.live);
  // The picture starts as the conversion of the still empty receive buffer.
  if (shell.picture != nullptr)
    convert_frame(shell.host.frame_buffer.data(), shell.picture->pixels.data(), kPictureWidth, kPictureHeight);
}

// The busy cursor while an operation runs: the arrow with a busy mark, as
// the window stays live (Exit, About); the wait cursor while a key command
// runs.
HCURSOR window_cursor(const Win32Shell& shell) {
  return ::LoadCursorA(nullptr, shell.busy_cursor != nullptr ? shell.busy_cursor : IDC_ARROW);
}

void show_picture_menu(Win32Shell& shell, HWND window, LPARAM lparam) {
  POINT at{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
  const LayoutRect& shown = shell.layout.picture;
  const RECT picture{shown.x, shown.y, shown.x + shown.width, shown.y + shown.height};
  if (at.x == -1 && at.y == -1) {  // from the keyboard: at the picture
    at = {shown.x, shown.y};
    ::ClientToScreen(window, &at);
  }
  POINT client = at;
  ::ScreenToClient(window, &client);
  if (!::PtInRect(&picture, client)) return;
  HMENU menu = ::CreatePopupMenu();
  auto enabled_if = [](bool on) { return MF_STRING | (on ? MF_ENABLED : MF_GRAYED); };
  ::AppendMenuW(menu, MF_STRING, kCommandSavePicture, L"Save Picture...\tCtrl+S");
  ::AppendMenuW(menu, MF_STRING | (shell.live_checked ? MF_CHECKED : MF_UNCHECKED), kCommandLive, L"Live");
  ::AppendMenuW(menu, MF_STRING, kCommandRecord, recording(shell.shell) ? L"Stop recording" : L"Record to folder...");
  ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(menu, enabled_if(shell.zoom < kMaxZoom), kCommandZoomIn, L"Zoom In\tCtrl++");
  ::AppendMenuW(menu, enabled_if(shell.zoom > kMinZoom), kCommandZoomOut, L"Zoom Out\tCtrl+-");
  ::AppendMenuW(menu, MF_STRING, kCommandActualSize, L"Actual Size\tCtrl+0");
  ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(menu, MF_STRING, IDM_SETTINGS, L"Settings...");
  ::AppendMenuW(menu, MF_STRING, IDM_FORGET_KEY, L"Forget device's key...");
  shell.open_menu = menu;
  const auto chosen = static_cast<UINT>(::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr));
  shell.open_menu = nullptr;
  ::DestroyMenu(menu);
  switch (chosen) {
    case kCommandSavePicture:
      shell.save_picture_as();
      break;
    case kCommandLive:
      route_command(shell.shell, command_wparam(kCommandLive));
      break;
    case kCommandRecord:
      shell.record_from_menu();
      break;
    case kCommandZoomIn:
      shell.set_zoom(shell.zoom + 1);
      break;
    case kCommandZoomOut:
      shell.set_zoom(shell.zoom - 1);
      break;
    case kCommandActualSize:
      shell.set_zoom(kMinZoom);
      break;
    case IDM_SETTINGS:
      shell.open_settings_dialog();
      break;
    case IDM_FORGET_KEY:
      forget_device_key(shell.shell);
      ::SetFocus(window);  // the keys steer from the main window
      break;
    default:
      break;
  }
}

// Ctrl+plus, Ctrl+minus (main keys or keypad) and Ctrl+0 (either), without
// Alt, anywhere in the main window: true with the zoom they ask for. No
// steering key is a plus, a minus or a digit, so no command is lost.
bool is_zoom_key(const Win32Shell& shell, const MSG& message, int& zoom) {
  if (message.message != WM_KEYDOWN || ::GetKeyState(VK_CONTROL) >= 0 || ::GetKeyState(VK_MENU) < 0 ||
      (message.hwnd != shell.main_window && !::IsChild(shell.main_window, message.hwnd)))
    return false;
  switch (message.wParam) {
    case VK_OEM_PLUS:
    case VK_ADD:
      zoom = shell.zoom + 1;
      return true;
    case VK_OEM_MINUS:
    case VK_SUBTRACT:
      zoom = shell.zoom - 1;
      return true;
    case '0':
    case VK_NUMPAD0:
      zoom = kMinZoom;
      return true;
    default:
      return false;
  }
}

// A folder chosen with the shell's folder browser; false when none was.
bool choose_folder(HWND owner, std::filesystem::path& folder) {
  // The browser's newer look runs on COM in a single-threaded apartment.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  BROWSEINFOW browse{};
  browse.hwndOwner = owner;
  browse.lpszTitle = L"Record to folder";
  browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&browse);
  wchar_t path[MAX_PATH] = {};
  const bool got = chosen != nullptr && ::SHGetPathFromIDListW(chosen, path);
  ::CoTaskMemFree(chosen);
  if (SUCCEEDED(com)) ::CoUninitialize();
  if (got) folder = path;
  return got;
}

// Ctrl+S, with no other modifier, anywhere in the main window; S is no
// steering key, so no command is lost.
bool is_save_key(const Win32Shell& shell, const MSG& message) {
  return message.message == WM_KEYDOWN && message.wParam == 'S' && ::GetKeyState(VK_CONTROL) < 0 &&
         ::GetKeyState(VK_MENU) >= 0 && ::GetKeyState(VK_SHIFT) >= 0 &&
         (message.hwnd == shell.main_window || ::IsChild(shell.main_window, message.hwnd));
}

void paint_picture(Win32Shell& shell, HWND window) {
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(window, &paint);
  // Whole multiples of the picture, each pixel repeated, never blended: its
  // pixels stay sharp.
  ::SetStretchBltMode(dc, COLORONCOLOR);
  const LayoutRect& shown = shell.layout.picture;
  if (shell.picture != nullptr)
    ::StretchDIBits(dc, shown.x, shown.y, shown.width, shown.height, 0, 0, kPictureWidth, kPictureHeight,
                    shell.picture->pixels.data(), &shell.picture_info, DIB_RGB_COLORS, SRCCOPY);
  ::EndPaint(window, &paint);
}
}  // namespace

Win32Shell* win32_shell() { return the_shell; }

// Text in a code page as UTF-16 for the W calls: right on every Windows,
// whatever its ANSI code page.
std::wstring wide_text(UINT code_page, const char* text) {
  int length = ::MultiByteToWideChar(code_page, 0, text, -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(code_page, 0, text, -1, wide.data(), length);
  wide.resize(static_cast<std::size_t>(length - 1));
  return wide;
}

std::string utf8_text(const wchar_t* text) {
  int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), length, nullptr, nullptr);
  narrow.resize(static_cast<std::size_t>(length - 1));
  return narrow;
}

std::vector<std::string> command_line_arguments() {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) texts.push_back(utf8_text(wide[i]));
  ::LocalFree(wide);
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  return split_arguments(static_cast<int>(pointers.size()), pointers.data());
}

const char* failure_text_cp932(const FailureMessage& message) {
  for (const StoredText& stored : kStoredTexts)
    if (std::strcmp(stored.message->text, message.text) == 0) return stored.cp932;
  return message.text;  // ASCII-only texts read the same in either code page
}

void Win32Shell::enable_control(int control_id, bool enabled) {
  ::EnableWindow(::GetDlgItem(main_window, control_id), enabled ? TRUE : FALSE);
}

std::string Win32Shell::port_box_selection() {
  LRESULT index = ::SendMessageW(port_box, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return std::string();
  LRESULT length = ::SendMessageW(port_box, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return std::string();
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  ::SendMessageW(port_box, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  return utf8_text(text.c_str());
}

WindowSettings Win32Shell::current_settings() {
  WindowSettings current;
  current.port = port_box_selection();
  current.line = shell.line;
  current.pins = shell.pins;
  current.zoom = zoom;
  return current;
}

bool Win32Shell::apply_settings(const WindowSettings& chosen) {
  select_port(port_box, chosen.port);
  shell.line = chosen.line;
  return write_settings();
}

bool Win32Shell::write_settings() {
  std::string error;
  if (settings_file.empty() || write_settings_file(settings_file, current_settings(), error)) return true;
  ::MessageBoxW(main_window, wide_text(CP_UTF8, error.c_str()).c_str(), L"Settings", MB_OK | MB_ICONWARNING);
  return false;
}

void Win32Shell::save_settings() { write_settings(); }

void Win32Shell::show_status(const std::string& text) {
  ::SetWindowTextW(status_line, wide_text(CP_UTF8, text.c_str()).c_str());
}

void Win32Shell::live_changed(bool on) {
  live_checked = on;
  if (open_menu != nullptr)
    ::CheckMenuItem(open_menu, static_cast<UINT>(kCommandLive), MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED));
}

void Win32Shell::set_zoom(int wanted, bool save) {
  wanted = std::clamp(wanted, kMinZoom, kMaxZoom);
  if (wanted == zoom) return;
  zoom = wanted;
  layout = window_layout(dpi, zoom);
  // The controls first: the window's new size is the last thing to change.
  lay_out_controls(*this, main_window);
  const SIZE outer = outer_size(layout, dpi);
  ::SetWindowPos(main_window, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (save) write_settings();
}

void Win32Shell::record_from_menu() {
  if (recording(shell)) {
    stop_record(shell);
  } else if (std::filesystem::path folder; choose_folder(main_window, folder)) {
    start_record(shell, folder);
  }
  ::SetFocus(main_window);  // the keys steer from the main window
}

void Win32Shell::post_next_step() { ::PostMessageA(main_window, WM_NEXT_STEP, 0, 0); }

void Win32Shell::wake_for_pin() { ::PostMessageA(main_window, WM_PIN_QUESTION, 0, 0); }

void Win32Shell::open_pin_dialog(const std::string& address) {
  pin_dialog = ::CreateDialogParamW(app_instance, MAKEINTRESOURCEW(IDD_PIN), main_window, pin_dialog_proc,
                                    reinterpret_cast<LPARAM>(&address));
  if (pin_dialog == nullptr) {
    pin_dialog_answered(shell, "", false);  // no dialog: the device is told there is none
    return;
  }
  ::ShowWindow(pin_dialog, SW_SHOW);
  ::SetForegroundWindow(pin_dialog);
}

void Win32Shell::close_pin_dialog() {
  if (pin_dialog != nullptr) ::DestroyWindow(pin_dialog);
}

void Win32Shell::show_notice(const std::string& text) {
  ::MessageBoxW(main_window, wide_text(CP_UTF8, text.c_str()).c_str(), L"Pairing", MB_OK | MB_ICONINFORMATION);
}

bool Win32Shell::confirm(const std::string& text) {
  return ::MessageBoxW(main_window, wide_text(CP_UTF8, text.c_str()).c_str(), L"Forget device's key",
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void Win32Shell::open_settings_dialog() {
  WindowSettings chosen = current_settings();
  const INT_PTR result = ::DialogBoxParamW(app_instance, MAKEINTRESOURCEW(IDD_SETTINGS), main_window,
                                           settings_dialog_proc, reinterpret_cast<LPARAM>(&chosen));
  if (result == IDOK) apply_settings(chosen);
  ::SetFocus(main_window);  // the keys steer from the main window
}

void Win32Shell::clear_device_list() { ::SendMessageA(device_list, LB_RESETCONTENT, 0, 0); }

void Win32Shell::add_device_line(const std::string& text) {
  ::SendMessageA(device_list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

int Win32Shell::device_list_selection() {
  LRESULT position = ::SendMessageA(device_list, LB_GETCURSEL, 0, 0);
  return position == LB_ERR ? -1 : static_cast<int>(position);
}

// The box shows the fixed text alone: a Windows message box has no room for
// the reason, which the driver and the Linux window show.
void Win32Shell::show_message(const FailureMessage& message, const std::string&) {
  std::wstring text = wide_text(932, failure_text_cp932(message));
  std::wstring caption = wide_text(932, message.caption);
  ::MessageBoxW(main_window, text.c_str(), caption.c_str(), MB_OK | static_cast<UINT>(message.icon));
}

void Win32Shell::focus_main_window() { ::SetFocus(main_window); }

void Win32Shell::open_about_box() {
  // The W call: the template is Unicode, and its caption stays right on a
  // Windows whose ANSI code page is not 932.
  ::DialogBoxParamW(app_instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), main_window, about_dialog_proc, 0);
}

void Win32Shell::destroy_main_window() { ::DestroyWindow(main_window); }

bool Win32Shell::start_worker(WorkerBody body, OperationRequest* request) {
  worker_body = body;
  worker_request = request;
  uintptr_t thread = ::_beginthreadex(nullptr, 0, worker_thread, this, 0, nullptr);
  if (thread == 0) return false;
  ::CloseHandle(reinterpret_cast<HANDLE>(thread));  // nobody waits for it
  busy_cursor = request->operation_id == kKeyCommand ? IDC_WAIT : IDC_APPSTARTING;
  ::SetCursor(window_cursor(*this));
  return true;
}

void Win32Shell::save_picture_as() {
  if (picture == nullptr) return;
  wchar_t path[MAX_PATH] = L"picture.bmp";
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = main_window;
  dialog.lpstrFilter = L"BMP image (*.bmp)\0*.bmp\0";
  dialog.lpstrFile = path;
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrTitle = L"Save Picture";
  dialog.lpstrDefExt = L"bmp";
  dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!::GetSaveFileNameW(&dialog)) return;
  if (!write_bmp_replacing(path, *picture)) {
    const std::wstring text = std::wstring(L"Cannot write ") + path;
    ::MessageBoxW(main_window, text.c_str(), L"Save Picture", MB_OK | MB_ICONWARNING);
  }
}

bool write_bmp_replacing(const std::wstring& path, const Picture& picture) {
  const std::vector<std::uint8_t> bytes = bmp_bytes(picture);
  std::string error;
  return write_file_atomically(std::filesystem::path(path), std::string(bytes.begin(), bytes.end()), error);
}

void Win32Shell::send_operation_done(std::int32_t operation_id, std::int32_t status) {
  // A window that is gone takes no message: the report is dropped.
  ::SendMessageA(main_window, WM_OPERATION_DONE, static_cast<WPARAM>(operation_id), static_cast<LPARAM>(status));
}

ATOM register_main_class(HINSTANCE instance) {
  WNDCLASSEXA window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = main_window_proc;
  window_class.hInstance = instance;
  window_class.hIcon = ::LoadIconA(instance, MAKEINTRESOURCEA(IDI_CLASS_ICON));
  window_class.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_SCROLLBAR + 1));
  window_class.lpszClassName = the_shell->class_name_text;
  window_class.hIconSm = ::LoadIconA(instance, MAKEINTRESOURCEA(IDI_SMALL_ICON));
  return ::RegisterClassExA(&window_class);
}

bool create_main_window(HINSTANCE instance, int show_state) {
  // WM_CREATE, which comes while the window is being made, needs the instance.
  the_shell->app_instance = instance;
  // Sized for the screen's DPI; WM_CREATE takes the window's own, and where
  // its monitor's differs the window is sized again.
  const int screen_dpi = window_dpi(nullptr);
  SIZE outer = outer_size(window_layout(screen_dpi, the_shell->zoom), screen_dpi);
  HWND window = ::CreateWindowExA(0, the_shell->class_name_text, the_shell->title_text, kMainWindowStyle,
                                  CW_USEDEFAULT, 0, outer.cx, outer.cy, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return false;
  if (the_shell->dpi != screen_dpi) {
    outer = outer_size(the_shell->layout, the_shell->dpi);
    ::SetWindowPos(window, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ::ShowWindow(window, show_state);
  ::UpdateWindow(window);
  return true;
}

int app_main(HINSTANCE instance, int show_state, const Win32Start& start) {
  the_shell = new Win32Shell;  // lives until the process ends
  host_attach(the_shell->host, the_shell->ports);
  the_shell->port_items = port_box_items(start.present_ports, start.settings.port);
  the_shell->port_selection = port_box_start_selection(the_shell->port_items, start.settings.port);
  the_shell->shell.line = start.settings.line;
  the_shell->shell.pins = start.settings.pins;
  the_shell->zoom = std::clamp(start.settings.zoom, kMinZoom, kMaxZoom);
  the_shell->settings_file = start.settings_file;
  attach_pairing(the_shell->shell, start.key_file);
  // The standard controls of common controls 6, which the manifest asks
  // for: the system's visual style.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);
  ::LoadStringA(instance, IDS_APP_TITLE, the_shell->title_text, sizeof the_shell->title_text);
  ::LoadStringA(instance, IDS_CLASS_NAME, the_shell->class_name_text, sizeof the_shell->class_name_text);
  register_main_class(instance);
  if (!create_main_window(instance, show_state)) return 0;
  if (!start.problems.empty()) {
    std::string text;
    for (const std::string& problem : start.problems) text += problem + "\n";
    ::MessageBoxW(the_shell->main_window, wide_text(CP_UTF8, text.c_str()).c_str(), L"Settings", MB_OK | MB_ICONWARNING);
  }
  HACCEL accelerators = ::LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_ACCELERATORS));
  MSG message;
  while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
    // Offered with the message's own window: Alt+"?" on a control with the
    // focus goes to that control, not to the About box.
    if (::TranslateAcceleratorA(message.hwnd, accelerators, &message)) continue;
    // The PIN dialog is not modal: its keys (Tab, Enter, Esc) go through here.
    if (the_shell->pin_dialog != nullptr && ::IsDialogMessageA(the_shell->pin_dialog, &message)) continue;
    if (is_save_key(*the_shell, message)) {
      the_shell->save_picture_as();
      continue;
    }
    if (int zoom = 0; is_zoom_key(*the_shell, message, zoom)) {
      the_shell->set_zoom(zoom);
      continue;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  Win32Shell* shell = the_shell;
  if (shell == nullptr) return ::DefWindowProcA(window, message, wparam, lparam);
  switch (message) {
    case WM_CREATE:
      shell->main_window = window;
      // No input method: under a Japanese IME in kana mode the letter keys
      // would come as VK_PROCESSKEY, and H, K, M and U would steer nothing.
      ::ImmAssociateContext(window, nullptr);
      // The settings, beside Move and Close: the window's own menu.
      ::AppendMenuW(::GetSystemMenu(window, FALSE), MF_SEPARATOR, 0, nullptr);
      ::AppendMenuW(::GetSystemMenu(window, FALSE), MF_STRING, IDM_SETTINGS, L"Settings...");
      ::AppendMenuW(::GetSystemMenu(window, FALSE), MF_STRING, IDM_FORGET_KEY, L"Forget device's key...");
      take_dpi(*shell, window_dpi(window));
      create_controls(*shell, window);
      set_up_controls(shell->shell);
      prepare_picture(*shell);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    case WM_PAINT:
      paint_picture(*shell, window);
      return 0;
    case WM_KEYDOWN:
      // Every key-down is the window's, in the key table or not; the
      // command runs on the worker. A held Space toggles live once.
      if (wparam == VK_SPACE && (lparam & 0x40000000) != 0) return 0;
      key_down(shell->shell, static_cast<std::uint32_t>(wparam));
      return 0;
    case WM_NEXT_STEP:
      next_step(shell->shell);
      return 0;
    case WM_GETDPISCALEDSIZE: {
      // The size to scale to: the client area whole at the new DPI, not the
      // outer size scaled, which rounding could leave a pixel short.
      const int new_dpi = static_cast<int>(LOWORD(wparam));
      *reinterpret_cast<SIZE*>(lparam) = outer_size(window_layout(new_dpi, shell->zoom), new_dpi);
      return TRUE;
    }
    case WM_DPICHANGED: {
      // Moved to a monitor of another DPI, or its scale changed: laid out
      // again, at the place and size Windows suggests.
      take_dpi(*shell, static_cast<int>(LOWORD(wparam)));
      lay_out_controls(*shell, window);
      const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
      ::SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_PICTURE_ROWS:
      show_new_rows(*shell, window);
      return 0;
    case WM_PIN_QUESTION:
      pin_question_changed(shell->shell);
      return 0;
    case WM_RECORD_TO_FOLDER:
      return start_record(shell->shell, *reinterpret_cast<const std::filesystem::path*>(lparam)) ? TRUE : FALSE;
    case WM_CTLCOLORSTATIC:
      // The status line on the window's own background.
      if (reinterpret_cast<HWND>(lparam) != shell->status_line) return ::DefWindowProcA(window, message, wparam, lparam);
      ::SetBkColor(reinterpret_cast<HDC>(wparam), ::GetSysColor(COLOR_SCROLLBAR));
      ::SetTextColor(reinterpret_cast<HDC>(wparam), ::GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_SCROLLBAR));
    case WM_SETCURSOR:
      // Over the client area and the controls, whose default handling asks
      // this window first.
      if (shell->busy_cursor == nullptr || LOWORD(lparam) != HTCLIENT)
        return ::DefWindowProcA(window, message, wparam, lparam);
      ::SetCursor(window_cursor(*shell));
      return TRUE;
    case WM_CONTEXTMENU:
      show_picture_menu(*shell, window, lparam);
      return 0;
    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == IDM_SETTINGS) {
        shell->open_settings_dialog();
        return 0;
      }
      if ((wparam & 0xFFF0) == IDM_FORGET_KEY) {
        forget_device_key(shell->shell);
        ::SetFocus(window);
        return 0;
      }
      return ::DefWindowProcA(window, message, wparam, lparam);
    case WM_CLOSE:
      // The caption's close box ends the program as Exit does.
      route_command(shell->shell, command_wparam(kIdExit));
      return 0;
    case WM_COMMAND:
      if (route_command(shell->shell, static_cast<std::uint32_t>(wparam))) return 0;
      return ::DefWindowProcA(window, message, wparam, lparam);
    case WM_OPERATION_DONE:
      shell->busy_cursor = nullptr;  // before a failure's message box
      ::SetCursor(window_cursor(*shell));
      complete_operation(shell->shell, static_cast<std::int32_t>(lparam));
      return 0;
    default:
      return ::DefWindowProcA(window, message, wparam, lparam);
  }
}

INT_PTR CALLBACK about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;  // the focus goes to the OK button
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        ::EndDialog(dialog, LOWORD(wparam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

namespace {
void fill_settings_dialog(HWND dialog, const WindowSettings& current) {
  const Win32Shell* shell = win32_shell();
  HWND port = ::GetDlgItem(dialog, IDC_SETTINGS_PORT);
  if (shell != nullptr) {
    const LRESULT count = ::SendMessageW(shell->port_box, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      wchar_t item[MAX_PATH] = {};
      if (::SendMessageW(shell->port_box, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) >= MAX_PATH) continue;
      ::SendMessageW(shell->port_box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
      ::SendMessageW(port, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    }
  }
  ::SetWindowTextW(port, wide_text(CP_UTF8, current.port.c_str()).c_str());
  HWND baud = ::GetDlgItem(dialog, IDC_SETTINGS_BAUD);
  for (std::uint32_t rate : kLineRates) {
    const LRESULT index =
        ::SendMessageW(baud, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide_text(CP_UTF8, baud_text(rate).c_str()).c_str()));
    ::SendMessageW(baud, CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(rate));
    if (rate == current.line.baud) ::SendMessageW(baud, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  }
  HWND flow = ::GetDlgItem(dialog, IDC_SETTINGS_FLOW);
  ::SendMessageW(flow, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"none"));
  ::SendMessageW(flow, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"RTS/CTS"));
  ::SendMessageW(flow, CB_SETCURSEL, current.line.flow == FlowControl::rtscts ? 1 : 0, 0);
}

// What the dialog holds, into `chosen`; false, after saying so, when the
// port's text names no port.
bool take_settings_dialog(HWND dialog, WindowSettings& chosen) {
  wchar_t text[MAX_PATH] = {};
  ::GetDlgItemTextW(dialog, IDC_SETTINGS_PORT, text, MAX_PATH);
  PortName port;
  if (!parse_port_name(utf8_text(text), port)) {
    ::MessageBoxW(dialog, L"That names no port: COMn, a device path or tcp:HOST:PORT.", L"Settings",
                  MB_OK | MB_ICONWARNING);
    return false;
  }
  chosen.port = port_name_text(port);
  HWND baud = ::GetDlgItem(dialog, IDC_SETTINGS_BAUD);
  const LRESULT index = ::SendMessageW(baud, CB_GETCURSEL, 0, 0);
  if (index != CB_ERR) chosen.line.baud = static_cast<std::uint32_t>(::SendMessageW(baud, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
  chosen.line.flow = ::SendDlgItemMessageW(dialog, IDC_SETTINGS_FLOW, CB_GETCURSEL, 0, 0) == 1 ? FlowControl::rtscts
                                                                                                   : FlowControl::none;
  return true;
}
}  // namespace

INT_PTR CALLBACK settings_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      fill_settings_dialog(dialog, *reinterpret_cast<WindowSettings*>(lparam));
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK) {
        auto* chosen = reinterpret_cast<WindowSettings*>(::GetWindowLongPtrW(dialog, DWLP_USER));
        if (take_settings_dialog(dialog, *chosen)) ::EndDialog(dialog, IDOK);
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL) {
        ::EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK pin_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  Win32Shell* shell = win32_shell();
  switch (message) {
    case WM_INITDIALOG: {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait_bounds::kPinAnswer).count();
      const std::string question = "The device " + *reinterpret_cast<const std::string*>(lparam) +
                                   " asks for a PIN to pair.\nAnswer within " + std::to_string(seconds) +
                                   " s, or it is told there is none.";
      ::SetDlgItemTextW(dialog, IDC_PIN_QUESTION, wide_text(CP_UTF8, question.c_str()).c_str());
      ::SendDlgItemMessageW(dialog, IDC_PIN_FIELD, EM_SETLIMITTEXT, kPinMaxLength, 0);
      ::SetFocus(::GetDlgItem(dialog, IDC_PIN_FIELD));
      return FALSE;  // the focus is set
    }
    case WM_COMMAND: {
      if (shell == nullptr || (LOWORD(wparam) != IDOK && LOWORD(wparam) != IDCANCEL)) return FALSE;
      std::string pin;
      bool remember = false;
      if (LOWORD(wparam) == IDOK) {
        wchar_t text[64] = {};
        ::GetDlgItemTextW(dialog, IDC_PIN_FIELD, text, 64);
        pin = utf8_text(text);
        if (const std::string why = pin_problem(pin); !why.empty()) {
          const std::string said = "A PIN " + why + ".";
          ::MessageBoxW(dialog, wide_text(CP_UTF8, said.c_str()).c_str(), L"PIN", MB_OK | MB_ICONWARNING);
          return TRUE;
        }
        remember = ::IsDlgButtonChecked(dialog, IDC_PIN_REMEMBER) == BST_CHECKED;
      }
      ::DestroyWindow(dialog);
      pin_dialog_answered(shell->shell, pin, remember);
      return TRUE;
    }
    case WM_NCDESTROY:
      if (shell != nullptr && shell->pin_dialog == dialog) shell->pin_dialog = nullptr;
      return FALSE;
    default:
      return FALSE;
  }
}
