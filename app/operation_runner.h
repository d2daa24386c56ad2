#pragma once
// The operation runner and the control states of the main window, free of
// any window toolkit. The Qt window and a Win32 window are thin shells over
// this: they implement ShellWindow and forward their button commands,
// selection changes and operation reports here, so both follow the same rules.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "camera_commands.h"
#include "host_state.h"
#include "pairing_shell.h"
#include "picture_record.h"
#include "wait_bounds.h"

// User-interface ids, shared by the controls, the command routing and the
// resources.
inline constexpr int kIdOpen = 1001;
inline constexpr int kIdInquiry = 1002;
inline constexpr int kIdConnect = 1003;
inline constexpr int kIdDisconnect = 1004;
inline constexpr int kIdExit = 1005;
inline constexpr int kIdClose = 1006;
inline constexpr int kIdPortBox = 1010;
inline constexpr int kIdDeviceList = 1020;
inline constexpr int kCommandAbout = 104;  // Alt+"?" and Alt+"/"
inline constexpr int kCommandExit = 105;   // the exit item of the (never shown) menu
// A key command on the worker: its id where an operation's would be.
inline constexpr int kKeyCommand = 1100;
// The live toggle of the picture's context menu; the Space key toggles it too.
inline constexpr int kCommandLive = 1101;
inline constexpr std::uint32_t kVkSpace = 0x20;

// The device list's notifications: the user changed its selection; it took
// the keyboard.
inline constexpr int kListSelectionChanged = 1;  // LBN_SELCHANGE
inline constexpr int kListFocused = 4;           // LBN_SETFOCUS

// The report of one finished operation: wParam the operation id, lParam the
// status widened to 32 bits (0 success, -1 failure; any non-zero is failure).
inline constexpr std::uint32_t WM_OPERATION_DONE = 0x0401;  // WM_USER + 1

// The main window's client area in pixels, which holds every control and
// the picture; each window's outer size follows from it and its frame.
inline constexpr int kClientWidth = 224;
inline constexpr int kClientHeight = 195;

// The port box starts with these, COM5 selected; the other ports present
// follow them (port_box_items).
inline constexpr int kPortBoxDefaultSelection = 4;  // "COM5"
inline constexpr std::array<const char*, 6> kPortBoxItems = {"COM1", "COM2", "COM3",
                                                             "COM4", "COM5", "COM6"};
inline constexpr std::uint8_t kInquiryMaxResponses = 4;

// Message box icons, with the values MB_ICONERROR and MB_ICONWARNING have.
enum class MessageIcon : std::uint32_t { error = 0x10, warning = 0x30 };

// A failure message: text and caption in UTF-8 (a Win32 shell converts them
// for the platform), OK button only, modal to the main window.
struct FailureMessage {
  const char* text;
  const char* caption;
  MessageIcon icon;
};

inline constexpr FailureMessage kOpenFailed = {"Bluetoothモジュールを初期化出来ません", "Error",
                                               MessageIcon::error};
inline constexpr FailureMessage kInquiryFailed = {"他のBluetoothデバイスが見つかりません", "Warning",
                                                  MessageIcon::warning};
inline constexpr FailureMessage kConnectFailed = {"Connect出来ません", "Error", MessageIcon::error};
inline constexpr FailureMessage kDisconnectFailed = {"Disconnect出来ません", "Error",
                                                     MessageIcon::error};

struct AppShell;

// The one request record handed to the worker: which operation (or
// kKeyCommand with its key), and the shell (with its window) to report to;
// Open's line, as the settings said when the operation started.
struct OperationRequest {
  std::int32_t operation_id = 0;
  AppShell* shell = nullptr;
  std::uint32_t virtual_key = 0;
  LineSettings line;
};

using WorkerBody = void (*)(OperationRequest* request);

// What the runner needs of a window. Every call may come from the worker
// thread; an implementation carries it out on the window thread and returns
// only when it is done there.
struct ShellWindow {
  virtual ~ShellWindow() = default;
  virtual void enable_control(int control_id, bool enabled) = 0;
  // The text of the port box's selected item ("" when none is selected).
  virtual std::string port_box_selection() = 0;
  virtual void clear_device_list() = 0;
  virtual void add_device_line(const std::string& text) = 0;
  // The selected line of the device list, or -1 when none is selected.
  virtual int device_list_selection() = 0;
  // Modal to the main window; returns once the user has dismissed it.
  // `details`: why the operation failed, in words ("" when not known), for a
  // window that can offer it beside the message (which stays as it is).
  virtual void show_message(const FailureMessage& message, const std::string& details) = 0;
  virtual void focus_main_window() = 0;

  // Window thread only.
  virtual void open_about_box() = 0;  // modal; returns when the box is closed
  virtual void destroy_main_window() = 0;
  // Starts a thread running body(request); false when no thread could start.
  // Until its report the window shows the busy cursor, or for a key command
  // (request->operation_id kKeyCommand) the wait cursor.
  virtual bool start_worker(WorkerBody body, OperationRequest* request) = 0;

  // Worker thread: delivers WM_OPERATION_DONE to the window thread, which
  // calls complete_operation, and waits until that has finished (message
  // box included). A window that is gone drops the report.
  virtual void send_operation_done(std::int32_t operation_id, std::int32_t status) = 0;

  // Pairing. Worker thread, without waiting for it: has the window thread
  // call pin_question_changed. A window that is gone drops it.
  virtual void wake_for_pin() = 0;
  // Window thread: opens the PIN dialog for the device at `address`
  // ("AA:BB:CC:DD:EE:FF"), owned by the main window and not modal, so that
  // the window stays live; returns at once. Its OK and Cancel call
  // pin_dialog_answered.
  virtual void open_pin_dialog(const std::string& address) = 0;
  // Window thread: closes that dialog unanswered.
  virtual void close_pin_dialog() = 0;
  // Window thread: `text` in a modal box with an OK button.
  virtual void show_notice(const std::string& text) = 0;
  // Window thread: asks `text` in a modal box; true for Yes.
  virtual bool confirm(const std::string& text) = 0;
  // Window thread: writes the settings file as the window holds them (the
  // shell's pins included), saying so in a box when it cannot.
  virtual void save_settings() = 0;

  // Live view and record. Window thread: `text` on the window's status line
  // ("" clears it); no box, so that pictures keep coming.
  virtual void show_status(const std::string& text) = 0;
  // Window thread: live went on or off (the toggle's check mark).
  virtual void live_changed(bool on) = 0;
  // Window thread, without waiting: has the window thread call
  // next_step(shell) once the event it handles now (a report) is done, so
  // that the next worker starts after the last one has ended.
  virtual void post_next_step() = 0;
};

// A PIN asked of the window for the worker, handed over under the mutex:
// the worker sets the question and waits; the window thread answers it, or
// the bound or a cancel request ends the wait with none.
struct PinQuestion {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint32_t number = 0;  // the latest question's, from 1
  bool waiting = false;      // the worker waits for an answer to it
  DeviceAddress address{};   // display order
  bool answered = false;
  std::string answer;        // "": none
  // What the pairing hooks told on the worker, for the window to show once
  // the operation has been reported.
  std::vector<std::string> notes;
};

// The shell's state: the protocol state it drives, its window, the running
// operation or kKeyCommand (0 when idle; read and written on the window
// thread only), the request of the current worker, and where the Up key's
// picture goes (its calls come on the worker).
struct AppShell {
  HostState& host;
  ShellWindow& window;
  std::int32_t running_operation = 0;
  OperationRequest operation_request{};
  CameraView view{};
  // Why the last operation failed, taken while it still owned the link, so
  // that its report does not read the host's state.
  FailureReason operation_failure{};
  // The line Open sets the port to: the settings file's, the command line's
  // or the settings dialog's (window thread only).
  LineSettings line;

  // Pairing (attach_pairing): the key file and the hooks' state; the PIN
  // asked of the window, within pin_bound; the PINs remembered by address
  // (settings.h; window thread only); the question the open PIN dialog
  // answers (0: no dialog) and its device.
  ShellPairing pairing;
  PinQuestion pin_question;
  std::chrono::milliseconds pin_bound = wait_bounds::kPinAnswer;
  std::map<std::string, std::string> pins;
  std::uint32_t pin_dialog_for = 0;
  std::string pin_dialog_address;
  // The device Connect was last asked for (worker), and the last one it
  // reached (window thread): what "Forget device's key" forgets when no
  // line is selected.
  DeviceAddress connect_target{};
  DeviceAddress last_connected{};
  bool connected_once = false;

  // Live view (window thread only): pictures back to back while `on`; the
  // running key command is live's picture; a key, and a Disconnect or Close,
  // waiting for the picture under way; pictures failed in a row.
  struct Live {
    bool on = false;
    bool picture_under_way = false;
    std::uint32_t waiting_key = 0;
    std::int32_t waiting_operation = 0;
    int failures_in_row = 0;
  } live;
  // The record of every picture that arrives: started and stopped on the
  // window thread, written by the worker after a capture, under the mutex.
  // `record_failed`: a write failed and ended it, not yet said.
  std::mutex record_mutex;
  PictureRecord record;
  bool record_failed = false;

  AppShell(HostState& h, ShellWindow& w) : host(h), window(w) {}
};

// A control whose enabled state an event sets.
struct ControlChange {
  int control_id;
  bool enabled;
};

// The control states right after the window is created: Open enabled,
// Inquiry, Connect, Disconnect and Close disabled (in that order).
void set_up_controls(AppShell& shell);

// WM_COMMAND: low 16 bits of wparam the command id, high 16 bits the
// notification code. True when the id is the runner's (the window returns
// 0); false sends the message on to the platform's default handling.
bool route_command(AppShell& shell, std::uint32_t wparam);
inline constexpr std::uint32_t command_wparam(int id, int notification = 0) {
  return (static_cast<std::uint32_t>(notification) << 16) | (static_cast<std::uint32_t>(id) & 0xFFFF);
}

// Starts a worker for the operation unless one is running (an operation
// or a key command).
void start_operation(AppShell& shell, std::int32_t operation_id);

// A key-down on the window thread. A key of the table, while no worker runs
// and a channel is open, starts its command on the worker (true); any other
// key does nothing, so a held key's repeats cannot queue commands. Without
// a channel the key is refused at once, as camera_key_down refuses it.
// While live, one key waits for the picture under way (true); a further
// one is refused. Space toggles live (true); a shell passes on no repeats
// of a held Space.
bool key_down(AppShell& shell, std::uint32_t virtual_key);

// Live view, window thread. On only while a channel is open and no
// operation runs (false, said on the status line, otherwise); then each
// picture starts once the last one is reported, as the Up key's would.
// Off: the picture under way finishes and no other starts. A failed
// picture is said on the status line; a second in a row, a lost channel,
// Disconnect and Close end live.
bool set_live(AppShell& shell, bool on);
void toggle_live(AppShell& shell);
// Window thread, when post_next_step has come round: the Disconnect or
// Close that waited, else the key that waited, else live's next picture.
void next_step(AppShell& shell);

// The record, window thread: into `folder` as PNG (false, and the reason on
// the status line, when it cannot start); its end; whether one runs.
bool start_record(AppShell& shell, const std::filesystem::path& folder);
void stop_record(AppShell& shell);
bool recording(AppShell& shell);

// The worker's body for a key command: the command or the capture, owning
// the link, what went out and came kept in the record, then its report,
// which shows nothing but live's state.
void key_worker(OperationRequest* request);

// The worker's body: runs the request's operation while owning the link,
// then reports it synchronously.
void operation_worker(OperationRequest* request);

// The operation's own steps, without the report: its status (0 or -1).
// Open takes its line from `line`.
std::int32_t run_operation(AppShell& shell, std::int32_t operation_id, const LineSettings& line = {});

// WM_OPERATION_DONE on the window thread: applies the outcome of the running
// operation (a key command's shows nothing); nothing happens while none runs.
void complete_operation(AppShell& shell, std::int32_t status);

// The port box's items: COM1 to COM6, then every other port of `present`
// (port_list.h) in its order, then `chosen` when it is none of those (a TCP
// address from the settings, say, or a port not plugged in).
std::vector<std::string> port_box_items(const std::vector<std::string>& present, const std::string& chosen);
// The item to select at start: `chosen`, or COM5 when none is chosen.
int port_box_start_selection(const std::vector<std::string>& items, const std::string& chosen);

// The failure message of an operation, or nullptr (Close shows none).
const FailureMessage* failure_message(std::int32_t operation_id);

// Sets the host's pairing hooks to the shell's: link keys in `key_file`,
// the PIN from the PIN dialog (or a remembered one), and what the hooks
// tell shown after the operation.
void attach_pairing(AppShell& shell, const std::filesystem::path& key_file);
// Window thread, when wake_for_pin has woken it: a PIN remembered for the
// device answers at once; else the PIN dialog opens; a question no longer
// waited for closes its dialog.
void pin_question_changed(AppShell& shell);
// Window thread: the PIN dialog's answer ("" for Cancel); `remember` keeps
// the PIN for its device in the settings.
void pin_dialog_answered(AppShell& shell, const std::string& pin, bool remember);
// Window thread, "Forget device's key...": once confirmed, removes the
// stored key and the remembered PIN of the selected device (else of the
// last one connected), and says what was there.
void forget_device_key(AppShell& shell);
