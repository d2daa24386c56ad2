#include "about_box.h"

#include <QLabel>
#include <QPushButton>

#include "window_icons.h"

namespace {
// A static text or control placed in dialog units.
void place(QWidget* w, int x, int y, int width, int height) {
  w->setGeometry(dialog_x(x), dialog_y(y), dialog_x(width), dialog_y(height));
}

QLabel* text_line(QWidget* parent, const char* text, int y) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setTextFormat(Qt::PlainText);  // no prefix character, no markup
  place(label, 49, y, 119, 8);
  return label;
}
}  // namespace

AboutBox::AboutBox(QWidget* owner) : QDialog(owner) {
  setWindowTitle(QString::fromUtf8(kAboutCaption));
  // Caption with the close box only: no help button, no resizing.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setModal(true);
  setFixedSize(dialog_x(230), dialog_y(75));
  if (owner != nullptr) move(owner->mapToGlobal(QPoint(dialog_x(22), dialog_y(17))));

  auto* icon = new QLabel(this);
  icon->setObjectName("about_icon");
  icon->setPixmap(icon_pixmap(kIconClass, 32));
  place(icon, 14, 9, 16, 16);
  text_line(this, kAboutFirstLine, 10)->setObjectName("about_first_line");
  text_line(this, kAboutSecondLine, 20)->setObjectName("about_second_line");

  // The default button: Enter presses it; Esc and the close box reject.
  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("about_ok");
  ok->setDefault(true);
  place(ok, 195, 6, 30, 11);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  ok->setFocus();
}
