#include "meeting/MeetingText.h"

#include <cstdio>
#include <ctime>

namespace parlando::meeting_text {

namespace {

std::tm localTm(WallTime t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&secs, &tm);
    return tm;
}

std::string format(WallTime t, const char* pattern) {
    const std::tm tm = localTm(t);
    char buf[64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const std::size_t n = std::strftime(buf, sizeof buf, pattern, &tm);
#pragma GCC diagnostic pop
    return std::string(buf, n);
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

std::string folderName(WallTime t) { return format(t, "%Y-%m-%d-%H%M") + "-meeting"; }

std::string header(const std::string& folder) { return "# Meeting " + folder + "\n\n"; }

std::string clockTime(WallTime t) { return format(t, "%H:%M:%S"); }

std::optional<std::string> speakerLabel(std::optional<int> channel) {
    if (channel == 0) return std::string("Я");
    if (channel == 1) return std::string("Собеседник");
    return std::nullopt;
}

std::string line(const std::string& time, const std::optional<std::string>& label, const std::string& text) {
    if (label) return "[" + time + "] [" + *label + "] " + text;
    return "[" + time + "] " + text;
}

std::string trimmed(const std::string& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && isSpace(text[b])) ++b;
    while (e > b && isSpace(text[e - 1])) --e;
    return text.substr(b, e - b);
}

std::string isoTimestamp(WallTime t) { return format(t, "%Y-%m-%dT%H:%M:%S%z"); }

std::optional<WallTime> parseIsoTimestamp(const std::string& text) {
    int y, mo, d, h, mi, s;
    char sign = 0;
    int off = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%4d", &y, &mo, &d, &h, &mi, &s, &sign, &off) != 8 ||
        (sign != '+' && sign != '-'))
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    const long offset = (off / 100 * 3600L + off % 100 * 60L) * (sign == '-' ? -1 : 1);
    const std::time_t utc = timegm(&tm) - offset;
    return std::chrono::system_clock::from_time_t(utc);
}

std::optional<WallTime> parseFolderName(const std::string& name) {
    int y, mo, d, hm, used = 0;
    if (std::sscanf(name.c_str(), "%4d-%2d-%2d-%4d-meeting%n", &y, &mo, &d, &hm, &used) != 4 || used == 0)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = hm / 100;
    tm.tm_min = hm % 100;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == -1) return std::nullopt;
    return std::chrono::system_clock::from_time_t(t);
}

}  // namespace parlando::meeting_text
