#pragma once
// What both windows keep between runs: the port and its line, and the PINs
// the user asked them to remember. One file of "key=value" lines, the same
// format on both systems:
//
//   # Corvanta Controller settings
//   port=COM5              COMn, a device path, or tcp:HOST:PORT
//   baud=115200            a rate the line takes (line_settings.h)
//   flow=rtscts            none or rtscts
//   pin.00:1B:DC:40:00:0A=0000   the PIN of the device at that address
//   zoom=2                 the picture's zoom, 1 to 6
//
// Blank lines and lines that begin with '#' are comments; white space
// around keys and values is ignored; a key given twice keeps its last
// value. A line that is none of these is reported with its number and
// ignored. The file lives at $XDG_CONFIG_HOME/corvanta/corvanta.conf
// (~/.config/corvanta/corvanta.conf) on Linux and at
// %APPDATA%\Corvanta\corvanta.ini on Windows; it is read once at start and
// written whole, through a temporary file renamed over it. Toolkit-free:
// both windows use it.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "line_settings.h"

struct WindowSettings {
  std::string port;  // as a port box item ("" : the box's default, COM5)
  LineSettings line;
  // Remembered PINs by address, "AA:BB:CC:DD:EE:FF" in upper case.
  std::map<std::string, std::string> pins;
  int zoom = 1;  // kMinZoom..kMaxZoom (window_layout.h)
};

// Reads the text of a settings file into `settings`; each line that is
// malformed adds "line N: why" to `problems` and changes nothing.
void parse_settings(const std::string& text, WindowSettings& settings, std::vector<std::string>& problems);
// The file's text for `settings`, comments included.
std::string format_settings(const WindowSettings& settings);

// settings_posix.cpp, settings_win32.cpp: where the file lives; and a whole
// file (any bytes) written beside the target first, then moved over it in
// one step, so that a reader finds the old file or the new one, never part.
// `owner_only`: readable by its owner alone (mode 0600 on POSIX; on Windows
// the folder's own access rules apply).
std::filesystem::path settings_file_path();
bool write_file_atomically(const std::filesystem::path& path, const std::string& bytes, std::string& error,
                           bool owner_only = false);
// A path in UTF-8, for messages.
std::string path_text(const std::filesystem::path& path);

// A whole file's bytes into `text`: missing is no file at all, unreadable
// one that is there and cannot be read.
enum class FileRead { read, missing, unreadable };
FileRead read_whole_file(const std::filesystem::path& path, std::string& text);
// Makes the file's directory when missing; false with `error` saying why.
bool make_parent_directory(const std::filesystem::path& path, std::string& error);

// The file at `path`, when there is one (a missing file is no problem):
// problems are named after the file.
void read_settings_file(const std::filesystem::path& path, WindowSettings& settings,
                        std::vector<std::string>& problems);
// Writes `settings` to `path`, making its directory when missing; false
// with `error` saying why.
bool write_settings_file(const std::filesystem::path& path, const WindowSettings& settings, std::string& error);

// The options both windows take, over the settings read at start: --port
// PORT, --baud RATE, --flow none|rtscts ("--opt=value" split before). They
// are taken out of `args`; the rest stays. False with `error` for a value
// that is no port, rate or flow control.
bool take_line_options(std::vector<std::string>& args, WindowSettings& settings, std::string& error);
// The usage lines of those options.
extern const char* const kLineOptionsUsage;
