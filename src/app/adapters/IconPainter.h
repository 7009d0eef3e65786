#pragma once
// Paints a toolkit-free IconImage with QPainter at a given size and pixel ratio.
#include "app/TrayIcon.h"

#include <QIcon>
#include <QImage>

namespace parlando {

QImage renderIcon(const IconImage& image, int logicalSize, qreal devicePixelRatio);
// Pixmaps at the usual tray sizes, so the tray picks a sharp one on any scale.
QIcon iconForTray(const IconImage& image);

}  // namespace parlando
