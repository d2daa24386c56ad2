// corvanta-window-shot: opens the window on an embedded virtual module,
// walks Open -> Inquiry -> select -> Connect -> Up, and saves what the
// display shows of the window as a PNG, so a person can look at it.
// scripts/screenshot and scripts/screencast run it under Xvfb.
//
//   corvanta-window-shot [OUTPUT.png]              after the picture
//   corvanta-window-shot --mid-capture OUTPUT.png  halfway through a paced picture
//   corvanta-window-shot --frames DIR              every 100 ms of a paced picture,
//                                                  DIR/frame-NNN.png
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>

#include "sim_window.h"

namespace {
void key(MainWindow& window, Qt::Key k) {
  QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
  QCoreApplication::sendEvent(&window, &press);
}

// What the display itself shows, not a rendering of ours.
bool shoot(MainWindow& window, const QString& output) {
  QPixmap shot = window.screen()->grabWindow(window.winId());
  if (!shot.isNull() && shot.save(output, "PNG")) return true;
  std::fprintf(stderr, "corvanta-window-shot: cannot write %s\n", qPrintable(output));
  return false;
}

// Runs the event loop for `ms` milliseconds.
void wait(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}
}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QStringList arguments = QCoreApplication::arguments();
  arguments.removeFirst();
  const bool mid_capture = arguments.removeAll("--mid-capture") > 0;
  QString frames;
  const qsizetype frames_at = arguments.indexOf("--frames");
  if (frames_at >= 0 && frames_at + 1 < arguments.size()) {
    frames = arguments[frames_at + 1];
    arguments.remove(frames_at, 2);
  }
  const QString output = arguments.isEmpty() ? QString("corvanta-window.png") : arguments[0];

  SimOptions options;
  // At the line's own pace when the picture is to be seen arriving.
  options.paced = mid_capture || !frames.isEmpty();
  options.inquiry_time_scale = 0.1;
  SimWindow session;
  if (!session.connect(options, "corvanta-window-shot")) return 1;
  MainWindow& window = *session.window;

  int shots = 0;
  QTimer every;
  if (!frames.isEmpty()) {
    QDir().mkpath(frames);
    QObject::connect(&every, &QTimer::timeout, [&] {
      shoot(window, QString("%1/frame-%2.png").arg(frames).arg(shots++, 3, 10, QChar('0')));
    });
    every.start(100);
    wait(300);  // the previous picture, before the key
  }
  key(window, Qt::Key_Up);  // the picture, on the worker
  if (mid_capture) {
    wait(1250);  // half the picture's line time
    if (!shoot(window, output)) return 1;
  }
  window.wait_for_worker();
  QCoreApplication::processEvents();
  if (!frames.isEmpty()) {
    wait(500);  // the whole picture, held
    every.stop();
  } else if (!mid_capture && !shoot(window, output)) {
    return 1;
  }
  std::printf("%s: link %s, %d picture bytes\n", frames.isEmpty() ? qPrintable(output) : qPrintable(frames),
              session.host.link_connected != 0 ? "up" : "down", static_cast<int>(session.host.frame_length));
  if (shots > 0) std::printf("%d frames, one every 100 ms\n", shots);
  session.host.cancel_requested = true;
  window.wait_for_worker();
  return session.host.link_connected != 0 && static_cast<std::size_t>(session.host.frame_length) == kFrameBufferSize
             ? 0
             : 1;
}
