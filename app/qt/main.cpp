// corvanta: the controller's window on Linux.
//
//   corvanta          opens the window; Open uses the port mapped as COMn
//   corvanta --sim    the same on an embedded virtual module, mapped as COM5
//                     in a private ports directory for this run only
#include <QApplication>
#include <QStringList>

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

#include <unistd.h>

namespace {
constexpr const char* kUsage =
    "usage: corvanta [--sim]\n"
    "  --sim   run on a virtual module with one camera, offered as COM5\n";

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
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  QApplication app(argc, argv);
  bool use_sim = false;
  const QStringList arguments = QCoreApplication::arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == "--sim") {
      use_sim = true;
    } else {
      std::fprintf(stderr, "corvanta: unknown option %s\n%s", arguments[i].toLocal8Bit().constData(), kUsage);
      return 2;
    }
  }

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
