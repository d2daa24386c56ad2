#pragma once
// Runs a shell command for a test and collects what it printed, and checks
// for the external readers (tshark, btmon, ImageMagick) some tests use.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#ifndef _WIN32
#include <sys/wait.h>
#endif

struct CommandRun {
  int exit_status = -1;  // -1 when it could not run or did not exit normally
  std::string output;
};

inline CommandRun run_command(const std::string& command) {
  CommandRun run;
#ifndef _WIN32
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  int status = ::pclose(pipe);
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#else
  (void)command;
#endif
  return run;
}

inline bool tool_present(const std::string& name) {
  return run_command("command -v " + name + " >/dev/null 2>&1").exit_status == 0;
}

// Skips a test whose external reader is missing on a developer's machine;
// in CI, where scripts/test installs it, a missing reader is a failure.
// A Windows build of the tests cannot start the Linux readers: the Linux
// build runs those checks.
#ifdef _WIN32
#define REQUIRE_TOOL(name) GTEST_SKIP() << name << " runs only beside the Linux build"
#else
#define REQUIRE_TOOL(name)                                                         \
  do {                                                                             \
    if (!tool_present(name)) {                                                     \
      if (std::getenv("CI") != nullptr) FAIL() << name << " is not installed";    \
      GTEST_SKIP() << name << " is not installed";                                 \
    }                                                                              \
  } while (false)
#endif
