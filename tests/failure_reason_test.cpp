// Why an operation failed, as the layers record it and the shells print it:
// one row per failing input on the scripted link.
#include <functional>
#include <regex>
#include <string>

#include "camera_commands.h"
#include "failure_text.h"
#include "hci_link_control.h"
#include "serial_link.h"
#include "wire.h"

namespace {
const DeviceAddress kPeer{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};  // display order
const Bytes kInquiryComplete{0x04, 0x01, 0x01, 0x00};

Bytes connection_complete(std::uint8_t status, std::uint8_t link_type = 0x01) {
  return {0x04, 0x03, 0x0B, status, 0x2A, 0x00, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00, link_type, 0x00};
}

// Times measured on a scripted link are near zero but not fixed.
std::string without_times(const std::string& text) {
  return std::regex_replace(text, std::regex("after [0-9]+\\.[0-9] s"), "after T");
}

struct FailureCase {
  const char* name;
  std::function<Status(WireTest&)> run;  // scripts the link and runs the failing operation
  FailurePoint point;
  const char* text;
};

Status start_up(WireTest& t) { return module_start_up(t.s, "quorel"); }
Status connect(WireTest& t) { return host_connect(t.s, kPeer); }
Status key_l(WireTest& t) {
  t.link_up();
  t.s.channel_state = kChannelOpen;
  return camera_simple_command(t.s, 'L');
}

const FailureCase kCases[] = {
    // Nothing at all came back: the speed and flow control may be wrong.
    {"ResetUnanswered", start_up, FailurePoint::module_silent,
     "HCI_Reset: nothing came back within 10.0 s; check the module's speed and flow control: 57,600 baud, no "
     "flow control"},
    {"ResetAnsweredWithGarbage",
     [](WireTest& t) {
       t.link.feed({0x00, 0xFF, 0x00});
       return start_up(t);
     },
     FailurePoint::command, "HCI_Reset: no Command Complete within 10.0 s"},
    {"ResetRefused",
     [](WireTest& t) {
       t.link.feed(command_complete(0x0C03, 0x03));
       return start_up(t);
     },
     FailurePoint::command, "HCI_Reset: Command Complete status 0x03 (hardware failure) after T"},
    {"AddressAnswerTooShort",
     [](WireTest& t) {
       t.link.feed(command_complete(0x0C03) + command_complete(0x1009));
       return start_up(t);
     },
     FailurePoint::command, "Read_BD_ADDR: unexpected Command Complete (parameter length 4)"},
    {"PortFailsMidWait",
     [](WireTest& t) {
       t.link.end_read(0, ReadEnd::port_error);
       return start_up(t);
     },
     FailurePoint::command,
     "HCI_Reset: the port failed after T waiting for Command Complete (it hung up or is not open)"},
    {"CancelledWait",
     [](WireTest& t) {
       t.s.cancel_requested = true;
       return start_up(t);
     },
     FailurePoint::command, "HCI_Reset: interrupted after T waiting for Command Complete"},
    {"PageRefusedAtOnce",
     [](WireTest& t) {
       t.link.feed(command_status(0x0405, 0x0C));
       return connect(t);
     },
     FailurePoint::command, "Create_Connection: Command Status 0x0C (command disallowed) after T"},
    {"PageTimeout",
     [](WireTest& t) {
       t.link.feed(command_status(0x0405) + connection_complete(0x04));
       return connect(t);
     },
     FailurePoint::connection_complete, "Create_Connection: Connection Complete status 0x04 (page timeout) after T"},
    {"UnnamedStatus",
     [](WireTest& t) {
       t.link.feed(command_status(0x0405) + connection_complete(0x3F));
       return connect(t);
     },
     FailurePoint::connection_complete, "Create_Connection: Connection Complete status 0x3F after T"},
    {"NotAnAclLink",
     [](WireTest& t) {
       t.link.feed(command_status(0x0405) + connection_complete(0x00, 0x00));
       return connect(t);
     },
     FailurePoint::connection_complete, "Create_Connection: Connection Complete for link type 0x00, not ACL"},
    {"NoConnectionComplete",
     [](WireTest& t) {
       t.link.feed(command_status(0x0405));
       return connect(t);
     },
     FailurePoint::connection_complete, "Create_Connection: no Connection Complete within 7.1 s"},
    {"NoPortHeld",
     [](WireTest& t) {
       t.s.port_handle.held = false;
       return connect(t);
     },
     FailurePoint::port_write, "write to the port failed (no port open)"},
    {"PortNotThere",
     [](WireTest& t) {
       t.link.open_outcome = ScriptedSerial::OpenOutcome::device_missing;
       return host_open(t.s, 3);
     },
     FailurePoint::port_open, "COM3 cannot be opened"},
    {"FirstFailureWins",  // as the window's Open runs: the start-up's writes fail after the open did
     [](WireTest& t) {
       t.link.open_outcome = ScriptedSerial::OpenOutcome::device_missing;
       host_open(t.s, 0);
       return start_up(t);
     },
     FailurePoint::port_open, "COM0 is not a port (COM1 to COM255)"},
    {"DisconnectRefused",
     [](WireTest& t) {
       t.link_up();
       t.link.feed(command_status(0x0406, 0x0C));
       return hci_disconnect(t.s);
     },
     FailurePoint::command, "Disconnect: Command Status 0x0C (command disallowed) after T"},
    {"InquiryFindsNobody",
     [](WireTest& t) {
       t.link.feed(command_status(0x0401) + kInquiryComplete);
       std::uint8_t count = 0;
       Status status = discover_devices(t.s, t.s.found_devices.data(), &count, 4);
       return count == 0 ? kStatusFail : status;
     },
     FailurePoint::inquiry_empty, "Inquiry: no device answered; Inquiry Complete after T"},
    {"KeyUnanswered", key_l, FailurePoint::channel_answer, "no answer to L within 3.0 s"},
    {"ChannelRefused",
     [](WireTest& t) {
       t.link.feed(command_status(0x0405) + connection_complete(0x00));
       t.link.answer({0x02, 0x2A, 0x20, 0x10, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x03, 0x00, 0x08, 0x00,  // Connection Response
                      0x40, 0x00, 0x46, 0x00, 0x02, 0x00, 0x00, 0x00});                            // result 0x0002
       return connect(t);
     },
     FailurePoint::channel_refused, "the camera refused the channel (L2CAP result 0x0002, PSM not supported)"},
    {"ChannelPendingTooLong",
     [](WireTest& t) {
       t.link.feed(command_status(0x0405) + connection_complete(0x00));
       t.link.answer({0x02, 0x2A, 0x20, 0x10, 0x00, 0x0C, 0x00, 0x01, 0x00, 0x03, 0x00, 0x08, 0x00,  // Connection Response
                      0x40, 0x00, 0x46, 0x00, 0x01, 0x00, 0x02, 0x00});                            // pending
       return connect(t);
     },
     FailurePoint::channel_unanswered, "the camera left the channel pending for 30.0 s"},
    // A link that went down before the key: nothing goes out, and the reason
    // is the Disconnection Complete's.
    {"LinkLostBeforeAKey",
     [](WireTest& t) {
       t.link.feed({0x04, 0x05, 0x04, 0x00, 0x2A, 0x00, 0x08});
       Status status = key_l(t);
       return t.written().empty() ? status : kStatusOk;
     },
     FailurePoint::link_lost, "the link was lost (Disconnection Complete reason 0x08, connection timeout)"},
    {"ChannelClosedBeforeAKey",  // only the Disconnection Response goes out
     [](WireTest& t) {
       t.s.channel_id = 0x0040;
       t.link.feed({0x02, 0x2A, 0x20, 0x0C, 0x00, 0x08, 0x00, 0x01, 0x00, 0x06, 0x07, 0x04, 0x00, 0x40, 0x00, 0x40, 0x00});
       t.link_up();
       t.s.channel_state = kChannelOpen;
       Status status = camera_simple_command(t.s, 'L');
       return t.written().size() == 17 ? status : kStatusOk;
     },
     FailurePoint::channel_closed, "the camera closed the channel"},
    {"LinkLostMidPicture",
     [](WireTest& t) {
       t.link.answer({0x04, 0x05, 0x04, 0x00, 0x2A, 0x00, 0x13});
       t.link_up();
       t.s.channel_state = kChannelOpen;
       CameraView view{};
       return capture_frame(t.s, view);
     },
     FailurePoint::link_lost, "the link was lost (Disconnection Complete reason 0x13, remote user terminated)"},
    {"BytesAddedMidPicture",
     [](WireTest& t) {
       Bytes rows;
       for (int r = 0; r < 72; ++r)
         rows = rows + Bytes{0x02, 0x2A, 0x20, 0xC4, 0x00, 0xC0, 0x00, 0x46, 0x00} + Bytes(192, 0x80) +
                (r == 9 ? Bytes{0x11, 0x22} : Bytes{});
       t.link.answer(rows);
       t.link_up();
       t.s.channel_state = kChannelOpen;
       CameraView view{};
       return capture_frame(t.s, view);
     },
     FailurePoint::line_damaged, "bytes were lost or added on the line (2 signs), so what came is not trusted"},
    {"DisconnectionCompleteRefuses",  // the link stays up
     [](WireTest& t) {
       t.link_up();
       t.link.feed(command_status(0x0406) + Bytes{0x04, 0x05, 0x04, 0x0C, 0x2A, 0x00, 0x00});
       Status status = hci_disconnect(t.s);
       return t.s.link_connected == 1 ? status : kStatusOk;
     },
     FailurePoint::command, "Disconnect: Disconnection Complete status 0x0C (command disallowed) after T"},
    {"InquiryCompleteFails",  // the count keeps its old value
     [](WireTest& t) {
       t.link.feed(command_status(0x0401) + Bytes{0x04, 0x01, 0x01, 0x03});
       t.s.found_count = 2;
       Status status = discover_devices(t.s, t.s.found_devices.data(), &t.s.found_count, 4);
       return t.s.found_count == 2 ? status : kStatusOk;
     },
     FailurePoint::command, "Inquiry: Inquiry Complete status 0x03 (hardware failure) after T"},
    // A Hardware Error among a picture's rows ends the capture; every later
    // step fails at once and sends nothing, until the port is opened again.
    {"HardwareErrorMidPicture",
     [](WireTest& t) {
       Bytes rows;
       for (int r = 0; r < 30; ++r) rows = rows + Bytes{0x02, 0x2A, 0x20, 0xC4, 0x00, 0xC0, 0x00, 0x46, 0x00} + Bytes(192, 0x80);
       t.link.answer(rows + Bytes{0x04, 0x10, 0x01, 0x2A});
       t.link_up();
       t.s.channel_state = kChannelOpen;
       CameraView view{};
       const Status capture = capture_frame(t.s, view);
       return t.s.module_failed ? capture : kStatusOk;
     },
     FailurePoint::picture_row,
     "the module reported a hardware error (code 0x2A) while the host waited for row 31 of 72; close the port and "
     "open it again"},
    {"StepAfterAHardwareError",
     [](WireTest& t) {
       t.s.module_failed = true;
       t.s.module_error_code = 0x2A;
       const Status status = connect(t);
       return t.written().empty() ? status : kStatusOk;
     },
     FailurePoint::module_failed, "the module reported a hardware error (code 0x2A); close the port and open it again"},
    {"DisconnectWithNoCommandStatus",
     [](WireTest& t) {
       t.link_up();
       return hci_disconnect(t.s);
     },
     FailurePoint::command, "Disconnect: no Command Status within 2.0 s"},
    {"NoCommandCredit",  // Reset's answer grants no credit, and none comes
     [](WireTest& t) {
       t.link.feed({0x04, 0x0E, 0x04, 0x00, 0x03, 0x0C, 0x00});
       const Status status = start_up(t);
       return t.written().size() == 4 ? status : kStatusOk;  // Reset alone went out
     },
     FailurePoint::no_credit, "Read_BD_ADDR: the module granted no command credit within 2.0 s, so it was not sent"},
    {"KeyWithoutChannel",
     [](WireTest& t) {
       CameraView view{};
       return camera_key_down(t.s, view, kVkM);
     },
     FailurePoint::key_refused, "key M: no channel open"},
};

struct FailureReasons : WireTest, ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureReasons, RecordedWhereJudgedAndPrintedWhole) {
  const FailureCase& c = GetParam();
  clear_failure(s);
  const Status status = c.run(*this);
  EXPECT_TRUE(failed(status));
  EXPECT_EQ(s.last_failure.point, c.point);
  EXPECT_EQ(without_times(failure_text(s.last_failure)), c.text);
}

INSTANTIATE_TEST_SUITE_P(Each, FailureReasons, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The record only explains: the bytes sent and the status are those of a run
// that records nothing, and an operation that succeeds starts clean.
TEST_F(WireTest, ARecordChangesNoByteAndASuccessClearsIt) {
  link.feed(command_status(0x0405) + connection_complete(0x04));
  EXPECT_TRUE(failed(host_connect(s, kPeer)));
  EXPECT_EQ(written(), (Bytes{0x01, 0x05, 0x04, 0x0D, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00, 0x10, 0x00, 0x02, 0x00,
                              0x00, 0x00, 0x00}));
  EXPECT_EQ(s.last_failure.hci_status, 0x04);
  EXPECT_FALSE(failed(host_close(s)));
  EXPECT_EQ(s.last_failure.point, FailurePoint::none);
  EXPECT_EQ(failure_text(s.last_failure), "");
}
}  // namespace
