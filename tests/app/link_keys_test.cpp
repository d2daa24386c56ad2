// The link key file and the PIN texts: stored, replaced, found and removed
// in a directory made for it; damaged lines reported by number, ignored and
// kept; the forms addresses and PINs take.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "link_keys.h"
#include "pairing_shell.h"
#include "settings.h"

namespace {
namespace fs = std::filesystem;

const DeviceAddress kCameraA = {0x00, 0x1B, 0xDC, 0x40, 0x00, 0x0A};
const DeviceAddress kCameraB = {0xCA, 0xFE, 0x00, 0x00, 0x00, 0x0B};
const char* const kHeader =
    "# Corvanta Controller link keys: one device a line, ADDRESS KEY TYPE:\n"
    "# the address AA:BB:CC:DD:EE:FF, the key's 16 bytes as the module gave\n"
    "# them in 32 hex digits, and the module's Key_Type as a decimal number.\n";

LinkKey key_counting_from(std::uint8_t first) {
  LinkKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(first + i);
  return key;
}

struct LinkKeyFile : ::testing::Test {
  fs::path scratch = fs::temp_directory_path() /
                     ("corvanta-keys-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::path file = scratch / "state" / "corvanta" / "link-keys";
  std::string error;

  ~LinkKeyFile() override { fs::remove_all(scratch); }
  std::string text() const {
    std::stringstream in;
    in << std::ifstream(file, std::ios::binary).rdbuf();
    return in.str();
  }
  void write(const std::string& content) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }
};

TEST_F(LinkKeyFile, StoredReplacedFoundAndRemoved) {
  LinkKeyEntry found;
  std::vector<std::string> problems;
  EXPECT_FALSE(find_link_key(file, kCameraA, found, problems)) << "no file yet: no key, nothing to say";
  EXPECT_TRUE(problems.empty());

  ASSERT_TRUE(store_link_key(file, {kCameraA, key_counting_from(0x00), 0}, error)) << error;  // the directory is made
  ASSERT_TRUE(store_link_key(file, {kCameraB, key_counting_from(0xF0), 4}, error)) << error;
  ASSERT_TRUE(store_link_key(file, {kCameraA, key_counting_from(0xA0), 5}, error)) << error;  // in place of the first
  EXPECT_EQ(text(), std::string(kHeader) +
                        "CA:FE:00:00:00:0B F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF 4\n"
                        "00:1B:DC:40:00:0A A0A1A2A3A4A5A6A7A8A9AAABACADAEAF 5\n");
  ASSERT_TRUE(find_link_key(file, kCameraA, found, problems));
  EXPECT_EQ(found.key, key_counting_from(0xA0));
  EXPECT_EQ(found.type, 5);
  EXPECT_TRUE(problems.empty());

  bool removed = false;
  ASSERT_TRUE(remove_link_key(file, kCameraB, removed, error)) << error;
  EXPECT_TRUE(removed);
  ASSERT_TRUE(remove_link_key(file, kCameraB, removed, error)) << error;
  EXPECT_FALSE(removed);
  EXPECT_EQ(text(), std::string(kHeader) + "00:1B:DC:40:00:0A A0A1A2A3A4A5A6A7A8A9AAABACADAEAF 5\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1)
      << "no temporary file left beside it";
}

// Each damaged line is named by its number, the good lines around it
// count, and a write keeps it as it was.
TEST_F(LinkKeyFile, DamagedLinesAreReportedIgnoredAndKept) {
  const std::string damaged =
      "# keys\n"
      "00:1B:DC:40:00:0A 000102030405060708090A0B0C0D0E0F 0\n"
      "00:1B:DC:40:00:0A 000102030405060708090A0B0C0D0E0F\n"
      "00-1B-DC-40-00-0A 000102030405060708090A0B0C0D0E0F 0\n"
      "CA:FE:00:00:00:0B 000102030405060708090A0B0C0D0E0 0\n"
      "CA:FE:00:00:00:0B 000102030405060708090A0B0C0D0EXX 0\n"
      "CA:FE:00:00:00:0B 000102030405060708090A0B0C0D0E0F 256\n"
      "CA:FE:00:00:00:0B 000102030405060708090A0B0C0D0E0F 0 extra\n"
      "\n"
      "\x01\xFF\n";
  write(damaged);
  std::vector<std::string> problems;
  LinkKeyEntry found;
  ASSERT_TRUE(find_link_key(file, kCameraA, found, problems));
  EXPECT_EQ(found.key, key_counting_from(0x00));
  EXPECT_FALSE(find_link_key(file, kCameraB, found, problems));
  const char* reasons[] = {"line 3: not ADDRESS KEY TYPE; ignored",
                           "line 4: \"00-1B-DC-40-00-0A\" is no address AA:BB:CC:DD:EE:FF; ignored",
                           "line 5: the key is not 32 hex digits; ignored",
                           "line 6: the key is not 32 hex digits; ignored",
                           "line 7: \"256\" is no key type (0 to 255); ignored",
                           "line 8: not ADDRESS KEY TYPE; ignored",
                           "line 10: not ADDRESS KEY TYPE; ignored"};
  ASSERT_EQ(problems.size(), 2 * std::size(reasons));  // once for each look-up
  for (std::size_t i = 0; i < std::size(reasons); ++i)
    EXPECT_EQ(problems[i], path_text(file) + " " + reasons[i]);

  ASSERT_TRUE(store_link_key(file, {kCameraB, key_counting_from(0x10), 0}, error)) << error;
  EXPECT_EQ(text(), damaged + "CA:FE:00:00:00:0B 101112131415161718191A1B1C1D1E1F 0\n");
}

TEST(Pairing, AddressAndPinForms) {
  const struct {
    const char* text;
    bool address;
  } addresses[] = {{"00:1B:DC:40:00:0A", true}, {"ca:fe:00:00:00:0b", true}, {"001BDC40000A", false},
                   {"00:1B:DC:40:00:0A:", false}, {"00:1B:DC:40:00", false}, {"00;1B:DC:40:00:0A", false},
                   {"0G:1B:DC:40:00:0A", false}};
  for (const auto& a : addresses) {
    DeviceAddress parsed{};
    EXPECT_EQ(parse_colon_address(a.text, parsed), a.address) << a.text;
  }
  DeviceAddress parsed{};
  ASSERT_TRUE(parse_colon_address("ca:fe:00:00:00:0b", parsed));
  EXPECT_EQ(parsed, kCameraB);
  EXPECT_EQ(colon_address_text(kCameraB), "CA:FE:00:00:00:0B");

  const struct {
    const char* pin;
    std::size_t length;  // 0: no PIN
  } pins[] = {{"0000", 4}, {"1", 1}, {"1234567890123456", 16}, {"12345678901234567", 0}, {"", 0},
              {"12 34", 5}, {" 1234", 0}, {"1234 ", 0}, {"12\t34", 0}, {"\x7F", 0}, {"\xC3\xA9t\xC3\xA9", 5}};
  for (const auto& p : pins) {
    PinCode code{};
    EXPECT_EQ(pin_code_from_text(p.pin, code), p.length) << p.pin;
    EXPECT_EQ(pin_problem(p.pin).empty(), p.length > 0) << p.pin;
    EXPECT_EQ(std::string(code.begin(), code.begin() + static_cast<std::ptrdiff_t>(p.length)),
              std::string(p.pin).substr(0, p.length));
  }
}

// The windows' remembered PINs in the settings file: one key a device.
TEST(Pairing, RememberedPinsInTheSettings) {
  WindowSettings settings;
  std::vector<std::string> problems;
  parse_settings("pin.ca:fe:00:00:00:0b = 0000\n"
                 "pin.00:1B:DC:40:00:0A=1234\n"
                 "pin.001BDC40000A=1234\n"
                 "pin.00:1B:DC:40:00:0B=12345678901234567\n",
                 settings, problems);
  EXPECT_EQ(settings.pins,
            (std::map<std::string, std::string>{{"00:1B:DC:40:00:0A", "1234"}, {"CA:FE:00:00:00:0B", "0000"}}));
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0], "line 3: \"001BDC40000A\" is no address AA:BB:CC:DD:EE:FF; ignored");
  EXPECT_EQ(problems[1], "line 4: the PIN is 1 to 16 characters; ignored");
  EXPECT_EQ(format_settings(settings),
            "# Corvanta Controller settings: port (COMn, a device path or tcp:HOST:PORT),\n"
            "# baud (the module's line speed), flow (none or rtscts), and pin.ADDRESS\n"
            "# (a remembered PIN of the device at AA:BB:CC:DD:EE:FF).\n"
            "baud=57600\n"
            "flow=none\n"
            "pin.00:1B:DC:40:00:0A=1234\n"
            "pin.CA:FE:00:00:00:0B=0000\n");
}
}  // namespace
