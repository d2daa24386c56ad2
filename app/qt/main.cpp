// corvanta: the controller's window on Linux.
//
//   corvanta          opens the window; Open uses the port chosen in the box
//   corvanta --sim    the same on an embedded virtual module, mapped as COM5
//                     in a private ports directory for this run only
#include <QApplication>
#include <QMessageBox>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host_ops.h"
#include "main_window.h"
#include "port_list.h"
#include "port_switch.h"
#include "posix_serial.h"
#include "private_module.h"
#include "program_options.h"
#include "settings.h"
#include "tcp_serial.h"

#include <unistd.h>

namespace {
const std::string kUsage = std::string(
    "Usage: corvanta [OPTION]...\n"
    "Open the Corvanta Controller window: Open brings up the Bluetooth module on\n"
    "the port chosen in the port box: COMn (<ports>/comn when that exists, else\n"
    "/dev/ttyS<n-1>; <ports> is $CORVANTA_PORTS, else ~/.config/corvanta/ports),\n"
    "an adapter under /dev/serial/by-id, or a port named in the settings. Ctrl+S\n"
    "saves the picture as PNG or BMP; the picture's context menu saves it too and\n"
    "opens the settings. Space turns live view on and off (pictures back to\n"
    "back); Ctrl+plus, Ctrl+minus and Ctrl+0 zoom the picture; the context menu\n"
    "records every picture that comes into a folder.\n"
    "\n") + kLineOptionsUsage + std::string(
    "  --sim          run on a virtual module with one camera, offered as COM5\n"
    "  -h, --help     show this help\n"
    "      --version  show the version\n"
    "\n"
    "Settings (port, baud, flow, zoom, remembered PINs) are read at start from\n"
    "$XDG_CONFIG_HOME/corvanta/corvanta.conf (~/.config/corvanta/corvanta.conf);\n"
    "the options above take their place for this run. Link keys that pairing\n"
    "made are kept in $XDG_STATE_HOME/corvanta/link-keys\n"
    "(~/.local/state/corvanta/link-keys).\n");

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
  // The settings file is read once, here; the options take its place.
  WindowSettings settings;
  std::vector<std::string> problems;
  const std::filesystem::path settings_file = settings_file_path();
  read_settings_file(settings_file, settings, problems);
  std::vector<std::string> args = split_arguments(argc, argv);
  std::string option_error;
  if (!take_line_options(args, settings, option_error)) {
    std::fprintf(stderr, "corvanta: %s\nTry 'corvanta --help' for more information.\n", option_error.c_str());
    return 2;
  }
  bool use_sim = false;
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage.c_str(), stdout);
      return 0;
    } else if (arg == "--version") {
      print_version("corvanta");
      return 0;
    } else if (arg == "--sim") {
      use_sim = true;
    } else if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr, "corvanta: unknown option %s\nTry 'corvanta --help' for more information.\n", arg.c_str());
      return 2;
    }
  }
  for (const std::string& problem : problems) std::fprintf(stderr, "corvanta: %s\n", problem.c_str());
  QApplication app(argc, argv);

  PrivateModule sim;
  if (use_sim) {
    // Paced at the line the settings name.
    SimOptions sim_options;
    sim_options.line = settings.line;
    if (!sim.start(sim_options, kSimPort)) {
      std::fputs("corvanta: the virtual module did not start\n", stderr);
      return 1;
    }
    remove_private_ports_on_signals(sim.ports_directory(), sim.port_entry());
  }

  PosixSerial serial;
  TcpSerial tcp;
  PortSwitch ports(serial, tcp);
  HostState host;
  host_attach(host, ports);
  MainWindow window(host);
  QObject::connect(&window, &MainWindow::main_window_destroyed, &app, &QCoreApplication::quit);
  const std::vector<std::string> items = port_box_items(present_ports(), settings.port);
  window.set_port_box(items, port_box_start_selection(items, settings.port));
  window.shell().line = settings.line;
  window.shell().pins = settings.pins;
  window.set_zoom(settings.zoom, false);
  window.set_settings_file(settings_file);
  window.show();
  window.activateWindow();
  window.setFocus();
  if (!problems.empty()) {
    std::string text;
    for (const std::string& problem : problems) text += problem + "\n";
    QMessageBox::warning(&window, "Settings", QString::fromStdString(text));
  }
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
