#pragma once
// The window on a virtual module of its own (offered as COM5 for this
// process only), walked through Open, Inquiry, the first camera and
// Connect: for the programs that show it or time it (corvanta-window-shot,
// corvanta-window-bench).
#include <QCoreApplication>
#include <QListWidget>
#include <QPushButton>
#include <QThread>

#include <cstdio>
#include <memory>

#include "host_ops.h"
#include "main_window.h"
#include "posix_serial.h"
#include "private_module.h"

struct SimWindow {
  PrivateModule sim;
  PosixSerial serial;
  HostState host;
  std::unique_ptr<MainWindow> window;

  // False, said on standard error after `program`, when the module does not
  // start or no channel to the camera opens.
  bool connect(const SimOptions& options, const char* program) {
    if (!sim.start(options, 5)) {
      std::fprintf(stderr, "%s: the virtual module did not start\n", program);
      return false;
    }
    host_attach(host, serial);
    window = std::make_unique<MainWindow>(host);
    window->show();
    window->activateWindow();
    for (int i = 0; i < 50 && !window->isActiveWindow(); ++i) {
      QCoreApplication::processEvents();
      QThread::msleep(10);
    }
    click(kIdOpen);
    click(kIdInquiry);
    window->device_list()->setCurrentRow(0);
    click(kIdConnect);
    if (host.channel_state == kChannelOpen) return true;
    std::fprintf(stderr, "%s: no channel to the camera\n", program);
    return false;
  }
  void click(int id) {
    window->button(id)->click();
    window->wait_for_worker();
  }
};
