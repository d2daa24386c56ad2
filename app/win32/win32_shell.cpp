#include "win32_shell.h"

#include <commdlg.h>
#include <imm.h>
#include <process.h>
#include <windowsx.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bmp_file.h"
#include "host_ops.h"
#include "resource_ids.h"

namespace {
Win32Shell* the_shell = nullptr;

constexpr DWORD kPortBoxStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | CBS_DROPDOWNLIST;  // 0x50200003
constexpr DWORD kDeviceListStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | LBS_NOTIFY;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON;  // 0x50000000
constexpr DWORD kMainWindowStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // 0x80CA0000
constexpr int kPictureX = 10;
constexpr int kPictureY = 110;
constexpr UINT kCommandSavePicture = 106;  // the picture's context menu
// From the worker: a capture has rows for the window (LivePicture).
constexpr UINT WM_PICTURE_ROWS = WM_USER + 2;

struct ControlRow {
  const char* control_class;
  const char* text;
  int id;
  int x, y, width, height;
  DWORD style;
};

// In creation order: port box, device list, then the six buttons.
constexpr ControlRow kControls[] = {
    {"COMBOBOX", "", kIdPortBox, 10, 10, 70, 100, kPortBoxStyle},
    {"LISTBOX", "", kIdDeviceList, 10, 40, 100, 65, kDeviceListStyle},
    {"BUTTON", "Open", kIdOpen, 120, 10, 90, 25, kButtonStyle},
    {"BUTTON", "Inquiry", kIdInquiry, 120, 40, 90, 25, kButtonStyle},
    {"BUTTON", "Connect", kIdConnect, 120, 70, 90, 25, kButtonStyle},
    {"BUTTON", "Disconnect", kIdDisconnect, 120, 100, 90, 25, kButtonStyle},
    {"BUTTON", "Close", kIdClose, 120, 130, 90, 25, kButtonStyle},
    {"BUTTON", "Exit", kIdExit, 120, 160, 90, 25, kButtonStyle},
};

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

void wake_for_rows(void* context) {
  ::PostMessageA(static_cast<Win32Shell*>(context)->main_window, WM_PICTURE_ROWS, 0, 0);
}

// Window thread: the rows waiting go into the picture shown, and are
// painted where they go.
void show_new_rows(Win32Shell& shell, HWND window) {
  if (shell.picture == nullptr) return;
  const RowSpan rows = take_live_rows(shell.live, *shell.picture);
  if (rows.count == 0) return;
  const RECT place{kPictureX, kPictureY + rows.first, kPictureX + kPictureWidth, kPictureY + rows.first + rows.count};
  ::InvalidateRect(window, &place, FALSE);
}

unsigned __stdcall worker_thread(void* context) {
  auto* shell = static_cast<Win32Shell*>(context);
  shell->worker_body(shell->worker_request);
  return 0;  // the thread ends as _endthreadex(0) would end it
}

void create_controls(Win32Shell& shell, HWND window) {
  for (const ControlRow& row : kControls) {
    HWND control = ::CreateWindowExA(0, row.control_class, row.text, row.style, row.x, row.y, row.width,
                                     row.height, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)),
                                     shell.app_instance, nullptr);
    if (row.id == kIdPortBox) {
      shell.port_box = control;
      for (const char* item : kPortBoxItems)
        ::SendMessageA(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
      ::SendMessageA(control, CB_SETCURSEL, kPortBoxDefaultSelection, 0);
    } else if (row.id == kIdDeviceList) {
      shell.device_list = control;
    }
  }
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
  const RECT picture{kPictureX, kPictureY, kPictureX + kPictureWidth, kPictureY + kPictureHeight};
  if (at.x == -1 && at.y == -1) {  // from the keyboard: at the picture
    at = {kPictureX, kPictureY};
    ::ClientToScreen(window, &at);
  }
  POINT client = at;
  ::ScreenToClient(window, &client);
  if (!::PtInRect(&picture, client)) return;
  HMENU menu = ::CreatePopupMenu();
  ::AppendMenuW(menu, MF_STRING, kCommandSavePicture, L"Save Picture...\tCtrl+S");
  const BOOL chosen = ::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
  ::DestroyMenu(menu);
  if (chosen == static_cast<BOOL>(kCommandSavePicture)) shell.save_picture_as();
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
  if (shell.picture != nullptr)
    ::StretchDIBits(dc, kPictureX, kPictureY, kPictureWidth, kPictureHeight, 0, 0, kPictureWidth, kPictureHeight,
                    shell.picture->pixels.data(), &shell.picture_info, DIB_RGB_COLORS, SRCCOPY);
  ::EndPaint(window, &paint);
}
}  // namespace

Win32Shell* win32_shell() { return the_shell; }

const char* failure_text_cp932(const FailureMessage& message) {
  for (const StoredText& stored : kStoredTexts)
    if (std::strcmp(stored.message->text, message.text) == 0) return stored.cp932;
  return message.text;  // ASCII-only texts read the same in either code page
}

void Win32Shell::enable_control(int control_id, bool enabled) {
  ::EnableWindow(::GetDlgItem(main_window, control_id), enabled ? TRUE : FALSE);
}

std::string Win32Shell::port_box_selection() {
  LRESULT index = ::SendMessageA(port_box, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return std::string();
  LRESULT length = ::SendMessageA(port_box, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return std::string();
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  ::SendMessageA(port_box, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
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
  const std::size_t name_start = path.find_last_of(L"\\/");
  const std::wstring folder = name_start == std::wstring::npos ? L"." : path.substr(0, name_start + 1);
  wchar_t temporary[MAX_PATH];
  if (::GetTempFileNameW(folder.c_str(), L"cvt", 0, temporary) == 0) return false;  // it makes the file
  const std::vector<std::uint8_t> bytes = bmp_bytes(picture);
  HANDLE file = ::CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool whole = false;
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    whole = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size();
    if (!::CloseHandle(file)) whole = false;
  }
  if (whole && ::MoveFileExW(temporary, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  ::DeleteFileW(temporary);
  return false;
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
  // The outer size holds the client area whole under this system's frame and
  // caption metrics (230 x 220 in the classic look; more where they are
  // thicker).
  RECT outer{0, 0, kClientWidth, kClientHeight};
  ::AdjustWindowRectEx(&outer, kMainWindowStyle, FALSE, 0);
  HWND window = ::CreateWindowExA(0, the_shell->class_name_text, the_shell->title_text, kMainWindowStyle,
                                  CW_USEDEFAULT, 0, outer.right - outer.left, outer.bottom - outer.top, nullptr,
                                  nullptr, instance, nullptr);
  if (window == nullptr) return false;
  ::ShowWindow(window, show_state);
  ::UpdateWindow(window);
  return true;
}

int app_main(HINSTANCE instance, int show_state) {
  the_shell = new Win32Shell;  // lives until the process ends
  host_attach(the_shell->host, the_shell->serial);
  ::LoadStringA(instance, IDS_APP_TITLE, the_shell->title_text, sizeof the_shell->title_text);
  ::LoadStringA(instance, IDS_CLASS_NAME, the_shell->class_name_text, sizeof the_shell->class_name_text);
  register_main_class(instance);
  if (!create_main_window(instance, show_state)) return 0;
  HACCEL accelerators = ::LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_ACCELERATORS));
  MSG message;
  while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
    // Offered with the message's own window: Alt+"?" on a control with the
    // focus goes to that control, not to the About box.
    if (::TranslateAcceleratorA(message.hwnd, accelerators, &message)) continue;
    if (is_save_key(*the_shell, message)) {
      the_shell->save_picture_as();
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
      // command runs on the worker.
      key_down(shell->shell, static_cast<std::uint32_t>(wparam));
      return 0;
    case WM_PICTURE_ROWS:
      show_new_rows(*shell, window);
      return 0;
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
