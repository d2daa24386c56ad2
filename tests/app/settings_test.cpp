// The settings file both windows keep: a good file, malformed lines, a
// missing directory, and the windows' options over it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "settings.h"

namespace {
namespace fs = std::filesystem;

TEST(Settings, AGoodFile) {
  const std::string text =
      "# my module\n"
      "\n"
      "port = /dev/serial/by-id/usb-FTDI_FT232R-if00-port0\n"
      "  baud=921600\r\n"
      "flow=rtscts\n"
      "zoom = 3\n";
  WindowSettings settings;
  std::vector<std::string> problems;
  parse_settings(text, settings, problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(settings.port, "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
  EXPECT_EQ(settings.line.baud, 921600u);
  EXPECT_EQ(settings.line.flow, FlowControl::rtscts);
  EXPECT_EQ(settings.zoom, 3);
}

// Each bad line is named by its number and changes nothing; the good lines
// around it still count.
TEST(Settings, MalformedLinesAreReportedAndIgnored) {
  const std::string text =
      "port=COM3\n"
      "baud 115200\n"
      "baud=12345\n"
      "flow=xonxoff\n"
      "speed=115200\n"
      "port=lpt1\n"
      "=\n"
      "zoom=0\n"
      "zoom=7\n"
      "zoom=2x\n"
      "flow=rtscts\n";
  WindowSettings settings;
  std::vector<std::string> problems;
  parse_settings(text, settings, problems);
  EXPECT_EQ(settings.port, "COM3");
  EXPECT_EQ(settings.line.baud, 57600u);
  EXPECT_EQ(settings.line.flow, FlowControl::rtscts);
  EXPECT_EQ(settings.zoom, 1);
  ASSERT_EQ(problems.size(), 9u);
  const char* starts[] = {"line 2: \"baud 115200\" is not key=value", "line 3: \"12345\" is not a rate",
                          "line 4: \"xonxoff\" is no flow control", "line 5: unknown key \"speed\"",
                          "line 6: \"lpt1\" names no port", "line 7: unknown key \"\"",
                          "line 8: \"0\" is no zoom", "line 9: \"7\" is no zoom", "line 10: \"2x\" is no zoom"};
  for (std::size_t i = 0; i < problems.size(); ++i) {
    EXPECT_EQ(problems[i].rfind(starts[i], 0), 0u) << problems[i];
    EXPECT_NE(problems[i].find("; ignored"), std::string::npos) << problems[i];
  }
}

// Saving makes the missing directories, leaves no temporary file beside the
// file, and writes the documented format; reading it back gives the same.
TEST(Settings, SavedIntoAMissingDirectoryAndReadBack) {
  const fs::path scratch =
      fs::temp_directory_path() /
      ("corvanta-settings-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  const fs::path file = scratch / "config" / "corvanta" / "corvanta.conf";
  WindowSettings read;
  std::vector<std::string> problems;
  read_settings_file(file, read, problems);  // no file yet: the defaults, nothing to say
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(read.port, "");
  EXPECT_EQ(read.line.baud, 57600u);

  std::string error;
  ASSERT_TRUE(write_settings_file(file, WindowSettings{"tcp:localhost:6402", {115200, FlowControl::rtscts}, {}, 4}, error))
      << error;
  std::stringstream text;
  text << std::ifstream(file).rdbuf();
  EXPECT_EQ(text.str(),
            "# Corvanta Controller settings: port (COMn, a device path or tcp:HOST:PORT),\n"
            "# baud (the module's line speed), flow (none or rtscts), and pin.ADDRESS\n"
            "# (a remembered PIN of the device at AA:BB:CC:DD:EE:FF).\n"
            "port=tcp:localhost:6402\n"
            "baud=115200\n"
            "flow=rtscts\n"
            "zoom=4\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
  read_settings_file(file, read, problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(read.port, "tcp:localhost:6402");
  EXPECT_EQ(read.line.baud, 115200u);
  EXPECT_EQ(read.line.flow, FlowControl::rtscts);
  EXPECT_EQ(read.zoom, 4);
  fs::remove_all(scratch);
}

TEST(Settings, TheWindowsOptionsTakeThePlaceOfTheFile) {
  WindowSettings settings{"COM3", {57600, FlowControl::none}, {}, 1};
  std::vector<std::string> args = {"--sim", "--port", "COM12", "--baud", "230400", "--flow", "rtscts", "-platform"};
  std::string error;
  ASSERT_TRUE(take_line_options(args, settings, error)) << error;
  EXPECT_EQ(args, (std::vector<std::string>{"--sim", "-platform"}));
  EXPECT_EQ(settings.port, "COM12");
  EXPECT_EQ(settings.line.baud, 230400u);
  EXPECT_EQ(settings.line.flow, FlowControl::rtscts);
  for (std::vector<std::string> bad : {std::vector<std::string>{"--baud", "12345"}, {"--flow", "on"}, {"--port"}}) {
    EXPECT_FALSE(take_line_options(bad, settings, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}
}  // namespace
