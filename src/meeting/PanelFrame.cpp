#include "meeting/PanelFrame.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace parlando {

namespace {

// The part of a screen that must show the frame for it to count as reachable:
// enough of the title bar to take hold of.
constexpr int reachable = 32;

class Reader {
public:
    explicit Reader(const std::string& s) : s_(s) {}
    bool expect(char c) {
        skipSpace();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    std::optional<int> number() {
        skipSpace();
        const char* begin = s_.c_str() + pos_;
        char* end = nullptr;
        const double v = std::strtod(begin, &end);
        if (end == begin || !std::isfinite(v) || std::fabs(v) > 1e7) return std::nullopt;
        pos_ += static_cast<std::size_t>(end - begin);
        return static_cast<int>(std::lround(v));
    }
    bool atEnd() {
        skipSpace();
        return pos_ == s_.size();
    }

private:
    void skipSpace() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n')) ++pos_;
    }
    const std::string& s_;
    std::size_t pos_ = 0;
};

long long overlap(int a0, int a1, int b0, int b1) { return std::max(0, std::min(a1, b1) - std::max(a0, b0)); }

long long gap(int a0, int a1, int b0, int b1) {
    if (a1 <= b0) return b0 - a1;
    if (b1 <= a0) return a0 - b1;
    return 0;
}

}  // namespace

std::string PanelFrame::format(const PanelRect& r) {
    return "{{" + std::to_string(r.x) + ", " + std::to_string(r.y) + "}, {" + std::to_string(r.width) + ", " +
           std::to_string(r.height) + "}}";
}

std::optional<PanelRect> PanelFrame::parse(const std::string& text) {
    Reader in(text);
    PanelRect r;
    std::optional<int> x, y, w, h;
    if (!in.expect('{') || !in.expect('{') || !(x = in.number()) || !in.expect(',') || !(y = in.number()) ||
        !in.expect('}') || !in.expect(',') || !in.expect('{') || !(w = in.number()) || !in.expect(',') ||
        !(h = in.number()) || !in.expect('}') || !in.expect('}') || !in.atEnd())
        return std::nullopt;
    if (*w <= 0 || *h <= 0) return std::nullopt;
    r.x = *x;
    r.y = *y;
    r.width = std::max(*w, minWidth);
    r.height = std::max(*h, minHeight);
    return r;
}

PanelRect PanelFrame::toDesktop(const PanelRect& f, const PanelRect& primary) {
    return {primary.x + f.x, primary.y + primary.height - f.y - f.height, f.width, f.height};
}

PanelRect PanelFrame::fromDesktop(const PanelRect& f, const PanelRect& primary) {
    return {f.x - primary.x, primary.y + primary.height - f.y - f.height, f.width, f.height};
}

PanelRect PanelFrame::keepOnScreen(const PanelRect& f, const std::vector<PanelRect>& screens) {
    if (screens.empty()) return f;
    const PanelRect* nearest = nullptr;
    long long best = std::numeric_limits<long long>::max();
    for (const auto& s : screens) {
        const long long ox = overlap(f.x, f.x + f.width, s.x, s.x + s.width);
        const long long oy = overlap(f.y, f.y + f.height, s.y, s.y + s.height);
        if (ox >= std::min(reachable, f.width) && oy >= std::min(reachable, f.height)) return f;
        const long long dx = gap(f.x, f.x + f.width, s.x, s.x + s.width);
        const long long dy = gap(f.y, f.y + f.height, s.y, s.y + s.height);
        const long long d = dx * dx + dy * dy;
        if (d < best) {
            best = d;
            nearest = &s;
        }
    }
    const PanelRect& s = *nearest;
    PanelRect r = f;
    r.width = std::min(r.width, s.width);
    r.height = std::min(r.height, s.height);
    r.x = std::clamp(r.x, s.x, s.x + s.width - r.width);
    r.y = std::clamp(r.y, s.y, s.y + s.height - r.height);
    return r;
}

}  // namespace parlando
