#include "key_map.h"

#include <Qt>

std::uint32_t virtual_key_from_qt(int qt_key) {
  switch (qt_key) {
    case Qt::Key_Left: return 0x25;
    case Qt::Key_Up: return 0x26;
    case Qt::Key_Right: return 0x27;
    case Qt::Key_Down: return 0x28;
    case Qt::Key_Space: return 0x20;
    default: break;
  }
  // Qt reports a letter key by its upper-case code, with or without Shift,
  // as Windows does; the same holds for digits.
  if (qt_key >= Qt::Key_A && qt_key <= Qt::Key_Z) return static_cast<std::uint32_t>(qt_key);
  if (qt_key >= Qt::Key_0 && qt_key <= Qt::Key_9) return static_cast<std::uint32_t>(qt_key);
  return 0;
}
