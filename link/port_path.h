#pragma once
// Where COMn lives on a POSIX system: <ports>/comn when that entry exists,
// else /dev/ttyS<n-1> (the numbering Wine uses). <ports> is $CORVANTA_PORTS,
// else $XDG_CONFIG_HOME/corvanta/ports, else ~/.config/corvanta/ports.
#include <cstdint>
#include <string>

std::string ports_directory();
std::string posix_port_path(std::uint8_t port_number);
// The path under <ports> that maps COMn, whether or not it exists.
std::string mapped_port_entry(std::uint8_t port_number);
