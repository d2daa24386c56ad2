// corvanta: the controller's window on Linux.
//
//   corvanta          opens the window; Open uses the port mapped as COMn
//   corvanta --sim    the same on an embedded virtual module, mapped as COM5
//                     in a private ports directory for this run only
#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "host_ops.h"
#include "main_window.h"
#include "posix_serial.h"
#include "private_module.h"
#include "program_options.h"

#include <unistd.h>

namespace {
constexpr const char* kUsage =
    "Usage: corvanta [OPTION]...\n"
    "Open the Corvanta Controller window: Open brings up the Bluetooth module on\n"
    "the port chosen as COMn (<ports>/comn when that exists, else /dev/ttyS<n-1>;\n"
    "<ports> is $CORVANTA_PORTS, else ~/.config/corvanta/ports). Ctrl+S saves the\n"
    "picture as PNG or BMP, as does the picture's context menu.\n"
    "\n"
    "  --sim          run on a virtual module with one camera, offered as COM5\n"
    "  -h, --help     show this help\n"
    "      --version  show the version\n";

constexpr std::uint8_t kSimPort = 5;  // the port box's default selection

// Ctrl-C or a kill removes the private ports directory too; only calls that
// are safe in a signal handler are used.
char private_port_entry[4096];
char private_ports_directory[4096];

void remove_private_ports_and_end(int signal_number) {
  ::unlink(private_port_entry);
  ::rmdir(private_ports_directory);
  ::_exit(128 + signal_number);
}

void remove_private_ports_on_signals(const std::string& directory, const std::string& entry) {
  if (directory.size() >= sizeof private_ports_directory || entry.size() >= sizeof private_port_entry) return;
  std::memcpy(private_ports_directory, directory.c_str(), directory.size() + 1);
  std::memcpy(private_port_entry, entry.c_str(), entry.size() + 1);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal_number, remove_private_ports_and_end);
}
}  // namespace

int main(int argc, char** argv) {
  // The command line is read before Qt starts, so that --help, --version and
  // a mistake need no display. Qt's own options (-platform, ...) pass on.
  bool use_sim = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(argv[i], "--version") == 0) {
      print_version("corvanta");
      return 0;
    } else if (std::strcmp(argv[i], "--sim") == 0) {
      use_sim = true;
    } else if (std::strncmp(argv[i], "--", 2) == 0) {
      std::fprintf(stderr, "corvanta: unknown option %s\nTry 'corvanta --help' for more information.\n", argv[i]);
      return 2;
    }
  }
  QApplication app(argc, argv);

  PrivateModule sim;
  if (use_sim) {
    if (!sim.start(SimOptions{}, kSimPort)) {
      std::fputs("corvanta: the virtual module did not start\n", stderr);
      return 1;
    }
    remove_private_ports_on_signals(sim.ports_directory(), sim.port_entry());
  }

  PosixSerial serial;
  HostState host;
  host_attach(host, serial);
  MainWindow window(host);
  QObject::connect(&window, &MainWindow::main_window_destroyed, &app, &QCoreApplication::quit);
  window.show();
  window.activateWindow();
  window.setFocus();
  int exit_code = app.exec();

  // End at once: a worker may still be inside an operation, and nothing is
  // released explicitly (the system frees the port and the pty).
  if (use_sim) {
    std::error_code ignored;
    std::filesystem::remove_all(sim.ports_directory(), ignored);
  }
  std::fflush(nullptr);
  std::_Exit(exit_code);
}
