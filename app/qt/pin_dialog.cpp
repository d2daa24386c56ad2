#include "pin_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "pairing_shell.h"
#include "wait_bounds.h"

PinDialog::PinDialog(QWidget* owner, const std::string& address) : QDialog(owner) {
  setObjectName("pin_dialog");
  setWindowTitle("PIN");
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait_bounds::kPinAnswer).count();
  auto* question = new QLabel(QString("The device %1 asks for a PIN to pair.\nAnswer within %2 s, or it is told there is none.")
                                  .arg(QString::fromStdString(address))
                                  .arg(seconds),
                              this);
  question->setObjectName("pin_question");
  layout->addWidget(question);
  pin_ = new QLineEdit(this);
  pin_->setObjectName("pin_field");
  pin_->setEchoMode(QLineEdit::Password);
  pin_->setMaxLength(static_cast<int>(kPinMaxLength));
  layout->addWidget(pin_);
  remember_ = new QCheckBox("Remember this PIN for this device", this);
  remember_->setObjectName("pin_remember");
  layout->addWidget(remember_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  ok_->setEnabled(false);
  connect(pin_, &QLineEdit::textChanged, this, [this] { ok_->setEnabled(pin_problem(pin()).empty()); });
  connect(buttons, &QDialogButtonBox::accepted, this, &PinDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &PinDialog::reject);
  layout->addWidget(buttons);
}

std::string PinDialog::pin() const { return pin_->text().toStdString(); }

bool PinDialog::remember() const { return remember_->isChecked(); }
