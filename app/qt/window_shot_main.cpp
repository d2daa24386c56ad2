// corvanta-window-shot: opens the window on an embedded virtual module,
// walks Open -> Inquiry -> select -> Connect -> Up, and saves what the
// display shows of the window as a PNG, so a person can look at it.
// scripts/screenshot runs it under Xvfb.
#include <QApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QThread>

#include <cstdio>

#include "host_ops.h"
#include "main_window.h"
#include "posix_serial.h"
#include "private_module.h"

namespace {
void click(MainWindow& window, int id) {
  window.button(id)->click();
  window.wait_for_worker();
}

void key(MainWindow& window, Qt::Key k) {
  QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
  QCoreApplication::sendEvent(&window, &press);
}
}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QStringList arguments = QCoreApplication::arguments();
  const QString output = arguments.size() > 1 ? arguments[1] : QString("corvanta-window.png");

  SimOptions options;
  options.paced = false;
  options.inquiry_time_scale = 0.1;
  PrivateModule sim;
  if (!sim.start(options, 5)) {
    std::fputs("corvanta-window-shot: the virtual module did not start\n", stderr);
    return 1;
  }

  PosixSerial serial;
  HostState host;
  host_attach(host, serial);
  MainWindow window(host);
  window.show();
  window.activateWindow();
  for (int i = 0; i < 50 && !window.isActiveWindow(); ++i) {
    QCoreApplication::processEvents();
    QThread::msleep(10);
  }

  click(window, kIdOpen);
  click(window, kIdInquiry);
  window.device_list()->setCurrentRow(0);
  click(window, kIdConnect);
  key(window, Qt::Key_Up);  // the picture, on the worker
  window.wait_for_worker();
  QCoreApplication::processEvents();

  // What the display itself shows, not a rendering of ours.
  QPixmap shot = window.screen()->grabWindow(window.winId());
  if (shot.isNull() || !shot.save(output, "PNG")) {
    std::fprintf(stderr, "corvanta-window-shot: cannot write %s\n", qPrintable(output));
    return 1;
  }
  std::printf("%s: %dx%d, link %s, %d picture bytes\n", qPrintable(output), shot.width(), shot.height(),
              host.link_connected != 0 ? "up" : "down", static_cast<int>(host.frame_length));
  host.cancel_requested = true;
  window.wait_for_worker();
  return host.link_connected != 0 && static_cast<std::size_t>(host.frame_length) == kFrameBufferSize ? 0 : 1;
}
