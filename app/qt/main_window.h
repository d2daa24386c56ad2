#pragma once
// The Linux window: the eight controls, the picture and the keys, over the
// toolkit-free runner. Every call the worker makes on the window is carried
// out on the window thread, and the worker waits for it.
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "live_picture.h"
#include "operation_runner.h"
#include "pin_dialog.h"
#include "settings.h"

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;

inline constexpr const char* kWindowTitle = "Corvanta Controller";

class MainWindow final : public QWidget, public ShellWindow {
  Q_OBJECT
 public:
  // The window drives `host`, which must outlive it and its worker.
  explicit MainWindow(HostState& host, QWidget* parent = nullptr);
  // A worker still running is left to the ending process.
  ~MainWindow() override;

  // ShellWindow
  void enable_control(int control_id, bool enabled) override;
  std::string port_box_selection() override;
  void clear_device_list() override;
  void add_device_line(const std::string& text) override;
  int device_list_selection() override;
  void show_message(const FailureMessage& message, const std::string& details) override;
  void focus_main_window() override;
  void open_about_box() override;
  void destroy_main_window() override;
  bool start_worker(WorkerBody body, OperationRequest* request) override;
  void send_operation_done(std::int32_t operation_id, std::int32_t status) override;
  void wake_for_pin() override;
  void open_pin_dialog(const std::string& address) override;
  void close_pin_dialog() override;
  void show_notice(const std::string& text) override;
  bool confirm(const std::string& text) override;
  void save_settings() override;
  void show_status(const std::string& text) override;
  void live_changed(bool on) override;
  void post_next_step() override;

  AppShell& shell() { return shell_; }
  const Picture& picture() const { return picture_; }
  QPushButton* button(int id) const;
  QComboBox* port_box() const { return port_box_; }
  QListWidget* device_list() const { return device_list_; }
  bool worker_running() const { return worker_running_.load(); }
  // Handles the window's events until the worker has ended, then joins it.
  void wait_for_worker();
  bool destroyed() const { return destroyed_.load(); }
  // Writes the picture as PNG or BMP, by the file name's suffix (PNG when
  // it has neither), whole beside the file first and then renamed over it;
  // false when it cannot be written.
  bool save_picture(const QString& path) const;
  // Asks for a file name, then saves (Ctrl+S, the picture's context menu).
  void save_picture_as();

  // The port box's items and the one selected (port_box_items).
  void set_port_box(const std::vector<std::string>& items, int selection);
  // Where the settings dialog and a remembered PIN save ("": nowhere).
  void set_settings_file(const std::filesystem::path& path) { settings_file_ = path; }
  // Where pairing keeps link keys (by default link_key_file_path()).
  void set_key_file(const std::filesystem::path& path) { shell_.pairing.key_file = path; }
  // The PIN dialog while it is open, else nullptr.
  PinDialog* pin_dialog() const { return pin_dialog_; }
  // The settings as the window holds them: the port box's selection and
  // the line Open uses.
  WindowSettings current_settings();
  // Takes `chosen`: its port selected in the port box (added when missing)
  // and its line for the next Open; then saves them. False, after saying so
  // in a message box, when the file cannot be written.
  bool apply_settings(const WindowSettings& chosen);
  // The settings dialog (the picture's context menu).
  void open_settings_dialog();
  // "Forget device's key..." (the picture's context menu).
  void forget_device();

  // The picture's zoom, 1 to 6 (clamped): the window's size and the
  // picture's place follow window_layout at 96 DPI (Qt scales for the
  // desktop itself). `save` writes it to the settings file.
  void set_zoom(int zoom, bool save = true);
  int zoom() const { return zoom_; }
  // The status line: live's failures and the record's state.
  QLabel* status_line() const { return status_line_; }
  // "Record to folder..." (asks for the folder) and "Stop recording".
  void record_to_folder();

 Q_SIGNALS:
  // Exit, the close box or the menu's exit: the program ends.
  void main_window_destroyed();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool focusNextPrevChild(bool next) override;

 private:
  void create_controls();
  void add_zoom_shortcuts();
  // Where the picture is drawn at the present zoom.
  QRect picture_rect() const;
  void add_about_shortcuts();
  void set_busy(bool busy, bool key_command = false);
  // Writes the settings file; false, after saying so, when it cannot.
  bool write_settings();
  // Worker: the capture has rows for the window thread.
  static void wake_for_rows(void* window);
  // Window thread: takes them and repaints where they go.
  Q_INVOKABLE void show_new_rows();
  template <typename Call>
  void on_window_thread(Call&& call);

  HostState& host_;
  AppShell shell_;
  Picture picture_;
  LivePicture live_;
  QComboBox* port_box_ = nullptr;
  QListWidget* device_list_ = nullptr;
  QLabel* status_line_ = nullptr;
  QString status_text_;
  int zoom_ = 1;
  std::map<int, QPushButton*> buttons_;
  std::filesystem::path settings_file_;
  QPointer<PinDialog> pin_dialog_;
  std::thread worker_;
  std::atomic<bool> worker_running_{false};
  std::atomic<bool> destroyed_{false};
};
