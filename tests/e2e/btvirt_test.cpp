// The driver against a controller we did not write: BlueZ's emulator
// (`btvirt -s`), with the camera as a second host on its other controller.
// btvirt serves on a fixed path in /tmp, so each run gets a private mount
// namespace with its own /tmp (root only: CI runs as root).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bmp_file.h"
#include "run_command.h"
#include "sim_session.h"

#if defined(CORVANTA_CLI_PATH) && defined(CORVANTA_BTVIRT_PEER_PATH)
namespace {
std::vector<std::uint8_t> bmp_pixels(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (bytes.size() != kBmpFileSize) return {};
  return {bytes.begin() + kBmpPixelOffset, bytes.end()};
}

std::vector<std::uint8_t> expected_pixels(const CameraScene& scene) {
  const Picture p = converted(render_camera_view(scene));
  return {p.pixels.begin(), p.pixels.end()};
}

// Skips on a developer's machine without the emulator or the right to make a
// mount namespace; in CI both are there, so their absence fails.
#define REQUIRE_OR_SKIP(condition, why)                    \
  do {                                                     \
    if (!(condition)) {                                    \
      if (std::getenv("CI") != nullptr) FAIL() << why;    \
      GTEST_SKIP() << why;                                 \
    }                                                      \
  } while (false)

// A private directory outside /tmp with both programs copied in: the
// session's /tmp is a fresh tmpfs, which would hide a build under /tmp.
struct BtvirtDir {
  std::string dir, peer, cli;
};
BtvirtDir btvirt_dir() {
  char pattern[] = "/var/tmp/corvanta-btvirt-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return {};
  BtvirtDir made{pattern, std::string(pattern) + "/corvanta-btvirt-peer", std::string(pattern) + "/corvanta-cli"};
  if (run_command("cp '" + std::string(CORVANTA_BTVIRT_PEER_PATH) + "' '" + made.peer + "' && cp '" +
                  CORVANTA_CLI_PATH + "' '" + made.cli + "'")
          .exit_status != 0)
    return {};
  return made;
}

TEST(Btvirt, WholeSessionWithTwoPicturesPixelExact) {
  REQUIRE_OR_SKIP(tool_present("btvirt"), "btvirt is not installed (Debian package bluez-test-tools)");
  REQUIRE_OR_SKIP(tool_present("unshare") && run_command("unshare -m true 2>/dev/null").exit_status == 0,
                  "cannot make a private mount namespace (unshare -m needs root)");

  const auto [dir, peer, cli] = btvirt_dir();
  ASSERT_FALSE(dir.empty());
  const std::string first = dir + "/first.bmp";
  const std::string second = dir + "/second.bmp";

  const std::string session = peer + " " + dir + "/ports " + cli + " open inquiry connect 0 key L capture " + first +
                              " key D key K capture " + second + " disconnect close";
  // Files named by the environment may lie behind the private /tmp too: the
  // thread sanitizer's suppressions name Qt alone, which neither program uses.
  CommandRun run = run_command("unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /tmp && "
                               "TSAN_OPTIONS=halt_on_error=1 exec " +
                               session + "' 2>&1");
  EXPECT_EQ(run.exit_status, 0) << run.output;
  for (const char* line : {"open COM5: ok", "inquiry: 1 device: 0=", "connect 0: ok", "key L: ok",
                           "key K: ok", "disconnect: ok", "close: ok"})
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  EXPECT_NE(run.output.find("capture " + first + ": ok, 13824 of 13824 bytes"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("capture " + second + ": ok, 13824 of 13824 bytes"), std::string::npos) << run.output;

  // The scene the camera shows after the letters sent.
  CameraScene scene;
  steer_camera(scene, 'L');
  EXPECT_EQ(bmp_pixels(first), expected_pixels(scene));
  steer_camera(scene, 'D');
  steer_camera(scene, 'K');
  EXPECT_EQ(bmp_pixels(second), expected_pixels(scene));

  run_command("rm -rf '" + dir + "'");
}

// A camera that asks for a legacy PIN on BlueZ's emulator, whose link manager
// compares the PINs: the first session pairs (the driver's --pin) and keeps
// the key it is given; the second, on the same emulator, connects without a
// PIN. The emulator authenticates that link from the keys its controllers
// kept, so the host is not asked for its key (btvirt 5.66, sim/README.md).
// The second connects by the address the emulator gives the camera's
// controller: its second inquiry is refused (command disallowed).
TEST(Btvirt, PairsWithAPinThenConnectsWithoutOne) {
  REQUIRE_OR_SKIP(tool_present("btvirt"), "btvirt is not installed (Debian package bluez-test-tools)");
  REQUIRE_OR_SKIP(tool_present("unshare") && run_command("unshare -m true 2>/dev/null").exit_status == 0,
                  "cannot make a private mount namespace (unshare -m needs root)");
  const auto [dir, peer, cli] = btvirt_dir();
  ASSERT_FALSE(dir.empty());
  // The two sessions, one after the other, as the peer's command.
  const std::string sessions = dir + "/sessions.sh";
  {
    std::ofstream script(sessions);
    script << "export XDG_STATE_HOME=" << dir << "/state XDG_CONFIG_HOME=" << dir << "/config\n"
           << cli << " --pin 1234 open inquiry connect 0 capture " << dir << "/first.bmp disconnect close </dev/null &&\n"
           << cli << " open connect 00:AA:01:00:00:42 capture " << dir << "/second.bmp disconnect close </dev/null\n";
  }
  // As above: the sanitizer's suppressions may lie behind the private /tmp.
  CommandRun run = run_command("unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /tmp && "
                               "TSAN_OPTIONS=halt_on_error=1 exec " +
                               peer + " --pin 1234 --auth after " + dir + "/ports sh " + sessions + "' 2>&1");
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_EQ(bmp_pixels(dir + "/first.bmp"), expected_pixels(CameraScene{}));
  EXPECT_EQ(bmp_pixels(dir + "/second.bmp"), expected_pixels(CameraScene{}));
  // The key the emulator gives both sides, kept.
  EXPECT_EQ(run_command("grep -c ' 00010203040506070809000102030405 0$' '" + dir + "/state/corvanta/link-keys'").output,
            "1\n");
  run_command("rm -rf '" + dir + "'");
}
}  // namespace
#endif
