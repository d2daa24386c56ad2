#pragma once
// The settings dialog of the Linux window: the port (one of the port box's,
// or any name typed in: a device path, tcp:HOST:PORT), the line's speed and
// its flow control. OK takes a port that names one; the window then saves
// the settings.
#include <QDialog>

#include <string>
#include <vector>

#include "settings.h"

class QComboBox;

class SettingsDialog final : public QDialog {
  Q_OBJECT
 public:
  SettingsDialog(QWidget* owner, const std::vector<std::string>& ports, const WindowSettings& current);
  // What the dialog holds now.
  WindowSettings settings() const;
  QComboBox* port_field() const { return port_; }
  QComboBox* baud_field() const { return baud_; }
  QComboBox* flow_field() const { return flow_; }

 public Q_SLOTS:
  void accept() override;

 private:
  QComboBox* port_ = nullptr;
  QComboBox* baud_ = nullptr;
  QComboBox* flow_ = nullptr;
};
