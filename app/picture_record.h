#pragma once
// A record of what the camera saw: every picture that arrives, written into
// one folder as a numbered file (0001.png, 0002.png, ...), with
// pictures.csv beside them:
//
//   number,time,file,keys
//   1,2026-12-09T21:14:03.120Z,0001.png,
//   2,2026-12-09T21:14:03.290Z,0002.png,RD
//
// `keys`: the letters sent to the camera since the previous picture, in the
// order they went. Each picture file is written beside its name first and
// renamed over it, so a reader never finds half a picture; the CSV gets its
// line only once the picture is in place. A write that fails (a full disk,
// a folder taken away) ends the record with the reason, and nothing is
// written after it. Toolkit-free: both windows and the driver use it.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "frame_convert.h"

enum class RecordFormat { png, bmp };

struct PictureRecord {
  bool recording = false;
  std::filesystem::path folder;
  RecordFormat format = RecordFormat::png;
  std::uint32_t next_number = 1;  // the next picture's number
  std::string keys;               // letters sent since the previous picture
  std::string error;              // why the record ended ("" while it runs or after a stop)
};

// Starts a record into `folder` (made when missing; a folder that already
// holds a pictures.csv goes on after its last number). False with `error`.
bool record_start(PictureRecord& record, const std::filesystem::path& folder, RecordFormat format,
                  std::string& error);
// A letter that went to the camera; kept for the next picture's line.
void record_key(PictureRecord& record, char letter);
// Writes the picture and its CSV line. False, with the record ended and
// `record.error` saying why, when either could not be written; nothing
// happens while no record runs.
bool record_picture(PictureRecord& record, const Picture& picture, std::chrono::system_clock::time_point when);
// Ends the record (what was written stays).
void record_stop(PictureRecord& record);
// The file name of picture `number` in `format`: "0001.png".
std::string record_file_name(std::uint32_t number, RecordFormat format);
