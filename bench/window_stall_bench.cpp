// The Qt window during paced picture captures (57,600 baud) on the virtual
// module: the longest time its thread goes without handling an event, from
// the Up key until the picture is in (bench/stall_probe.h); then the same
// through a live run of RUNS pictures back to back, each written to a
// record. Built against a version of the window, so that figures of two
// versions sit side by side (scripts/bench-window --before REV); since the
// live run, only versions with live view and the record build.
//   corvanta-window-bench [RUNS]
#include <QApplication>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "sim_window.h"
#include "stall_probe.h"

namespace {
// Sees the window's key-downs: handled once the call that delivers them returns.
struct KeySeen : QObject {
  bool seen = false;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) seen = true;
    return false;
  }
};

// Runs this thread's event loop until `done` holds, looking every 5 ms.
template <typename Done>
void run_until(Done done) {
  QEventLoop loop;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&] {
    if (done()) loop.quit();
  });
  look.start(5);
  loop.exec();
}
}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  if (runs < 1) {
    std::fputs("usage: corvanta-window-bench [RUNS]\n", stderr);
    return 2;
  }
  SimOptions options;  // paced
  options.inquiry_time_scale = 0.02;
  SimWindow session;
  if (!session.connect(options, "corvanta-window-bench")) return 1;
  MainWindow& window = *session.window;

  KeySeen keys;
  window.installEventFilter(&keys);
  QObject on_window_thread;
  std::vector<double> longest;
  std::vector<double> seconds;
  for (int i = 0; i < runs; ++i) {
    keys.seen = false;
    StallProbe probe([&] { QMetaObject::invokeMethod(&on_window_thread, [] {}, Qt::BlockingQueuedConnection); });
    run_until([&] { return probe.answers() >= 3; });  // the probe under way
    const auto started = StallProbe::Clock::now();
    QCoreApplication::postEvent(&window, new QKeyEvent(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier));
    run_until([&] { return keys.seen && !window.worker_running(); });
    seconds.push_back(std::chrono::duration<double>(StallProbe::Clock::now() - started).count());
    probe.stop([] { QCoreApplication::processEvents(); });
    window.wait_for_worker();
    if (static_cast<std::size_t>(session.host.frame_length) != kFrameBufferSize) {
      std::fputs("corvanta-window-bench: a capture failed\n", stderr);
      return 1;
    }
    longest.push_back(probe.longest_ms());
  }
  print_stalls("qt", longest, seconds);

  // Live: Space, RUNS pictures into a record, Space again; the window's
  // longest wait over the whole run.
  QTemporaryDir folder;
  AppShell& shell = window.shell();
  if (!start_record(shell, folder.path().toStdString())) return 1;
  auto recorded = [&shell] {
    std::lock_guard<std::mutex> lock(shell.record_mutex);
    return static_cast<int>(shell.record.next_number) - 1;
  };
  StallProbe probe([&] { QMetaObject::invokeMethod(&on_window_thread, [] {}, Qt::BlockingQueuedConnection); });
  run_until([&] { return probe.answers() >= 3; });
  const auto started = StallProbe::Clock::now();
  keys.seen = false;
  QCoreApplication::postEvent(&window, new QKeyEvent(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier));
  run_until([&] { return recorded() >= runs || (keys.seen && !shell.live.on); });
  QCoreApplication::postEvent(&window, new QKeyEvent(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier));
  run_until([&] { return !shell.live.on && shell.running_operation == 0; });
  const double live_seconds = std::chrono::duration<double>(StallProbe::Clock::now() - started).count();
  probe.stop([] { QCoreApplication::processEvents(); });
  window.wait_for_worker();
  stop_record(shell);
  std::printf("qt live: longest wait for the window thread over %d pictures in %.2f s (each recorded): %.1f ms\n",
              recorded(), live_seconds, probe.longest_ms());
  if (recorded() < runs) {
    std::fputs("corvanta-window-bench: live ended early\n", stderr);
    return 1;
  }
  session.click(kIdDisconnect);
  session.click(kIdClose);
  return 0;
}
