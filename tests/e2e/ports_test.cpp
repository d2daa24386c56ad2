// Ports as a user meets them: the driver's message and exit status for each
// way an open fails, one program at a time on a port, and the virtual module
// leaving alone every entry it did not make.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "run_command.h"
#include "sim_session.h"

namespace {
using Ports = SimSession;

std::string entry(const std::string& directory, int n) { return directory + "/com" + std::to_string(n); }

#ifdef CORVANTA_CLI_PATH
// The thread sanitizer's options less its suppressions file, which lies in
// the checkout; it names Qt alone, which the driver does not use.
std::string tsan_options_without_suppressions() {
  const char* options = std::getenv("TSAN_OPTIONS");
  std::string all = options != nullptr ? options : "";
  std::replace(all.begin(), all.end(), ':', ' ');
  std::istringstream words(all);
  std::string kept;
  for (std::string word; words >> word;)
    if (word.rfind("suppressions=", 0) != 0) kept += word + " ";
  return kept;
}

// The driver with these arguments, as a user without root's rights. As root
// every permission is granted, so it then runs as nobody, which may not
// reach the checkout (under /root, say): from its own copy in the ports
// directory, without the suppressions file.
std::string driver_as_user(const std::string& ports_directory, const std::string& arguments) {
  const std::string cli = CORVANTA_CLI_PATH;
  if (::geteuid() != 0) return cli + " " + arguments;
  const std::string copy = ports_directory + "/corvanta-cli";
  std::filesystem::copy_file(cli, copy, std::filesystem::copy_options::overwrite_existing);
  ::chmod(copy.c_str(), 0755);
  return "cd / && TSAN_OPTIONS='" + tsan_options_without_suppressions() +
         "' setpriv --reuid=65534 --regid=65534 --clear-groups " + copy + " " + arguments;
}

TEST_F(Ports, EachOpenFailureNamesThePathAndTheReason) {
  start_sim();
  const std::string plain = ports_directory + "/plain-file";
  std::ofstream(plain) << "x";
  ::chmod(plain.c_str(), 0600);
  ::chmod(ports_directory.c_str(), 0755);
  ASSERT_EQ(::symlink("/dev/ttyUSB-unplugged", entry(ports_directory, 3).c_str()), 0);
  ASSERT_EQ(::symlink(plain.c_str(), entry(ports_directory, 4).c_str()), 0);
  // The test holds COM5 as another program would.
  ASSERT_EQ(host_open(s, kSimPort), kStatusOk);
  const std::string cli = std::string(CORVANTA_CLI_PATH);
  const struct {
    std::string command;
    std::string line;
  } cases[] = {
      // A mapping that exists is used even when its adapter is unplugged:
      // no fall-back to /dev/ttyS2.
      {cli + " --port 3 open close",
       "open COM3: failed (" + entry(ports_directory, 3) + " -> /dev/ttyUSB-unplugged: the device does not exist"},
      {cli + " --port=/dev/no-such-adapter open", "open /dev/no-such-adapter: failed (/dev/no-such-adapter: no such device)"},
      {driver_as_user(ports_directory, "--port COM4 open"),
       "open COM4: failed (" + entry(ports_directory, 4) + " -> " + plain + ": permission denied (join the dialout group"},
      {cli + " open", "open COM5: failed (" + entry(ports_directory, 5) + " -> " + sim->device_path() + ": busy"},
  };
  for (const auto& c : cases) {
    CommandRun run = run_command(c.command + " 2>&1");
    EXPECT_EQ(run.exit_status, 1) << c.command << "\n" << run.output;
    EXPECT_NE(run.output.find(c.line), std::string::npos) << c.command << "\n" << run.output;
  }
  // The busy port was left as it was: the holder still talks to the module.
  EXPECT_EQ(module_start_up(s, kLocalDeviceName), kStatusOk);
  EXPECT_TRUE(std::filesystem::is_symlink(entry(ports_directory, 3)));
}

TEST_F(Ports, ListingShowsEveryComPortAndWhereItMaps) {
  start_sim();
  ASSERT_EQ(::symlink("/dev/ttyUSB-unplugged", entry(ports_directory, 2).c_str()), 0);
  CommandRun run = run_command(std::string(CORVANTA_CLI_PATH) + " ports 2>&1");
  EXPECT_EQ(run.exit_status, 0) << run.output;
  for (const std::string& line :
       {"  COM2  " + entry(ports_directory, 2) + " -> /dev/ttyUSB-unplugged  (missing)",
        "  COM5  " + entry(ports_directory, 5) + " -> " + sim->device_path() + "  (present)", std::string("  COM9  /dev/ttyS8"),
        std::string("adapters")})
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  EXPECT_EQ(run_command(std::string(CORVANTA_CLI_PATH) + " --list-ports").output, run.output);
}
#endif

// A second open of a held port is refused, also for root, and the port is
// free again once it is closed.
TEST_F(Ports, AHeldPortIsExclusive) {
  start_sim();
  ASSERT_EQ(host_open(s, kSimPort), kStatusOk);
  PosixSerial other;
  PortHandle handle;
  EXPECT_EQ(other.open_port(com_port(kSimPort), LineSettings{}, handle), kStatusFail);
  EXPECT_FALSE(handle.held);
  EXPECT_TRUE(other.last_open_error.error == EBUSY || other.last_open_error.error == EWOULDBLOCK);
  ASSERT_EQ(host_close(s), kStatusOk);
  other.settle = std::chrono::milliseconds(0);
  EXPECT_EQ(other.open_port(com_port(kSimPort), LineSettings{}, handle), kStatusOk);
  EXPECT_EQ(other.last_open_error.error, 0);
  other.close_port(handle);
}

// The module publishes only over an entry it made itself; a refusal says why
// and touches nothing.
TEST_F(Ports, TheModuleNeverReplacesAnEntryItDidNotMake) {
  const std::string com5 = entry(ports_directory, kSimPort);
  ASSERT_EQ(::symlink("/dev/ttyUSB0", com5.c_str()), 0);
  VirtualModule module(fast_sim_options());
  ASSERT_TRUE(module.start());
  EXPECT_FALSE(module.publish_as(kSimPort));
  EXPECT_NE(module.publish_error().find("COM5 is taken: " + com5 + " -> /dev/ttyUSB0 was not made"), std::string::npos)
      << module.publish_error();
  EXPECT_EQ(std::filesystem::read_symlink(com5), "/dev/ttyUSB0");
  ::unlink(com5.c_str());

  // A running module's port is refused to a second one.
  start_sim();
  EXPECT_FALSE(module.publish_as(kSimPort));
  EXPECT_NE(module.publish_error().find("COM5 is taken: another virtual module (pid " + std::to_string(::getpid())),
            std::string::npos)
      << module.publish_error();
  EXPECT_EQ(std::filesystem::read_symlink(com5), sim->device_path());

  // Once it has stopped, its entry is gone and the port is free.
  sim->stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(com5)));
  EXPECT_TRUE(module.publish_as(kSimPort)) << module.publish_error();
  EXPECT_EQ(std::filesystem::read_symlink(com5), module.device_path());
  module.stop();

  // A link a module made and left behind (it was killed) is reused.
  const std::string owner = ports_directory + "/.com5.owner";
  std::ofstream(owner) << "999999 /dev/pts/left-behind\n";
  ASSERT_EQ(::symlink("/dev/pts/left-behind", com5.c_str()), 0);
  VirtualModule again(fast_sim_options());
  ASSERT_TRUE(again.start());
  EXPECT_TRUE(again.publish_as(kSimPort)) << again.publish_error();
  EXPECT_EQ(std::filesystem::read_symlink(com5), again.device_path());
}
}  // namespace
