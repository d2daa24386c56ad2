#pragma once
// Where COMn lives on a POSIX system: <ports>/comn when that entry exists
// (a link to an unplugged adapter included), else /dev/ttyS<n-1> (the
// numbering Wine uses). <ports> is $CORVANTA_PORTS, else
// $XDG_CONFIG_HOME/corvanta/ports, else ~/.config/corvanta/ports.
#include <cstdint>
#include <string>

std::string ports_directory();
std::string posix_port_path(std::uint8_t port_number);
// The path under <ports> that maps COMn, whether or not it exists.
std::string mapped_port_entry(std::uint8_t port_number);

// Why the last port open failed, as the OS said it: the path tried and the
// errno of the step that refused it. error 0 when the last open succeeded.
enum class PortOpenStep : std::uint8_t { open, lock, configure, flush };
struct PortOpenError {
  std::string path;
  PortOpenStep step = PortOpenStep::open;
  int error = 0;
};

// One line for the user: which path, why, and what to do about the common
// causes (an unplugged adapter, the dialout group, another program).
std::string port_open_error_text(const PortOpenError& failure);
