// The operation runner and the control states against a fake window, with
// the operations running on a scripted module.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera_commands.h"
#include "failure_text.h"
#include "frame_convert.h"
#include "operation_runner.h"
#include "wait_bounds.h"
#include "wire.h"

namespace {

constexpr std::array<int, 8> kAllControls = {kIdPortBox, kIdDeviceList, kIdOpen,  kIdInquiry,
                                             kIdConnect, kIdDisconnect, kIdClose, kIdExit};
constexpr std::array<int, 5> kOperationButtons = {kIdOpen, kIdInquiry, kIdConnect, kIdDisconnect,
                                                  kIdClose};

using ControlStates = std::map<int, bool>;

ControlStates all_controls(bool enabled) {
  ControlStates states;
  for (int id : kAllControls) states[id] = enabled;
  return states;
}

// A window that records what the runner asks of it. Its worker does not run
// until the test says so, so that a test can act while an operation runs.
struct FakeWindow final : ShellWindow {
  AppShell* shell = nullptr;
  ControlStates enabled = all_controls(true);  // as the controls are created
  std::string port_text = "COM5";
  std::vector<std::string> lines;
  int selection = -1;
  std::vector<std::string> log;  // every call, in order
  std::vector<FailureMessage> messages;
  std::vector<std::string> details;  // beside each message
  int focus_calls = 0;
  int about_calls = 0;
  int destroy_calls = 0;
  bool thread_start_fails = false;
  int workers_started = 0;
  WorkerBody pending_body = nullptr;
  OperationRequest* pending_request = nullptr;
  ControlStates at_report;  // the states when the worker reported
  std::vector<std::pair<std::int32_t, std::int32_t>> reports;
  std::function<void()> during_operation;  // runs when the worker reads a list

  void enable_control(int id, bool on) override {
    enabled[id] = on;
    log.push_back((on ? "enable " : "disable ") + std::to_string(id));
  }
  std::string port_box_selection() override {
    if (during_operation) during_operation();
    log.push_back("read port box");
    return port_text;
  }
  void clear_device_list() override {
    lines.clear();
    selection = -1;  // emptying a list box clears its selection
    log.push_back("clear list");
  }
  void add_device_line(const std::string& text) override {
    lines.push_back(text);
    log.push_back("add " + text);
  }
  int device_list_selection() override {
    if (during_operation) during_operation();
    log.push_back("read selection");
    return selection;
  }
  void show_message(const FailureMessage& m, const std::string& why) override {
    messages.push_back(m);
    details.push_back(why);
    log.push_back(std::string("message ") + m.caption);
  }
  void focus_main_window() override {
    ++focus_calls;
    log.push_back("focus");
  }
  void open_about_box() override { ++about_calls; }
  void destroy_main_window() override { ++destroy_calls; }
  bool start_worker(WorkerBody body, OperationRequest* request) override {
    if (thread_start_fails) return false;
    ++workers_started;
    pending_body = body;
    pending_request = request;
    return true;
  }
  void send_operation_done(std::int32_t id, std::int32_t status) override {
    at_report = enabled;
    reports.emplace_back(id, status);
    log.push_back("report " + std::to_string(id) + " " + std::to_string(status));
    complete_operation(*shell, status);
  }

  // Pairing. The worker's wake-ups are counted (they come from another
  // thread); the rest is the window thread's, the test's own.
  std::atomic<int> pin_wakes{0};
  std::vector<std::string> pin_dialogs;  // each dialog opened, by its address
  int pin_dialogs_closed = 0;
  std::vector<std::string> notices;
  std::vector<std::string> questions;
  bool confirm_answer = true;
  int settings_saved = 0;
  void wake_for_pin() override { ++pin_wakes; }
  void open_pin_dialog(const std::string& address) override { pin_dialogs.push_back(address); }
  void close_pin_dialog() override { ++pin_dialogs_closed; }
  void show_notice(const std::string& text) override { notices.push_back(text); }
  bool confirm(const std::string& text) override {
    questions.push_back(text);
    return confirm_answer;
  }
  void save_settings() override { ++settings_saved; }

  // Live view and record: the status line's texts, the toggle's changes,
  // and the steps asked for (the test takes each with next_step).
  std::vector<std::string> statuses;
  std::vector<bool> live_changes;
  int steps_posted = 0;
  void show_status(const std::string& text) override { statuses.push_back(text); }
  void live_changed(bool on) override { live_changes.push_back(on); }
  void post_next_step() override { ++steps_posted; }
};

const DeviceAddress kPeerA = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};  // display order
const DeviceAddress kPeerB = {0x00, 0x1B, 0xDC, 0x0F, 0x2E, 0x01};

Bytes start_up_answers() {
  return command_complete(0x0C03) +
         Bytes{0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11} +
         command_complete(0x0C13) + command_complete(0x0C1A);
}

// 04 02 0F 01 | BD_ADDR (wire order) | PSRM | PSPM | PSM | CoD (3) | clock offset (2)
Bytes inquiry_result(const DeviceAddress& display_order) {
  Bytes event = {0x04, 0x02, 0x0F, 0x01};
  for (int i = 5; i >= 0; --i) event.push_back(display_order[static_cast<std::size_t>(i)]);
  return event + Bytes{0x01, 0x00, 0x00, 0x04, 0x02, 0x5A, 0x20, 0x00};
}
Bytes inquiry_complete() { return {0x04, 0x01, 0x01, 0x00}; }

// 04 03 0B | status | handle 2A 00 | BD_ADDR (wire order) | ACL | no encryption
Bytes connection_complete(const DeviceAddress& display_order) {
  Bytes event = {0x04, 0x03, 0x0B, 0x00, 0x2A, 0x00};
  for (int i = 5; i >= 0; --i) event.push_back(display_order[static_cast<std::size_t>(i)]);
  return event + Bytes{0x01, 0x00};
}

struct RunnerTest : ::testing::Test {
  ScriptedSerial link;
  HostState s;
  FakeWindow window;
  AppShell shell{s, window};

  RunnerTest() {
    host_attach(s, link);
    window.shell = &shell;
    set_up_controls(shell);
    window.log.clear();
  }

  Bytes written() { return link.take_written(); }
  bool click(int id, int notification = 0) { return route_command(shell, command_wparam(id, notification)); }
  void select_line(int position) {
    window.selection = position;
    click(kIdDeviceList, kListSelectionChanged);
  }
  void run_worker() {
    ASSERT_NE(window.pending_body, nullptr) << "no worker was started";
    WorkerBody body = window.pending_body;
    window.pending_body = nullptr;
    body(window.pending_request);
  }
  void run(int id) {
    click(id);
    run_worker();
  }
  ControlStates buttons() const {
    ControlStates b;
    for (int id : kOperationButtons) b[id] = window.enabled.at(id);
    return b;
  }

  // Scripts for each outcome.
  void open_succeeds() { link.feed(start_up_answers()); }
  void inquiry_finds(std::initializer_list<DeviceAddress> peers) {
    link.feed(command_status(0x0401));
    for (const DeviceAddress& p : peers) link.feed(inquiry_result(p));
    link.feed(inquiry_complete());
  }
  void connect_succeeds(const DeviceAddress& peer) {
    // The link, then the camera's Connection Response: success.
    link.feed(command_status(0x0405) + connection_complete(peer) +
              Bytes{0x02, 0x2A, 0x20, 0x10, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x03, 0x00, 0x08, 0x00,
                    0x40, 0x00, 0x46, 0x00, 0x00, 0x00, 0x00, 0x00});
  }
  // The module takes the Disconnect, once the host has given up waiting 3 s
  // for the peer's answer on the channel.
  void disconnect_succeeds() { link.answer_after(std::chrono::milliseconds(3500), command_status(0x0406)); }
  // Port open, two devices listed, the first selected.
  void reach_selected() {
    open_succeeds();
    run(kIdOpen);
    inquiry_finds({kPeerA, kPeerB});
    run(kIdInquiry);
    select_line(0);
  }
  void reach_connected() {
    reach_selected();
    connect_succeeds(kPeerA);
    run(kIdConnect);
    ASSERT_EQ(s.link_connected, 1);
  }
};

ControlStates states(bool open, bool inquiry, bool connect, bool disconnect, bool close) {
  return {{kIdOpen, open}, {kIdInquiry, inquiry}, {kIdConnect, connect}, {kIdDisconnect, disconnect},
          {kIdClose, close}};
}

// ---------------------------------------------------------------------------
// Start-up

TEST_F(RunnerTest, AfterCreationOnlyOpenAndExitAreEnabled) {
  EXPECT_EQ(buttons(), states(true, false, false, false, false));
  EXPECT_TRUE(window.enabled.at(kIdExit));
  EXPECT_TRUE(window.enabled.at(kIdPortBox));
  EXPECT_TRUE(window.enabled.at(kIdDeviceList));
  EXPECT_EQ(shell.running_operation, 0);
  EXPECT_EQ(s.found_count, 0);
}

TEST(PortBox, HoldsComOneToSixWithComFiveSelected) {
  ASSERT_EQ(kPortBoxItems.size(), 6u);
  for (std::size_t i = 0; i < kPortBoxItems.size(); ++i)
    EXPECT_EQ(std::string(kPortBoxItems[i]), "COM" + std::to_string(i + 1));
  EXPECT_EQ(std::string(kPortBoxItems[kPortBoxDefaultSelection]), "COM5");
}

// ---------------------------------------------------------------------------
// Every event of the control table, applied once to all-enabled and once to
// all-disabled buttons: each event changes exactly the cells it names.

struct EventRow {
  const char* name;
  int operation;
  void (*prepare)(RunnerTest&);
  std::vector<ControlChange> started;
  std::vector<ControlChange> outcome;
  const FailureMessage* message;
  bool focus;
};

void PrintTo(const EventRow& row, std::ostream* os) { *os << row.name; }

struct EventTable : RunnerTest, ::testing::WithParamInterface<EventRow> {};

void nothing(RunnerTest&) {}
void open_ok(RunnerTest& t) { t.open_succeeds(); }
void open_fails(RunnerTest& t) { t.link.open_outcome = ScriptedSerial::OpenOutcome::device_missing; }
void port_held(RunnerTest& t) { t.s.port_handle.held = true; }
void inquiry_ok(RunnerTest& t) {
  port_held(t);
  t.inquiry_finds({kPeerA});
}
void inquiry_none(RunnerTest& t) {
  port_held(t);
  t.inquiry_finds({});
}
void connect_ok(RunnerTest& t) {
  port_held(t);
  t.s.found_devices[0] = kPeerA;
  t.s.found_count = 1;
  t.window.selection = 0;
  t.connect_succeeds(kPeerA);
}
void connect_fails(RunnerTest& t) {
  port_held(t);
  t.s.found_devices[0] = kPeerA;
  t.s.found_count = 1;
  t.window.selection = 0;  // the module never answers
}
void disconnect_ok(RunnerTest& t) {
  port_held(t);
  t.disconnect_succeeds();
}
void disconnect_fails(RunnerTest& t) {
  port_held(t);
  t.link.fail_write_number = 0;  // the Disconnect command cannot be written
}
void disconnect_fails_with_the_channel_open(RunnerTest& t) {
  disconnect_fails(t);
  t.s.channel_state = kChannelOpen;
}

ControlStates applied(ControlStates states, const std::vector<ControlChange>& changes) {
  for (const ControlChange& c : changes) states[c.control_id] = c.enabled;
  return states;
}

TEST_P(EventTable, ChangesExactlyTheNamedButtons) {
  const EventRow& row = GetParam();
  for (bool initial : {true, false}) {
    SCOPED_TRACE(initial ? "all enabled before" : "all disabled before");
    link = ScriptedSerial{};
    s.port_handle = PortHandle{};
    s.found_count = 0;
    s.channel_state = kChannelClosed;
    window.messages.clear();
    window.details.clear();
    window.focus_calls = 0;
    window.enabled = all_controls(initial);
    row.prepare(*this);

    ControlStates before = window.enabled;
    run(row.operation);
    EXPECT_EQ(window.at_report, applied(before, row.started));
    EXPECT_EQ(window.enabled, applied(applied(before, row.started), row.outcome));
    if (row.message == nullptr) {
      EXPECT_TRUE(window.messages.empty());
    } else {
      ASSERT_EQ(window.messages.size(), 1u);
      EXPECT_STREQ(window.messages[0].text, row.message->text);
      EXPECT_STREQ(window.messages[0].caption, row.message->caption);
      EXPECT_EQ(window.messages[0].icon, row.message->icon);
      // Beside the message, why: what the layers recorded in this run.
      ASSERT_EQ(window.details.size(), 1u);
      EXPECT_NE(window.details[0], "");
      EXPECT_EQ(window.details[0], failure_text(s.last_failure));
    }
    EXPECT_EQ(window.focus_calls, row.focus ? 1 : 0);
    EXPECT_EQ(shell.running_operation, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllEvents, EventTable,
    ::testing::Values(
        EventRow{"OpenSucceeded", kIdOpen, open_ok, {{kIdOpen, false}}, {{kIdInquiry, true}, {kIdClose, true}}, nullptr, false},
        EventRow{"OpenFailed", kIdOpen, open_fails, {{kIdOpen, false}}, {{kIdOpen, true}}, &kOpenFailed, false},
        EventRow{"InquirySucceeded", kIdInquiry, inquiry_ok, {{kIdInquiry, false}}, {{kIdInquiry, true}}, nullptr, false},
        EventRow{"InquiryFoundNone", kIdInquiry, inquiry_none, {{kIdInquiry, false}}, {{kIdInquiry, true}}, &kInquiryFailed, false},
        EventRow{"InquiryFailed", kIdInquiry, port_held, {{kIdInquiry, false}}, {{kIdInquiry, true}}, &kInquiryFailed, false},
        EventRow{"ConnectSucceeded", kIdConnect, connect_ok, {{kIdConnect, false}}, {{kIdDisconnect, true}, {kIdInquiry, false}}, nullptr, true},
        EventRow{"ConnectFailed", kIdConnect, connect_fails, {{kIdConnect, false}}, {{kIdConnect, true}}, &kConnectFailed, false},
        EventRow{"DisconnectSucceeded", kIdDisconnect, disconnect_ok, {{kIdDisconnect, false}}, {{kIdConnect, true}, {kIdInquiry, true}}, nullptr, false},
        EventRow{"DisconnectFailed", kIdDisconnect, disconnect_fails, {{kIdDisconnect, false}}, {{kIdDisconnect, true}}, &kDisconnectFailed, false},
        // The keys steer through the main window whenever a channel is open.
        EventRow{"DisconnectFailedWithTheChannelOpen", kIdDisconnect, disconnect_fails_with_the_channel_open, {{kIdDisconnect, false}}, {{kIdDisconnect, true}}, &kDisconnectFailed, true},
        EventRow{"CloseSucceeded", kIdClose, port_held, {{kIdClose, false}}, {{kIdOpen, true}, {kIdInquiry, false}, {kIdConnect, false}, {kIdDisconnect, false}}, nullptr, false},
        EventRow{"CloseFailed", kIdClose, nothing, {{kIdClose, false}}, {{kIdOpen, true}, {kIdInquiry, false}, {kIdConnect, false}, {kIdDisconnect, false}}, nullptr, false}),
    [](const ::testing::TestParamInfo<EventRow>& info) { return std::string(info.param.name); });

// A selection change enables Connect only with devices found and no link
// up; while a channel is open, the list gives the keyboard back at once.
TEST_F(RunnerTest, DeviceListNotifications) {
  struct Case {
    std::uint8_t found_count;
    std::uint8_t link_connected;
    std::uint8_t channel_state;
    int notification;
    bool connect_enabled;
    bool focus;
  } cases[] = {{1, 0, kChannelClosed, kListSelectionChanged, true, false},
               {4, 0, kChannelClosed, kListSelectionChanged, true, false},
               {0, 0, kChannelClosed, kListSelectionChanged, false, false},
               {1, 0, kChannelClosed, 0, false, false},
               {1, 0, kChannelClosed, 2, false, false},
               {1, 0, kChannelClosed, kListFocused, false, false},
               {1, 1, kChannelClosed, kListSelectionChanged, false, false},
               {1, 1, kChannelOpen, kListSelectionChanged, false, true},
               {1, 1, kChannelOpen, kListFocused, false, true},
               {1, 1, kChannelOpen, 2, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "found " << int(c.found_count) << " link " << int(c.link_connected)
                                    << " channel " << int(c.channel_state) << " notification " << c.notification);
    window.enabled = all_controls(false);
    window.focus_calls = 0;
    s.found_count = c.found_count;
    s.link_connected = c.link_connected;
    s.channel_state = c.channel_state;
    EXPECT_TRUE(click(kIdDeviceList, c.notification));
    ControlStates expected = all_controls(false);
    expected[kIdConnect] = c.connect_enabled;
    EXPECT_EQ(window.enabled, expected);
    EXPECT_EQ(window.focus_calls, c.focus ? 1 : 0);
  }
}

// ---------------------------------------------------------------------------
// The ordinary path, with the button states after each step.

TEST_F(RunnerTest, OrdinaryPathStates) {
  open_succeeds();
  run(kIdOpen);
  EXPECT_EQ(buttons(), states(false, true, false, false, true)) << "port open";

  inquiry_finds({kPeerA, kPeerB});
  run(kIdInquiry);
  EXPECT_EQ(window.lines, (std::vector<std::string>{"123456789ABC", "001BDC0F2E01"}));
  EXPECT_EQ(buttons(), states(false, true, false, false, true)) << "devices listed";

  select_line(1);
  EXPECT_EQ(buttons(), states(false, true, true, false, true)) << "a listed device selected";

  connect_succeeds(kPeerB);
  run(kIdConnect);
  EXPECT_EQ(buttons(), states(false, false, false, true, true)) << "connected";
  EXPECT_EQ(window.focus_calls, 1);
  EXPECT_EQ(s.remote_address, reversed_address(kPeerB));

  disconnect_succeeds();
  run(kIdDisconnect);
  EXPECT_EQ(buttons(), states(false, true, true, false, true)) << "disconnected";

  run(kIdClose);
  EXPECT_EQ(buttons(), states(true, false, false, false, false)) << "port closed";
  EXPECT_FALSE(s.port_handle.held);
  EXPECT_TRUE(window.messages.empty());
  EXPECT_EQ(window.reports, (std::vector<std::pair<std::int32_t, std::int32_t>>{
                                {kIdOpen, 0}, {kIdInquiry, 0}, {kIdConnect, 0}, {kIdDisconnect, 0}, {kIdClose, 0}}));
}

TEST_F(RunnerTest, OpenWithComFiveOpensPortFiveAndNamesTheModuleQuorel) {
  open_succeeds();
  run(kIdOpen);
  EXPECT_EQ(link.opened_ports, (std::vector<std::uint8_t>{5}));
  Bytes name(248, 0x00);
  const char quorel[] = "quorel";
  std::copy(quorel, quorel + 6, name.begin());
  Bytes expected = Bytes{0x01, 0x03, 0x0C, 0x00} + Bytes{0x01, 0x09, 0x10, 0x00} +
                   Bytes{0x01, 0x13, 0x0C, 0xF8} + name + Bytes{0x01, 0x1A, 0x0C, 0x01, 0x03};
  EXPECT_EQ(written(), expected);
  EXPECT_EQ(s.local_address, (DeviceAddress{0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
}

TEST_F(RunnerTest, OperationStepsComeInOrder) {
  reach_selected();
  window.log.clear();
  connect_succeeds(kPeerA);
  run(kIdConnect);
  EXPECT_EQ(window.log, (std::vector<std::string>{"disable 1003", "read selection", "report 1003 0",
                                                  "enable 1004", "disable 1002", "focus"}));
  window.log.clear();
  link.fail_write_number = link.writes;  // the next write fails: the channel stays open
  run(kIdDisconnect);
  EXPECT_EQ(window.log, (std::vector<std::string>{"disable 1004", "report 1004 -1", "message Error",
                                                  "enable 1004", "focus"}));
}

TEST_F(RunnerTest, ConnectSendsCreateConnectionForTheSelectedLine) {
  reach_selected();
  select_line(1);
  written();
  connect_succeeds(kPeerB);
  run(kIdConnect);
  Bytes out = written();
  // 01 05 04 0D | BD_ADDR of line 1, wire order | ...
  ASSERT_GE(out.size(), 10u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 10),
            (Bytes{0x01, 0x05, 0x04, 0x0D, 0x01, 0x2E, 0x0F, 0xDC, 0x1B, 0x00}));
}

// ---------------------------------------------------------------------------
// Edge cases

TEST_F(RunnerTest, CloseDuringInquiryDoesNothing) {
  s.port_handle.held = true;
  window.enabled[kIdClose] = true;
  click(kIdInquiry);
  EXPECT_EQ(shell.running_operation, kIdInquiry);
  EXPECT_TRUE(click(kIdClose));
  EXPECT_EQ(window.workers_started, 1);
  EXPECT_EQ(shell.running_operation, kIdInquiry);
  EXPECT_TRUE(window.enabled.at(kIdClose));
  EXPECT_EQ(shell.operation_request.operation_id, kIdInquiry);
  run_worker();
  EXPECT_EQ(window.reports.size(), 1u);
  EXPECT_TRUE(s.port_handle.held) << "no Close ran";
}

TEST_F(RunnerTest, EveryOperationButtonIsIgnoredWhileBusy) {
  click(kIdOpen);
  for (int id : kOperationButtons) click(id);
  EXPECT_EQ(window.workers_started, 1);
  EXPECT_EQ(shell.running_operation, kIdOpen);
}

TEST_F(RunnerTest, SecondInquiryEmptiesTheListWhateverItsOutcome) {
  reach_selected();
  ASSERT_EQ(window.lines.size(), 2u);
  run(kIdInquiry);  // the module stays silent this time
  EXPECT_TRUE(window.lines.empty());
  EXPECT_EQ(window.selection, -1);
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_STREQ(window.messages[0].text, "他のBluetoothデバイスが見つかりません");
  EXPECT_STREQ(window.messages[0].caption, "Warning");
  EXPECT_EQ(window.messages[0].icon, MessageIcon::warning);
  EXPECT_TRUE(window.enabled.at(kIdInquiry));
}

TEST_F(RunnerTest, ConnectWithoutASelectedLineFailsWithoutTouchingTheLink) {
  reach_selected();
  inquiry_finds({kPeerA});
  run(kIdInquiry);  // the list is refilled and its selection cleared
  EXPECT_TRUE(window.enabled.at(kIdConnect)) << "still enabled from the earlier selection";
  written();
  run(kIdConnect);
  EXPECT_TRUE(written().empty());
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_STREQ(window.messages[0].text, "Connect出来ません");
  EXPECT_STREQ(window.messages[0].caption, "Error");
  EXPECT_EQ(window.messages[0].icon, MessageIcon::error);
  EXPECT_TRUE(window.enabled.at(kIdConnect));
}

TEST_F(RunnerTest, ConnectToALineBeyondTheTableFails) {
  s.port_handle.held = true;
  s.found_count = 2;
  for (int position : {2, 3, 4, 1000}) {
    SCOPED_TRACE(position);
    window.messages.clear();
    window.selection = position;
    run(kIdConnect);
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(window.messages.size(), 1u);
  }
}

TEST_F(RunnerTest, AfterCloseTheListStaysAndConnectFails) {
  reach_selected();
  run(kIdClose);
  EXPECT_EQ(window.lines.size(), 2u);
  EXPECT_EQ(s.found_count, 2);
  EXPECT_EQ(buttons(), states(true, false, false, false, false));
  select_line(1);
  EXPECT_TRUE(window.enabled.at(kIdConnect));
  run(kIdConnect);
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_STREQ(window.messages[0].text, "Connect出来ません");
  EXPECT_TRUE(window.enabled.at(kIdConnect));
}

TEST_F(RunnerTest, CloseWhileConnectedLeavesOnlyOpen) {
  reach_connected();
  run(kIdClose);
  EXPECT_EQ(buttons(), states(true, false, false, false, false));
  EXPECT_EQ(s.link_connected, 1) << "Close sends nothing, so the link stays marked up";
}

TEST_F(RunnerTest, SelectingWhileConnectedLeavesConnectOff) {
  reach_connected();
  select_line(1);
  EXPECT_EQ(buttons(), states(false, false, false, true, true));
}

TEST_F(RunnerTest, OpenStaysDisabledUntilClose) {
  reach_connected();
  run(kIdDisconnect);
  EXPECT_FALSE(window.enabled.at(kIdOpen));
  run(kIdClose);
  EXPECT_TRUE(window.enabled.at(kIdOpen));
}

TEST_F(RunnerTest, AReportWhileIdleChangesNothing) {
  for (std::int32_t status : {0, -1}) {
    complete_operation(shell, status);
    EXPECT_TRUE(window.log.empty());
    EXPECT_EQ(shell.running_operation, 0);
  }
}

TEST_F(RunnerTest, AnyNonZeroStatusIsFailure) {
  for (std::int32_t status : {-1, 1, 0xFF, -128}) {
    window.messages.clear();
    shell.running_operation = kIdDisconnect;
    complete_operation(shell, status);
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_STREQ(window.messages[0].text, "Disconnect出来ません");
  }
}

TEST_F(RunnerTest, OpenFailureMessage) {
  link.open_outcome = ScriptedSerial::OpenOutcome::device_missing;
  run(kIdOpen);
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_STREQ(window.messages[0].text, "Bluetoothモジュールを初期化出来ません");
  EXPECT_STREQ(window.messages[0].caption, "Error");
  EXPECT_EQ(window.messages[0].icon, MessageIcon::error);
  EXPECT_TRUE(written().empty()) << "no port: the start-up's first write fails";
}

TEST_F(RunnerTest, OpenWithARefusedLineSettingStillStartsTheModuleOnThatPort) {
  link.open_outcome = ScriptedSerial::OpenOutcome::configuration_refused;
  open_succeeds();
  run(kIdOpen);
  EXPECT_EQ(window.reports.back().second, -1);
  Bytes out = written();
  ASSERT_GE(out.size(), 4u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0x01, 0x03, 0x0C, 0x00}));
}

TEST_F(RunnerTest, OpenWithATextThatNamesNoPortOpensNothing) {
  for (const char* text : {"COM0", "COM256", "", "printer", "tcp:host"}) {
    window.port_text = text;
    run(kIdOpen);
    EXPECT_TRUE(link.opened_ports.empty()) << text;
    EXPECT_TRUE(written().empty()) << text;
    EXPECT_EQ(window.reports.back().second, -1) << text;
  }
}

// Open takes the port box's text as any port name, and the line the
// settings held when it started: a later change waits for the next Open.
TEST_F(RunnerTest, OpenUsesThePortBoxTextAndTheLineOfItsStart) {
  window.port_text = "COM12";
  shell.line = LineSettings{115200, FlowControl::rtscts};
  open_succeeds();
  click(kIdOpen);
  shell.line = LineSettings{};  // the settings dialog, while Open runs
  run_worker();
  EXPECT_EQ(window.reports.back().second, 0);
  EXPECT_EQ(link.opened_ports, (Bytes{12}));
  EXPECT_EQ(link.opened_line.baud, 115200u);
  EXPECT_EQ(link.opened_line.flow, FlowControl::rtscts);
  EXPECT_EQ(s.line.baud, 115200u);
}

TEST(PortBox, ComOneToSixThenThePresentOnesThenTheChosenOne) {
  const std::vector<std::string> present = {"COM3", "COM12", "/dev/serial/by-id/usb-FTDI-if00"};
  const std::vector<std::string> listed = {"COM1", "COM2", "COM3",  "COM4",
                                           "COM5", "COM6", "COM12", "/dev/serial/by-id/usb-FTDI-if00"};
  std::vector<std::string> with_tcp = listed;
  with_tcp.push_back("tcp:localhost:6402");
  struct Case {
    std::string chosen;
    std::vector<std::string> items;
    int selection;
  } cases[] = {{"", listed, 4}, {"COM12", listed, 6}, {"COM2", listed, 1}, {"tcp:localhost:6402", with_tcp, 8}};
  for (const Case& c : cases) {
    const std::vector<std::string> items = port_box_items(present, c.chosen);
    EXPECT_EQ(items, c.items) << c.chosen;
    EXPECT_EQ(port_box_start_selection(items, c.chosen), c.selection) << c.chosen;
  }
}

TEST_F(RunnerTest, AFailedThreadStartFreesTheRunnerAndSaysSo) {
  window.thread_start_fails = true;
  ControlStates before = window.enabled;
  click(kIdOpen);
  EXPECT_EQ(shell.running_operation, 0);
  EXPECT_EQ(window.enabled, before);
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_STREQ(window.messages[0].text, "Bluetoothモジュールを初期化出来ません");
  EXPECT_TRUE(link.opened_ports.empty());

  window.messages.clear();
  click(kIdClose);
  EXPECT_EQ(shell.running_operation, 0);
  EXPECT_TRUE(window.messages.empty()) << "Close has no message";

  window.thread_start_fails = false;
  click(kIdOpen);
  EXPECT_EQ(window.workers_started, 1) << "the runner is free again";
}

TEST_F(RunnerTest, TheWorkerOwnsTheLinkWhileItsOperationRuns) {
  bool key_could_take_link = true;
  Status key_result = kStatusOk;
  window.during_operation = [&] {
    key_could_take_link = LinkOwner(s, std::try_to_lock).owns();
    s.channel_state = kChannelOpen;  // a key would act if the link were free
    CameraView view;
    key_result = camera_key_down(s, view, kVkLeft);
  };
  s.port_handle.held = true;
  written();
  run(kIdConnect);  // reads the selection while it owns the link
  EXPECT_FALSE(key_could_take_link);
  EXPECT_EQ(key_result, kStatusFail);
  EXPECT_TRUE(written().empty()) << "the refused key sent nothing";
  EXPECT_TRUE(LinkOwner(s, std::try_to_lock).owns()) << "free again after the report";
}

// A key of the table runs on the worker, which owns the link for it, while
// a channel is open and no worker runs; otherwise nothing is sent and no
// worker starts. Its report shows nothing, whatever its outcome.
TEST_F(RunnerTest, KeyCommandsRunOnTheWorkerWhileTheLinkIsFree) {
  struct Case {
    const char* name;
    bool channel_open;
    int running;  // started before the key: an operation, or kKeyCommand
    std::uint32_t key;
    char letter;  // 0: no command starts
  } cases[] = {
      {"steering key", true, 0, kVkLeft, 'L'},
      {"Up", true, 0, kVkUp, 'U'},
      {"no camera key", true, 0, 0x41, 0},
      {"no channel", false, 0, kVkLeft, 0},
      {"during an operation", true, kIdDisconnect, kVkLeft, 0},
      {"during a key command", true, kKeyCommand, kVkRight, 0},
  };
  s.port_handle.held = true;
  s.link_connected = 1;
  s.handle_low = 0x2A;
  s.channel_id = 0x0046;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    shell.running_operation = 0;  // a worker left from the last case is forgotten
    s.channel_state = c.channel_open ? kChannelOpen : kChannelClosed;
    if (c.running == kKeyCommand) {
      ASSERT_TRUE(key_down(shell, kVkDown));
    }
    if (c.running == kIdDisconnect) click(kIdDisconnect);
    const int workers = window.workers_started;
    written();
    EXPECT_EQ(key_down(shell, c.key), c.letter != 0);
    if (c.running == kKeyCommand) click(kIdClose);  // a button is no more let in than a key
    if (c.letter == 0) {
      EXPECT_EQ(window.workers_started, workers);
      EXPECT_TRUE(written().empty());
      continue;
    }
    EXPECT_TRUE(written().empty()) << "the window thread sends nothing";
    window.reports.clear();
    run_worker();
    EXPECT_EQ(written(), (Bytes{0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00,
                                static_cast<std::uint8_t>(c.letter)}));
    // No answer comes: the command fails, and the report shows nothing.
    EXPECT_EQ(window.reports, (std::vector<std::pair<std::int32_t, std::int32_t>>{{kKeyCommand, -1}}));
    EXPECT_EQ(shell.running_operation, 0);
    EXPECT_TRUE(window.messages.empty());
    EXPECT_EQ(window.focus_calls, 0);
  }
}

TEST_F(RunnerTest, CommandRouting) {
  struct Case {
    int id;
    bool handled;
  } cases[] = {{kIdPortBox, false}, {0, false}, {100, false}, {106, false}, {1007, false}, {2000, false}};
  for (const Case& c : cases) EXPECT_EQ(click(c.id), c.handled) << c.id;
  EXPECT_EQ(window.workers_started, 0);
  EXPECT_TRUE(window.log.empty());

  EXPECT_TRUE(click(kCommandAbout, 1));
  EXPECT_EQ(window.about_calls, 1);
  EXPECT_EQ(window.destroy_calls, 0);
}

TEST_F(RunnerTest, ExitAndTheMenuExitDestroyTheWindowAndCancelWaits) {
  for (int id : {kIdExit, kCommandExit}) {
    s.cancel_requested = false;
    window.destroy_calls = 0;
    EXPECT_TRUE(click(id));
    EXPECT_EQ(window.destroy_calls, 1);
    EXPECT_TRUE(s.cancel_requested.load());
  }
}

TEST_F(RunnerTest, ExitWhileAWorkerRunsLetsItsWaitGo) {
  s.port_handle.held = true;
  click(kIdInquiry);
  click(kIdExit);
  EXPECT_EQ(window.destroy_calls, 1);
  link.feed(command_status(0x0401));  // bytes are there, but the wait is cancelled
  run_worker();
  EXPECT_EQ(s.last_read_end, ReadEnd::cancelled);
  EXPECT_EQ(window.reports.back().second, -1);
}

// ---------------------------------------------------------------------------
// Pairing: the PIN handed from the worker to the window and back, the link
// keys behind the hooks, and forgetting a device.

const LinkKey kKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                      0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

struct PairingTest : RunnerTest {
  std::filesystem::path scratch =
      std::filesystem::temp_directory_path() /
      ("corvanta-runner-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::path keys = scratch / "state" / "link-keys";
  std::thread worker;
  std::size_t pin_length = 99;
  PinCode pin{};

  PairingTest() { attach_pairing(shell, keys); }
  ~PairingTest() override {
    if (worker.joinable()) {
      s.cancel_requested = true;
      worker.join();
    }
    std::filesystem::remove_all(scratch);
  }
  // The protocol asks for a PIN, on a thread of its own as on the worker.
  void ask_for_pin(const DeviceAddress& address) {
    worker = std::thread([this, address] { pin_length = s.pairing.pin_for(s.pairing.context, address, pin); });
  }
  // The window thread, once the worker has woken it `count` times.
  void window_woken(int count) {
    while (window.pin_wakes.load() < count) std::this_thread::yield();
    pin_question_changed(shell);
  }
  std::string answered() {
    worker.join();
    return std::string(pin.begin(), pin.begin() + static_cast<std::ptrdiff_t>(std::min(pin_length, pin.size())));
  }
  std::string key_file_text() {
    std::stringstream text;
    text << std::ifstream(keys).rdbuf();
    return text.str();
  }
};

TEST_F(PairingTest, APinIsAskedInTheDialogAndARememberedOneWithoutIt) {
  ask_for_pin(kPeerA);
  window_woken(1);
  EXPECT_EQ(window.pin_dialogs, (std::vector<std::string>{"12:34:56:78:9A:BC"}));
  pin_dialog_answered(shell, "0000", true);
  EXPECT_EQ(answered(), "0000");
  EXPECT_EQ(pin_length, 4u);
  EXPECT_EQ(shell.pins, (std::map<std::string, std::string>{{"12:34:56:78:9A:BC", "0000"}}));
  EXPECT_EQ(window.settings_saved, 1);

  // The same device again: its remembered PIN, no dialog.
  ask_for_pin(kPeerA);
  window_woken(2);
  EXPECT_EQ(answered(), "0000");
  // Another device, declined: none, and nothing remembered.
  ask_for_pin(kPeerB);
  window_woken(3);
  EXPECT_EQ(window.pin_dialogs.back(), "00:1B:DC:0F:2E:01");
  pin_dialog_answered(shell, "", true);
  EXPECT_EQ(answered(), "");
  EXPECT_EQ(pin_length, 0u);
  EXPECT_EQ(window.pin_dialogs.size(), 2u);
  EXPECT_EQ(shell.pins.size(), 1u);
  EXPECT_EQ(window.settings_saved, 1);
}

// The bound ran out before the window took the question: none, and the
// window, when it comes to it, finds nothing to ask; a late answer changes
// nothing.
TEST_F(PairingTest, NoAnswerWithinTheBoundIsNone) {
  shell.pin_bound = std::chrono::milliseconds(0);
  ask_for_pin(kPeerA);
  EXPECT_EQ(answered(), "");
  EXPECT_EQ(pin_length, 0u);
  window_woken(2);  // asked, then given up
  EXPECT_TRUE(window.pin_dialogs.empty());
  pin_dialog_answered(shell, "1234", true);
  EXPECT_TRUE(shell.pins.empty());
}

// Exit while the dialog is open: the worker gets none at once, and the
// dialog goes with the window.
TEST_F(PairingTest, ExitWhileThePinIsAskedAnswersNone) {
  ask_for_pin(kPeerA);
  window_woken(1);
  ASSERT_EQ(window.pin_dialogs.size(), 1u);
  click(kIdExit);
  EXPECT_EQ(answered(), "");
  EXPECT_EQ(window.pin_dialogs_closed, 1);
  EXPECT_EQ(window.destroy_calls, 1);
  window_woken(2);  // the worker's own wake-up after giving up finds nothing
  EXPECT_EQ(window.pin_dialogs_closed, 1);
}

// The key hooks keep the key file; a refused key is forgotten and the
// window says so once the operation has been reported.
TEST_F(PairingTest, KeysAreStoredGivenAndForgottenWhenRefused) {
  LinkKey key{};
  EXPECT_FALSE(s.pairing.key_for(s.pairing.context, kPeerA, key));
  s.pairing.key_made(s.pairing.context, kPeerA, kKey, 4);
  EXPECT_EQ(key_file_text(),
            "# Corvanta Controller link keys: one device a line, ADDRESS KEY TYPE:\n"
            "# the address AA:BB:CC:DD:EE:FF, the key's 16 bytes as the module gave\n"
            "# them in 32 hex digits, and the module's Key_Type as a decimal number.\n"
            "12:34:56:78:9A:BC 00112233445566778899AABBCCDDEEFF 4\n");
  ASSERT_TRUE(s.pairing.key_for(s.pairing.context, kPeerA, key));
  EXPECT_EQ(key, kKey);

  click(kIdConnect);
  s.pairing.key_refused(s.pairing.context, kPeerA);
  EXPECT_TRUE(window.notices.empty()) << "nothing is shown from inside the operation";
  run_worker();
  EXPECT_EQ(window.notices, (std::vector<std::string>{"The stored key for 12:34:56:78:9A:BC was refused and "
                                                      "forgotten; connect again to pair anew."}));
  EXPECT_FALSE(s.pairing.key_for(s.pairing.context, kPeerA, key));
}

// Forget: the selected line's device, else the last one connected; only
// once confirmed; its remembered PIN goes too.
TEST_F(PairingTest, ForgetTheSelectedOrLastConnectedDevice) {
  struct Case {
    const char* name;
    bool key_stored;
    bool pin_remembered;
    int selection;
    bool connected_once;
    bool confirmed;
    bool forgotten;
    const char* notice;  // nullptr: none
  } cases[] = {
      {"selected, with a key and a PIN", true, true, 0, false, true, true,
       "The stored key for 12:34:56:78:9A:BC was forgotten.\nIts remembered PIN was forgotten too."},
      {"selected, nothing stored", false, false, 0, false, true, true, "No key was stored for 12:34:56:78:9A:BC."},
      {"not confirmed", true, true, 0, false, false, false, nullptr},
      {"the last connected", true, false, -1, true, true, true, "The stored key for 12:34:56:78:9A:BC was forgotten."},
      {"neither", true, false, -1, false, true, false,
       "No device to forget: select one in the list, or connect to one first."},
  };
  s.found_devices[0] = kPeerA;
  s.found_count = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window.notices.clear();
    window.questions.clear();
    window.settings_saved = 0;
    shell.pins.clear();
    std::filesystem::remove(keys);
    if (c.key_stored) s.pairing.key_made(s.pairing.context, kPeerA, kKey, 0);
    if (c.pin_remembered) shell.pins["12:34:56:78:9A:BC"] = "0000";
    window.selection = c.selection;
    shell.connected_once = c.connected_once;
    shell.last_connected = kPeerA;
    window.confirm_answer = c.confirmed;
    forget_device_key(shell);
    LinkKey key{};
    EXPECT_EQ(s.pairing.key_for(s.pairing.context, kPeerA, key), c.key_stored && !c.forgotten);
    EXPECT_EQ(shell.pins.size(), c.pin_remembered && !c.forgotten ? 1u : 0u);
    EXPECT_EQ(window.settings_saved, c.pin_remembered && c.forgotten ? 1 : 0);
    EXPECT_EQ(window.notices, c.notice == nullptr ? std::vector<std::string>{} : std::vector<std::string>{c.notice});
  }
}

TEST(FailureMessages, EachOperationHasItsOwn) {
  EXPECT_EQ(failure_message(kIdOpen), &kOpenFailed);
  EXPECT_EQ(failure_message(kIdInquiry), &kInquiryFailed);
  EXPECT_EQ(failure_message(kIdConnect), &kConnectFailed);
  EXPECT_EQ(failure_message(kIdDisconnect), &kDisconnectFailed);
  EXPECT_EQ(failure_message(kIdClose), nullptr);
  EXPECT_EQ(failure_message(kIdExit), nullptr);
  EXPECT_EQ(static_cast<std::uint32_t>(MessageIcon::error), 0x10u);
  EXPECT_EQ(static_cast<std::uint32_t>(MessageIcon::warning), 0x30u);
  EXPECT_EQ(WM_OPERATION_DONE, 0x0401u);
  EXPECT_EQ(command_wparam(kIdDeviceList, kListSelectionChanged), 0x000103FCu);
}

// ---------------------------------------------------------------------------
// Live view: pictures back to back on the window thread's state machine, a
// key between pictures, failures on the status line, the record.

// 02 2A 20 | length | L2CAP length | CID 0x0046 | payload
Bytes channel_packet(const Bytes& payload) {
  const auto n = static_cast<std::uint16_t>(payload.size());
  return Bytes{0x02, 0x2A, 0x20, static_cast<std::uint8_t>((n + 4) & 0xFF), static_cast<std::uint8_t>((n + 4) >> 8),
               static_cast<std::uint8_t>(n & 0xFF), static_cast<std::uint8_t>(n >> 8), 0x46, 0x00} +
         payload;
}
Bytes command_to_camera(char letter) {
  return {0x02, 0x2A, 0x20, 0x05, 0x00, 0x01, 0x00, 0x46, 0x00, static_cast<std::uint8_t>(letter)};
}

struct LiveTest : RunnerTest {
  Picture picture;
  std::filesystem::path scratch =
      std::filesystem::temp_directory_path() /
      ("corvanta-live-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));

  LiveTest() {
    s.port_handle.held = true;
    s.link_connected = 1;
    s.handle_low = 0x2A;
    s.channel_id = 0x0046;
    s.channel_state = kChannelOpen;
    shell.view.picture = &picture;
  }
  ~LiveTest() override { std::filesystem::remove_all(scratch); }
  // The camera's 72 rows of 192 bytes, row y's bytes y + i + salt, answering the next "U".
  void picture_comes(std::uint8_t salt) {
    Bytes rows = completed_packets();
    for (int y = 0; y < 72; ++y) {
      Bytes row(192);
      for (std::size_t i = 0; i < row.size(); ++i) row[i] = static_cast<std::uint8_t>(y + i + salt);
      rows = rows + channel_packet(row);
    }
    link.answer(rows);
  }
  void steering_answered() { link.answer(completed_packets() + channel_packet({'o', 'k'})); }
  // The running key command's key.
  std::uint32_t running_key() const {
    return shell.running_operation == kKeyCommand ? shell.operation_request.virtual_key : 0;
  }
  // Runs the worker, then the step its report asked for.
  void run_then_step() {
    const int posted = window.steps_posted;
    run_worker();
    if (window.steps_posted > posted) next_step(shell);
  }
};

TEST_F(LiveTest, OnOnlyWithAChannelThenPicturesBackToBackUntilOff) {
  s.channel_state = kChannelClosed;
  EXPECT_TRUE(key_down(shell, kVkSpace));
  EXPECT_FALSE(shell.live.on);
  EXPECT_EQ(window.statuses, (std::vector<std::string>{"Live needs an open channel: connect first."}));
  EXPECT_EQ(window.workers_started, 0);

  s.channel_state = kChannelOpen;
  EXPECT_TRUE(click(kCommandLive));
  EXPECT_TRUE(shell.live.on);
  EXPECT_EQ(running_key(), kVkUp);
  for (std::uint8_t salt : {0, 1, 2}) {
    SCOPED_TRACE(int(salt));
    picture_comes(salt);
    run_then_step();
    EXPECT_EQ(written(), command_to_camera('U'));
    EXPECT_EQ(s.frame_buffer[192 * 5 + 7], 5 + 7 + salt);  // row 5, byte 7
    EXPECT_EQ(running_key(), kVkUp) << "the next picture started at once";
  }
  EXPECT_TRUE(key_down(shell, kVkSpace));  // off: the picture under way finishes, no other starts
  picture_comes(9);
  run_then_step();
  EXPECT_EQ(window.reports.back(), (std::pair<std::int32_t, std::int32_t>{kKeyCommand, 0}));
  EXPECT_EQ(shell.running_operation, 0);
  EXPECT_EQ(window.workers_started, 4);
  EXPECT_EQ(window.live_changes, (std::vector<bool>{false, true, false}));
  EXPECT_TRUE(window.messages.empty());
}

// One key waits for the picture under way and goes out right after it; a
// second is refused; live then goes on.
TEST_F(LiveTest, AKeyGoesOutBetweenPicturesAndASecondIsRefused) {
  set_live(shell, true);
  EXPECT_TRUE(key_down(shell, kVkRight));
  EXPECT_FALSE(key_down(shell, kVkLeft));
  EXPECT_FALSE(key_down(shell, kVkRight));
  picture_comes(0);
  run_then_step();
  EXPECT_EQ(written(), command_to_camera('U'));
  EXPECT_EQ(running_key(), kVkRight);
  steering_answered();
  run_then_step();
  EXPECT_EQ(written(), command_to_camera('R'));
  EXPECT_EQ(running_key(), kVkUp);
  EXPECT_EQ(window.workers_started, 3);
}

// A failed picture is said and live goes on; a second in a row ends it.
TEST_F(LiveTest, FailuresOnTheStatusLine) {
  struct Case {
    const char* name;
    std::vector<bool> pictures;  // true: it comes
    bool live_after;
    std::vector<const char*> status_starts;
  } cases[] = {
      {"one failure", {false, true}, true, {"", "Picture failed: ", ""}},
      {"failures apart", {false, true, false, true}, true, {"", "Picture failed: ", "", "Picture failed: ", ""}},
      {"two in a row", {true, false, false}, false, {"", "Picture failed: ", "Live stopped: "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window.statuses.clear();
    set_live(shell, true);
    for (bool comes : c.pictures) {
      if (comes) picture_comes(3);
      run_then_step();
      // A picture that never came is written off once the camera has been
      // quiet that long; rows after that are the next picture's.
      if (!comes) link.pass(wait_bounds::kDebtWriteOff + std::chrono::seconds(1));
    }
    EXPECT_EQ(shell.live.on, c.live_after);
    ASSERT_EQ(window.statuses.size(), c.status_starts.size());
    for (std::size_t i = 0; i < c.status_starts.size(); ++i) {
      EXPECT_EQ(window.statuses[i].rfind(c.status_starts[i], 0), 0u) << window.statuses[i];
      if (!window.statuses[i].empty()) {
        EXPECT_GT(window.statuses[i].size(), std::string(c.status_starts[i]).size());
      }
    }
    if (shell.running_operation != 0) {
      set_live(shell, false);
      picture_comes(4);
      run_worker();
    }
    EXPECT_EQ(shell.running_operation, 0);
    EXPECT_TRUE(window.messages.empty()) << "no box per picture";
  }
}

// Disconnect (and Close) end live; the click waits for the picture under
// way, then runs; a key waiting is dropped.
TEST_F(LiveTest, DisconnectDuringLiveRunsAfterThePicture) {
  for (int id : {kIdDisconnect, kIdClose}) {
    SCOPED_TRACE(id);
    s.channel_state = kChannelOpen;
    set_live(shell, true);
    EXPECT_TRUE(key_down(shell, kVkDown));
    EXPECT_TRUE(click(id));
    EXPECT_FALSE(shell.live.on);
    EXPECT_EQ(window.live_changes.back(), false);
    EXPECT_EQ(running_key(), kVkUp);
    EXPECT_FALSE(key_down(shell, kVkLeft)) << "live is off: a key is refused again";
    picture_comes(0);
    run_then_step();
    EXPECT_EQ(written(), command_to_camera('U'));
    EXPECT_EQ(shell.running_operation, id);
    s.channel_state = kChannelClosed;  // as the operation leaves it
    shell.running_operation = 0;
    window.pending_body = nullptr;
    next_step(shell);
    EXPECT_EQ(shell.running_operation, 0) << "nothing waits any more";
  }
}

TEST_F(LiveTest, ALostChannelEndsLive) {
  set_live(shell, true);
  link.fail_write_number = link.writes;  // the "U" cannot go out
  s.link_connected = 0;
  s.channel_state = kChannelClosed;
  run_then_step();
  EXPECT_FALSE(shell.live.on);
  ASSERT_FALSE(window.statuses.empty());
  EXPECT_EQ(window.statuses.back().rfind("Live stopped: ", 0), 0u) << window.statuses.back();
  EXPECT_EQ(shell.running_operation, 0);
}

std::string file_text(const std::filesystem::path& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// Every picture that comes goes into the record with the letters sent
// before it; a failed write ends the record, said on the status line.
TEST_F(LiveTest, RecordTakesEachPictureAndTheKeysBeforeIt) {
  const std::filesystem::path folder = scratch / "shots";
  ASSERT_TRUE(start_record(shell, folder));
  EXPECT_TRUE(recording(shell));
  steering_answered();
  ASSERT_TRUE(key_down(shell, kVkRight));
  run_worker();
  steering_answered();
  ASSERT_TRUE(key_down(shell, kVkH));
  run_worker();
  picture_comes(0);
  ASSERT_TRUE(key_down(shell, kVkUp));
  run_worker();
  picture_comes(1);
  ASSERT_TRUE(key_down(shell, kVkUp));
  run_worker();
  const std::string csv = file_text(folder / "pictures.csv");
  std::vector<std::string> lines;
  std::istringstream in(csv);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << csv;
  EXPECT_EQ(lines[0], "number,time,file,keys");
  EXPECT_EQ(lines[1].rfind("1,", 0), 0u);
  EXPECT_EQ(lines[1].substr(lines[1].size() - 12), ",0001.png,RH");
  EXPECT_EQ(lines[2].substr(lines[2].size() - 10), ",0002.png,");
  EXPECT_TRUE(std::filesystem::exists(folder / "0002.png"));

  // The folder taken away, a file in its place: the next picture's write fails.
  std::filesystem::remove_all(folder);
  std::ofstream(folder) << "not a folder";
  window.statuses.clear();
  picture_comes(2);
  ASSERT_TRUE(key_down(shell, kVkUp));
  run_worker();
  EXPECT_FALSE(recording(shell));
  ASSERT_EQ(window.statuses.size(), 1u);
  EXPECT_EQ(window.statuses[0].rfind("Recording stopped: ", 0), 0u) << window.statuses[0];
  EXPECT_TRUE(window.messages.empty());

  EXPECT_FALSE(start_record(shell, folder / "inside"));
  EXPECT_EQ(window.statuses.back().rfind("Cannot record: ", 0), 0u) << window.statuses.back();
}

}  // namespace
