// The picture record: file names, the CSV's lines and times, a folder that
// goes on after its last number, and a write that fails.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "bmp_file.h"
#include "picture_record.h"

namespace {
namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::system_clock;

fs::path scratch_folder() {
  std::random_device random;
  return fs::path(::testing::TempDir()) / ("corvanta-record-" + std::to_string(random())) / "pictures";
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Seconds since 1970 (UTC) with milliseconds.
system_clock::time_point at_ms(long long ms) { return system_clock::time_point(milliseconds(ms)); }

TEST(PictureRecord, FileNames) {
  EXPECT_EQ(record_file_name(1, RecordFormat::png), "0001.png");
  EXPECT_EQ(record_file_name(42, RecordFormat::bmp), "0042.bmp");
  EXPECT_EQ(record_file_name(9999, RecordFormat::png), "9999.png");
  EXPECT_EQ(record_file_name(12345, RecordFormat::bmp), "12345.bmp");
}

// Each picture's line: its number, the time in UTC to the millisecond, its
// file, and the letters sent since the picture before.
TEST(PictureRecord, LinesOfTheList) {
  const fs::path folder = scratch_folder();
  PictureRecord record;
  std::string error;
  ASSERT_TRUE(record_start(record, folder, RecordFormat::bmp, error)) << error;
  EXPECT_EQ(contents(folder / "pictures.csv"), "number,time,file,keys\n");
  const struct {
    long long ms;  // since 1970
    const char* keys;
  } pictures[] = {
      {0, ""},                // 1970-01-01T00:00:00.000Z
      {951868799999, "L"},    // 2000-02-29T23:59:59.999Z, a leap day
      {1700000000500, "RDH"}, // 2023-11-14T22:13:20.500Z
  };
  Picture picture;
  for (const auto& p : pictures) {
    for (const char* key = p.keys; *key != '\0'; ++key) record_key(record, *key);
    picture.pixels[0] = static_cast<std::uint8_t>(p.ms);
    ASSERT_TRUE(record_picture(record, picture, at_ms(p.ms))) << record.error;
  }
  EXPECT_EQ(contents(folder / "pictures.csv"),
            "number,time,file,keys\n"
            "1,1970-01-01T00:00:00.000Z,0001.bmp,\n"
            "2,2000-02-29T23:59:59.999Z,0002.bmp,L\n"
            "3,2023-11-14T22:13:20.500Z,0003.bmp,RDH\n");
  const std::vector<std::uint8_t> last = bmp_bytes(picture);
  EXPECT_EQ(contents(folder / "0003.bmp"), std::string(last.begin(), last.end()));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 4) << "three pictures and the list, no temporary";
  record_stop(record);
  EXPECT_FALSE(record_picture(record, picture, at_ms(0)));  // nothing happens after a stop
  EXPECT_FALSE(fs::exists(folder / "0004.bmp"));
  fs::remove_all(folder.parent_path());
}

// A folder that holds a list goes on after its last number; one whose list
// is no record's is refused, and so is a folder that a file is in the way of.
TEST(PictureRecord, AFolderGoesOnAfterItsLastNumber) {
  const struct {
    const char* csv;
    bool starts;
    std::uint32_t next;
  } cases[] = {
      {"number,time,file,keys\n", true, 1},
      {"number,time,file,keys\n1,2026-12-09T21:14:03.120Z,0001.png,\n7,2026-12-09T21:14:04.120Z,0007.png,KM\n", true, 8},
      {"number,time,file,keys\n12,2026-12-09T21:14:03.120Z,0012.png,L", true, 13},  // no newline at the end
      {"number,time,file,keys\n5,2026-12-09T21:14:03.120Z,0005.png,\n6", true, 6},   // cut before its comma
      {"a,b\n1,x,0001.png,\n", false, 0},
      {"number,time,file,keys\nseven,x,0007.png,\n", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.csv);
    const fs::path folder = scratch_folder();
    fs::create_directories(folder);
    std::ofstream(folder / "pictures.csv", std::ios::binary) << c.csv;
    PictureRecord record;
    std::string error;
    EXPECT_EQ(record_start(record, folder, RecordFormat::png, error), c.starts) << error;
    if (c.starts) {
      EXPECT_EQ(record.next_number, c.next);
      ASSERT_TRUE(record_picture(record, Picture{}, at_ms(1000))) << record.error;
      const std::string csv = contents(folder / "pictures.csv");
      const std::string line = std::to_string(c.next) + ",1970-01-01T00:00:01.000Z," +
                               record_file_name(c.next, RecordFormat::png) + ",\n";
      EXPECT_EQ(csv.substr(csv.size() - line.size()), line);
      EXPECT_TRUE(fs::exists(folder / record_file_name(c.next, RecordFormat::png)));
    } else {
      EXPECT_NE(error.find("pictures.csv"), std::string::npos) << error;
      EXPECT_EQ(contents(folder / "pictures.csv"), c.csv);
    }
    fs::remove_all(folder.parent_path());
  }
  {  // a picture whose line was lost is not written over
    const fs::path folder = scratch_folder();
    fs::create_directories(folder);
    std::ofstream(folder / "pictures.csv", std::ios::binary) << "number,time,file,keys\n";
    std::ofstream(folder / "0001.png") << "kept";
    PictureRecord record;
    std::string error;
    ASSERT_TRUE(record_start(record, folder, RecordFormat::png, error)) << error;
    EXPECT_EQ(record.next_number, 2u);
    fs::remove_all(folder.parent_path());
  }
  const fs::path blocked = scratch_folder();
  fs::create_directories(blocked.parent_path());
  std::ofstream(blocked) << "a file, not a folder";
  PictureRecord record;
  std::string error;
  EXPECT_FALSE(record_start(record, blocked / "inner", RecordFormat::png, error));
  EXPECT_FALSE(error.empty());
  fs::remove_all(blocked.parent_path());
}

// The folder replaced by a file while the record runs (root or not, nothing
// can be written under a file): the record ends with the reason, the list
// keeps its lines, and nothing is written after.
TEST(PictureRecord, AFailedWriteEndsTheRecord) {
  const fs::path folder = scratch_folder();
  PictureRecord record;
  std::string error;
  ASSERT_TRUE(record_start(record, folder, RecordFormat::png, error)) << error;
  ASSERT_TRUE(record_picture(record, Picture{}, at_ms(0))) << record.error;
  const fs::path kept = folder.parent_path() / "kept";
  fs::rename(folder, kept);
  std::ofstream(folder) << "in the way";
  record_key(record, 'L');
  EXPECT_FALSE(record_picture(record, Picture{}, at_ms(1)));
  EXPECT_FALSE(record.recording);
  EXPECT_EQ(record.error.rfind("cannot write ", 0), 0u) << record.error;
  EXPECT_NE(record.error.find("0002.png"), std::string::npos) << record.error;
  fs::remove(folder);
  fs::rename(kept, folder);
  EXPECT_FALSE(record_picture(record, Picture{}, at_ms(2)));
  EXPECT_FALSE(fs::exists(folder / "0002.png"));
  EXPECT_EQ(contents(folder / "pictures.csv"), "number,time,file,keys\n1,1970-01-01T00:00:00.000Z,0001.png,\n");
  fs::remove_all(folder.parent_path());
}
}  // namespace
