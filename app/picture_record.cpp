#include "picture_record.h"

#include <cstdio>
#include <fstream>
#include <system_error>

#include "bmp_file.h"
#include "png_file.h"
#include "settings.h"

namespace {
constexpr const char* kCsvName = "pictures.csv";
constexpr const char* kCsvHeader = "number,time,file,keys\n";

// "2026-12-09T21:14:03.120Z": UTC, milliseconds.
std::string iso_time(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(when);
  const auto day = floor<days>(ms);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{ms - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
  return text;
}

// The number at the start of the CSV's last line; 0 when it has only its
// header. A last line cut before its first comma (a power loss while it
// was appended) is passed over for the one before. False when the text is
// not a record's CSV.
bool last_number(const std::string& csv, std::uint32_t& number) {
  if (csv.rfind(kCsvHeader, 0) != 0) return false;
  const std::size_t header_end = std::char_traits<char>::length(kCsvHeader);
  std::size_t end = csv.size();
  for (bool cut_allowed = csv.back() != '\n';; cut_allowed = false) {
    while (end > header_end && (csv[end - 1] == '\n' || csv[end - 1] == '\r')) --end;
    if (end <= header_end) {
      number = 0;
      return true;
    }
    const std::size_t start = csv.rfind('\n', end - 1) + 1;
    std::uint32_t value = 0;
    std::size_t at = start;
    for (; at < end && csv[at] >= '0' && csv[at] <= '9' && value < 100000000; ++at)
      value = value * 10 + (csv[at] - '0');
    if (at != start && at != end && csv[at] == ',') {
      number = value;
      return true;
    }
    if (!cut_allowed) return false;
    end = start;
  }
}

bool end_record(PictureRecord& record, std::string reason) {
  record.recording = false;
  record.error = std::move(reason);
  return false;
}
}  // namespace

std::string record_file_name(std::uint32_t number, RecordFormat format) {
  char name[24];
  std::snprintf(name, sizeof name, "%04u.%s", static_cast<unsigned>(number), format == RecordFormat::png ? "png" : "bmp");
  return name;
}

bool record_start(PictureRecord& record, const std::filesystem::path& folder, RecordFormat format,
                  std::string& error) {
  std::error_code made;
  std::filesystem::create_directories(folder, made);
  if (made || !std::filesystem::is_directory(folder)) {
    error = "cannot create " + path_text(folder) + ": " +
            (made ? made.message() : std::string("a file of that name is in the way"));
    return false;
  }
  const std::filesystem::path csv_path = folder / kCsvName;
  std::string csv;
  std::uint32_t last = 0;
  switch (read_whole_file(csv_path, csv)) {
    case FileRead::missing:
      if (!write_file_atomically(csv_path, kCsvHeader, error)) return false;
      break;
    case FileRead::unreadable:
      error = "cannot read " + path_text(csv_path);
      return false;
    case FileRead::read:
      if (!last_number(csv, last)) {
        error = path_text(csv_path) + " is not a picture record's list (it must begin \"number,time,file,keys\")";
        return false;
      }
      // A cut last line is closed, so that the next line starts a line.
      if (csv.back() != '\n' && !write_file_atomically(csv_path, csv + "\n", error)) return false;
      break;
  }
  record = PictureRecord{};
  record.recording = true;
  record.folder = folder;
  record.format = format;
  record.next_number = last + 1;
  // A picture already there (its line lost, or put there by hand) is never
  // written over.
  while (std::filesystem::exists(folder / record_file_name(record.next_number, format), made))
    ++record.next_number;
  return true;
}

void record_key(PictureRecord& record, char letter) {
  if (record.recording) record.keys.push_back(letter);
}

bool record_picture(PictureRecord& record, const Picture& picture, std::chrono::system_clock::time_point when) {
  if (!record.recording) return false;
  const std::string name = record_file_name(record.next_number, record.format);
  const std::vector<std::uint8_t> bytes = record.format == RecordFormat::png ? png_bytes(picture) : bmp_bytes(picture);
  std::string error;
  if (!write_file_atomically(record.folder / name, std::string(bytes.begin(), bytes.end()), error))
    return end_record(record, std::move(error));
  // The list grows by one line a picture, appended in one write: rewriting
  // it whole would cost a long record more each picture. A line cut by a
  // power loss is passed over when a record goes on (last_number).
  const std::filesystem::path csv_path = record.folder / kCsvName;
  std::ofstream csv(csv_path, std::ios::binary | std::ios::app);
  csv << record.next_number << ',' << iso_time(when) << ',' << name << ',' << record.keys << '\n';
  csv.flush();
  if (!csv) return end_record(record, "cannot write " + path_text(csv_path));
  ++record.next_number;
  record.keys.clear();
  return true;
}

void record_stop(PictureRecord& record) {
  record.recording = false;
  record.keys.clear();
}
