#pragma once
// The ports present on this machine, by the names a user gives them
// (port_name.h), in the order a port box lists them:
//  - Windows: the system's list of serial ports (the values under
//    HKLM\HARDWARE\DEVICEMAP\SERIALCOMM), COMn by number;
//  - POSIX: the COMn entries of the ports directory (port_path.h) by
//    number, then the adapters under /dev/serial/by-id by name, as paths.
#include <string>
#include <vector>

inline constexpr const char* kAdaptersDirectory = "/dev/serial/by-id";

std::vector<std::string> present_ports(const std::string& adapters_directory = kAdaptersDirectory);
