// The Windows window under Wine, driven from this test program: the shell
// runs on a window thread of its own, and the tests press its buttons with
// messages and its keys with SendInput, and read back what it shows. The
// tests against the module run under with_sim.sh (options in CMakeLists.txt).
#include <windows.h>
#include <imm.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bmp_file.h"
#include "camera_commands.h"
#include "linux_capture.h"
#include "pin_asked.h"
#include "resource_ids.h"
#include "virtual_camera.h"
#include "win32_shell.h"

namespace {
constexpr auto kPatience = std::chrono::seconds(20);

template <typename Condition>
bool eventually(Condition condition) {
  auto until = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < until) {
    if (condition()) return true;
    ::Sleep(10);
  }
  return condition();
}

std::wstring window_text(HWND window) {
  wchar_t text[256] = {};
  ::GetWindowTextW(window, text, 256);
  return text;
}

void press_keys(std::initializer_list<WORD> keys) {
  std::vector<INPUT> inputs;
  for (WORD key : keys) {
    INPUT down{};
    down.type = INPUT_KEYBOARD;
    down.ki.wVk = key;
    inputs.push_back(down);
  }
  for (auto key = std::rbegin(keys); key != std::rend(keys); ++key) {
    INPUT up{};
    up.type = INPUT_KEYBOARD;
    up.ki.wVk = *key;
    up.ki.dwFlags = KEYEVENTF_KEYUP;
    inputs.push_back(up);
  }
  ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

// A mouse click at a client point of `window`, as the user makes it.
void mouse_click(HWND window, POINT at, bool right = false) {
  ::ClientToScreen(window, &at);
  ::SetCursorPos(at.x, at.y);
  INPUT inputs[2] = {};
  inputs[0].type = inputs[1].type = INPUT_MOUSE;
  inputs[0].mi.dwFlags = right ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN;
  inputs[1].mi.dwFlags = right ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP;
  ::SendInput(2, inputs, sizeof(INPUT));
}

HCURSOR shown_cursor() {
  CURSORINFO info{};
  info.cbSize = sizeof info;
  ::GetCursorInfo(&info);
  return info.hCursor;
}

// The pointer is nudged a pixel each look, as a user's hand does: under
// Wine the cursor a window sets when no mouse message has yet reached it is
// not always the one shown, and a move makes the window set it again.
bool cursor_becomes(LPCSTR shape) {
  HCURSOR wanted = ::LoadCursorA(nullptr, shape);
  int nudge = 1;
  return eventually([&] {
    if (shown_cursor() == wanted) return true;
    POINT at{};
    ::GetCursorPos(&at);
    ::SetCursorPos(at.x + nudge, at.y);
    nudge = -nudge;
    return false;
  });
}

// A folder of its own under the prefix's temporary folder.
std::wstring scratch_folder() {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + L"corvanta-" + std::to_wstring(::GetTickCount()) + L"-" +
                        std::to_wstring(::GetCurrentProcessId());
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::vector<std::uint8_t> file_bytes(const std::wstring& path) {
  std::ifstream in(std::string(path.begin(), path.end()), std::ios::binary);  // ASCII paths only
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::wstring> files_in(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (std::wstring(found.cFileName) != L"." && std::wstring(found.cFileName) != L"..")
      names.emplace_back(found.cFileName);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

// The RGB pixels, top row first, of a 96 x 72 PNG whose image data are
// stored deflate blocks, rows unfiltered (as the record writes them):
// empty for any other file.
std::vector<std::uint8_t> stored_png_rgb(const std::vector<std::uint8_t>& png) {
  auto be32 = [&](std::size_t at) {
    return (std::uint32_t{png[at]} << 24) | (std::uint32_t{png[at + 1]} << 16) | (std::uint32_t{png[at + 2]} << 8) |
           png[at + 3];
  };
  if (png.size() < 33 || std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8) != 0 || be32(16) != kPictureWidth ||
      be32(20) != kPictureHeight || png[24] != 8 || png[25] != 2)  // 8-bit RGB
    return {};
  std::vector<std::uint8_t> zlib;
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const std::size_t length = be32(at);
    if (at + 12 + length > png.size()) return {};
    if (std::memcmp(&png[at + 4], "IDAT", 4) == 0) zlib.insert(zlib.end(), &png[at + 8], &png[at + 8] + length);
    at += 12 + length;
  }
  std::vector<std::uint8_t> rows;
  for (std::size_t at = 2; at + 5 <= zlib.size();) {  // past the zlib header: block header, LEN, NLEN
    const std::uint8_t header = zlib[at];
    const std::size_t length = zlib[at + 1] | (zlib[at + 2] << 8);
    if ((header & 0x06) != 0 || at + 5 + length > zlib.size()) return {};
    rows.insert(rows.end(), &zlib[at + 5], &zlib[at + 5] + length);
    at += 5 + length;
    if ((header & 1) != 0) break;  // the last block
  }
  constexpr std::size_t kRow = 1 + kPictureWidth * 3;
  if (rows.size() != kRow * kPictureHeight) return {};
  std::vector<std::uint8_t> rgb;
  for (std::size_t row = 0; row < kPictureHeight; ++row) {
    if (rows[row * kRow] != 0) return {};  // filter None
    rgb.insert(rgb.end(), &rows[row * kRow + 1], &rows[row * kRow] + kRow);
  }
  return rgb;
}

struct DialogSearch {
  HWND owner;
  HWND found;
};

BOOL CALLBACK find_owned_dialog(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<DialogSearch*>(context);
  char name[16] = {};
  ::GetClassNameA(window, name, sizeof name);
  if (std::strcmp(name, "#32770") == 0 && ::GetWindow(window, GW_OWNER) == search->owner &&
      ::IsWindowVisible(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// The dialog (a message box or the About box) that the window has opened.
HWND owned_dialog(HWND owner) {
  DialogSearch search{owner, nullptr};
  ::EnumWindows(find_owned_dialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The common Save dialog the window opened: the file name typed in, then OK.
bool save_through_dialog(HWND owner, const std::wstring& path) {
  HWND dialog = nullptr;
  if (!eventually([&] { return (dialog = owned_dialog(owner)) != nullptr; })) return false;
  if (window_text(dialog) != L"Save Picture") return false;
  HWND name_box = ::GetDlgItem(dialog, 0x47C);                // cmb13
  if (name_box == nullptr) name_box = ::GetDlgItem(dialog, 0x480);  // edt1
  if (name_box == nullptr) return false;
  ::SendMessageW(name_box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  return eventually([&] { return !::IsWindow(dialog) && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

// The items of an open menu window: their texts ("" a separator), "(off) "
// before a greyed one, "(on) " before a checked one.
std::vector<std::wstring> menu_texts(HWND menu_window) {
  auto menu = reinterpret_cast<HMENU>(::SendMessageW(menu_window, MN_GETHMENU, 0, 0));
  std::vector<std::wstring> texts;
  for (int i = 0; i < ::GetMenuItemCount(menu); ++i) {
    wchar_t text[64] = {};
    ::GetMenuStringW(menu, static_cast<UINT>(i), text, 64, MF_BYPOSITION);
    const UINT state = ::GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION);
    if ((state & MF_SEPARATOR) != 0) {
      texts.emplace_back();
      continue;
    }
    texts.push_back(std::wstring((state & MF_GRAYED) != 0 ? L"(off) " : L"") +
                    ((state & MF_CHECKED) != 0 ? L"(on) " : L"") + text);
  }
  return texts;
}

struct ButtonStates {
  bool open, inquiry, connect, disconnect, close;
  bool operator==(const ButtonStates&) const = default;
};

void PrintTo(const ButtonStates& b, std::ostream* out) {
  *out << "Open " << b.open << " Inquiry " << b.inquiry << " Connect " << b.connect << " Disconnect "
       << b.disconnect << " Close " << b.close;
}

// The shell on its own window thread, as corvanta.exe runs it.
struct Win32Window : ::testing::Test {
  std::thread window_thread;
  DWORD window_thread_id = 0;
  int exit_code = -1;
  Win32Shell* shell = nullptr;
  HWND main = nullptr;

  void SetUp() override {
    Win32Shell* earlier = win32_shell();  // an earlier test's, whose window is gone
    window_thread = std::thread([this] {
      window_thread_id = ::GetCurrentThreadId();
      exit_code = app_main(::GetModuleHandleA(nullptr), SW_SHOWNORMAL);
    });
    ASSERT_TRUE(eventually(
        [earlier] { return win32_shell() != earlier && win32_shell()->main_window != nullptr; }));
    shell = win32_shell();
    main = shell->main_window;
    ASSERT_TRUE(eventually([this] { return ::IsWindowVisible(main) != FALSE; }));
    // SendInput goes to the foreground window, which a window made after
    // another one of this process closed is not at once.
    ::SetForegroundWindow(main);
    ASSERT_TRUE(eventually([this] { return ::GetForegroundWindow() == main; }));
    // Its thread takes the activation later and then gives the main window
    // the keyboard, over any focus a test has set meanwhile.
    ASSERT_TRUE(eventually([this] { return focus() == main; }));
  }
  void TearDown() override {
    if (::IsWindow(main)) ::PostMessageA(main, WM_COMMAND, command_wparam(kIdExit), 0);
    window_thread.join();
    EXPECT_EQ(exit_code, 0);
  }

  HWND control(int id) const { return ::GetDlgItem(main, id); }
  void click(int id) const { ::PostMessageA(control(id), BM_CLICK, 0, 0); }
  ButtonStates buttons() const {
    auto on = [this](int id) { return ::IsWindowEnabled(control(id)) != FALSE; };
    return {on(kIdOpen), on(kIdInquiry), on(kIdConnect), on(kIdDisconnect), on(kIdClose)};
  }
  bool idle_with(const ButtonStates& expected) const {
    return shell->shell.running_operation == 0 && buttons() == expected;
  }
  // The colour at a client point as the window has painted it.
  COLORREF pixel(int x, int y) const {
    HDC dc = ::GetDC(main);
    const COLORREF shown = ::GetPixel(dc, x, y);
    ::ReleaseDC(main, dc);
    return shown;
  }
  bool shows(int x, int y, COLORREF colour) const {
    return eventually([&] { return pixel(x, y) == colour; });
  }
  // The picture's context menu, opened with a right click at `at` (nullptr
  // when none opens).
  HWND picture_menu(POINT at) const {
    mouse_click(main, at, true);
    HWND menu = nullptr;
    return eventually([&] { return ::IsWindowVisible(menu = ::FindWindowA("#32768", nullptr)); }) ? menu : nullptr;
  }
  HWND focus() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    ::GetGUIThreadInfo(window_thread_id, &info);
    return info.hwndFocus;
  }

  // Open, Inquiry, the listed camera selected, Connect: the button states
  // along the way.
  void connect_to_the_camera() {
    ASSERT_EQ(buttons(), (ButtonStates{true, false, false, false, false}));
    click(kIdOpen);
    ASSERT_TRUE(eventually([&] { return idle_with({false, true, false, false, true}); })) << ::testing::PrintToString(buttons());

    click(kIdInquiry);
    ASSERT_TRUE(eventually([&] { return idle_with({false, true, false, false, true}) &&
                                        ::SendMessageA(control(kIdDeviceList), LB_GETCOUNT, 0, 0) == 1; }));
    char line[32] = {};
    ::SendMessageA(control(kIdDeviceList), LB_GETTEXT, 0, reinterpret_cast<LPARAM>(line));
    EXPECT_STREQ(line, "CAFE00000001");

    // The user's selection: the list notifies its parent.
    ::SendMessageA(control(kIdDeviceList), LB_SETCURSEL, 0, 0);
    ::SendMessageA(main, WM_COMMAND, command_wparam(kIdDeviceList, LBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(control(kIdDeviceList)));
    EXPECT_EQ(buttons(), (ButtonStates{false, true, true, false, true}));

    mouse_click(main, {165, 82});  // Connect, which takes the keyboard with the click
    ASSERT_TRUE(eventually([&] { return idle_with({false, false, false, true, true}); }));
    EXPECT_TRUE(eventually([&] { return focus() == main; })) << "the keys steer through the main window";
  }
};

// The main window and its controls as created: places, styles, texts, states.
TEST_F(Win32Window, CreatedWithItsControlsAndAGreenPicture) {
  EXPECT_EQ(window_text(main), L"Corvanta Controller");
  char class_name[32] = {};
  ::GetClassNameA(main, class_name, sizeof class_name);
  EXPECT_STREQ(class_name, "QUOREL");
  RECT outer;
  ::GetWindowRect(main, &outer);
  EXPECT_EQ(outer.left, 0);
  EXPECT_EQ(outer.top, 0);
  EXPECT_EQ(outer.right - outer.left, 230);  // classic frame metrics, as a fresh Wine prefix has
  EXPECT_EQ(outer.bottom - outer.top, 220);
  RECT client;
  ::GetClientRect(main, &client);
  EXPECT_EQ(client.right, 224);
  EXPECT_EQ(client.bottom, 195);
  // The keys reach the window as keys under any input method.
  EXPECT_EQ(::ImmGetContext(main), nullptr);
  EXPECT_NE(::ImmGetContext(control(kIdDeviceList)), nullptr) << "the controls keep theirs";
  const DWORD style = static_cast<DWORD>(::GetWindowLongA(main, GWL_STYLE));
  EXPECT_EQ(style & 0x80CA0000u, 0x80CA0000u);
  EXPECT_EQ(style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0u);
  EXPECT_EQ(::GetMenu(main), nullptr);

  struct Row {
    int id;
    const char* control_class;
    const wchar_t* text;
    int x, y, width, height;
    DWORD style;
  };
  const Row rows[] = {
      {kIdPortBox, "ComboBox", L"COM5", 10, 10, 70, -1, 0x50200003},
      {kIdDeviceList, "ListBox", L"", 10, 40, 100, -1, 0x50A00001},  // integral height: whole lines
      {kIdOpen, "Button", L"Open", 120, 10, 90, 25, 0x50000000},
      {kIdInquiry, "Button", L"Inquiry", 120, 40, 90, 25, 0x58000000},  // WS_DISABLED
      {kIdConnect, "Button", L"Connect", 120, 70, 90, 25, 0x58000000},
      {kIdDisconnect, "Button", L"Disconnect", 120, 100, 90, 25, 0x58000000},
      {kIdClose, "Button", L"Close", 120, 130, 90, 25, 0x58000000},
      {kIdExit, "Button", L"Exit", 120, 160, 90, 25, 0x50000000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    HWND c = control(row.id);
    ASSERT_NE(c, nullptr);
    ::GetClassNameA(c, class_name, sizeof class_name);
    EXPECT_STRCASEEQ(class_name, row.control_class);
    EXPECT_EQ(window_text(c), row.text);
    RECT r;
    ::GetWindowRect(c, &r);
    ::MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, row.x);
    EXPECT_EQ(r.top, row.y);
    EXPECT_EQ(r.right - r.left, row.width);
    if (row.height > 0) {  // a closed combo box is one line high, a list box whole lines
      EXPECT_EQ(r.bottom - r.top, row.height);
    }
    // A scroll bar that is not needed is hidden, and its style bit with it.
    EXPECT_EQ(static_cast<DWORD>(::GetWindowLongA(c, GWL_STYLE)) & 0xFFFF00FFu & ~WS_VSCROLL, row.style & ~WS_VSCROLL);
  }
  HWND ports = control(kIdPortBox);
  ASSERT_EQ(::SendMessageA(ports, CB_GETCOUNT, 0, 0), 6);
  for (int i = 0; i < 6; ++i) {
    char item[8] = {};
    ::SendMessageA(ports, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
    EXPECT_EQ(std::string(item), "COM" + std::to_string(i + 1));
  }
  EXPECT_EQ(::SendMessageA(ports, CB_GETCURSEL, 0, 0), 4);

  // The picture as drawn on the screen: all blue 0, green 139, red 0.
  for (POINT p : {POINT{10, 110}, POINT{105, 181}, POINT{50, 150}})
    EXPECT_TRUE(shows(p.x, p.y, RGB(0, 139, 0))) << p.x << "," << p.y;
  EXPECT_TRUE(shows(9, 110, ::GetSysColor(COLOR_SCROLLBAR)));
  for (std::size_t i = 0; i < kPicturePixelsSize; i += 3)
    ASSERT_EQ((shell->picture->pixels[i] << 16) | (shell->picture->pixels[i + 1] << 8) | shell->picture->pixels[i + 2],
              139 << 8)
        << i;
}

// sim: --fast: Open, Inquiry, select, Connect, a picture, Disconnect, Close.
TEST_F(Win32Window, ButtonStatesAlongTheOrdinaryPath) {
  ASSERT_NO_FATAL_FAILURE(connect_to_the_camera());

  // A click on the list while connected: the keyboard comes back, and the
  // changed selection leaves Connect off while the link is up.
  HWND list = control(kIdDeviceList);
  ::SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  mouse_click(main, {30, 47});
  ASSERT_TRUE(eventually([&] { return ::SendMessageA(list, LB_GETCURSEL, 0, 0) == 0; }));
  EXPECT_TRUE(eventually([&] { return focus() == main; }));
  EXPECT_EQ(buttons(), (ButtonStates{false, false, false, true, true}));

  // Right, then Up, with the mouse on the picture: the wait cursor while
  // the picture comes (the module pauses mid-picture).
  press_keys({VK_RIGHT});
  // A key that comes while a key command runs is refused: Up waits for R's end.
  ASSERT_TRUE(eventually([&] {
    return shell->shell.running_operation == 0 && shell->host.frame_length == 4 && shell->host.frame_buffer[0] == 'R';
  }));
  POINT on_picture{50, 150};
  ::ClientToScreen(main, &on_picture);
  ::SetCursorPos(on_picture.x, on_picture.y);
  press_keys({VK_UP});
  EXPECT_TRUE(cursor_becomes(IDC_WAIT));
  ASSERT_TRUE(eventually([&] { return shell->host.frame_length == static_cast<std::int16_t>(kFrameBufferSize); }));
  EXPECT_TRUE(cursor_becomes(IDC_ARROW));

  // Saved with Ctrl+S and with the picture's context menu, through the
  // common Save dialog: the file the Linux build writes for the same frame.
  const std::wstring folder = scratch_folder();
  press_keys({VK_CONTROL, 'S'});
  ASSERT_TRUE(save_through_dialog(main, folder + L"\\keys.bmp"));
  HWND menu = picture_menu({50, 150});
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(menu_texts(menu), (std::vector<std::wstring>{L"Save Picture...\tCtrl+S", L"Live", L"Record to folder...", L"",
                                                         L"Zoom In\tCtrl++", L"(off) Zoom Out\tCtrl+-",
                                                         L"Actual Size\tCtrl+0", L"", L"Settings...",
                                                         L"Forget device's key..."}));
  press_keys({VK_DOWN});
  press_keys({VK_RETURN});
  ASSERT_TRUE(save_through_dialog(main, folder + L"\\menu.bmp"));
  std::vector<std::uint8_t> saved;
  for (const wchar_t* name : {L"\\keys.bmp", L"\\menu.bmp"}) {
    saved = file_bytes(folder + name);
    EXPECT_EQ(fnv1a64(saved.data(), saved.size()), kLinuxPannedRightBmp);
  }
  // And on the screen: the top-left pixel is the last row of the bottom-up bitmap.
  ASSERT_EQ(saved.size(), kBmpFileSize);
  const std::uint8_t* top_left = saved.data() + kBmpPixelOffset + kPictureRowBytes * (kPictureHeight - 1);
  EXPECT_TRUE(shows(10, 110, RGB(top_left[2], top_left[1], top_left[0])));

  click(kIdDisconnect);
  ASSERT_TRUE(eventually([&] { return idle_with({false, true, true, false, true}); }));
  click(kIdClose);
  ASSERT_TRUE(eventually([&] { return idle_with({true, false, false, false, false}); }));
}

// sim: --fast, and a pause of 1.5 s before row 36 of every picture.
// Meanwhile the window handles its messages: it paints the rows that came
// over the previous picture, refuses a key, and Exit ends it at once.
TEST_F(Win32Window, LiveWhileAPictureComes) {
  ASSERT_NO_FATAL_FAILURE(connect_to_the_camera());
  press_keys({VK_RIGHT});
  ASSERT_TRUE(eventually([&] { return shell->shell.running_operation == 0 && shell->host.frame_length == 4; }));
  const std::uint32_t commands_before = shell->host.ledger.last_number;
  POINT on_picture{50, 150};
  ::ClientToScreen(main, &on_picture);
  ::SetCursorPos(on_picture.x, on_picture.y);

  press_keys({VK_UP});
  EXPECT_TRUE(cursor_becomes(IDC_WAIT));
  // Row 0 painted before row 71 has come; row 71 still the previous (green) picture's.
  const COLORREF green = RGB(0, 139, 0);
  COLORREF top_left = green;
  ASSERT_TRUE(eventually([&] { return (top_left = pixel(10, 110)) != green; }));
  EXPECT_LT(shell->host.frame_length, static_cast<std::int16_t>(kFrameBufferSize));
  EXPECT_EQ(pixel(10, 181), green);
  press_keys({VK_LEFT});  // refused: the link is the picture's
  ASSERT_TRUE(eventually([&] { return shell->shell.running_operation == 0; }));
  EXPECT_TRUE(cursor_becomes(IDC_ARROW));
  // The whole picture, as the Linux build saves it, and row 0 as it was painted.
  const std::wstring folder = scratch_folder();
  ASSERT_TRUE(write_bmp_replacing(folder + L"\\live.bmp", *shell->picture));
  const std::vector<std::uint8_t> saved = file_bytes(folder + L"\\live.bmp");
  EXPECT_EQ(fnv1a64(saved.data(), saved.size()), kLinuxPannedRightBmp);
  EXPECT_EQ(pixel(10, 110), top_left);
  // H goes out next: the refused key sent nothing.
  press_keys({'H'});
  ASSERT_TRUE(eventually([&] { return shell->shell.running_operation == 0 && shell->host.key_answer[0] == 'H'; }));
  EXPECT_EQ(shell->host.ledger.last_number, commands_before + 2);

  press_keys({VK_UP});
  EXPECT_TRUE(cursor_becomes(IDC_WAIT));
  ::PostMessageA(main, WM_COMMAND, command_wparam(kIdExit), 0);
  ASSERT_TRUE(eventually([&] { return !::IsWindow(main); }));
  // The picture's wait was let go rather than run out.
  EXPECT_TRUE(eventually([&] { return shell->host.last_read_end == ReadEnd::cancelled; }));
}

// sim: --silent: the start-up fails; its message, in Japanese on any Windows.
TEST_F(Win32Window, FailureBoxShowsTheJapaneseTextAndThenEnablesOpen) {
  POINT inside{50, 150};
  ::ClientToScreen(main, &inside);
  ::SetCursorPos(inside.x, inside.y);
  click(kIdOpen);
  EXPECT_TRUE(cursor_becomes(IDC_APPSTARTING)) << "busy while Open waits";
  HWND box = nullptr;
  ASSERT_TRUE(eventually([&] { return (box = owned_dialog(main)) != nullptr; }));
  EXPECT_EQ(window_text(box), L"Error");
  EXPECT_EQ(window_text(::GetDlgItem(box, 0xFFFF)), L"Bluetoothモジュールを初期化出来ません");
  EXPECT_EQ(::GetDlgItem(box, IDCANCEL), nullptr) << "OK only";
  // Open comes back only once the box is dismissed.
  EXPECT_FALSE(::IsWindowEnabled(control(kIdOpen)));
  EXPECT_EQ(shell->shell.running_operation, kIdOpen);
  ::PostMessageA(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(eventually([&] { return idle_with({true, false, false, false, false}); }));
  EXPECT_TRUE(cursor_becomes(IDC_ARROW));
}

// Ctrl+plus and Ctrl+minus, main keys and keypad, and Ctrl+0 zoom the
// picture by whole factors, 1 to 6: the client area grows below the
// controls by 72 x zoom + 10 and to 96 x zoom + 20 wide at least, the
// frame staying 6 x 25 around it and the corner in place; the picture sits
// under the controls, each pixel a block, and the status line takes its
// old place. The zoom is kept in the settings file, but for 1.
TEST_F(Win32Window, ZoomResizesTheWindowAndThePicture) {
  const std::wstring settings = scratch_folder() + L"\\corvanta.ini";
  shell->settings_file = settings;  // idle: the window thread reads it only when it saves
  struct Step {
    WORD key;
    int zoom;
    int client_width, client_height;
    RECT picture, status_line;
  };
  const RECT below_zoomed{10, 110, 110, 185};
  const Step steps[] = {
      {VK_OEM_PLUS, 2, 224, 349, {10, 195, 202, 339}, below_zoomed},
      {VK_ADD, 3, 308, 421, {10, 195, 298, 411}, below_zoomed},
      {VK_OEM_MINUS, 2, 224, 349, {10, 195, 202, 339}, below_zoomed},
      {'0', 1, 224, 195, {10, 110, 106, 182}, {10, 183, 110, 195}},
      {VK_SUBTRACT, 1, 224, 195, {10, 110, 106, 182}, {10, 183, 110, 195}},  // no smaller
      {VK_ADD, 2, 224, 349, {10, 195, 202, 339}, below_zoomed},
      {VK_NUMPAD0, 1, 224, 195, {10, 110, 106, 182}, {10, 183, 110, 195}},
  };
  const COLORREF green = RGB(0, 139, 0), background = ::GetSysColor(COLOR_SCROLLBAR);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.zoom);
    press_keys({VK_CONTROL, step.key});
    RECT client{};
    ASSERT_TRUE(eventually([&] {
      ::GetClientRect(main, &client);
      return shell->zoom == step.zoom && client.right == step.client_width && client.bottom == step.client_height;
    })) << client.right << " x " << client.bottom;
    RECT outer;
    ::GetWindowRect(main, &outer);
    EXPECT_EQ(outer.left, 0);
    EXPECT_EQ(outer.top, 0);
    EXPECT_EQ(outer.right, step.client_width + 6);
    EXPECT_EQ(outer.bottom, step.client_height + 25);
    RECT status;
    ::GetWindowRect(control(kIdStatusLine), &status);
    ::MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&status), 2);
    EXPECT_TRUE(::EqualRect(&status, &step.status_line)) << status.left << "," << status.top << " - " << status.right
                                                         << "," << status.bottom;
    const RECT& p = step.picture;
    for (POINT at : {POINT{p.left, p.top}, POINT{p.right - 1, p.bottom - 1}})
      EXPECT_TRUE(shows(at.x, at.y, green)) << at.x << "," << at.y;
    for (POINT at : {POINT{p.left - 1, p.top}, POINT{p.right, p.bottom - 1}, POINT{p.left, p.bottom}})
      EXPECT_TRUE(shows(at.x, at.y, background)) << at.x << "," << at.y;
    if (step.zoom > 1) {
      EXPECT_TRUE(shows(10, 110, background)) << "the picture's old place is cleared";
    }
    // Written once the window has its size.
    const std::string zoom_line = "\nzoom=" + std::to_string(step.zoom) + "\n";
    EXPECT_TRUE(eventually([&] {
      const std::vector<std::uint8_t> saved = file_bytes(settings);
      return !saved.empty() && (std::string(saved.begin(), saved.end()).find(zoom_line) != std::string::npos) == (step.zoom != 1);
    }));
  }
  EXPECT_EQ(focus(), main) << "the keys still steer";
}

// "Record to folder..." asks for the folder in the system's folder browser;
// Cancel starts no record.
TEST_F(Win32Window, RecordToFolderAsksForTheFolder) {
  ASSERT_NE(picture_menu({50, 150}), nullptr);
  for (WORD key : {VK_DOWN, VK_DOWN, VK_DOWN, VK_RETURN}) press_keys({key});
  HWND browser = nullptr;
  ASSERT_TRUE(eventually([&] { return (browser = owned_dialog(main)) != nullptr; }));
  EXPECT_NE(::FindWindowExW(browser, nullptr, L"Static", L"Record to folder"), nullptr);
  ::PostMessageW(browser, WM_COMMAND, IDCANCEL, 0);
  ASSERT_TRUE(eventually([&] { return !::IsWindow(browser) && focus() == main; }));
  EXPECT_FALSE(recording(shell->shell));
  EXPECT_EQ(window_text(control(kIdStatusLine)), L"");
}

// sim: --fast. A record into a folder (as "Record to folder..." starts it
// once the folder is chosen), Space for live view, a steering key while
// live, then the menu's "Stop recording" and Space again. Each picture is
// in the folder and its list, R with the first picture after it went out;
// the last file is the picture shown, which is the Linux build's for the
// same view.
TEST_F(Win32Window, LiveViewRecordsIntoAFolder) {
  ASSERT_NO_FATAL_FAILURE(connect_to_the_camera());
  const std::wstring folder = scratch_folder() + L"\\record";  // the record makes it
  const std::filesystem::path path(folder);
  ASSERT_EQ(::SendMessageW(main, WM_RECORD_TO_FOLDER, 0, reinterpret_cast<LPARAM>(&path)), TRUE);
  EXPECT_EQ(window_text(control(kIdStatusLine)), L"Recording to " + folder);
  auto list_lines = [&] {
    const std::vector<std::uint8_t> bytes = file_bytes(folder + L"\\pictures.csv");
    std::vector<std::string> lines;
    std::string line;
    for (char c : bytes) {
      if (c != '\n') {
        line += c;
      } else {
        lines.push_back(line);
        line.clear();
      }
    }
    return lines;
  };
  auto has_r = [](const std::vector<std::string>& lines) {
    return std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.ends_with(",R"); });
  };

  press_keys({VK_SPACE});
  ASSERT_TRUE(eventually([&] { return list_lines().size() >= 3; }));  // the header and two pictures
  press_keys({VK_RIGHT});
  ASSERT_TRUE(eventually([&] { return has_r(list_lines()) == 1; }));
  HWND menu = picture_menu({50, 150});
  ASSERT_NE(menu, nullptr);
  const std::vector<std::wstring> items = menu_texts(menu);
  ASSERT_EQ(items.size(), 10u);
  EXPECT_EQ(items[1], L"(on) Live");
  EXPECT_EQ(items[2], L"Stop recording");
  press_keys({VK_DOWN});
  press_keys({VK_DOWN});
  press_keys({VK_DOWN});
  press_keys({VK_RETURN});
  ASSERT_TRUE(eventually([&] { return window_text(control(kIdStatusLine)) == L"Recording stopped."; }));
  EXPECT_TRUE(shell->shell.live.on) << "live goes on without the record";
  EXPECT_TRUE(eventually([&] { return focus() == main; }));
  press_keys({VK_SPACE});
  ASSERT_TRUE(eventually([&] { return !shell->shell.live.on && shell->shell.running_operation == 0; }));
  EXPECT_EQ(buttons(), (ButtonStates{false, false, false, true, true}));

  const std::vector<std::string> lines = list_lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "number,time,file,keys");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    char file[16];
    std::snprintf(file, sizeof file, ",%04zu.png,", i);
    EXPECT_EQ(lines[i].rfind(std::to_string(i) + ",", 0), 0u) << lines[i];
    EXPECT_NE(lines[i].find(file), std::string::npos) << lines[i];
  }
  EXPECT_EQ(has_r(lines), 1);
  EXPECT_EQ(files_in(folder).size(), lines.size());  // the pictures and the list

  wchar_t last[16];
  std::swprintf(last, 16, L"\\%04zu.png", lines.size() - 1);
  const std::vector<std::uint8_t> rgb = stored_png_rgb(file_bytes(folder + last));
  ASSERT_EQ(rgb.size(), kPicturePixelsSize);
  const auto& shown = shell->picture->pixels;  // bottom-up BGR
  std::size_t differing = 0;
  for (std::size_t y = 0; y < kPictureHeight; ++y)
    for (std::size_t x = 0; x < kPictureWidth; ++x)
      for (std::size_t c = 0; c < 3; ++c)
        differing += rgb[(y * kPictureWidth + x) * 3 + c] != shown[((kPictureHeight - 1 - y) * kPictureWidth + x) * 3 + 2 - c];
  EXPECT_EQ(differing, 0u);
  const std::vector<std::uint8_t> bmp = bmp_bytes(*shell->picture);
  EXPECT_EQ(fnv1a64(bmp.data(), bmp.size()), kLinuxPannedRightBmp);
}

// The stored code page 932 texts are the runner's texts.
TEST(Win32Texts, StoredCp932TextsReadAsTheRunnersTexts) {
  for (const FailureMessage* m : {&kOpenFailed, &kInquiryFailed, &kConnectFailed, &kDisconnectFailed}) {
    wchar_t from_cp932[128] = {}, from_utf8[128] = {};
    ASSERT_GT(::MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, failure_text_cp932(*m), -1, from_cp932, 128), 0);
    ASSERT_GT(::MultiByteToWideChar(CP_UTF8, 0, m->text, -1, from_utf8, 128), 0);
    EXPECT_STREQ(from_cp932, from_utf8);
  }
}

// Alt+"?" and Alt+"/" open the About box; Esc and OK close it.
TEST_F(Win32Window, AboutBoxOpensWithAltQuestionMarkAndAltSlash) {
  const WORD slash_key = LOBYTE(::VkKeyScanA('/'));
  const struct {
    std::initializer_list<WORD> keys;
    bool close_with_ok;
  } ways[] = {{{VK_MENU, VK_SHIFT, slash_key}, false}, {{VK_MENU, slash_key}, true}};
  for (const auto& way : ways) {
    press_keys(way.keys);
    HWND about = nullptr;
    ASSERT_TRUE(eventually([&] { return (about = owned_dialog(main)) != nullptr; }));
    EXPECT_EQ(window_text(about), L"ﾊﾞｰｼﾞｮﾝ情報");
    EXPECT_FALSE(::IsWindowEnabled(main)) << "modal to the main window";
    EXPECT_EQ(focus(), ::GetDlgItem(about, IDOK));
    if (way.close_with_ok) {
      ::PostMessageA(::GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
    } else {
      press_keys({VK_ESCAPE});
    }
    ASSERT_TRUE(eventually([&] { return !::IsWindow(about) && ::IsWindowEnabled(main); }));
  }
}

// The settings dialog, from the window's system menu: OK makes what it holds
// the next Open's port and line.
TEST_F(Win32Window, SettingsDialogFromTheSystemMenu) {
  HMENU system = ::GetSystemMenu(main, FALSE);
  wchar_t item[64] = {};
  ::GetMenuStringW(system, IDM_SETTINGS, item, 64, MF_BYCOMMAND);
  EXPECT_STREQ(item, L"Settings...");
  ::PostMessageW(main, WM_SYSCOMMAND, IDM_SETTINGS, 0);
  HWND dialog = nullptr;
  ASSERT_TRUE(eventually([&] { return (dialog = owned_dialog(main)) != nullptr; }));
  EXPECT_EQ(window_text(dialog), L"Settings");
  EXPECT_EQ(window_text(::GetDlgItem(dialog, IDC_SETTINGS_PORT)), L"COM5");
  ::SetDlgItemTextW(dialog, IDC_SETTINGS_PORT, L"tcp:localhost:6402");
  ::SendDlgItemMessageW(dialog, IDC_SETTINGS_BAUD, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                        reinterpret_cast<LPARAM>(L"115,200 baud"));
  ::SendDlgItemMessageW(dialog, IDC_SETTINGS_FLOW, CB_SETCURSEL, 1, 0);
  ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(eventually([&] { return !::IsWindow(dialog) && ::IsWindowEnabled(main); }));
  EXPECT_EQ(window_text(control(kIdPortBox)), L"tcp:localhost:6402");
  EXPECT_EQ(shell->shell.line.baud, 115200u);
  EXPECT_EQ(shell->shell.line.flow, FlowControl::rtscts);
}

// The PIN dialog is the main window's and not modal: the window stays
// enabled meanwhile. OK answers the worker; a PIN remembered answers the
// next time without a dialog; Exit while the dialog is open answers none.
TEST_F(Win32Window, PinDialogAnswersTheWorker) {
  const DeviceAddress camera = {0xCA, 0xFE, 0x00, 0x00, 0x00, 0x01};
  {
    PinAsked asked(shell->host, camera);
    HWND dialog = nullptr;
    ASSERT_TRUE(eventually([&] { return (dialog = owned_dialog(main)) != nullptr; }));
    EXPECT_EQ(window_text(dialog), L"PIN");
    EXPECT_TRUE(::IsWindowEnabled(main)) << "not modal";
    EXPECT_NE(window_text(::GetDlgItem(dialog, IDC_PIN_QUESTION)).find(L"CA:FE:00:00:00:01"), std::wstring::npos);
    EXPECT_NE(::GetWindowLongA(::GetDlgItem(dialog, IDC_PIN_FIELD), GWL_STYLE) & ES_PASSWORD, 0);
    ::SetDlgItemTextW(dialog, IDC_PIN_FIELD, L"0000");
    ::SendDlgItemMessageW(dialog, IDC_PIN_REMEMBER, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_FALSE(asked.done);
    ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(eventually([&] { return asked.done.load() && !::IsWindow(dialog); }));
    EXPECT_EQ(asked.answer(), "0000");
  }
  {
    PinAsked again(shell->host, camera);
    ASSERT_TRUE(eventually([&] { return again.done.load(); }));
    EXPECT_EQ(again.answer(), "0000");
    EXPECT_EQ(owned_dialog(main), nullptr);
  }
  PinAsked other(shell->host, DeviceAddress{0xCA, 0xFE, 0x00, 0x00, 0x00, 0x02});
  HWND dialog = nullptr;
  ASSERT_TRUE(eventually([&] { return (dialog = owned_dialog(main)) != nullptr; }));
  ::PostMessageA(main, WM_COMMAND, command_wparam(kIdExit), 0);
  ASSERT_TRUE(eventually([&] { return other.done.load() && !::IsWindow(main); }));
  EXPECT_EQ(other.length, 0u);
}

// sim: --fast, a camera that asks for PIN 1234 once its link is up; or
// BlueZ's emulator with the camera peer asking the same (with_btvirt.sh).
// Connect waits while the dialog asks; the key it gets is kept, the picture
// is exact, and the next Connect asks nothing.
TEST_F(Win32Window, PairsWithAPinThenConnectsWithTheKey) {
  const std::wstring key_file = scratch_folder() + L"\\link-keys";
  shell->shell.pairing.key_file = key_file;  // idle: no worker reads it yet
  click(kIdOpen);
  ASSERT_TRUE(eventually([&] { return idle_with({false, true, false, false, true}); }));
  click(kIdInquiry);
  ASSERT_TRUE(eventually([&] { return ::SendMessageA(control(kIdDeviceList), LB_GETCOUNT, 0, 0) == 1; }));
  auto select_the_camera = [&] {
    ::SendMessageA(control(kIdDeviceList), LB_SETCURSEL, 0, 0);
    ::SendMessageA(main, WM_COMMAND, command_wparam(kIdDeviceList, LBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(control(kIdDeviceList)));
  };
  select_the_camera();
  click(kIdConnect);
  HWND dialog = nullptr;
  ASSERT_TRUE(eventually([&] { return (dialog = owned_dialog(main)) != nullptr; }));
  ::SetDlgItemTextW(dialog, IDC_PIN_FIELD, L"1234");
  ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(eventually([&] { return idle_with({false, false, false, true, true}); }));
  // The list shows the address as 12 hex digits; the key file with colons.
  char shown[32] = {};
  ::SendMessageA(control(kIdDeviceList), LB_GETTEXT, 0, reinterpret_cast<LPARAM>(shown));
  std::string line = "\n";
  for (int i = 0; i < 12; i += 2) line += std::string(shown + i, 2) + (i < 10 ? ":" : " ");
  const std::vector<std::uint8_t> keys = file_bytes(key_file);
  EXPECT_NE(std::string(keys.begin(), keys.end()).find(line), std::string::npos) << line;
  press_keys({VK_UP});
  ASSERT_TRUE(eventually([&] {
    return shell->host.frame_length == static_cast<std::int16_t>(kFrameBufferSize) &&
           idle_with({false, false, false, true, true});
  }));
  const CameraFrame expected = render_camera_view(CameraScene{});
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), shell->host.frame_buffer.begin()));
  click(kIdDisconnect);
  ASSERT_TRUE(eventually([&] { return idle_with({false, true, true, false, true}); }));
  select_the_camera();
  click(kIdConnect);
  ASSERT_TRUE(eventually([&] { return idle_with({false, false, false, true, true}); }));
  EXPECT_EQ(owned_dialog(main), nullptr);
}

// "Forget device's key..." on the system menu; with no device selected or
// connected it says so.
TEST_F(Win32Window, ForgetWithNoDeviceSaysSo) {
  wchar_t item[64] = {};
  ::GetMenuStringW(::GetSystemMenu(main, FALSE), IDM_FORGET_KEY, item, 64, MF_BYCOMMAND);
  EXPECT_STREQ(item, L"Forget device's key...");
  ::PostMessageW(main, WM_SYSCOMMAND, IDM_FORGET_KEY, 0);
  HWND box = nullptr;
  ASSERT_TRUE(eventually([&] { return (box = owned_dialog(main)) != nullptr; }));
  EXPECT_EQ(window_text(box), L"Pairing");
  EXPECT_EQ(window_text(::GetDlgItem(box, 0xFFFF)), L"No device to forget: select one in the list, or connect to one first.");
  ::PostMessageA(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(eventually([&] { return !::IsWindow(box) && ::IsWindowEnabled(main); }));
}

// The resources, read back as the program finds them.
TEST(Win32Resources, StringsAcceleratorsMenuAndAboutTemplate) {
  HINSTANCE self = ::GetModuleHandleA(nullptr);
  wchar_t text[100] = {};
  ASSERT_GT(::LoadStringW(self, IDS_APP_TITLE, text, 100), 0);
  EXPECT_STREQ(text, L"Corvanta Controller");
  ASSERT_GT(::LoadStringW(self, IDS_CLASS_NAME, text, 100), 0);
  EXPECT_STREQ(text, L"QUOREL");
  EXPECT_NE(::FindResourceExW(self, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(IDS_APP_TITLE / 16 + 1),
                              MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)),
            nullptr)
      << "string table in language 1041";

  HACCEL accelerators = ::LoadAcceleratorsA(self, MAKEINTRESOURCEA(IDC_ACCELERATORS));
  ACCEL entries[4] = {};
  ASSERT_EQ(::CopyAcceleratorTableA(accelerators, entries, 4), 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(entries[i].fVirt & (FALT | FVIRTKEY), FALT) << "character entry with Alt";
    EXPECT_EQ(entries[i].cmd, IDM_ABOUT);
  }
  EXPECT_EQ(entries[0].key, '?');
  EXPECT_EQ(entries[1].key, '/');

  HMENU menu = ::LoadMenuW(self, MAKEINTRESOURCEW(IDM_MAIN_MENU));
  ASSERT_NE(menu, nullptr);
  const wchar_t* expected[][2] = {{L"ﾌｧｲﾙ(&F)", L"ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)"}, {L"ﾍﾙﾌﾟ(&H)", L"ﾊﾞｰｼﾞｮﾝ情報(&A) ..."}};
  const UINT commands[] = {IDM_EXIT, IDM_ABOUT};
  ASSERT_EQ(::GetMenuItemCount(menu), 2);
  for (int i = 0; i < 2; ++i) {
    ::GetMenuStringW(menu, static_cast<UINT>(i), text, 100, MF_BYPOSITION);
    EXPECT_STREQ(text, expected[i][0]);
    HMENU popup = ::GetSubMenu(menu, i);
    ::GetMenuStringW(popup, 0, text, 100, MF_BYPOSITION);
    EXPECT_STREQ(text, expected[i][1]);
    EXPECT_EQ(::GetMenuItemID(popup, 0), commands[i]);
  }
  ::DestroyMenu(menu);

  HRSRC found = ::FindResourceW(self, MAKEINTRESOURCEW(IDD_ABOUTBOX), MAKEINTRESOURCEW(5));  // RT_DIALOG
  ASSERT_NE(found, nullptr);
  const auto* dialog = static_cast<const DLGTEMPLATE*>(::LockResource(::LoadResource(self, found)));
  EXPECT_EQ(dialog->style, 0x00C800C0u);
  EXPECT_EQ(dialog->dwExtendedStyle, 0u);
  EXPECT_EQ(dialog->cdit, 4);
  EXPECT_EQ(dialog->x, 22);
  EXPECT_EQ(dialog->y, 17);
  EXPECT_EQ(dialog->cx, 230);
  EXPECT_EQ(dialog->cy, 75);
}

// Alt+"/" goes with the message's own window: on a button with the focus
// the command is the button's, and no About box opens. Space then presses
// that button (Open, with no module: its failure box), which shows the
// keys went to the button in order; an About box would have taken them.
TEST_F(Win32Window, AboutAcceleratorOnAFocusedControlOpensNothing) {
  const WORD slash_key = LOBYTE(::VkKeyScanA('/'));
  ASSERT_TRUE(::AttachThreadInput(::GetCurrentThreadId(), window_thread_id, TRUE));
  ::SetFocus(control(kIdOpen));
  ::AttachThreadInput(::GetCurrentThreadId(), window_thread_id, FALSE);
  ASSERT_TRUE(eventually([&] { return focus() == control(kIdOpen); }));
  press_keys({VK_MENU, slash_key});
  press_keys({VK_SPACE});
  HWND box = nullptr;
  ASSERT_TRUE(eventually([&] { return (box = owned_dialog(main)) != nullptr; }));
  EXPECT_EQ(window_text(box), L"Error");
  ::PostMessageA(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(eventually([&] { return idle_with({true, false, false, false, false}); }));
}

// The About box's controls as Windows made them from the template.
TEST_F(Win32Window, AboutBoxHoldsItsFourControls) {
  ::PostMessageA(main, WM_COMMAND, command_wparam(IDM_ABOUT, 1), 0);
  HWND about = nullptr;
  ASSERT_TRUE(eventually([&] { return (about = owned_dialog(main)) != nullptr; }));
  std::vector<std::pair<int, std::wstring>> controls;
  std::vector<DWORD> styles;
  for (HWND c = ::GetWindow(about, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT)) {
    controls.emplace_back(::GetDlgCtrlID(c) & 0xFFFF, window_text(c));
    styles.push_back(static_cast<DWORD>(::GetWindowLongA(c, GWL_STYLE)) & 0xFFFF00FFu);
  }
  ASSERT_EQ(controls.size(), 4u);
  EXPECT_EQ(controls[0].first, IDC_ABOUT_ICON);
  EXPECT_EQ(controls[1], (std::pair<int, std::wstring>{0xFFFF, L"quorel Version 1.0"}));
  EXPECT_EQ(controls[2].first, 0xFFFF);
  EXPECT_EQ(controls[3], (std::pair<int, std::wstring>{IDOK, L"OK"}));
  EXPECT_EQ(styles, (std::vector<DWORD>{0x50000003, 0x50020080, 0x50020000, 0x50030001}));
  EXPECT_NE(::SendMessageA(::GetWindow(about, GW_CHILD), STM_GETICON, 0, 0), 0) << "icon 107 shown";
  press_keys({VK_RETURN});  // the default button
  ASSERT_TRUE(eventually([&] { return !::IsWindow(about); }));
}

// Moved to a 200 % monitor and back, as Windows tells a per-monitor aware
// window: the size it asks for, then the place it suggests. At 192 DPI
// every length doubles and so does the picture, each pixel a 2 x 2 block.
TEST_F(Win32Window, FollowsADpiChangeAndBack) {
  SIZE asked{};
  ASSERT_TRUE(::SendMessageW(main, WM_GETDPISCALEDSIZE, 96, reinterpret_cast<LPARAM>(&asked)));
  EXPECT_EQ(asked.cx, 230);  // the classic frame at 96 DPI, as at start
  EXPECT_EQ(asked.cy, 220);
  const HFONT system_font = reinterpret_cast<HFONT>(::SendMessageW(control(kIdOpen), WM_GETFONT, 0, 0));
  struct Step {
    int dpi;
    int client_width, client_height;
    RECT exit_button;  // left, top, right, bottom
    RECT picture;
  };
  const Step steps[] = {
      {192, 448, 390, {240, 320, 420, 370}, {20, 220, 212, 364}},
      {96, 224, 195, {120, 160, 210, 185}, {10, 110, 106, 182}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.dpi);
    // Outside the classic frame of 3 px each side and the 19 px caption.
    RECT suggested{0, 0, step.client_width + 6, step.client_height + 25};
    ::SendMessageW(main, WM_DPICHANGED, MAKEWPARAM(step.dpi, step.dpi), reinterpret_cast<LPARAM>(&suggested));
    RECT client;
    ::GetClientRect(main, &client);
    EXPECT_EQ(client.right, step.client_width);
    EXPECT_EQ(client.bottom, step.client_height);
    RECT exit_button;
    ::GetWindowRect(control(kIdExit), &exit_button);
    ::MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&exit_button), 2);
    EXPECT_TRUE(::EqualRect(&exit_button, &step.exit_button))
        << exit_button.left << "," << exit_button.top << " - " << exit_button.right << "," << exit_button.bottom;
    const HFONT font = reinterpret_cast<HFONT>(::SendMessageW(control(kIdExit), WM_GETFONT, 0, 0));
    if (step.dpi == 96) {
      EXPECT_EQ(font, system_font);
    } else {
      LOGFONTW shown{};
      ASSERT_EQ(::GetObjectW(font, sizeof shown, &shown), static_cast<int>(sizeof shown));
      EXPECT_EQ(shown.lfHeight, 32);  // the System font's 16 px, doubled
    }
    const RECT& p = step.picture;
    const COLORREF green = RGB(0, 139, 0), background = ::GetSysColor(COLOR_SCROLLBAR);
    for (POINT at : {POINT{p.left, p.top}, POINT{p.right - 1, p.bottom - 1}})
      EXPECT_TRUE(shows(at.x, at.y, green)) << at.x << "," << at.y;
    for (POINT at : {POINT{p.left - 1, p.top}, POINT{p.right, p.bottom - 1}, POINT{p.left, p.bottom}})
      EXPECT_TRUE(shows(at.x, at.y, background)) << at.x << "," << at.y;
  }
}
}  // namespace

namespace {
// corvanta.exe's Windows path.
std::string exe_path() {
  std::string path = std::string("Z:") + CORVANTA_EXE_PATH;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

// corvanta.exe itself, started as a user starts it, and its main window.
struct Program {
  PROCESS_INFORMATION process{};
  HWND main = nullptr;

  bool start() {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!::CreateProcessA(exe_path().c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
      return false;
    return eventually([&] {
      main = ::FindWindowA("QUOREL", "Corvanta Controller");
      DWORD owner = 0;
      if (main != nullptr) ::GetWindowThreadProcessId(main, &owner);
      return main != nullptr && owner == process.dwProcessId && ::IsWindowVisible(main);
    });
  }
  // Exit, and the process's exit code (1 when it did not end).
  DWORD exit() {
    ::PostMessageA(::GetDlgItem(main, kIdExit), BM_CLICK, 0, 0);
    DWORD exit_code = 1;
    if (::WaitForSingleObject(process.hProcess, 20000) == WAIT_OBJECT_0) ::GetExitCodeProcess(process.hProcess, &exit_code);
    return exit_code;
  }
  ~Program() {
    if (process.hProcess == nullptr) return;
    ::TerminateProcess(process.hProcess, 1);  // a no-op once it has ended
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
};

// The manifest in corvanta.exe as the loader reads it: the system's own
// parser (here Wine's) makes an activation context of it, in which the
// settings, the run level, the Windows versions and the common controls
// read back as written.
TEST(Win32Program, ManifestMakesAnActivationContext) {
  const std::wstring path = wide_text(CP_UTF8, exe_path().c_str());
  ACTCTXW request{};
  request.cbSize = sizeof request;
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = path.c_str();
  request.lpResourceName = MAKEINTRESOURCEW(1);  // the process's manifest, type 24
  HANDLE context = ::CreateActCtxW(&request);
  ASSERT_NE(context, INVALID_HANDLE_VALUE) << ::GetLastError();

  struct Setting {
    const wchar_t* space;
    const wchar_t* name;
    const wchar_t* value;
  };
  const Setting settings[] = {
      {L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware", L"true/pm"},
      {L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness", L"PerMonitorV2, PerMonitor"},
  };
  for (const Setting& setting : settings) {
    wchar_t value[64] = {};
    SIZE_T written = 0;
    EXPECT_TRUE(::QueryActCtxSettingsW(0, context, setting.space, setting.name, value, 64, &written)) << setting.name;
    EXPECT_STREQ(value, setting.value);
  }

  ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level{};
  ASSERT_TRUE(::QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &level, sizeof level, nullptr));
  EXPECT_EQ(level.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
  EXPECT_EQ(level.UiAccess, 0u);

  // Each element's size differs between Windows versions, so each GUID is
  // looked for anywhere in the answer.
  alignas(8) BYTE compatibility[512] = {};
  SIZE_T size = 0;
  ASSERT_TRUE(::QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext, compatibility,
                             sizeof compatibility, &size));
  EXPECT_EQ(reinterpret_cast<const ACTIVATION_CONTEXT_COMPATIBILITY_INFORMATION*>(compatibility)->ElementCount, 4u);
  const GUID versions[] = {
      {0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}},  // 7
      {0x4a2f28e3, 0x53b9, 0x4441, {0xba, 0x9c, 0xd6, 0x9d, 0x4a, 0x4a, 0x6e, 0x38}},  // 8
      {0x1f676c76, 0x80e1, 0x4239, {0x95, 0xbb, 0x83, 0xd0, 0xf6, 0xd0, 0xda, 0x78}},  // 8.1
      {0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}},  // 10 and 11
  };
  const BYTE* begin = compatibility;
  const BYTE* end = begin + std::min<SIZE_T>(size, sizeof compatibility);
  for (const GUID& version : versions) {
    const BYTE* id = reinterpret_cast<const BYTE*>(&version);
    EXPECT_NE(std::search(begin, end, id, id + sizeof version), end) << std::hex << version.Data1;
  }

  // Assembly 1 is the program's own; 2, what it depends on.
  alignas(8) BYTE assembly[2048] = {};
  DWORD index = 2;
  ASSERT_TRUE(::QueryActCtxW(0, context, &index, AssemblyDetailedInformationInActivationContext, assembly,
                             sizeof assembly, nullptr));
  const std::wstring identity =
      reinterpret_cast<const ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(assembly)->lpAssemblyEncodedAssemblyIdentity;
  EXPECT_EQ(identity.rfind(L"Microsoft.Windows.Common-Controls,", 0), 0u) << utf8_text(identity.c_str());
  EXPECT_NE(identity.find(L"version=\"6.0."), std::wstring::npos) << utf8_text(identity.c_str());
  ::ReleaseActCtx(context);
}

// sim: --silent: its Open blocked on a module that never answers, ended
// with Exit.
TEST(Win32Program, ExitDuringAnOperationEndsTheProcessWithStatusZero) {
  Program program;
  ASSERT_TRUE(program.start());
  ::PostMessageA(::GetDlgItem(program.main, kIdOpen), BM_CLICK, 0, 0);
  ASSERT_TRUE(eventually([&] { return !::IsWindowEnabled(::GetDlgItem(program.main, kIdOpen)); })) << "Open running";
  EXPECT_EQ(program.exit(), 0u);
  // It ended inside the operation: no failure box was ever shown.
  EXPECT_EQ(::FindWindowA("#32770", "Error"), nullptr);
}

// A value under HKCU\Control Panel\Desktop (or a key below it), which each
// Wine process reads as it starts, put back as it was at the end.
class DesktopSetting {
 public:
  DesktopSetting(const wchar_t* key, const wchar_t* name, DWORD type, const void* value, DWORD size) : name_(name) {
    ::RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    had_ = ::RegQueryValueExW(key_, name_, nullptr, &old_type_, old_, &old_size_) == ERROR_SUCCESS;
    ::RegSetValueExW(key_, name_, 0, type, static_cast<const BYTE*>(value), size);
  }
  ~DesktopSetting() {
    if (had_) {
      ::RegSetValueExW(key_, name_, 0, old_type_, old_, old_size_);
    } else {
      ::RegDeleteValueW(key_, name_);
    }
    ::RegCloseKey(key_);
  }

 private:
  const wchar_t* name_;
  HKEY key_ = nullptr;
  BYTE old_[128] = {};
  DWORD old_size_ = sizeof old_;
  DWORD old_type_ = REG_NONE;
  bool had_ = false;
};

// The client rectangles of the program's controls.
std::vector<RECT> control_rects(HWND main) {
  std::vector<RECT> rects;
  for (int id : {kIdPortBox, kIdDeviceList, kIdOpen, kIdInquiry, kIdConnect, kIdDisconnect, kIdClose, kIdExit}) {
    RECT r;
    ::GetWindowRect(::GetDlgItem(main, id), &r);
    ::MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&r), 2);
    rects.push_back(r);
  }
  return rects;
}

bool inside(const RECT& r, const RECT& client) {
  return r.left >= 0 && r.top >= 0 && r.right <= client.right && r.bottom <= client.bottom;
}

// The caption of Windows 10 at 96 DPI: 22 px (-330 twips), SM_CYCAPTION 23
// where the classic look has 19. The window grows by the difference and
// keeps its whole client area; every control and the picture lie inside it.
TEST(Win32Program, AThickerCaptionCutsNothingOff) {
  const wchar_t caption_height[] = L"-330";
  DesktopSetting caption(L"Control Panel\\Desktop\\WindowMetrics", L"CaptionHeight", REG_SZ, caption_height,
                         sizeof caption_height);
  Program program;
  ASSERT_TRUE(program.start());
  RECT outer, client;
  ::GetWindowRect(program.main, &outer);
  ::GetClientRect(program.main, &client);
  EXPECT_EQ(outer.right - outer.left, 230);
  EXPECT_EQ(outer.bottom - outer.top, 224);  // 195 + 23 + 2 x 3
  EXPECT_EQ(client.right, 224);
  EXPECT_EQ(client.bottom, 195);
  std::vector<RECT> parts = control_rects(program.main);
  parts.push_back({10, 110, 10 + kPictureWidth, 110 + kPictureHeight});
  for (const RECT& r : parts)
    EXPECT_TRUE(inside(r, client)) << r.left << "," << r.top << " - " << r.right << "," << r.bottom;
  EXPECT_EQ(program.exit(), 0u);
}

// A screen at 144 DPI (150 %), as the prefix's LogPixels sets it for the
// processes started after: the program lays itself out at 1.5 times the
// size. (Wine never stretches a window, aware of DPI or not: that the
// manifest makes it aware on Windows is the activation context's test.)
TEST(Win32Program, At150PercentTheWindowScalesItself) {
  const DWORD log_pixels = 144;
  DesktopSetting dpi(L"Control Panel\\Desktop", L"LogPixels", REG_DWORD, &log_pixels, sizeof log_pixels);
  Program program;
  ASSERT_TRUE(program.start());
  RECT client;
  ::GetClientRect(program.main, &client);
  EXPECT_EQ(client.right, 336);   // 224 x 1.5
  EXPECT_EQ(client.bottom, 293);  // 195 x 1.5, rounded up
  const std::vector<RECT> controls = control_rects(program.main);
  for (const RECT& r : controls)
    EXPECT_TRUE(inside(r, client)) << r.left << "," << r.top << " - " << r.right << "," << r.bottom;
  const RECT exit_button{180, 240, 315, 278};  // 120, 160, 90 x 25, each edge times 1.5
  EXPECT_TRUE(::EqualRect(&controls.back(), &exit_button));
  EXPECT_EQ(program.exit(), 0u);
}

// The picture's file is written beside the target and moved over it only
// once whole: a save that fails leaves no file behind and the target as it was.
TEST(Win32Save, ReplacesTheTargetOnlyWithAWholeFile) {
  const std::wstring folder = scratch_folder();
  Picture picture;
  for (std::size_t i = 0; i < picture.pixels.size(); ++i) picture.pixels[i] = static_cast<std::uint8_t>(i * 7);
  const std::vector<std::uint8_t> written = bmp_bytes(picture);
  for (int round = 0; round < 2; ++round) {  // a new file, then over it
    ASSERT_TRUE(write_bmp_replacing(folder + L"\\shot.bmp", picture));
    EXPECT_EQ(file_bytes(folder + L"\\shot.bmp"), written);
  }
  ASSERT_TRUE(::CreateDirectoryW((folder + L"\\taken").c_str(), nullptr));
  EXPECT_FALSE(write_bmp_replacing(folder + L"\\taken", picture)) << "a folder in the way";
  EXPECT_FALSE(write_bmp_replacing(folder + L"\\missing\\shot.bmp", picture));
  EXPECT_EQ(files_in(folder), (std::vector<std::wstring>{L"shot.bmp", L"taken"}));
}
}  // namespace
