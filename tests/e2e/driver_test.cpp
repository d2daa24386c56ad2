// The driver as a user runs it against a module of the test's own: clean-up
// after a failure and after Ctrl-C as the module saw it, the capture file,
// connecting by address, progress while a step waits, and every program's
// --help and --version.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "bmp_file.h"
#include "picture_record.h"
#include "run_command.h"
#include "sim_session.h"

namespace {
constexpr std::uint16_t kInquiry = 0x0401;
constexpr std::uint16_t kCreateConnection = 0x0405;
constexpr std::uint16_t kDisconnect = 0x0406;

#ifdef CORVANTA_CLI_PATH
struct Driver : SimSession {
  CommandRun cli(const std::string& arguments) {
    return run_command(std::string(CORVANTA_CLI_PATH) + " " + arguments + " 2>&1");
  }
  std::string file(const std::string& name) const { return ports_directory + "/" + name; }
  static std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // Opcodes after the start-up's four commands.
  std::vector<std::uint16_t> after_start_up() const { return opcodes_since(4); }
};

TEST_F(Driver, AFailedStepDisconnectsAndClosesUnlessToldToGoOn) {
  start_sim();
  // The second connect fails at once (no device 3) with the link up.
  CommandRun run = cli("open inquiry connect 0 connect 3 key L close");
  EXPECT_EQ(run.exit_status, 1) << run.output;
  for (const char* line : {"connect 3: failed (no device 3; the last inquiry found 1)", "key L: skipped",
                           "close: skipped", "clean-up: disconnect ok", "clean-up: port closed"})
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  EXPECT_EQ(after_start_up(), (std::vector<std::uint16_t>{kInquiry, kCreateConnection, kDisconnect}));
  EXPECT_EQ(sim->acl_packets_received(), 2u);  // channel open and close: no "L"

  // --keep-going runs every step and still fails the run; the clean-up
  // follows the last step.
  run = cli("-k open inquiry connect 0 connect 3 key L");
  EXPECT_EQ(run.exit_status, 1) << run.output;
  EXPECT_NE(run.output.find("key L: ok"), std::string::npos) << run.output;
  EXPECT_LT(run.output.find("key L: ok"), run.output.find("clean-up: disconnect ok")) << run.output;
}

TEST_F(Driver, AFailedStepSaysWhy) {
  SimOptions options = fast_sim_options();
  options.faults.camera_unreachable = true;
  start_sim(options);
  CommandRun run = cli("open connect 00:11:22:33:44:55");
  EXPECT_EQ(run.exit_status, 1) << run.output;
  EXPECT_NE(run.output.find("connect 00:11:22:33:44:55: failed (00:11:22:33:44:55 did not connect: "
                            "Create_Connection: Connection Complete status 0x04 (page timeout) after "),
            std::string::npos)
      << run.output;
  // A module that refuses the reset: the command and its status.
  options.faults = SimFaults{};
  options.faults.failing_opcode = 0x0C03;
  sim.reset();
  start_sim(options);
  run = cli("open");
  EXPECT_NE(run.output.find("open COM5: failed (the module did not start up: HCI_Reset: Command Complete status "
                            "0x0C (command disallowed) after "),
            std::string::npos)
      << run.output;
}

TEST_F(Driver, CtrlCDuringACaptureDisconnectsThenNothing) {
  SimOptions options = fast_sim_options();
  options.paced = true;  // a picture takes 2.4 s
  start_sim(options);
  const std::string output = file("output");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::execl(CORVANTA_CLI_PATH, CORVANTA_CLI_PATH, "open", "inquiry", "connect", "0", "capture",
            file("shot.bmp").c_str(), "disconnect", "close", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // The channel is open and "U" is out: the picture is coming.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (sim->acl_packets_received() < 2 && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  const std::string printed = contents(output);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << printed;
  for (const char* line : {"(interrupted)", "disconnect: skipped", "clean-up: disconnect", "clean-up: port closed"})
    EXPECT_NE(printed.find(line), std::string::npos) << line << "\n" << printed;
  // The module saw the Disconnect, and nothing after it.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(after_start_up(), (std::vector<std::uint16_t>{kInquiry, kCreateConnection, kDisconnect}));
  const std::size_t acl = sim->acl_packets_received();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(sim->acl_packets_received(), acl);
  EXPECT_FALSE(std::filesystem::exists(file("shot.bmp")));
}

TEST_F(Driver, ACaptureWritesItsFileWholeOrNotAtAll) {
  SimOptions options = fast_sim_options();
  options.faults.picture_rows = 10;
  start_sim(options);
  const std::string shot = file("shot.bmp");
  std::ofstream(shot) << "an earlier picture";
  CommandRun run = cli("-k open inquiry connect 0 capture " + shot + " capture " + file("missing/shot.bmp"));
  EXPECT_EQ(run.exit_status, 1) << run.output;
  EXPECT_NE(run.output.find("capture " + shot + ": failed, 1920 of 13824 bytes (row 11 of 72 did not come within 3.0 s; " +
                            shot + " left as it was)"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(contents(shot), "an earlier picture");
  // An unwritable file is found out before "U" is sent.
  EXPECT_NE(run.output.find("capture " + file("missing/shot.bmp") +
                            ": failed (cannot write " + file("missing/shot.bmp") + ": No such file or directory; nothing sent)"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(sim->acl_packets_received(), 2u + 1u);  // channel open, "U"; then the clean-up's channel close
  // No temporary file is left beside the target.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ports_directory), {}), 3)
      << "com5, its owner file and shot.bmp only";

  // A whole picture replaces the file.
  sim->set_faults({});
  run = cli("open inquiry connect 0 capture " + shot);
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_EQ(contents(shot).size(), 54u + 96u * 72u * 3u);
}

// A steered live run: each file pixel-exact against the picture the camera
// says it sent (its record of the scene, checked against the frame's
// digest), and the list's keys the letters the camera got, in order. The
// camera keeps that record with chaos on at rate 0: no fault ever fires.
TEST_F(Driver, ALiveRunIsWhatTheCameraSentAndSteered) {
  SimOptions options = fast_sim_options();
  options.faults.chaos.on = true;
  options.faults.chaos.rate = 0;
  start_sim(options);
  const std::string folder = file("live");
  CommandRun run = cli("open inquiry connect 0 live 20 " + folder + " --steer LKRDM --gif " + file("live.gif"));
  ASSERT_EQ(run.exit_status, 0) << run.output;
  EXPECT_NE(run.output.find("live 20 " + folder + ": ok, 20 pictures, mean cycle "), std::string::npos) << run.output;
  std::vector<ChaosRecord> pictures;
  std::string letters;
  for (const ChaosRecord& record : sim->take_chaos_records()) {
    if (record.type == ChaosRecordType::picture) pictures.push_back(record);
    if (record.type == ChaosRecordType::key) letters.push_back(record.letter);
  }
  ASSERT_EQ(pictures.size(), 20u);
  EXPECT_EQ(letters, "LKRDML");  // after pictures 3, 6, ..., 18
  std::istringstream csv(contents(folder + "/pictures.csv"));
  std::string row;
  std::getline(csv, row);
  EXPECT_EQ(row, "number,time,file,keys");
  std::string keys;
  for (std::size_t n = 1; n <= pictures.size(); ++n) {
    SCOPED_TRACE(n);
    const CameraFrame sent = render_camera_view(pictures[n - 1].scene);
    ASSERT_EQ(fnv1a64(sent.data(), sent.size()), pictures[n - 1].digest);
    const std::string bmp = contents(folder + "/" + record_file_name(static_cast<std::uint32_t>(n), RecordFormat::bmp));
    ASSERT_EQ(bmp.size(), kBmpFileSize);
    const Picture expected = converted(sent);
    EXPECT_TRUE(std::equal(expected.pixels.begin(), expected.pixels.end(),
                           reinterpret_cast<const std::uint8_t*>(bmp.data()) + kBmpPixelOffset));
    ASSERT_TRUE(std::getline(csv, row));
    const std::string name = record_file_name(static_cast<std::uint32_t>(n), RecordFormat::bmp);
    EXPECT_EQ(row.rfind(std::to_string(n) + ",", 0), 0u) << row;
    EXPECT_NE(row.find("," + name + ","), std::string::npos) << row;
    keys += row.substr(row.rfind(',') + 1);
  }
  EXPECT_EQ(keys, letters);
  EXPECT_FALSE(std::getline(csv, row)) << row;
  // The scene moved: not every picture is the first.
  EXPECT_NE(pictures.front().digest, pictures.back().digest);
  EXPECT_EQ(run_command("identify '" + file("live.gif") + "' 2>&1 | grep -c ' GIF 96x72 '").output, "20\n");
}

TEST_F(Driver, ConnectsByAddressWithoutAnInquiryAndShowsProgress) {
  SimOptions options = fast_sim_options();
  options.cameras = {{0x00, 0x1B, 0xDC, 0x40, 0x00, 0x0A}};
  start_sim(options);
  CommandRun run = cli("--port=COM5 open connect 00:1b:dc:40:00:0a capture " + file("shot.bmp") + " disconnect close");
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_EQ(after_start_up(), (std::vector<std::uint16_t>{kCreateConnection, kDisconnect}));
  // Progress lines come while the step waits, before its own line.
  const std::string connected = "connect 00:1B:DC:40:00:0A: ok, 00:1B:DC:40:00:0A";
  const std::size_t paging = run.output.find("connect 00:1B:DC:40:00:0A: paging 00:1B:DC:40:00:0A");
  const std::size_t row = run.output.find("capture " + file("shot.bmp") + ": row 36/72, 6912 bytes");
  const std::size_t captured = run.output.find("capture " + file("shot.bmp") + ": ok");
  ASSERT_NE(paging, std::string::npos) << run.output;
  ASSERT_NE(row, std::string::npos) << run.output;
  EXPECT_LT(paging, run.output.find(connected)) << run.output;
  EXPECT_LT(row, captured) << run.output;
  EXPECT_EQ(cli("open connect 00:1B:DC:40:00").exit_status, 2);
}
#endif

// Every program answers --help and --version with status 0, the window too
// without a display.
TEST(Programs, HelpAndVersionExitZero) {
  const std::string programs[] = {
#include "program_paths.inc"
  };
  for (const std::string& path : programs) {
    const std::string name = std::filesystem::path(path).filename().string();
    const std::string bare = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + path;
    for (const char* option : {" --help", " -h"}) {
      CommandRun run = run_command(bare + option + " 2>&1");
      EXPECT_EQ(run.exit_status, 0) << name << option << "\n" << run.output;
      EXPECT_NE(run.output.find("Usage: " + name), std::string::npos) << name << option << "\n" << run.output;
    }
    CommandRun run = run_command(bare + " --version 2>&1");
    EXPECT_EQ(run.exit_status, 0) << name;
    EXPECT_EQ(run.output, name + " " + CORVANTA_VERSION + "\n");
    EXPECT_EQ(run_command(bare + " --bogus 2>&1").exit_status, 2) << name;
  }
}
}  // namespace
