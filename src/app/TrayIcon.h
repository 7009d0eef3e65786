#pragma once
// The tray icon as a toolkit-free drawing: a list of shapes on a 16x16 canvas
// whose origin is the bottom-left corner. Adapters paint it at any pixel ratio.
#include <vector>

namespace parlando {

struct Rgba {
    double r = 0, g = 0, b = 0, a = 1;
    bool operator==(const Rgba&) const = default;
};

struct IconOp {
    enum class Kind { fillEllipse, strokeLine };
    Kind kind = Kind::fillEllipse;
    // fillEllipse: the bounding rectangle x, y, w, h. strokeLine: from (x, y) to (x2, y2).
    double x = 0, y = 0, w = 0, h = 0, x2 = 0, y2 = 0;
    double lineWidth = 0;  // strokeLine, round caps
    Rgba color;
    bool operator==(const IconOp&) const = default;
};

struct IconImage {
    double width = 16, height = 16;
    bool isTemplate = false;  // colours are shown as they are, never tinted
    std::vector<IconOp> ops;
    bool operator==(const IconImage&) const = default;
};

namespace TrayIcon {
inline constexpr Rgba red{1.0, 0.23, 0.19, 1};
inline constexpr Rgba grey{0.66, 0.66, 0.66, 1};
inline constexpr Rgba green{0.2, 0.8, 0.3, 1};
inline constexpr Rgba orange{1.0, 0.58, 0.0, 1};
inline constexpr double iconSize = 16.0;

IconImage crossfadeImage(double blend, bool signal, bool muted, bool parallelDictation, bool systemAudioActive);
IconImage idleImage();
// The application's own icon (About item, notifications): the recording disc
// with its signal dot, the same motif as data/parlando.svg.
IconImage appIconImage();
}  // namespace TrayIcon

}  // namespace parlando
