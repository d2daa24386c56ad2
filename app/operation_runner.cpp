#include "operation_runner.h"

#include <algorithm>
#include <cstddef>

#include "failure_text.h"
#include "host_ops.h"
#include "link_keys.h"
#include "port_name.h"
#include "serial_link.h"
#include "settings.h"  // path_text

namespace {

// What the window does with one outcome of an operation: the message box
// first (the buttons change once it is dismissed), then the buttons in the
// order listed.
struct Outcome {
  const FailureMessage* message;
  std::array<ControlChange, 4> changes;
  std::size_t change_count;
};

struct OperationOutcomes {
  std::int32_t operation_id;
  Outcome success;
  Outcome failure;
};

// Close is never reported as failed: the port is given up either way.
constexpr Outcome kCloseDone = {
    nullptr,
    {{{kIdInquiry, false}, {kIdConnect, false}, {kIdDisconnect, false}, {kIdOpen, true}}},
    4};

constexpr std::array<OperationOutcomes, 5> kOutcomes = {{
    {kIdOpen,
     {nullptr, {{{kIdInquiry, true}, {kIdClose, true}}}, 2},
     {&kOpenFailed, {{{kIdOpen, true}}}, 1}},
    {kIdInquiry,
     {nullptr, {{{kIdInquiry, true}}}, 1},
     {&kInquiryFailed, {{{kIdInquiry, true}}}, 1}},
    {kIdConnect,
     {nullptr, {{{kIdDisconnect, true}, {kIdInquiry, false}}}, 2},
     {&kConnectFailed, {{{kIdConnect, true}}}, 1}},
    {kIdDisconnect,
     {nullptr, {{{kIdConnect, true}, {kIdInquiry, true}}}, 2},
     {&kDisconnectFailed, {{{kIdDisconnect, true}}}, 1}},
    {kIdClose, kCloseDone, kCloseDone},
}};

const OperationOutcomes* outcomes_of(std::int32_t operation_id) {
  for (const OperationOutcomes& o : kOutcomes)
    if (o.operation_id == operation_id) return &o;
  return nullptr;
}

bool is_operation(int id) {
  return id == kIdOpen || id == kIdInquiry || id == kIdConnect || id == kIdDisconnect ||
         id == kIdClose;
}

std::int32_t widened(Status status) { return failed(status) ? -1 : 0; }

bool channel_open(const AppShell& shell) { return shell.host.channel_state == kChannelOpen; }

// Whether a failed key command's letter was sent before it failed: these
// failures are judged before anything goes out.
bool letter_went_out(Status status, const FailureReason& reason) {
  if (!failed(status)) return true;
  switch (reason.point) {
    case FailurePoint::key_refused:
    case FailurePoint::port_write:
    case FailurePoint::camera_behind:
    case FailurePoint::damaged_before:
    case FailurePoint::camera_not_quiet:
    case FailurePoint::no_credit:
      return false;
    default:
      return true;
  }
}

// Worker, after a key command: the picture it brought, or the letter that
// went out, into the record while one runs.
void note_in_record(AppShell& shell, std::uint32_t virtual_key, Status status, const FailureReason& reason) {
  std::lock_guard<std::mutex> lock(shell.record_mutex);
  if (!shell.record.recording) return;
  if (virtual_key != kVkUp) {
    if (letter_went_out(status, reason)) record_key(shell.record, camera_key_letter(virtual_key));
    return;
  }
  if (failed(status) || shell.view.picture == nullptr) return;
  if (!record_picture(shell.record, *shell.view.picture, std::chrono::system_clock::now()))
    shell.record_failed = true;
}

void stop_live(AppShell& shell, const std::string& why) {
  shell.live.on = false;
  shell.live.failures_in_row = 0;
  shell.window.live_changed(false);
  if (!why.empty()) shell.window.show_status(why);
}

// The reason of a failed key command, or `otherwise` when none was noted.
std::string reason_text(const AppShell& shell, const char* otherwise) {
  const std::string text = failure_text(shell.operation_failure);
  return text.empty() ? otherwise : text;
}

// Window thread, at a key command's report: live's count of failures, its
// end when the channel went, and a record that ended on a failed write.
void complete_key_command(AppShell& shell, std::int32_t status) {
  AppShell::Live& live = shell.live;
  const bool picture = shell.operation_request.virtual_key == kVkUp;
  live.picture_under_way = false;
  if (live.on && picture) {
    if (status == 0) {
      if (live.failures_in_row > 0) shell.window.show_status("");
      live.failures_in_row = 0;
    } else if (++live.failures_in_row >= 2) {
      stop_live(shell, "Live stopped: " + reason_text(shell, "the picture failed"));
    } else {
      shell.window.show_status("Picture failed: " + reason_text(shell, "unknown reason"));
    }
  }
  if (live.on && !channel_open(shell)) stop_live(shell, "Live stopped: " + reason_text(shell, "the channel closed"));
  std::string record_error;
  {
    std::lock_guard<std::mutex> lock(shell.record_mutex);
    if (shell.record_failed) record_error = shell.record.error.empty() ? "a write failed" : shell.record.error;
    shell.record_failed = false;
  }
  if (!record_error.empty()) shell.window.show_status("Recording stopped: " + record_error);
}

// Starts a key's command on the worker; false when none could start.
bool start_key_command(AppShell& shell, std::uint32_t virtual_key) {
  if (!channel_open(shell)) {
    camera_key_down(shell.host, shell.view, virtual_key);  // refused without a wait
    return false;
  }
  shell.running_operation = kKeyCommand;
  shell.operation_request = OperationRequest{kKeyCommand, &shell, virtual_key, shell.line};
  if (shell.window.start_worker(key_worker, &shell.operation_request)) return true;
  shell.running_operation = 0;  // a key's failure is never shown
  return false;
}

// The PIN dialog goes without an answer: its question is no longer waited for.
void close_pin_dialog(AppShell& shell) {
  if (shell.pin_dialog_for == 0) return;
  shell.pin_dialog_for = 0;
  shell.window.close_pin_dialog();
}

// Exit: a worker blocked in a wait lets go at once (a PIN's too), and the
// window goes.
void exit_main_window(AppShell& shell) {
  shell.host.cancel_requested = true;
  { std::lock_guard<std::mutex> lock(shell.pin_question.mutex); }  // the waiting worker sees the request
  shell.pin_question.changed.notify_all();
  close_pin_dialog(shell);
  shell.window.destroy_main_window();
}

// Worker, as the hooks' pin_for: the window thread is woken to answer, and
// the worker waits for it within the bound. The wait is cut into slices, so
// that a cancel request however made ends it.
std::size_t ask_window_for_pin(void* context, const DeviceAddress& address, PinCode& pin) {
  auto& shell = *static_cast<AppShell*>(context);
  PinQuestion& question = shell.pin_question;
  if (shell.host.cancel_requested) return 0;
  {
    std::lock_guard<std::mutex> lock(question.mutex);
    ++question.number;
    question.waiting = true;
    question.address = address;
    question.answered = false;
    question.answer.clear();
  }
  shell.window.wake_for_pin();
  std::string answer;
  bool answered = false;
  {
    std::unique_lock<std::mutex> lock(question.mutex);
    const auto deadline = std::chrono::steady_clock::now() + shell.pin_bound;
    for (auto now = std::chrono::steady_clock::now(); !question.answered && !shell.host.cancel_requested && now < deadline;
         now = std::chrono::steady_clock::now())
      question.changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(50)));
    answered = question.answered;
    answer = question.answer;
    question.waiting = false;
  }
  if (!answered) shell.window.wake_for_pin();  // its dialog goes
  return pin_code_from_text(answer, pin);
}

// Worker, as the hooks' tell: kept for the window until the report.
void note_for_window(void* context, const std::string& text) {
  auto& shell = *static_cast<AppShell*>(context);
  std::lock_guard<std::mutex> lock(shell.pin_question.mutex);
  shell.pin_question.notes.push_back(text);
}

// Window thread: `pin` answers question `number` if it is still waited for.
bool answer_pin_question(PinQuestion& question, std::uint32_t number, const std::string& pin) {
  {
    std::lock_guard<std::mutex> lock(question.mutex);
    if (!question.waiting || question.number != number || question.answered) return false;
    question.answer = pin;
    question.answered = true;
  }
  question.changed.notify_all();
  return true;
}

// Window thread, after a report: what the hooks told, one sentence a line.
void show_pairing_notes(AppShell& shell) {
  std::vector<std::string> notes;
  {
    std::lock_guard<std::mutex> lock(shell.pin_question.mutex);
    notes.swap(shell.pin_question.notes);
  }
  std::string text;
  for (std::string& note : notes) {
    if (!note.empty() && note[0] >= 'a' && note[0] <= 'z') note[0] = static_cast<char>(note[0] - 'a' + 'A');
    text += (text.empty() ? "" : "\n") + note + ".";
  }
  if (!text.empty()) shell.window.show_notice(text);
}

// The device "Forget device's key" means: the selected line's (not while a
// worker owns the table), else the one last connected.
bool forget_target(AppShell& shell, DeviceAddress& address) {
  if (shell.running_operation == 0) {
    const int position = shell.window.device_list_selection();
    if (position >= 0 && position < shell.host.found_count && static_cast<std::size_t>(position) < kMaxFoundDevices) {
      address = shell.host.found_devices[static_cast<std::size_t>(position)];
      return true;
    }
  }
  address = shell.last_connected;
  return shell.connected_once;
}

std::int32_t run_open(AppShell& shell, const LineSettings& line) {
  HostState& s = shell.host;
  shell.window.enable_control(kIdOpen, false);
  PortName port;
  if (!parse_port_name(shell.window.port_box_selection(), port)) return -1;  // nothing is opened or sent
  std::int32_t status = widened(host_open(s, port, line));
  // The start-up runs even when the open failed: on a port that could not be
  // opened at all its first write fails at once.
  if (failed(module_start_up(s, kLocalDeviceName))) status = -1;
  return status;
}

std::int32_t run_inquiry(AppShell& shell) {
  HostState& s = shell.host;
  shell.window.enable_control(kIdInquiry, false);
  shell.window.clear_device_list();
  Status result = discover_devices(s, s.found_devices.data(), &s.found_count, kInquiryMaxResponses);
  if (failed(result) || s.found_count == 0) return -1;
  // Line i of the list shows entry i of the table.
  for (std::size_t i = 0; i < s.found_count && i < kMaxFoundDevices; ++i)
    shell.window.add_device_line(address_text(s.found_devices[i]));
  return 0;
}

std::int32_t run_connect(AppShell& shell) {
  HostState& s = shell.host;
  shell.window.enable_control(kIdConnect, false);
  int position = shell.window.device_list_selection();
  // No selected line, or a line the current table does not hold (the list
  // was refilled or emptied since): there is no device to connect to.
  if (position < 0 || position >= s.found_count || static_cast<std::size_t>(position) >= kMaxFoundDevices)
    return -1;
  shell.connect_target = s.found_devices[static_cast<std::size_t>(position)];
  return widened(host_connect(s, shell.connect_target));
}

std::int32_t run_disconnect(AppShell& shell) {
  shell.window.enable_control(kIdDisconnect, false);
  return widened(host_disconnect(shell.host));
}

std::int32_t run_close(AppShell& shell) {
  shell.window.enable_control(kIdClose, false);
  return widened(host_close(shell.host));
}

}  // namespace

void set_up_controls(AppShell& shell) {
  shell.window.enable_control(kIdInquiry, false);
  shell.window.enable_control(kIdConnect, false);
  shell.window.enable_control(kIdDisconnect, false);
  shell.window.enable_control(kIdClose, false);
  shell.running_operation = 0;
  shell.host.found_count = 0;
}

bool route_command(AppShell& shell, std::uint32_t wparam) {
  int id = static_cast<int>(wparam & 0xFFFF);
  int notification = static_cast<int>(wparam >> 16);
  if (is_operation(id)) {
    start_operation(shell, id);  // the notification code of a button is not examined
    return true;
  }
  switch (id) {
    case kCommandAbout:
      shell.window.open_about_box();
      return true;
    case kCommandLive:
      toggle_live(shell);
      return true;
    case kCommandExit:
    case kIdExit:  // also while a worker runs
      exit_main_window(shell);
      return true;
    case kIdDeviceList:
      // While a worker runs it owns the host's state: nothing of it is read
      // here. A key command runs only on an open channel, so the keyboard
      // goes back to the arrows; the outcome sets the buttons.
      if (shell.running_operation != 0) {
        if (shell.running_operation == kKeyCommand) shell.window.focus_main_window();
        return true;
      }
      // Connect is for a device to link to: while a link is up it stays as
      // the operations set it.
      if (notification == kListSelectionChanged && shell.host.found_count > 0 && shell.host.link_connected == 0)
        shell.window.enable_control(kIdConnect, true);
      // A click on the list takes the keyboard there; while a channel is
      // open the arrows must steer the camera instead.
      if ((notification == kListSelectionChanged || notification == kListFocused) && channel_open(shell))
        shell.window.focus_main_window();
      return true;
    default:
      return false;
  }
}

void start_operation(AppShell& shell, std::int32_t operation_id) {
  // Disconnect and Close end live, and wait for its picture under way
  // rather than being lost.
  if ((operation_id == kIdDisconnect || operation_id == kIdClose) && (shell.live.on || shell.live.picture_under_way)) {
    if (shell.live.on) stop_live(shell, "");
    if (shell.running_operation != 0) {
      if (shell.live.waiting_operation == 0) shell.live.waiting_operation = operation_id;
      shell.live.waiting_key = 0;  // the link goes: a key would be lost on it
      return;
    }
  }
  if (shell.running_operation != 0) return;  // one worker at a time
  shell.running_operation = operation_id;
  shell.operation_request = OperationRequest{operation_id, &shell, 0, shell.line};
  if (shell.window.start_worker(operation_worker, &shell.operation_request)) return;
  // No worker: the operation never began, so the link and the buttons are as
  // they were. Say so with the operation's message and free the runner, so
  // that the user can try again.
  if (const FailureMessage* message = failure_message(operation_id))
    shell.window.show_message(*message, "no worker thread could be started");
  shell.running_operation = 0;
}

bool key_down(AppShell& shell, std::uint32_t virtual_key) {
  if (virtual_key == kVkSpace) {
    toggle_live(shell);
    return true;
  }
  if (camera_key_letter(virtual_key) == 0) return false;
  if (shell.running_operation != 0) {
    // The link is the running worker's. While live, one key waits for the
    // picture under way.
    AppShell::Live& live = shell.live;
    if (!live.on || shell.running_operation != kKeyCommand || live.waiting_key != 0 || live.waiting_operation != 0)
      return false;
    live.waiting_key = virtual_key;
    return true;
  }
  return start_key_command(shell, virtual_key);
}

void key_worker(OperationRequest* request) {
  AppShell& shell = *request->shell;
  const Status status = camera_key_down(shell.host, shell.view, request->virtual_key);
  // A failure is noted by the owner of the link, which this worker was.
  const FailureReason reason = failed(status) ? shell.host.last_failure : FailureReason{};
  shell.operation_failure = reason;
  note_in_record(shell, request->virtual_key, status, reason);
  shell.window.send_operation_done(kKeyCommand, widened(status));
}

bool set_live(AppShell& shell, bool on) {
  AppShell::Live& live = shell.live;
  if (on == live.on) return true;
  if (!on) {
    stop_live(shell, "");
    return true;
  }
  if (!channel_open(shell) || (shell.running_operation != 0 && shell.running_operation != kKeyCommand) ||
      live.waiting_operation != 0) {
    shell.window.live_changed(false);
    shell.window.show_status("Live needs an open channel: connect first.");
    return false;
  }
  live.on = true;
  live.failures_in_row = 0;
  shell.window.live_changed(true);
  shell.window.show_status("");
  if (shell.running_operation == 0) next_step(shell);  // else once the key command under way is reported
  return true;
}

void toggle_live(AppShell& shell) { set_live(shell, !shell.live.on); }

void next_step(AppShell& shell) {
  AppShell::Live& live = shell.live;
  if (shell.running_operation != 0 || shell.host.cancel_requested) return;
  if (const std::int32_t operation_id = live.waiting_operation; operation_id != 0) {
    live.waiting_operation = 0;
    start_operation(shell, operation_id);
    return;
  }
  if (const std::uint32_t key = live.waiting_key; key != 0) {
    live.waiting_key = 0;
    if (!start_key_command(shell, key) && live.on) next_step(shell);
    return;
  }
  if (!live.on) return;
  if (!channel_open(shell)) {
    stop_live(shell, "Live stopped: the channel is closed.");
    return;
  }
  live.picture_under_way = start_key_command(shell, kVkUp);
  if (!live.picture_under_way) stop_live(shell, "Live stopped: no worker thread could be started.");
}

bool start_record(AppShell& shell, const std::filesystem::path& folder) {
  std::string error;
  bool started = false;
  {
    std::lock_guard<std::mutex> lock(shell.record_mutex);
    started = record_start(shell.record, folder, RecordFormat::png, error);
    shell.record_failed = false;
  }
  shell.window.show_status(started ? "Recording to " + path_text(folder) : "Cannot record: " + error);
  return started;
}

void stop_record(AppShell& shell) {
  {
    std::lock_guard<std::mutex> lock(shell.record_mutex);
    if (!shell.record.recording) return;
    record_stop(shell.record);
  }
  shell.window.show_status("Recording stopped.");
}

bool recording(AppShell& shell) {
  std::lock_guard<std::mutex> lock(shell.record_mutex);
  return shell.record.recording;
}

void operation_worker(OperationRequest* request) {
  AppShell& shell = *request->shell;
  std::int32_t operation_id = request->operation_id;
  std::int32_t status = -1;
  {
    // Keys are refused while the operation owns the link; a key command
    // already under way finishes first.
    LinkOwner owner(shell.host);
    clear_failure(shell.host);
    status = run_operation(shell, operation_id, request->line);
    shell.operation_failure = shell.host.last_failure;
  }
  shell.window.send_operation_done(operation_id, status);
}

std::int32_t run_operation(AppShell& shell, std::int32_t operation_id, const LineSettings& line) {
  switch (operation_id) {
    case kIdOpen: return run_open(shell, line);
    case kIdInquiry: return run_inquiry(shell);
    case kIdConnect: return run_connect(shell);
    case kIdDisconnect: return run_disconnect(shell);
    case kIdClose: return run_close(shell);
    default: return -1;
  }
}

void complete_operation(AppShell& shell, std::int32_t status) {
  if (shell.running_operation == 0) return;  // a stray report changes nothing
  if (shell.running_operation == kKeyCommand) complete_key_command(shell, status);
  // The running id, not the report's, chooses: they are the same whenever a
  // worker reports.
  if (const OperationOutcomes* outcomes = outcomes_of(shell.running_operation)) {
    const Outcome& outcome = status == 0 ? outcomes->success : outcomes->failure;
    if (outcome.message != nullptr) shell.window.show_message(*outcome.message, failure_text(shell.operation_failure));
    for (std::size_t i = 0; i < outcome.change_count; ++i)
      shell.window.enable_control(outcome.changes[i].control_id, outcome.changes[i].enabled);
    if (shell.running_operation == kIdConnect && status == 0) {
      shell.last_connected = shell.connect_target;
      shell.connected_once = true;
    }
    // The keys steer the camera through the main window: a clicked button
    // must not keep the keyboard while a channel is open.
    if (channel_open(shell)) shell.window.focus_main_window();
  }
  shell.running_operation = 0;
  show_pairing_notes(shell);
  const AppShell::Live& live = shell.live;
  if (live.on || live.waiting_key != 0 || live.waiting_operation != 0) shell.window.post_next_step();
}

std::vector<std::string> port_box_items(const std::vector<std::string>& present, const std::string& chosen) {
  std::vector<std::string> items(kPortBoxItems.begin(), kPortBoxItems.end());
  auto listed = [&items](const std::string& name) {
    for (const std::string& item : items)
      if (item == name) return true;
    return false;
  };
  for (const std::string& name : present)
    if (!listed(name)) items.push_back(name);
  if (!chosen.empty() && !listed(chosen)) items.push_back(chosen);
  return items;
}

int port_box_start_selection(const std::vector<std::string>& items, const std::string& chosen) {
  for (std::size_t i = 0; i < items.size(); ++i)
    if (!chosen.empty() && items[i] == chosen) return static_cast<int>(i);
  return kPortBoxDefaultSelection;
}

const FailureMessage* failure_message(std::int32_t operation_id) {
  const OperationOutcomes* outcomes = outcomes_of(operation_id);
  return outcomes != nullptr ? outcomes->failure.message : nullptr;
}

void attach_pairing(AppShell& shell, const std::filesystem::path& key_file) {
  shell.pairing.key_file = key_file;
  shell.pairing.ask_pin = ask_window_for_pin;
  shell.pairing.tell = note_for_window;
  shell.pairing.context = &shell;
  shell.host.pairing = pairing_hooks(shell.pairing);
}

void pin_question_changed(AppShell& shell) {
  PinQuestion& question = shell.pin_question;
  bool waiting = false;
  std::uint32_t number = 0;
  DeviceAddress address{};
  {
    std::lock_guard<std::mutex> lock(question.mutex);
    waiting = question.waiting && !question.answered;
    number = question.number;
    address = question.address;
  }
  if (!waiting || shell.host.cancel_requested) {
    close_pin_dialog(shell);
    return;
  }
  if (shell.pin_dialog_for == number) return;  // its dialog is open
  close_pin_dialog(shell);  // an older question's
  const std::string text = colon_address_text(address);
  if (const auto remembered = shell.pins.find(text); remembered != shell.pins.end()) {
    answer_pin_question(question, number, remembered->second);
    return;
  }
  shell.pin_dialog_for = number;
  shell.pin_dialog_address = text;
  shell.window.open_pin_dialog(text);
}

void pin_dialog_answered(AppShell& shell, const std::string& pin, bool remember) {
  const std::uint32_t number = shell.pin_dialog_for;
  if (number == 0) return;  // closed unanswered: nobody waits for it
  shell.pin_dialog_for = 0;
  // Answered first: the worker is not held by a settings file that fails.
  if (answer_pin_question(shell.pin_question, number, pin) && remember && pin_problem(pin).empty()) {
    shell.pins[shell.pin_dialog_address] = pin;
    shell.window.save_settings();
  }
}

void forget_device_key(AppShell& shell) {
  DeviceAddress address{};
  if (!forget_target(shell, address)) {
    shell.window.show_notice("No device to forget: select one in the list, or connect to one first.");
    return;
  }
  const std::string text = colon_address_text(address);
  if (!shell.window.confirm("Forget the link key stored for " + text +
                            ", and any PIN remembered for it?\nThe next connect to it pairs anew."))
    return;
  bool removed = false;
  std::string error;
  std::string said;
  if (!remove_link_key(shell.pairing.key_file, address, removed, error)) {
    said = "The key for " + text + " could not be forgotten: " + error + ".";
  } else {
    said = removed ? "The stored key for " + text + " was forgotten." : "No key was stored for " + text + ".";
  }
  if (shell.pins.erase(text) > 0) {
    said += "\nIts remembered PIN was forgotten too.";
    shell.window.save_settings();
  }
  shell.window.show_notice(said);
}
