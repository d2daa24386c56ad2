// corvanta-cli run as a process against its own virtual module.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "run_command.h"

#ifdef CORVANTA_CLI_PATH
namespace {
CommandRun run_cli(const std::string& arguments) {
  return run_command(std::string(CORVANTA_CLI_PATH) + " " + arguments + " 2>&1");
}

std::vector<unsigned char> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Cli : ::testing::Test {
  std::string directory;
  void SetUp() override {
    char pattern[] = "/tmp/corvanta-cli-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory = pattern;
  }
  void TearDown() override {
    std::remove((directory + "/shot.bmp").c_str());
    std::remove((directory + "/trace.btsnoop").c_str());
    ::rmdir(directory.c_str());
  }
};

TEST_F(Cli, WholeJobOnTheVirtualModule) {
  const std::string shot = directory + "/shot.bmp";
  const std::string trace = directory + "/trace.btsnoop";
  CommandRun run = run_cli("--sim --fast --trace " + trace +
                       " open inquiry connect 0 key L key D capture " + shot + " key R disconnect close");
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_NE(run.output.find("open COM5: ok"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("inquiry: 1 device: 0=CA:FE:00:00:00:01"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("capture " + shot + ": ok, 13824 of 13824 bytes"), std::string::npos) << run.output;
  // The camera answers a steering letter with the letter, its pan and tilt
  // (low bytes) and zoom: L panned to -8, D tilted to 8, R pans back to 0.
  EXPECT_NE(run.output.find("key L: ok, answer 4C F8 00 01"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("key R: ok, answer 52 00 08 01"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("close: ok"), std::string::npos) << run.output;

  std::vector<unsigned char> bmp = file_bytes(shot);
  ASSERT_EQ(bmp.size(), 54u + 96u * 72u * 3u);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  std::vector<unsigned char> snoop = file_bytes(trace);
  ASSERT_GT(snoop.size(), 16u);
  EXPECT_EQ(std::string(snoop.begin(), snoop.begin() + 8), std::string("btsnoop\0", 8));

  // The whole session, as Wireshark's reader decodes it: the commands in
  // order, and every ACL packet each way.
  REQUIRE_TOOL("tshark");
  CommandRun tshark = run_command("tshark -r '" + trace +
                                  "' -T fields -e hci_h4.type -e hci_h4.direction -e bthci_cmd.opcode 2>/dev/null");
  ASSERT_EQ(tshark.exit_status, 0) << tshark.output;
  std::vector<std::string> opcodes;
  int acl_sent = 0;
  int acl_received = 0;
  std::istringstream lines(tshark.output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string type, direction, opcode;
    fields >> type >> direction >> opcode;
    if (type == "0x01") opcodes.push_back(opcode);
    if (type == "0x02") ++(direction == "0x00" ? acl_sent : acl_received);
  }
  EXPECT_EQ(opcodes, (std::vector<std::string>{"0x0c03", "0x1009", "0x0c13", "0x0c1a", "0x0401", "0x0405", "0x0406"}));
  // Sent: channel open, L, D, U, R, channel close. Received: the channel
  // answer, two steering answers, 72 rows, one more answer, the close answer.
  EXPECT_EQ(acl_sent, 6);
  EXPECT_EQ(acl_received, 1 + 2 + 72 + 1 + 1);
}

TEST_F(Cli, AFailedStepSkipsTheRest) {
  CommandRun run = run_cli("--sim --fast open connect 0 key L close");
  EXPECT_EQ(run.exit_status, 1) << run.output;
  EXPECT_NE(run.output.find("connect 0: failed (no device 0; the last inquiry found 0)"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("key L: skipped"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("close: skipped"), std::string::npos) << run.output;
}

TEST_F(Cli, UsageErrorsAndHelp) {
  const struct {
    const char* arguments;
    int exit_status;
  } cases[] = {
      {"--help", 0},
      {"", 2},
      {"open fly", 2},
      {"key Q", 2},
      {"connect 7", 2},
      {"--port 0 open", 2},
      {"--port COM256 open", 2},
      {"--port tcp:host open", 2},
      {"--fast open", 2},
      {"--baud 4800 open", 2},
      {"--flow xonxoff open", 2},
      {"--sim --port tcp:localhost:6402 open", 2},
      {"--pin '' open", 2},
      {"--pin 12345678901234567 open", 2},
      {"--pin ' 1234' open", 2},
      {"--pin", 2},
      {"forget", 2},
      {"forget 00:1B:DC:40:00", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(run_cli(c.arguments).exit_status, c.exit_status) << c.arguments;
  EXPECT_NE(run_cli("--help").output.find("Usage: corvanta-cli"), std::string::npos);
  // A rate the line cannot take is refused before anything is opened.
  CommandRun rate = run_cli("--baud 12345 open");
  EXPECT_EQ(rate.output.find("open COM5"), std::string::npos) << rate.output;
  EXPECT_NE(rate.output.find("--baud takes one of 9600, 14400,"), std::string::npos) << rate.output;
}

// forget needs no port: it removes the device's line from the key file and
// says whether there was one; --pin is taken, and a run that never pairs
// does not use it.
TEST_F(Cli, ForgetRemovesTheStoredKeyWithoutAPort) {
  const std::string keys = directory + "/corvanta/link-keys";
  ::mkdir((directory + "/corvanta").c_str(), 0700);
  const std::string others =
      "# mine\n"
      "CA:FE:00:00:00:0B 0F0E0D0C0B0A09080706050403020100 0\n";
  std::ofstream(keys) << others << "00:1B:DC:40:00:0A 000102030405060708090A0B0C0D0E0F 0\n";
  const std::string run_in = "XDG_STATE_HOME=" + directory + " " + CORVANTA_CLI_PATH + " --pin 0000 --port 9 ";
  CommandRun run = run_command(run_in + "forget 00:1b:dc:40:00:0a forget 00:1B:DC:40:00:0A 2>&1");
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_EQ(run.output,
            "forget 00:1B:DC:40:00:0A: ok, its stored key removed\n"
            "forget 00:1B:DC:40:00:0A: ok, no key was stored\n");
  std::stringstream left;
  left << std::ifstream(keys).rdbuf();
  EXPECT_EQ(left.str(), others);
  std::remove(keys.c_str());
  ::rmdir((directory + "/corvanta").c_str());
}

// The line given reaches the port and the module paced at it.
TEST_F(Cli, TheLineGivenIsTheLineOpened) {
  CommandRun run = run_cli("--sim --baud 921600 --flow rtscts open close");
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_NE(run.output.find("virtual module on COM5 ("), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("), 921,600 baud, RTS/CTS flow control"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("open COM5: ok"), std::string::npos) << run.output;
}
}  // namespace
#endif
