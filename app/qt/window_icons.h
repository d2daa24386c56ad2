#pragma once
// Icons 107 (32 x 32 and 16 x 16) and 108 (16 x 16), drawn by
// scripts/make_icons and built into the program.
#include <QIcon>
#include <QPixmap>

inline constexpr int kIconClass = 107;
inline constexpr int kIconSmall = 108;

// The image of that size from the icon, or a null pixmap.
QPixmap icon_pixmap(int icon_id, int size);
// The window's icon: 108 at 16 x 16 (caption and task bar) and 107 at 32 x 32.
QIcon window_icon();
