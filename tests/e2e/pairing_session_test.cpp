// The driver against cameras that ask for a PIN: it pairs, keeps the key
// (its file read back), takes an exact picture, and connects again later
// with the kept key and no PIN; a wrong PIN and none fail, named.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "bmp_file.h"
#include "run_command.h"
#include "sim_session.h"

#ifdef CORVANTA_CLI_PATH
namespace {
struct PairingSession : SimSession {
  std::string state_directory;
  void SetUp() override {
    SimSession::SetUp();
    state_directory = ports_directory + "/state";
    ::setenv("XDG_STATE_HOME", state_directory.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (ports_directory + "/config").c_str(), 1);
  }
  // Not on a terminal: without --pin there is none.
  CommandRun cli(const std::string& arguments) {
    return run_command(std::string(CORVANTA_CLI_PATH) + " " + arguments + " </dev/null 2>&1");
  }
  std::string key_file() const {
    std::ifstream in(state_directory + "/corvanta/link-keys");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::vector<std::uint8_t> bmp_pixels(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (bytes.size() != kBmpFileSize) return {};
    return {bytes.begin() + kBmpPixelOffset, bytes.end()};
  }
  std::vector<std::uint8_t> camera_pixels() const {
    const Picture p = converted(sim->camera_view(0));
    return {p.pixels.begin(), p.pixels.end()};
  }
};

// The key the camera and the module make from PIN 1234 for module
// 5E:00:00:00:00:01 and camera CA:FE:00:00:00:01, worked out by hand from
// the virtual camera's rule (sim/README.md, Pairing).
const char* const kKeyLine = "CA:FE:00:00:00:01 31333137CBA33533393BC7AB3D3F3D3B 0";

TEST_F(PairingSession, PairsWithAPinThenConnectsWithTheKeptKey) {
  for (const bool on_connect : {false, true}) {
    SCOPED_TRACE(on_connect ? "asked inside the page" : "asked once the link is up, the channel pending");
    SimOptions options = fast_sim_options();
    options.faults.pairing.pin = "1234";
    options.faults.pairing.on_connect = on_connect;
    start_sim(options);
    const std::string first = ports_directory + "/first.bmp";
    const std::string second = ports_directory + "/second.bmp";
    CommandRun run = cli("--pin 1234 open inquiry connect 0 capture " + first + " disconnect close");
    ASSERT_EQ(run.exit_status, 0) << run.output;
    EXPECT_EQ(bmp_pixels(first), camera_pixels());
    EXPECT_NE(key_file().find(kKeyLine), std::string::npos) << key_file();

    // No PIN now: the module is given the kept key.
    run = cli("open connect CA:FE:00:00:00:01 key R capture " + second + " disconnect close");
    ASSERT_EQ(run.exit_status, 0) << run.output;
    EXPECT_EQ(bmp_pixels(second), camera_pixels());
    sim->stop();
    std::filesystem::remove_all(state_directory);
  }
}

TEST_F(PairingSession, AWrongPinAndNoneFailConnectNamed) {
  SimOptions options = fast_sim_options();
  options.faults.pairing.pin = "1234";
  options.pairing_timeout_scale = 0.02;
  start_sim(options);
  CommandRun run = cli("--pin 0000 open inquiry connect 0");
  EXPECT_EQ(run.exit_status, 1) << run.output;
  // The camera refuses the held channel: no HCI status says why.
  EXPECT_NE(run.output.find("the camera refused the PIN (L2CAP result 0x0003, security block)"), std::string::npos)
      << run.output;
  run = cli("open inquiry connect 0");
  EXPECT_EQ(run.exit_status, 1) << run.output;
  EXPECT_NE(run.output.find("the camera asked for a PIN and none was given (L2CAP result 0x0003, security block)"),
            std::string::npos)
      << run.output;
  EXPECT_TRUE(key_file().find("CA:FE") == std::string::npos) << key_file();
}
}  // namespace
#endif
