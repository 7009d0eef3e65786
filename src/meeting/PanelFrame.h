#pragma once
// The transcript panel's saved frame: its text form "{{x, y}, {w, h}}" (the
// outer frame, origin at the bottom-left of the primary screen, y upwards, as
// the stored files of earlier versions hold it), the conversion to the
// desktop's top-left coordinates, and the placement rules that do not need
// a window system.
#include <optional>
#include <string>
#include <vector>

namespace parlando {

struct PanelRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const PanelRect&) const = default;
};

struct PanelFrame {
    static constexpr const char* settingKey = "ParlandoTranscriptPanelFrame";
    static constexpr int defaultContentWidth = 420;
    static constexpr int defaultContentHeight = 280;
    static constexpr int minWidth = 280;
    static constexpr int minHeight = 160;

    // "{{100, 200}, {420, 302}}". Whole numbers.
    static std::string format(const PanelRect& bottomLeftFrame);
    // Reads the text form; fractional values are rounded. A text that does not
    // hold four numbers in that shape gives nothing, so the default place is
    // used instead of a zero-sized window.
    static std::optional<PanelRect> parse(const std::string& text);

    // Between the saved form and the desktop's coordinates (origin top-left of
    // the virtual screen, y downwards). primary is the primary screen's
    // rectangle in desktop coordinates.
    static PanelRect toDesktop(const PanelRect& bottomLeftFrame, const PanelRect& primary);
    static PanelRect fromDesktop(const PanelRect& desktopFrame, const PanelRect& primary);

    // A frame that no screen shows enough of to grab it (a monitor was
    // unplugged) is moved, and shrunk if it must, onto the nearest screen.
    // Screens in desktop coordinates; an empty list leaves the frame alone.
    static PanelRect keepOnScreen(const PanelRect& desktopFrame, const std::vector<PanelRect>& screens);

    // New lines follow the end only when the reader was already there; a
    // reader scrolled up to earlier lines keeps his place.
    static bool followsEnd(int scrollValue, int scrollMaximum) { return scrollValue >= scrollMaximum - 2; }
};

}  // namespace parlando
