#include "app/TrayIcon.h"

#include <algorithm>

namespace parlando::TrayIcon {

IconImage crossfadeImage(double blend, bool signal, bool muted, bool parallelDictation, bool systemAudioActive) {
    const double b = std::clamp(blend, 0.0, 1.0);
    const Rgba base = muted ? grey : (signal ? green : grey);
    const Rgba active = parallelDictation ? orange : red;
    IconImage img;
    img.width = img.height = iconSize;
    const double minX = 0, minY = 0, maxX = iconSize, maxY = iconSize;

    auto disc = [&](Rgba c, double alpha) {
        IconOp op;
        op.kind = IconOp::Kind::fillEllipse;
        op.x = minX + 1.5;
        op.y = minY + 1.5;
        op.w = iconSize - 3.0;
        op.h = iconSize - 3.0;
        c.a = alpha;
        op.color = c;
        img.ops.push_back(op);
    };
    disc(base, muted ? 1.0 : 1.0 - b);
    if (!muted) disc(active, b);
    if (!muted && b >= 0.5 && (signal || systemAudioActive)) {
        IconOp dot;
        dot.kind = IconOp::Kind::fillEllipse;
        dot.x = maxX - 5 - 1;
        dot.y = minY + 1;
        dot.w = 5;
        dot.h = 5;
        dot.color = green;
        img.ops.push_back(dot);
    }
    if (muted) {
        IconOp slash;
        slash.kind = IconOp::Kind::strokeLine;
        slash.x = minX + 2.5;
        slash.y = minY + 2.5;
        slash.x2 = maxX - 2.5;
        slash.y2 = maxY - 2.5;
        slash.lineWidth = 2;
        slash.color = Rgba{0.18, 0.18, 0.18, 1};
        img.ops.push_back(slash);
    }
    return img;
}

IconImage idleImage() { return crossfadeImage(0, false, false, false, false); }

IconImage appIconImage() {
    IconImage img;
    img.width = img.height = iconSize;
    auto oval = [&](double x, double y, double d, Rgba c) {
        IconOp op;
        op.kind = IconOp::Kind::fillEllipse;
        op.x = x;
        op.y = y;
        op.w = op.h = d;
        op.color = c;
        img.ops.push_back(op);
    };
    oval(1, 1, 14, red);
    oval(9.25, 0.25, 6.5, Rgba{1, 1, 1, 1});  // a white rim keeps the dot apart from the disc
    oval(10, 1, 5, green);
    return img;
}

}  // namespace parlando::TrayIcon
