#pragma once
// The picture as Qt draws it.
#include <QImage>

#include "frame_convert.h"

// 96 x 72, top row first, from the bottom-up BGR rows of the picture.
QImage picture_image(const Picture& picture);
