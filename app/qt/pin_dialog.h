#pragma once
// The PIN dialog of the Linux window: the device that asks, the PIN (shown
// as dots), and "Remember this PIN for this device". Owned by the main window
// but not modal, so that the window stays live (painting, Exit) while the
// worker waits for the answer; OK only for a text that can be a PIN.
#include <QDialog>

#include <string>

class QCheckBox;
class QLineEdit;
class QPushButton;

class PinDialog final : public QDialog {
  Q_OBJECT
 public:
  PinDialog(QWidget* owner, const std::string& address);
  std::string pin() const;
  bool remember() const;
  QLineEdit* pin_field() const { return pin_; }
  QCheckBox* remember_box() const { return remember_; }
  QPushButton* ok_button() const { return ok_; }

 private:
  QLineEdit* pin_ = nullptr;
  QCheckBox* remember_ = nullptr;
  QPushButton* ok_ = nullptr;
};
