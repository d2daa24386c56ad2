#include "window_icons.h"

#include <QImageReader>
#include <QString>

// The icons live in a static library, whose resources must be registered
// by hand.
static void register_icon_resources() { Q_INIT_RESOURCE(icons); }

QPixmap icon_pixmap(int icon_id, int size) {
  static const bool registered = (register_icon_resources(), true);
  (void)registered;
  // The .ico files hold several images; read each and keep the right size.
  QImageReader reader(QString(":/icons/icon%1.ico").arg(icon_id));
  for (int i = 0; i < reader.imageCount(); ++i) {
    if (!reader.jumpToImage(i)) break;
    QImage image = reader.read();
    if (image.width() == size) return QPixmap::fromImage(image);
  }
  return {};
}

QIcon window_icon() {
  QIcon icon;
  icon.addPixmap(icon_pixmap(kIconSmall, 16));
  icon.addPixmap(icon_pixmap(kIconClass, 32));
  return icon;
}
