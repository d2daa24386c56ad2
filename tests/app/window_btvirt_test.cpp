// The Qt window against BlueZ's emulator, as the only command of
// corvanta-btvirt-peer (which publishes the host's line as COM5 in
// $CORVANTA_PORTS): a camera that asks for a legacy PIN. The PIN dialog
// answers, the key the emulator gives is kept, the picture is exact, and
// Connect after Disconnect asks nothing. Run by under_btvirt.sh.
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest/QtTest>

#include <fstream>
#include <iterator>
#include <string>

#include "host_ops.h"
#include "main_window.h"
#include "posix_serial.h"
#include "virtual_camera.h"
#include "window_layout.h"

class WindowUnderBtvirt : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void pairsWithAPinThenConnectsWithTheKey();
};

namespace {
std::string text_of(const QString& path) {
  std::ifstream in(path.toStdString());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
}  // namespace

void WindowUnderBtvirt::pairsWithAPinThenConnectsWithTheKey() {
  if (qEnvironmentVariableIsEmpty("CORVANTA_PORTS")) QSKIP("runs only under corvanta-btvirt-peer");
  PosixSerial serial;
  HostState host;
  host_attach(host, serial);
  MainWindow window(host);
  QTemporaryDir state;
  window.set_settings_file(state.path().toStdString() + "/corvanta.conf");
  window.set_key_file(state.path().toStdString() + "/link-keys");
  window.show();
  QVERIFY(QTest::qWaitForWindowActive(&window));
  // A failure's box would wait for a click: close it and keep its text.
  QString boxes;
  QTimer box_closer;
  QObject::connect(&box_closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      boxes += box->text() + "\n";
      box->done(QMessageBox::Ok);
    }
  });
  box_closer.start(20);
  auto click = [&](int id) {
    QTest::mouseClick(window.button(id), Qt::LeftButton);
    window.wait_for_worker();
  };
  auto select_the_camera = [&] {
    QListWidget* list = window.device_list();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
  };

  click(kIdOpen);
  QVERIFY(window.button(kIdInquiry)->isEnabled());
  click(kIdInquiry);
  QCOMPARE(window.device_list()->count(), 1);
  select_the_camera();
  QTest::mouseClick(window.button(kIdConnect), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(window.pin_dialog() != nullptr && window.pin_dialog()->isVisible(), 20000);
  window.pin_dialog()->pin_field()->setText("1234");
  QTest::mouseClick(window.pin_dialog()->ok_button(), Qt::LeftButton);
  window.wait_for_worker();
  QCOMPARE(boxes, QString());
  QVERIFY(window.button(kIdDisconnect)->isEnabled());
  // The emulator's link manager gives every pair this key.
  QVERIFY(text_of(state.path() + "/link-keys").find(" 00010203040506070809000102030405 0\n") != std::string::npos);

  QWidget* keyboard = QApplication::focusWidget();
  QVERIFY(keyboard != nullptr);
  QTest::keyClick(keyboard, Qt::Key_Up);
  window.wait_for_worker();
  const CameraFrame expected = render_camera_view(CameraScene{});
  QCOMPARE(host.frame_length, static_cast<std::int16_t>(kFrameBufferSize));
  QVERIFY(std::equal(expected.begin(), expected.end(), host.frame_buffer.begin()));

  click(kIdDisconnect);
  select_the_camera();
  click(kIdConnect);
  QVERIFY(window.pin_dialog() == nullptr);
  QCOMPARE(boxes, QString());
  QVERIFY(window.button(kIdDisconnect)->isEnabled());
  click(kIdDisconnect);
  click(kIdClose);
}

QTEST_MAIN(WindowUnderBtvirt)
#include "window_btvirt_test.moc"
