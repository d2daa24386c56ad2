#include "main_window.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QBuffer>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QKeySequence>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <system_error>

#include "about_box.h"
#include "bmp_file.h"
#include "key_map.h"
#include "link_keys.h"
#include "picture_image.h"
#include "pin_dialog.h"
#include "settings_dialog.h"
#include "tsan_handoff.h"
#include "window_icons.h"
#include "window_layout.h"

MainWindow::MainWindow(HostState& host, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      host_(host),
      shell_(host, *this) {
  setWindowTitle(kWindowTitle);
  setWindowIcon(window_icon());
  // Fixed size, minimise only: no maximise box, no sizing border.
  setFixedSize(kClientWidth, kClientHeight);
  move(0, 0);  // a pop-up window opens at the top-left corner
  QPalette background = palette();
  background.setColor(QPalette::Window, QColor(kBackgroundRed, kBackgroundGreen, kBackgroundBlue));
  setPalette(background);
  setAutoFillBackground(true);
  // The main window keeps the keyboard: the keys steer the camera.
  setFocusPolicy(Qt::StrongFocus);

  create_controls();
  add_about_shortcuts();
  add_zoom_shortcuts();
  set_up_controls(shell_);
  set_zoom(1, false);

  // The picture starts as the conversion of the still empty receive buffer.
  convert_frame(host_.frame_buffer.data(), picture_.pixels.data(), kPictureWidth, kPictureHeight);
  live_.host = &host_;
  live_.wake = wake_for_rows;
  live_.window = this;
  shell_.view = live_picture_view(live_);
  attach_pairing(shell_, link_key_file_path());
}

MainWindow::~MainWindow() {
  host_.cancel_requested = true;
  if (!worker_.joinable()) return;
  if (worker_running_) {
    worker_.detach();  // it may wait on this thread; the process is ending
  } else {
    worker_.join();
  }
}

void MainWindow::create_controls() {
  for (const ControlPlace& place : kControlPlaces) {
    QWidget* control = nullptr;
    if (place.id == kIdPortBox) {
      port_box_ = new QComboBox(this);
      for (const char* item : kPortBoxItems) port_box_->addItem(item);
      port_box_->setCurrentIndex(kPortBoxDefaultSelection);
      port_box_->setMaxVisibleItems(static_cast<int>(kPortBoxItems.size()));
      control = port_box_;
    } else if (place.id == kIdDeviceList) {
      device_list_ = new QListWidget(this);
      device_list_->setSelectionMode(QAbstractItemView::SingleSelection);
      device_list_->setSortingEnabled(false);  // lines stay in the order added
      // A vertical scroll bar when needed, never a horizontal one.
      device_list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      // Twelve hex digits must fit the 100 px list whole, never elided.
      device_list_->setTextElideMode(Qt::ElideNone);
      QFont list_font = device_list_->font();
      list_font.setPixelSize(12);
      device_list_->setFont(list_font);
      // Only the user's selections notify; the runner's own changes are silent.
      connect(device_list_, &QListWidget::itemSelectionChanged, this, [this] {
        route_command(shell_, command_wparam(kIdDeviceList, kListSelectionChanged));
      });
      control = device_list_;
    } else {
      auto* button = new QPushButton(place.text, this);
      int id = place.id;
      connect(button, &QPushButton::clicked, this, [this, id] { route_command(shell_, command_wparam(id)); });
      buttons_[id] = button;
      control = button;
    }
    control->setObjectName(QString("control_%1").arg(place.id));
    control->setGeometry(place.x, place.y, place.width, place.height);
    // No control takes the keyboard, so no key moves the port box off COM5
    // and the steering keys always reach the main window.
    control->setFocusPolicy(Qt::NoFocus);
  }
  // Short texts of live view and the record, in the free place left of the
  // buttons; no box, so that pictures keep coming.
  status_line_ = new QLabel(this);
  status_line_->setObjectName("status_line");
  QFont small = status_line_->font();
  small.setPixelSize(10);
  status_line_->setFont(small);
  status_line_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void MainWindow::add_zoom_shortcuts() {
  struct ZoomKey {
    QKeySequence key;
    int step;  // 0: back to 1
  } keys[] = {{QKeySequence(Qt::CTRL | Qt::Key_Plus), 1},
              {QKeySequence(Qt::CTRL | Qt::Key_Equal), 1},
              {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Plus), 1},
              {QKeySequence(Qt::CTRL | Qt::Key_Minus), -1},
              {QKeySequence(Qt::CTRL | Qt::Key_0), 0}};
  for (const ZoomKey& zoom_key : keys) {
    auto* shortcut = new QShortcut(zoom_key.key, this);
    shortcut->setContext(Qt::WindowShortcut);
    const int step = zoom_key.step;
    connect(shortcut, &QShortcut::activated, this, [this, step] { set_zoom(step == 0 ? kMinZoom : zoom_ + step); });
  }
}

QRect MainWindow::picture_rect() const {
  const LayoutRect r = window_layout(96, zoom_).picture;
  return QRect(r.x, r.y, r.width, r.height);
}

void MainWindow::set_zoom(int zoom, bool save) {
  zoom = std::clamp(zoom, kMinZoom, kMaxZoom);
  const bool changed = zoom != zoom_;
  zoom_ = zoom;
  const WindowLayout layout = window_layout(96, zoom_);
  setFixedSize(layout.client_width, layout.client_height);
  for (std::size_t i = 0; i < kControlPlaces.size(); ++i) {
    const LayoutRect& r = layout.controls[i];
    if (QWidget* control = findChild<QWidget*>(QString("control_%1").arg(kControlPlaces[i].id)))
      control->setGeometry(r.x, r.y, r.width, r.height);
  }
  const LayoutRect& status = layout.status_line;
  status_line_->setGeometry(status.x, status.y, status.width, status.height);
  status_line_->setWordWrap(zoom_ != kMinZoom);
  show_status(status_text_.toStdString());
  update();
  if (changed && save) write_settings();
}

void MainWindow::add_about_shortcuts() {
  // Alt+"?" and Alt+"/"; many layouts report "?" with Shift held as well.
  const QKeySequence keys[] = {QKeySequence(Qt::ALT | Qt::Key_Question), QKeySequence(Qt::ALT | Qt::Key_Slash),
                               QKeySequence(Qt::ALT | Qt::SHIFT | Qt::Key_Question)};
  for (const QKeySequence& key : keys) {
    auto* shortcut = new QShortcut(key, this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, [this] {
      route_command(shell_, command_wparam(kCommandAbout, 1));
    });
  }
  // Ctrl+S saves the picture; S is no steering key, so no command is lost.
  auto* save = new QShortcut(QKeySequence::Save, this);
  save->setContext(Qt::WindowShortcut);
  connect(save, &QShortcut::activated, this, &MainWindow::save_picture_as);
}

bool MainWindow::save_picture(const QString& path) const {
  std::string bytes;
  if (QFileInfo(path).suffix().toLower() == "bmp") {
    const std::vector<std::uint8_t> bmp = bmp_bytes(picture_);
    bytes.assign(bmp.begin(), bmp.end());
  } else {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!picture_image(picture_).save(&buffer, "PNG")) return false;
    bytes = png.toStdString();
  }
  std::string error;
  return write_file_atomically(std::filesystem::path(path.toStdU16String()), bytes, error);
}

void MainWindow::save_picture_as() {
  QString path = QFileDialog::getSaveFileName(this, "Save Picture", "picture.png",
                                              "PNG image (*.png);;BMP image (*.bmp)");
  if (path.isEmpty()) return;
  const QString suffix = QFileInfo(path).suffix().toLower();
  if (suffix != "png" && suffix != "bmp") path += ".png";
  if (!save_picture(path)) QMessageBox::warning(this, "Save Picture", "Cannot write " + path);
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
  if (!picture_rect().contains(event->pos())) return;
  QMenu menu(this);
  QAction* save = menu.addAction("Save Picture...", this, &MainWindow::save_picture_as);
  save->setShortcut(QKeySequence::Save);
  QAction* live = menu.addAction("Live", this, [this] { route_command(shell_, command_wparam(kCommandLive)); });
  live->setCheckable(true);
  live->setChecked(shell_.live.on);
  menu.addAction(recording(shell_) ? "Stop recording" : "Record to folder...", this, &MainWindow::record_to_folder);
  menu.addSeparator();
  QAction* zoom_in = menu.addAction("Zoom In", this, [this] { set_zoom(zoom_ + 1); });
  zoom_in->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Plus));
  zoom_in->setEnabled(zoom_ < kMaxZoom);
  QAction* zoom_out = menu.addAction("Zoom Out", this, [this] { set_zoom(zoom_ - 1); });
  zoom_out->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Minus));
  zoom_out->setEnabled(zoom_ > kMinZoom);
  QAction* actual = menu.addAction("Actual Size", this, [this] { set_zoom(kMinZoom); });
  actual->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
  menu.addSeparator();
  menu.addAction("Settings...", this, &MainWindow::open_settings_dialog);
  menu.addAction("Forget device's key...", this, &MainWindow::forget_device);
  menu.exec(event->globalPos());
}

void MainWindow::record_to_folder() {
  if (recording(shell_)) {
    stop_record(shell_);
  } else {
    const QString folder = QFileDialog::getExistingDirectory(this, "Record to folder");
    if (!folder.isEmpty()) start_record(shell_, std::filesystem::path(folder.toStdU16String()));
  }
  activateWindow();
  setFocus(Qt::OtherFocusReason);
}

void MainWindow::show_status(const std::string& text) {
  status_text_ = QString::fromStdString(text);
  status_line_->setToolTip(status_text_);
  // One line at zoom 1: what does not fit is in the tooltip.
  status_line_->setText(zoom_ == kMinZoom ? status_line_->fontMetrics().elidedText(status_text_, Qt::ElideRight,
                                                                                   status_line_->width())
                                          : status_text_);
}

// The menu's Live item reads the runner's state each time it opens.
void MainWindow::live_changed(bool) {}

// The next worker starts once the last one has left its body, so that
// start_worker's join does not hold the window thread while a busy system
// gets round to ending that thread; meanwhile events are handled.
void MainWindow::post_next_step() {
  QTimer::singleShot(0, this, [this] {
    if (worker_running_) {
      post_next_step();
      return;
    }
    next_step(shell_);
  });
}

void MainWindow::forget_device() {
  forget_device_key(shell_);
  activateWindow();
  setFocus(Qt::OtherFocusReason);
}

void MainWindow::set_port_box(const std::vector<std::string>& items, int selection) {
  QSignalBlocker quiet(port_box_);
  port_box_->clear();
  for (const std::string& item : items) port_box_->addItem(QString::fromStdString(item));
  port_box_->setCurrentIndex(selection);
  port_box_->setMaxVisibleItems(static_cast<int>(std::max<std::size_t>(items.size(), kPortBoxItems.size())));
  // The box keeps its width; its list is as wide as its longest name.
  port_box_->view()->setMinimumWidth(port_box_->view()->sizeHintForColumn(0) + 8);
}

WindowSettings MainWindow::current_settings() {
  WindowSettings current;
  current.port = port_box_->currentText().toStdString();
  current.line = shell_.line;
  current.pins = shell_.pins;
  current.zoom = zoom_;
  return current;
}

bool MainWindow::apply_settings(const WindowSettings& chosen) {
  int index = port_box_->findText(QString::fromStdString(chosen.port));
  if (index < 0) {
    port_box_->addItem(QString::fromStdString(chosen.port));
    index = port_box_->count() - 1;
  }
  port_box_->setCurrentIndex(index);
  shell_.line = chosen.line;
  return write_settings();
}

bool MainWindow::write_settings() {
  std::string error;
  if (settings_file_.empty() || write_settings_file(settings_file_, current_settings(), error)) return true;
  QMessageBox::warning(this, "Settings", QString::fromStdString(error));
  return false;
}

void MainWindow::save_settings() { write_settings(); }

void MainWindow::wake_for_pin() {
  QMetaObject::invokeMethod(
      this, [this] { pin_question_changed(shell_); }, Qt::QueuedConnection);
}

void MainWindow::open_pin_dialog(const std::string& address) {
  auto* dialog = new PinDialog(this, address);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QDialog::finished, this, [this, dialog](int result) {
    const bool ok = result == QDialog::Accepted;
    pin_dialog_answered(shell_, ok ? dialog->pin() : std::string(), ok && dialog->remember());
  });
  pin_dialog_ = dialog;
  dialog->show();
  dialog->raise();
  dialog->activateWindow();
}

void MainWindow::close_pin_dialog() {
  if (pin_dialog_ != nullptr) pin_dialog_->reject();  // its answer finds nobody waiting
}

void MainWindow::show_notice(const std::string& text) {
  QMessageBox::information(this, "Pairing", QString::fromStdString(text));
}

bool MainWindow::confirm(const std::string& text) {
  return QMessageBox::question(this, "Forget device's key", QString::fromStdString(text),
                               QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void MainWindow::open_settings_dialog() {
  std::vector<std::string> ports;
  for (int i = 0; i < port_box_->count(); ++i) ports.push_back(port_box_->itemText(i).toStdString());
  SettingsDialog dialog(this, ports, current_settings());
  if (dialog.exec() == QDialog::Accepted) apply_settings(dialog.settings());
  // The keyboard goes back to the main window, where the keys steer.
  activateWindow();
  setFocus(Qt::OtherFocusReason);
}

// While an operation holds the link, the busy cursor: the arrow with a busy
// mark, as the window stays live (Exit, About). While a key command holds
// it, the wait cursor.
void MainWindow::set_busy(bool busy, bool key_command) {
  if (busy) {
    setCursor(key_command ? Qt::WaitCursor : Qt::BusyCursor);
  } else {
    unsetCursor();
  }
}

void MainWindow::wake_for_rows(void* window) {
  QMetaObject::invokeMethod(static_cast<MainWindow*>(window), "show_new_rows", Qt::QueuedConnection);
}

void MainWindow::show_new_rows() {
  const RowSpan rows = take_live_rows(live_, picture_);
  const QRect place = picture_rect();
  const int scale = place.width() / kPictureWidth;
  if (rows.count > 0) update(place.x(), place.y() + rows.first * scale, place.width(), rows.count * scale);
}

QPushButton* MainWindow::button(int id) const {
  auto found = buttons_.find(id);
  return found != buttons_.end() ? found->second : nullptr;
}

template <typename Call>
void MainWindow::on_window_thread(Call&& call) {
  if (QThread::currentThread() == thread()) {
    call();
    return;
  }
  if (destroyed_) return;  // the window is gone: nothing to change, nobody to report to
  CORVANTA_HANDOFF_RELEASE(this);
  QMetaObject::invokeMethod(
      this,
      [this, &call] {
        CORVANTA_HANDOFF_ACQUIRE(this);
        if (!destroyed_) call();
        CORVANTA_HANDOFF_RELEASE(this);
      },
      Qt::BlockingQueuedConnection);
  CORVANTA_HANDOFF_ACQUIRE(this);
}

void MainWindow::enable_control(int control_id, bool enabled) {
  on_window_thread([&] {
    if (QPushButton* b = button(control_id)) b->setEnabled(enabled);
  });
}

std::string MainWindow::port_box_selection() {
  std::string text;
  on_window_thread([&] {
    if (port_box_->currentIndex() >= 0) text = port_box_->currentText().toStdString();
  });
  return text;
}

void MainWindow::clear_device_list() {
  on_window_thread([&] {
    QSignalBlocker quiet(device_list_);
    device_list_->clear();
  });
}

void MainWindow::add_device_line(const std::string& text) {
  on_window_thread([&] {
    QSignalBlocker quiet(device_list_);
    device_list_->addItem(QString::fromStdString(text));
  });
}

int MainWindow::device_list_selection() {
  int position = -1;
  on_window_thread([&] {
    const QList<QListWidgetItem*> selected = device_list_->selectedItems();
    if (!selected.isEmpty()) position = device_list_->row(selected.first());
  });
  return position;
}

void MainWindow::show_message(const FailureMessage& message, const std::string& details) {
  on_window_thread([&] {
    QMessageBox box(message.icon == MessageIcon::warning ? QMessageBox::Warning : QMessageBox::Critical,
                    QString::fromUtf8(message.caption), QString::fromUtf8(message.text), QMessageBox::Ok,
                    this);
    // Text and caption stay the message's own; the reason waits behind "Show Details...".
    if (!details.empty()) box.setDetailedText(QString::fromStdString(details));
    box.exec();
  });
}

void MainWindow::focus_main_window() {
  on_window_thread([&] {
    activateWindow();
    setFocus(Qt::OtherFocusReason);
  });
}

void MainWindow::open_about_box() {
  AboutBox box(this);
  box.exec();
  // The keyboard goes back to the main window, where the keys steer.
  activateWindow();
  setFocus(Qt::OtherFocusReason);
}

void MainWindow::destroy_main_window() {
  if (destroyed_.exchange(true)) return;
  hide();
  Q_EMIT main_window_destroyed();
}

bool MainWindow::start_worker(WorkerBody body, OperationRequest* request) {
  if (worker_.joinable()) worker_.join();  // the last worker has reported; it is ending
  worker_running_ = true;
  set_busy(true, request->operation_id == kKeyCommand);
  try {
    worker_ = std::thread([this, body, request] {
      body(request);
      worker_running_ = false;
    });
  } catch (const std::system_error&) {
    worker_running_ = false;
    set_busy(false);
    return false;
  }
  return true;
}

void MainWindow::send_operation_done(std::int32_t operation_id, std::int32_t status) {
  (void)operation_id;  // the running operation chooses the outcome
  on_window_thread([&] {
    set_busy(false);  // before a failure's message box
    complete_operation(shell_, status);
  });
}

void MainWindow::wait_for_worker() {
  while (worker_running_) {
    QCoreApplication::processEvents();
    QThread::msleep(2);
  }
  if (worker_.joinable()) worker_.join();
}

void MainWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  // Scaled without smoothing: each picture pixel a sharp square.
  painter.drawImage(picture_rect(), picture_image(picture_));
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  // Every key-down is the window's, whether the key table knows it or not;
  // auto-repeats act like first presses. The command runs on the worker.
  if (event->key() == Qt::Key_Space && event->isAutoRepeat()) {  // a held Space toggles live once
    event->accept();
    return;
  }
  const std::uint32_t virtual_key = virtual_key_from_qt(event->key());
  if (virtual_key != 0) key_down(shell_, virtual_key);
  event->accept();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The caption's close box ends the program as Exit does.
  event->accept();
  if (!destroyed_) route_command(shell_, command_wparam(kIdExit));
}

bool MainWindow::focusNextPrevChild(bool) { return false; }  // Tab is a key like any other
