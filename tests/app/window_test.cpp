// The Linux window end to end: real clicks and keys on the widgets, the
// worker on its own thread, the POSIX serial backend on a pseudo-terminal,
// and the virtual module with two cameras behind it.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QImageReader>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "about_box.h"
#include "host_ops.h"
#include "link_keys.h"
#include "main_window.h"
#include "pin_asked.h"
#include "picture_image.h"
#include "posix_serial.h"
#include "settings_dialog.h"
#include "virtual_module.h"
#include "window_icons.h"

namespace {

const DeviceAddress kCameraA = {0x00, 0x1B, 0xDC, 0x40, 0x00, 0x0A};  // display order
const DeviceAddress kCameraB = {0xCA, 0xFE, 0x00, 0x00, 0x00, 0x0B};

// The POSIX backend, with every byte the host writes recorded.
struct RecordingSerial final : SerialBackend {
  PosixSerial port;
  std::mutex mutex;
  std::vector<std::uint8_t> written;

  RecordingSerial() { port.settle = std::chrono::milliseconds(0); }
  Status open_port(const PortName& n, const LineSettings& line, PortHandle& h) override {
    return port.open_port(n, line, h);
  }
  void close_port(PortHandle& h) override { port.close_port(h); }
  Status write_byte(const PortHandle& h, std::uint8_t byte, Deadline d) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      written.push_back(byte);
    }
    return port.write_byte(h, byte, d);
  }
  ReadEnd read_byte(const PortHandle& h, std::uint8_t& out, Deadline d, const std::atomic<bool>& c) override {
    return port.read_byte(h, out, d, c);
  }
  std::vector<std::uint8_t> take_written() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::uint8_t> out;
    out.swap(written);
    return out;
  }
};

// What a modal box showed before it was closed.
struct SeenBox {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  bool about_box_open = false;
  QString details;  // behind "Show Details..."
};

bool about_box_visible() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (qobject_cast<AboutBox*>(w) != nullptr && w->isVisible()) return true;
  return false;
}

// Modal boxes block the call that opens them, so a watcher armed before the
// click handles each new one: message boxes are recorded and answered with
// OK (a question with Yes); anything else goes to `other`.
class ModalWatcher {
 public:
  std::vector<SeenBox> seen;
  std::function<void(QWidget*)> other;

  ModalWatcher() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start(10);
  }

 private:
  void poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    for (const QPointer<QWidget>& done : handled_)
      if (done == modal) return;
    handled_.emplace_back(modal);
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      seen.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons(), about_box_visible(),
                      box->detailedText()});
      QAbstractButton* answer = box->button(QMessageBox::Ok);
      (answer != nullptr ? answer : box->button(QMessageBox::Yes))->click();
    } else if (other) {
      other(modal);
    }
  }
  QTimer timer_;
  std::vector<QPointer<QWidget>> handled_;
};

QRgb rgb(QRgb pixel) { return pixel & 0xFFFFFFu; }

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void init();
  void cleanup();

  void layoutAtStart();
  void ordinaryPath();
  void keyTableWireBytes();
  void uKeySendsUWithoutCapture();
  void liveWhileAPictureComes();
  void openFailureBox();
  void inquiryWarningBox();
  void connectFailureBox();
  void disconnectFailureBox();
  void settingsDialogSetsTheNextOpen();
  void aboutBoxOpensAndCloses();
  void reportIsHandledWhileAboutBoxIsOpen();
  void exitDuringARunningOperation();
  void savesThePictureAsPngOrBmp();
  void pinDialogAsksAndRemembers();
  void exitWhileThePinIsAsked();
  void pairsWithACameraThenConnectsWithTheKey();
  void forgetTheSelectedDevicesKey();
  void zoomSizesTheWindowAndThePicture();
  void liveRecordsPicturesAndKeysUntilDisconnect();

 private:
  void start(SimOptions options = default_options());
  static SimOptions default_options();
  void click(int id);
  void select_line(int row);
  void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
  QString enabled_buttons() const;
  QImage picture_on_screen() const;
  void open_inquire_connect();

  std::unique_ptr<QTemporaryDir> ports_;
  std::unique_ptr<VirtualModule> module_;
  std::unique_ptr<RecordingSerial> serial_;
  std::unique_ptr<HostState> host_;
  std::unique_ptr<MainWindow> window_;
};

SimOptions WindowTest::default_options() {
  SimOptions options;
  options.cameras = {kCameraA, kCameraB};
  options.paced = false;
  options.inquiry_time_scale = 0.05;
  options.page_timeout_scale = 0.05;
  return options;
}

void WindowTest::init() {}

void WindowTest::start(SimOptions options) {
  ports_ = std::make_unique<QTemporaryDir>();
  QVERIFY(ports_->isValid());
  qputenv("CORVANTA_PORTS", ports_->path().toLocal8Bit());
  module_ = std::make_unique<VirtualModule>(options);
  QVERIFY(module_->start());
  QVERIFY(module_->publish_as(5));
  serial_ = std::make_unique<RecordingSerial>();
  host_ = std::make_unique<HostState>();
  host_attach(*host_, *serial_);
  window_ = std::make_unique<MainWindow>(*host_);
  window_->show();
  QVERIFY(QTest::qWaitForWindowActive(window_.get()));
}

void WindowTest::cleanup() {
  if (window_) {
    host_->cancel_requested = true;  // a test that failed midway leaves no worker behind
    window_->wait_for_worker();
  }
  window_.reset();
  host_.reset();
  serial_.reset();
  if (module_) module_->stop();
  module_.reset();
  ports_.reset();
}

// Clicks a button and waits until its operation has been reported.
void WindowTest::click(int id) {
  QPushButton* button = window_->button(id);
  QVERIFY(button != nullptr);
  QTest::mouseClick(button, Qt::LeftButton);
  window_->wait_for_worker();
}

void WindowTest::select_line(int row) {
  QListWidget* list = window_->device_list();
  QVERIFY(row < list->count());
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
}

// A key goes where the keyboard is; a command it starts is waited for.
void WindowTest::press(int key, Qt::KeyboardModifiers modifiers) {
  QWidget* target = QApplication::focusWidget();
  QVERIFY(target != nullptr);
  QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
  window_->wait_for_worker();
}

QString WindowTest::enabled_buttons() const {
  QStringList on;
  for (int id : {kIdOpen, kIdInquiry, kIdConnect, kIdDisconnect, kIdClose})
    if (window_->button(id)->isEnabled()) on << window_->button(id)->text();
  return on.join(' ');
}

QImage WindowTest::picture_on_screen() const {
  return window_->grab(QRect(10, 110, 96, 72)).toImage().convertToFormat(QImage::Format_RGB32);
}

void WindowTest::open_inquire_connect() {
  click(kIdOpen);
  click(kIdInquiry);
  select_line(1);
  click(kIdConnect);
  QCOMPARE(enabled_buttons(), QString("Disconnect Close"));
}

// ---------------------------------------------------------------------------

void WindowTest::layoutAtStart() {
  start();
  QCOMPARE(window_->windowTitle(), QString("Corvanta Controller"));
  // Client area of a 230 x 220 window in the classic look: 3 px frame, 19 px caption.
  QCOMPARE(window_->size(), QSize(224, 195));
  QCOMPARE(window_->minimumSize(), window_->maximumSize());
  Qt::WindowFlags flags = window_->windowFlags();
  QVERIFY(flags & Qt::WindowMinimizeButtonHint);
  QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
  QVERIFY(!window_->windowIcon().isNull());
  struct IconImage {
    int id;
    int size;
  } icons[] = {{107, 32}, {107, 16}, {107, 48}, {107, 256}, {108, 16}};
  for (const IconImage& icon : icons) {
    QPixmap image = icon_pixmap(icon.id, icon.size);
    QCOMPARE(image.size(), QSize(icon.size, icon.size));
  }
  QVERIFY(icon_pixmap(108, 32).isNull());

  struct Place {
    int id;
    QString text;
    QRect rect;
  };
  const Place places[] = {
      {kIdOpen, "Open", {120, 10, 90, 25}},        {kIdInquiry, "Inquiry", {120, 40, 90, 25}},
      {kIdConnect, "Connect", {120, 70, 90, 25}},  {kIdDisconnect, "Disconnect", {120, 100, 90, 25}},
      {kIdClose, "Close", {120, 130, 90, 25}},     {kIdExit, "Exit", {120, 160, 90, 25}},
  };
  for (const Place& p : places) {
    QPushButton* b = window_->button(p.id);
    QVERIFY(b != nullptr);
    QCOMPARE(b->text(), p.text);
    QCOMPARE(b->geometry(), p.rect);
  }
  QCOMPARE(window_->port_box()->pos(), QPoint(10, 10));
  QCOMPARE(window_->port_box()->width(), 70);
  QCOMPARE(window_->device_list()->geometry(), QRect(10, 40, 100, 65));

  QStringList ports;
  for (int i = 0; i < window_->port_box()->count(); ++i) ports << window_->port_box()->itemText(i);
  QCOMPARE(ports, QStringList({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}));
  QCOMPARE(window_->port_box()->currentText(), QString("COM5"));
  QCOMPARE(window_->device_list()->count(), 0);
  QCOMPARE(enabled_buttons(), QString("Open"));
  QVERIFY(window_->button(kIdExit)->isEnabled());

  // Every pixel of the picture starts as the conversion of an empty frame.
  QImage picture = picture_on_screen();
  for (int y = 0; y < 72; ++y)
    for (int x = 0; x < 96; ++x) QCOMPARE(rgb(picture.pixel(x, y)), qRgb(0, 139, 0) & 0xFFFFFFu);

  // The keyboard is the main window's: arrows do not move the port box.
  QCOMPARE(QApplication::focusWidget(), window_.get());
  for (int key : {Qt::Key_Up, Qt::Key_Up, Qt::Key_Down, Qt::Key_Tab, Qt::Key_Up}) press(key);
  QCOMPARE(window_->port_box()->currentText(), QString("COM5"));
  QCOMPARE(QApplication::focusWidget(), window_.get());
  QVERIFY(serial_->take_written().empty());  // no port, no channel: the keys send nothing
}

void WindowTest::ordinaryPath() {
  start();
  click(kIdOpen);
  QCOMPARE(enabled_buttons(), QString("Inquiry Close"));
  QCOMPARE(window_->cursor().shape(), Qt::ArrowCursor);  // the busy cursor is gone with the report
  std::vector<std::uint16_t> opcodes;
  for (const ReceivedCommand& c : module_->commands_received()) opcodes.push_back(c.opcode);
  QCOMPARE(opcodes, (std::vector<std::uint16_t>{0x0C03, 0x1009, 0x0C13, 0x0C1A}));

  click(kIdInquiry);
  QCOMPARE(enabled_buttons(), QString("Inquiry Close"));
  QListWidget* list = window_->device_list();
  QCOMPARE(list->count(), 2);
  QCOMPARE(list->item(0)->text(), QString("001BDC40000A"));
  QCOMPARE(list->item(1)->text(), QString("CAFE0000000B"));

  select_line(1);
  QCOMPARE(enabled_buttons(), QString("Inquiry Connect Close"));

  click(kIdConnect);
  QCOMPARE(enabled_buttons(), QString("Disconnect Close"));
  QCOMPARE(QApplication::focusWidget(), window_.get());
  QCOMPARE(host_->link_connected, std::uint8_t{1});
  QCOMPARE(host_->channel_state, kChannelOpen);
  // Another line clicked while the link is up: Connect stays off, and the
  // keyboard stays with the window, where the arrows steer.
  select_line(0);
  QCOMPARE(enabled_buttons(), QString("Disconnect Close"));
  QCOMPARE(QApplication::focusWidget(), window_.get());

  // A steering key, then the picture.
  press(Qt::Key_Right);
  QImage before = picture_on_screen();
  QCOMPARE(rgb(before.pixel(0, 0)), qRgb(0, 139, 0) & 0xFFFFFFu);
  press(Qt::Key_Up);
  QCOMPARE(static_cast<std::size_t>(host_->frame_length), kFrameBufferSize);
  Picture expected;
  const std::array<std::uint8_t, kFrameBufferSize> view = module_->camera_view(1);
  convert_frame(view.data(), expected.pixels.data(), kPictureWidth, kPictureHeight);
  QImage shown = picture_on_screen();
  int differing = 0;
  for (int y = 0; y < 72; ++y) {
    for (int x = 0; x < 96; ++x) {
      // Screen row y is buffer row 71 - y; each pixel blue, green, red.
      const std::uint8_t* bgr = &expected.pixels[static_cast<std::size_t>((71 - y) * 288 + x * 3)];
      differing += rgb(shown.pixel(x, y)) != (qRgb(bgr[2], bgr[1], bgr[0]) & 0xFFFFFFu);
    }
  }
  QCOMPARE(differing, 0);
  QCOMPARE(window_->picture().pixels, expected.pixels);
  QVERIFY(shown != before);

  click(kIdDisconnect);
  QCOMPARE(enabled_buttons(), QString("Inquiry Connect Close"));
  QCOMPARE(host_->channel_state, kChannelClosed);

  click(kIdClose);
  QCOMPARE(enabled_buttons(), QString("Open"));
  QCOMPARE(list->count(), 2);  // the lines stay after Close
}

void WindowTest::keyTableWireBytes() {
  start();
  open_inquire_connect();
  struct Key {
    int key;
    Qt::KeyboardModifiers modifiers;
    char letter;  // 0: nothing is sent
  } keys[] = {
      {Qt::Key_Left, Qt::NoModifier, 'L'}, {Qt::Key_Right, Qt::NoModifier, 'R'},
      {Qt::Key_Down, Qt::NoModifier, 'D'}, {Qt::Key_H, Qt::NoModifier, 'H'},
      {Qt::Key_H, Qt::ShiftModifier, 'H'}, {Qt::Key_K, Qt::NoModifier, 'K'},
      {Qt::Key_K, Qt::ShiftModifier, 'K'}, {Qt::Key_M, Qt::NoModifier, 'M'},
      {Qt::Key_M, Qt::ShiftModifier, 'M'}, {Qt::Key_F1, Qt::NoModifier, 0},
      {Qt::Key_A, Qt::NoModifier, 0},
      {Qt::Key_Tab, Qt::NoModifier, 0},
  };
  serial_->take_written();
  for (const Key& k : keys) {
    press(k.key, k.modifiers);
    std::vector<std::uint8_t> out = serial_->take_written();
    if (k.letter == 0) {
      QVERIFY2(out.empty(), qPrintable(QString("key %1").arg(k.key)));
      continue;
    }
    // 02 | handle low | handle high + PB 2 + BC | 05 00 | 01 00 | CID | letter
    std::vector<std::uint8_t> expected = {0x02,
                                          host_->handle_low,
                                          static_cast<std::uint8_t>(host_->handle_high + 0x20 + host_->bc_flag * 64),
                                          0x05,
                                          0x00,
                                          0x01,
                                          0x00,
                                          static_cast<std::uint8_t>(host_->channel_id & 0xFF),
                                          static_cast<std::uint8_t>(host_->channel_id >> 8),
                                          static_cast<std::uint8_t>(k.letter)};
    QCOMPARE(out, expected);
  }
  QCOMPARE(QApplication::focusWidget(), window_.get());
}

void WindowTest::uKeySendsUWithoutCapture() {
  start();
  open_inquire_connect();
  serial_->take_written();
  QImage before = picture_on_screen();
  press(Qt::Key_U);
  std::vector<std::uint8_t> out = serial_->take_written();
  QCOMPARE(out.size(), std::size_t{10});
  QCOMPARE(out[9], std::uint8_t{'U'});
  QCOMPARE(picture_on_screen(), before);
}

namespace {
// Paint events of the picture's place that come while a worker runs.
struct PicturePaints : QObject {
  const MainWindow* window;
  int count = 0;
  explicit PicturePaints(const MainWindow* w) : window(w) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && window->worker_running() &&
        static_cast<QPaintEvent*>(event)->rect().intersects(QRect(10, 110, 96, 72)))
      ++count;
    return false;
  }
};

// Whether `shown` has the pixels of `expected` in rows [first, first + count),
// up to the last `skip` pixels of the last row.
bool same_rows(const QImage& shown, const QImage& expected, int first, int count, int skip = 0) {
  for (int y = first; y < first + count; ++y)
    for (int x = 0; x < 96 - (y == first + count - 1 ? skip : 0); ++x)
      if (rgb(shown.pixel(x, y)) != rgb(expected.pixel(x, y))) return false;
  return true;
}
}  // namespace

// The module pauses before row 36 for 1.5 s. Meanwhile the window handles
// its events: it paints the rows that came over the previous picture (the
// last pixel of row 35 waits for row 36's U), refuses a key, and Exit ends
// it at once.
void WindowTest::liveWhileAPictureComes() {
  SimOptions options = default_options();
  options.faults.pause_row = 36;
  options.faults.pause_ms = 1500;
  start(options);
  open_inquire_connect();
  Picture camera;
  const std::array<std::uint8_t, kFrameBufferSize> view = module_->camera_view(1);
  convert_frame(view.data(), camera.pixels.data(), kPictureWidth, kPictureHeight);
  const QImage expected = picture_image(camera);
  const QImage before = picture_on_screen();
  PicturePaints paints(window_.get());
  window_->installEventFilter(&paints);
  serial_->take_written();

  QTest::keyClick(window_.get(), Qt::Key_Up);
  QVERIFY(window_->worker_running());
  QCOMPARE(window_->cursor().shape(), Qt::WaitCursor);
  QTRY_VERIFY(same_rows(picture_on_screen(), expected, 0, 36, 1));
  QVERIFY(window_->worker_running());
  QVERIFY(paints.count > 0);
  QVERIFY(same_rows(picture_on_screen(), before, 36, 36));
  QTest::keyClick(window_.get(), Qt::Key_Right);
  const std::vector<std::uint8_t> out = serial_->take_written();
  QCOMPARE(out.size(), std::size_t{10});  // "U" alone
  QCOMPARE(out[9], std::uint8_t{'U'});

  window_->wait_for_worker();
  QCOMPARE(window_->cursor().shape(), Qt::ArrowCursor);
  QCOMPARE(window_->picture().pixels, camera.pixels);
  QVERIFY(same_rows(picture_on_screen(), expected, 0, 72));

  QSignalSpy destroyed(window_.get(), &MainWindow::main_window_destroyed);
  QTest::keyClick(window_.get(), Qt::Key_Up);
  QVERIFY(window_->worker_running());
  QTest::mouseClick(window_->button(kIdExit), Qt::LeftButton);
  QCOMPARE(destroyed.count(), 1);
  QVERIFY(!window_->isVisible());
  window_->wait_for_worker();
  QCOMPARE(host_->last_read_end, ReadEnd::cancelled);
}

void WindowTest::openFailureBox() {
  SimOptions options = default_options();
  options.faults.failing_opcode = 0x0C03;  // the module refuses the reset
  start(options);
  ModalWatcher watcher;
  click(kIdOpen);
  QCOMPARE(watcher.seen.size(), std::size_t{1});
  QCOMPARE(watcher.seen[0].title, QString("Error"));
  QCOMPARE(watcher.seen[0].text, QString("Bluetoothモジュールを初期化出来ません"));
  QVERIFY2(watcher.seen[0].details.startsWith("HCI_Reset: Command Complete status 0x0C (command disallowed) after "),
           qPrintable(watcher.seen[0].details));
  QCOMPARE(watcher.seen[0].icon, QMessageBox::Critical);
  QCOMPARE(watcher.seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  QCOMPARE(enabled_buttons(), QString("Open"));
}

void WindowTest::inquiryWarningBox() {
  SimOptions options = default_options();
  options.faults.failing_opcode = 0x0401;  // the inquiry is refused
  start(options);
  ModalWatcher watcher;
  click(kIdOpen);
  click(kIdInquiry);
  QCOMPARE(watcher.seen.size(), std::size_t{1});
  QCOMPARE(watcher.seen[0].title, QString("Warning"));
  QCOMPARE(watcher.seen[0].text, QString("他のBluetoothデバイスが見つかりません"));
  QCOMPARE(watcher.seen[0].icon, QMessageBox::Warning);
  QCOMPARE(watcher.seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  QCOMPARE(window_->device_list()->count(), 0);
  QCOMPARE(enabled_buttons(), QString("Inquiry Close"));
}

void WindowTest::connectFailureBox() {
  start();
  ModalWatcher watcher;
  click(kIdOpen);
  click(kIdInquiry);
  select_line(0);
  SimFaults faults;
  faults.camera_unreachable = true;
  module_->set_faults(faults);
  click(kIdConnect);
  QCOMPARE(watcher.seen.size(), std::size_t{1});
  QCOMPARE(watcher.seen[0].title, QString("Error"));
  QCOMPARE(watcher.seen[0].text, QString("Connect出来ません"));
  QVERIFY2(watcher.seen[0].details.startsWith("Create_Connection: Connection Complete status 0x04 (page timeout)"),
           qPrintable(watcher.seen[0].details));
  QCOMPARE(watcher.seen[0].icon, QMessageBox::Critical);
  QCOMPARE(enabled_buttons(), QString("Inquiry Connect Close"));
}

void WindowTest::disconnectFailureBox() {
  start();
  ModalWatcher watcher;
  open_inquire_connect();
  module_->vanish();  // the adapter is unplugged: the Disconnect command cannot be written
  QTRY_VERIFY(module_->vanished());
  click(kIdDisconnect);
  QCOMPARE(watcher.seen.size(), std::size_t{1});
  QCOMPARE(watcher.seen[0].title, QString("Error"));
  QCOMPARE(watcher.seen[0].text, QString("Disconnect出来ません"));
  QCOMPARE(watcher.seen[0].icon, QMessageBox::Critical);
  QCOMPARE(enabled_buttons(), QString("Disconnect Close"));
}

void WindowTest::aboutBoxOpensAndCloses() {
  start();
  struct Way {
    const char* name;
    int key;
    Qt::KeyboardModifiers modifiers;
    std::function<void(QDialog*)> close;
  } ways[] = {
      {"Alt+? then OK", Qt::Key_Question, Qt::AltModifier,
       [](QDialog* d) { QTest::mouseClick(d->findChild<QPushButton*>("about_ok"), Qt::LeftButton); }},
      {"Alt+/ then Enter", Qt::Key_Slash, Qt::AltModifier, [](QDialog* d) { QTest::keyClick(d, Qt::Key_Return); }},
      {"Alt+Shift+? then Esc", Qt::Key_Question, Qt::AltModifier | Qt::ShiftModifier,
       [](QDialog* d) { QTest::keyClick(d, Qt::Key_Escape); }},
      {"Alt+/ then the close box", Qt::Key_Slash, Qt::AltModifier, [](QDialog* d) { d->close(); }},
  };
  for (const Way& way : ways) {
    ModalWatcher watcher;
    int opened = 0;
    QString title, first, second;
    QSize size;
    QRect ok_place;
    QSize icon_size;
    watcher.other = [&](QWidget* modal) {
      auto* about = qobject_cast<AboutBox*>(modal);
      if (about == nullptr) return;
      ++opened;
      title = about->windowTitle();
      first = about->findChild<QLabel*>("about_first_line")->text();
      second = about->findChild<QLabel*>("about_second_line")->text();
      size = about->size();
      ok_place = about->findChild<QPushButton*>("about_ok")->geometry();
      icon_size = about->findChild<QLabel*>("about_icon")->pixmap().size();
      way.close(about);
    };
    press(way.key, way.modifiers);  // returns once the box is closed
    QTRY_COMPARE(QApplication::focusWidget(), window_.get());
    QVERIFY2(opened == 1, way.name);
    QCOMPARE(title, QString("ﾊﾞｰｼﾞｮﾝ情報"));
    QCOMPARE(first, QString("quorel Version 1.0"));
    QVERIFY(!second.isEmpty());
    QCOMPARE(size, QSize(460, 150));           // 230 x 75 dialog units
    QCOMPARE(ok_place, QRect(390, 12, 60, 22));  // (195, 6) 30 x 11 dialog units
    QCOMPARE(icon_size, QSize(32, 32));             // icon 107 in 16 x 16 dialog units
    QVERIFY(!about_box_visible());
  }
  QVERIFY(serial_->take_written().empty());  // Alt+? is no camera key
}

void WindowTest::reportIsHandledWhileAboutBoxIsOpen() {
  SimOptions options = default_options();
  options.faults.silent = true;  // the reset waits out its handshake bound, then Open fails
  start(options);
  ModalWatcher watcher;
  bool about_opened = false;
  watcher.other = [&](QWidget* modal) {
    if (qobject_cast<AboutBox*>(modal) == nullptr) return;
    about_opened = true;
    // Close the box only once the report's message has been seen over it.
    auto* wait = new QTimer(modal);
    QObject::connect(wait, &QTimer::timeout, modal, [&watcher, modal] {
      if (!watcher.seen.empty()) static_cast<QDialog*>(modal)->accept();
    });
    wait->start(10);
  };
  QTest::mouseClick(window_->button(kIdOpen), Qt::LeftButton);
  QVERIFY(window_->worker_running());
  press(Qt::Key_Question, Qt::AltModifier);  // returns when the About box is closed
  window_->wait_for_worker();
  QVERIFY(about_opened);
  QCOMPARE(watcher.seen.size(), std::size_t{1});
  QCOMPARE(watcher.seen[0].text, QString("Bluetoothモジュールを初期化出来ません"));
  QVERIFY(watcher.seen[0].about_box_open);
  QCOMPARE(enabled_buttons(), QString("Open"));
}

void WindowTest::exitDuringARunningOperation() {
  SimOptions options = default_options();
  options.faults.silent = true;
  start(options);
  ModalWatcher watcher;
  QSignalSpy destroyed(window_.get(), &MainWindow::main_window_destroyed);
  QTest::mouseClick(window_->button(kIdOpen), Qt::LeftButton);
  QVERIFY(window_->worker_running());
  // Once the reset is out, the worker waits for an answer that never comes.
  QTRY_VERIFY(!module_->commands_received().empty());
  QCOMPARE(window_->cursor().shape(), Qt::BusyCursor);  // while the operation runs
  QTest::mouseClick(window_->button(kIdExit), Qt::LeftButton);
  QCOMPARE(destroyed.count(), 1);
  QVERIFY(!window_->isVisible());
  QVERIFY(host_->cancel_requested.load());
  window_->wait_for_worker();
  // The worker's wait was let go rather than run out, and its report found
  // no window: no message box.
  QCOMPARE(host_->last_read_end, ReadEnd::cancelled);
  QVERIFY(watcher.seen.empty());
}

// The picture on screen, saved by the file name's suffix; the context menu
// of the picture, and only of the picture, offers it.
void WindowTest::savesThePictureAsPngOrBmp() {
  start();
  open_inquire_connect();
  press(Qt::Key_Up);
  QTemporaryDir files;
  const QImage shown = picture_on_screen();
  for (const char* name : {"/shot.png", "/shot.bmp", "/shot"}) {
    QVERIFY(window_->save_picture(files.path() + name));
    QImage saved(files.path() + name);
    QCOMPARE(saved.size(), QSize(96, 72));
    QCOMPARE(saved.convertToFormat(QImage::Format_RGB32), shown);
  }
  QCOMPARE(QImageReader(files.path() + "/shot.bmp").format(), QByteArray("bmp"));
  QCOMPARE(QImageReader(files.path() + "/shot").format(), QByteArray("png"));
  QVERIFY(!window_->save_picture(files.path() + "/no/such/dir.png"));
  QCOMPARE(QDir(files.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);  // no temporary file left

  QStringList offered;
  for (QPoint at : {QPoint(50, 140), QPoint(150, 180)}) {
    QTimer::singleShot(50, [&] {
      if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
        for (QAction* action : menu->actions()) offered << action->text() + " " + action->shortcut().toString();
        menu->close();
      }
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, window_->mapToGlobal(at));
    QApplication::sendEvent(window_.get(), &event);
    QTest::qWait(100);
  }
  QCOMPARE(offered, QStringList({"Save Picture... Ctrl+S", "Live ", "Record to folder... ", " ", "Zoom In Ctrl++",
                                 "Zoom Out Ctrl+-", "Actual Size Ctrl+0", " ", "Settings... ",
                                 "Forget device's key... "}));
}

// The settings dialog: what OK takes is the next Open's line and port, and
// is in the settings file.
void WindowTest::settingsDialogSetsTheNextOpen() {
  start();
  QTemporaryDir config;
  const std::filesystem::path file = config.path().toStdString() + "/corvanta/corvanta.conf";
  window_->set_settings_file(file);
  ModalWatcher watcher;
  watcher.other = [](QWidget* modal) {
    auto* dialog = qobject_cast<SettingsDialog*>(modal);
    if (dialog == nullptr) return;
    dialog->port_field()->setCurrentText("/dev/corvanta-no-such-adapter");
    dialog->baud_field()->setCurrentIndex(dialog->baud_field()->findText("115,200 baud"));
    dialog->flow_field()->setCurrentIndex(1);
    dialog->accept();
  };
  window_->open_settings_dialog();
  QCOMPARE(window_->port_box()->currentText(), QString("/dev/corvanta-no-such-adapter"));
  WindowSettings saved;
  std::vector<std::string> problems;
  read_settings_file(file, saved, problems);
  QVERIFY(problems.empty());
  QCOMPARE(saved.port, std::string("/dev/corvanta-no-such-adapter"));
  QCOMPARE(saved.line.baud, 115200u);
  QCOMPARE(saved.line.flow, FlowControl::rtscts);
  // The adapter is not there: Open fails on it, with the new line taken.
  click(kIdOpen);
  QCOMPARE(watcher.seen.size(), std::size_t{1});
  QCOMPARE(host_->line.baud, 115200u);
  QCOMPARE(host_->line.flow, FlowControl::rtscts);
}

namespace {
std::string text_of(const std::filesystem::path& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}
}  // namespace

// The dialog is the main window's, not modal: the window stays enabled
// meanwhile. OK only for a PIN; a PIN remembered is the settings file's and
// answers the next time without a dialog.
void WindowTest::pinDialogAsksAndRemembers() {
  start();
  QTemporaryDir config;
  const std::filesystem::path file = config.path().toStdString() + "/corvanta.conf";
  window_->set_settings_file(file);
  {
    PinAsked asked(*host_, kCameraA);
    QTRY_VERIFY(window_->pin_dialog() != nullptr && window_->pin_dialog()->isVisible());
    PinDialog* dialog = window_->pin_dialog();
    QCOMPARE(dialog->parentWidget(), window_.get());
    QVERIFY(!dialog->isModal());
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    QVERIFY(window_->isEnabled());
    QVERIFY(dialog->findChild<QLabel*>("pin_question")->text().contains("00:1B:DC:40:00:0A"));
    QCOMPARE(dialog->pin_field()->echoMode(), QLineEdit::Password);
    QVERIFY(!dialog->ok_button()->isEnabled());
    QTest::keyClicks(dialog->pin_field(), " 12");
    QVERIFY(!dialog->ok_button()->isEnabled());  // a blank at the start
    dialog->pin_field()->setText("0000");
    dialog->remember_box()->setChecked(true);
    QVERIFY(!asked.done);
    QTest::mouseClick(dialog->ok_button(), Qt::LeftButton);
    QTRY_VERIFY(asked.done);
    QCOMPARE(asked.answer(), std::string("0000"));
  }
  QVERIFY(text_of(file).find("\npin.00:1B:DC:40:00:0A=0000\n") != std::string::npos);
  PinAsked again(*host_, kCameraA);
  QTRY_VERIFY(again.done);
  QCOMPARE(again.answer(), std::string("0000"));
  QVERIFY(window_->pin_dialog() == nullptr);
}

// A camera that asks for a PIN once its link is up: Connect's worker waits
// while the dialog asks (the window live meanwhile); the key it gets is kept,
// the picture is exact, and the next Connect asks nothing.
void WindowTest::pairsWithACameraThenConnectsWithTheKey() {
  SimOptions options = default_options();
  options.faults.pairing.pin = "1234";
  start(options);
  QTemporaryDir state;
  window_->set_settings_file(state.path().toStdString() + "/corvanta.conf");
  window_->set_key_file(state.path().toStdString() + "/link-keys");
  click(kIdOpen);
  click(kIdInquiry);
  select_line(1);
  QTest::mouseClick(window_->button(kIdConnect), Qt::LeftButton);
  QTRY_VERIFY(window_->pin_dialog() != nullptr && window_->pin_dialog()->isVisible());
  QVERIFY(window_->isEnabled());
  window_->pin_dialog()->pin_field()->setText("1234");
  QTest::mouseClick(window_->pin_dialog()->ok_button(), Qt::LeftButton);
  window_->wait_for_worker();
  QCOMPARE(enabled_buttons(), QString("Disconnect Close"));
  QVERIFY(text_of(state.path().toStdString() + "/link-keys").find("\nCA:FE:00:00:00:0B ") != std::string::npos);
  press(Qt::Key_Up);
  const std::array<std::uint8_t, kFrameBufferSize> view = module_->camera_view(1);
  QVERIFY(std::equal(view.begin(), view.end(), host_->frame_buffer.begin()));
  click(kIdDisconnect);
  select_line(1);
  click(kIdConnect);  // answered from the kept key: no dialog
  QVERIFY(window_->pin_dialog() == nullptr);
  QCOMPARE(enabled_buttons(), QString("Disconnect Close"));
}

// Exit while the dialog is open: the worker gets none at once, the dialog
// goes with the window.
void WindowTest::exitWhileThePinIsAsked() {
  start();
  QSignalSpy destroyed(window_.get(), &MainWindow::main_window_destroyed);
  PinAsked asked(*host_, kCameraB);
  QTRY_VERIFY(window_->pin_dialog() != nullptr && window_->pin_dialog()->isVisible());
  QTest::mouseClick(window_->button(kIdExit), Qt::LeftButton);
  QCOMPARE(destroyed.count(), 1);
  QTRY_VERIFY(asked.done);
  QCOMPARE(asked.length, std::size_t{0});
  QTRY_VERIFY(window_->pin_dialog() == nullptr);
}

// "Forget device's key...": confirmed, the selected device's line leaves
// the key file, and the window says so.
void WindowTest::forgetTheSelectedDevicesKey() {
  start();
  QTemporaryDir state;
  const std::filesystem::path keys = state.path().toStdString() + "/corvanta/link-keys";
  window_->set_key_file(keys);
  std::string error;
  QVERIFY(store_link_key(keys, {kCameraA, {}, 0}, error));
  QVERIFY(store_link_key(keys, {kCameraB, {}, 0}, error));
  click(kIdOpen);
  click(kIdInquiry);
  select_line(0);
  ModalWatcher watcher;
  window_->forget_device();
  QCOMPARE(watcher.seen.size(), std::size_t{2});
  QVERIFY(watcher.seen[0].text.startsWith("Forget the link key stored for 00:1B:DC:40:00:0A"));
  QCOMPARE(watcher.seen[1].title, QString("Pairing"));
  QCOMPARE(watcher.seen[1].text, QString("The stored key for 00:1B:DC:40:00:0A was forgotten."));
  LinkKeyEntry found;
  std::vector<std::string> problems;
  QVERIFY(!find_link_key(keys, kCameraA, found, problems));
  QVERIFY(find_link_key(keys, kCameraB, found, problems));
}

// Ctrl+plus (or =), Ctrl+minus and Ctrl+0: the window takes the layout's
// size for the zoom, the buttons keep their places, the picture is drawn at
// the layout's place with each pixel a square; the zoom is in the settings.
void WindowTest::zoomSizesTheWindowAndThePicture() {
  start();
  QTemporaryDir config;
  const std::filesystem::path file = config.path().toStdString() + "/corvanta.conf";
  window_->set_settings_file(file);
  open_inquire_connect();
  press(Qt::Key_Up);
  serial_->take_written();
  const QImage picture = picture_image(window_->picture());
  struct Step {
    int key;
    int zoom;
    QSize size;    // 224 x (195 + 72 zoom + 10) beyond 1, at least 96 zoom + 20 wide
    QRect placed;  // the picture
  } steps[] = {
      {Qt::Key_Equal, 2, {224, 349}, {10, 195, 192, 144}}, {Qt::Key_Plus, 3, {308, 421}, {10, 195, 288, 216}},
      {Qt::Key_Minus, 2, {224, 349}, {10, 195, 192, 144}}, {Qt::Key_Plus, 3, {308, 421}, {10, 195, 288, 216}},
      {Qt::Key_0, 1, {224, 195}, {10, 110, 96, 72}},
  };
  for (const Step& step : steps) {
    press(step.key, Qt::ControlModifier);
    QCOMPARE(window_->zoom(), step.zoom);
    QCOMPARE(window_->size(), step.size);
    QCOMPARE(window_->minimumSize(), window_->maximumSize());
    QCOMPARE(window_->button(kIdExit)->geometry(), QRect(120, 160, 90, 25));
    QCOMPARE(window_->device_list()->geometry(), QRect(10, 40, 100, 65));
    const QImage shown = window_->grab(step.placed).toImage().convertToFormat(QImage::Format_RGB32);
    int differing = 0;
    for (int y = 0; y < step.placed.height(); ++y)
      for (int x = 0; x < step.placed.width(); ++x)
        differing += rgb(shown.pixel(x, y)) != rgb(picture.pixel(x / step.zoom, y / step.zoom));
    QCOMPARE(differing, 0);
    const bool saved = text_of(file).find("\nzoom=" + std::to_string(step.zoom) + "\n") != std::string::npos;
    QCOMPARE(saved, step.zoom != 1);  // 1 is the default: no line
  }
  press(Qt::Key_Minus, Qt::ControlModifier);  // no smaller than 1
  QCOMPARE(window_->size(), QSize(224, 195));
  QVERIFY(serial_->take_written().empty());  // no zoom key went to the camera
}

namespace {
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}
}  // namespace

// Space starts live view into a record; a key pressed meanwhile goes out
// between pictures and is in the record; Disconnect ends live and runs once
// the picture under way is in. The pictures in the folder are the camera's.
void WindowTest::liveRecordsPicturesAndKeysUntilDisconnect() {
  start();
  QTemporaryDir folder;
  open_inquire_connect();
  QVERIFY(start_record(window_->shell(), folder.path().toStdString()));
  const std::filesystem::path csv = folder.path().toStdString() + "/pictures.csv";
  QTest::keyClick(window_.get(), Qt::Key_Space);
  QVERIFY(window_->shell().live.on);
  QTRY_VERIFY(lines_of(text_of(csv)).size() >= 3);  // the header and two pictures
  QTest::keyClick(window_.get(), Qt::Key_Right);
  QTRY_VERIFY(lines_of(text_of(csv)).size() >= 6);
  QTest::mouseClick(window_->button(kIdDisconnect), Qt::LeftButton);
  QVERIFY(!window_->shell().live.on);
  QTRY_COMPARE(enabled_buttons(), QString("Inquiry Connect Close"));
  window_->wait_for_worker();
  QCOMPARE(host_->channel_state, kChannelClosed);
  QVERIFY(window_->status_line()->text().isEmpty());

  const std::vector<std::string> lines = lines_of(text_of(csv));
  int with_key = 0;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    QVERIFY2(line.rfind(std::to_string(i) + ",", 0) == 0, line.c_str());
    with_key += line.size() >= 2 && line.substr(line.size() - 2) == ",R";
  }
  QCOMPARE(with_key, 1);
  Picture camera;
  const std::array<std::uint8_t, kFrameBufferSize> view = module_->camera_view(1);
  convert_frame(view.data(), camera.pixels.data(), kPictureWidth, kPictureHeight);
  const QImage recorded(folder.path() + QString("/%1.png").arg(lines.size() - 1, 4, 10, QChar('0')));
  QCOMPARE(recorded.convertToFormat(QImage::Format_RGB32), picture_image(camera).convertToFormat(QImage::Format_RGB32));
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
