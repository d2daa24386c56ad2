#include "settings_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QMessageBox>

#include "line_text.h"
#include "operation_runner.h"
#include "port_name.h"

SettingsDialog::SettingsDialog(QWidget* owner, const std::vector<std::string>& ports, const WindowSettings& current)
    : QDialog(owner) {
  setWindowTitle("Settings");
  setModal(true);
  auto* form = new QFormLayout(this);

  port_ = new QComboBox(this);
  port_->setObjectName("settings_port");
  port_->setEditable(true);  // a device path or tcp:HOST:PORT may be typed in
  for (const std::string& name : ports) port_->addItem(QString::fromStdString(name));
  port_->setCurrentText(QString::fromStdString(current.port.empty() ? kPortBoxItems[kPortBoxDefaultSelection]
                                                                    : current.port));
  port_->setMinimumContentsLength(28);
  form->addRow("Port:", port_);

  baud_ = new QComboBox(this);
  baud_->setObjectName("settings_baud");
  for (std::uint32_t rate : kLineRates) {
    baud_->addItem(QString::fromStdString(baud_text(rate)), QVariant::fromValue(rate));
    if (rate == current.line.baud) baud_->setCurrentIndex(baud_->count() - 1);
  }
  form->addRow("Speed:", baud_);

  flow_ = new QComboBox(this);
  flow_->setObjectName("settings_flow");
  flow_->addItem("none", QVariant::fromValue(static_cast<int>(FlowControl::none)));
  flow_->addItem("RTS/CTS", QVariant::fromValue(static_cast<int>(FlowControl::rtscts)));
  flow_->setCurrentIndex(current.line.flow == FlowControl::rtscts ? 1 : 0);
  form->addRow("Flow control:", flow_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);
  form->addRow(buttons);
}

WindowSettings SettingsDialog::settings() const {
  WindowSettings chosen;
  PortName port;
  if (parse_port_name(port_->currentText().trimmed().toStdString(), port)) chosen.port = port_name_text(port);
  chosen.line.baud = baud_->currentData().toUInt();
  chosen.line.flow = static_cast<FlowControl>(flow_->currentData().toInt());
  return chosen;
}

void SettingsDialog::accept() {
  PortName port;
  if (!parse_port_name(port_->currentText().trimmed().toStdString(), port)) {
    QMessageBox::warning(this, "Settings", "\"" + port_->currentText() +
                                               "\" names no port: COMn, a device path or tcp:HOST:PORT");
    return;
  }
  QDialog::accept();
}
