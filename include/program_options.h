#pragma once
// Command-line conventions every program shares: "--name=value" is the same
// as "--name value", and --version prints one line.
#include <cstdio>
#include <string>
#include <vector>

#ifndef CORVANTA_VERSION
#define CORVANTA_VERSION "0"
#endif

// argv[1..], with each "--name=value" split into "--name" and "value".
inline std::vector<std::string> split_arguments(int argc, char** argv) {
  std::vector<std::string> out;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const auto equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      out.push_back(arg.substr(0, equals));
      out.push_back(arg.substr(equals + 1));
    } else {
      out.push_back(arg);
    }
  }
  return out;
}

inline void print_version(const char* program) {
  std::printf("%s %s\n", program, CORVANTA_VERSION);
}
