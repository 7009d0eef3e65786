#pragma once
// Paints a toolkit-free IconImage with QPainter at a given size and pixel ratio.
#include "app/TrayIcon.h"

#include <QIcon>
#include <QImage>

namespace parlando {

QImage renderIcon(const IconImage& image, int logicalSize, qreal devicePixelRatio);
// An icon drawn on demand at the size and pixel ratio asked for: sharp on any
// scale, and nothing of it is kept once it has been replaced.
QIcon iconForTray(const IconImage& image);

}  // namespace parlando
