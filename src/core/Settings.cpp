#include "core/Settings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <sstream>

namespace parlando {

namespace {
std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}
std::string trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}
}  // namespace

std::optional<bool> parseBoolText(const std::string& text) {
    const std::string t = lower(trimmed(text));
    if (t == "true" || t == "1" || t == "yes") return true;
    if (t == "false" || t == "0" || t == "no") return false;
    return std::nullopt;
}

std::optional<std::int64_t> parseIntText(const std::string& text) {
    const std::string t = trimmed(text);
    std::int64_t v = 0;
    auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || ptr != t.data() + t.size() || t.empty()) return std::nullopt;
    return v;
}

std::optional<double> parseDoubleText(const std::string& text) {
    const std::string t = trimmed(text);
    if (t.empty()) return std::nullopt;
    std::istringstream in(t);
    in.imbue(std::locale::classic());
    double v = 0;
    in >> v;
    if (in.fail() || !in.eof()) return std::nullopt;
    return v;
}

std::optional<MemorySettings::Value> MemorySettings::find(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

std::optional<bool> MemorySettings::getBool(const std::string& key) const {
    auto v = find(key);
    if (!v) return std::nullopt;
    if (auto b = std::get_if<bool>(&*v)) return *b;
    if (auto i = std::get_if<std::int64_t>(&*v)) return *i != 0;
    if (auto d = std::get_if<double>(&*v)) return *d != 0.0;
    return parseBoolText(std::get<std::string>(*v));
}

std::optional<std::int64_t> MemorySettings::getInt(const std::string& key) const {
    auto v = find(key);
    if (!v) return std::nullopt;
    if (auto b = std::get_if<bool>(&*v)) return *b ? 1 : 0;
    if (auto i = std::get_if<std::int64_t>(&*v)) return *i;
    if (auto d = std::get_if<double>(&*v)) return static_cast<std::int64_t>(*d);
    return parseIntText(std::get<std::string>(*v));
}

std::optional<double> MemorySettings::getDouble(const std::string& key) const {
    auto v = find(key);
    if (!v) return std::nullopt;
    if (auto b = std::get_if<bool>(&*v)) return *b ? 1.0 : 0.0;
    if (auto i = std::get_if<std::int64_t>(&*v)) return static_cast<double>(*i);
    if (auto d = std::get_if<double>(&*v)) return *d;
    return parseDoubleText(std::get<std::string>(*v));
}

std::optional<std::string> MemorySettings::getString(const std::string& key) const {
    auto v = find(key);
    if (!v) return std::nullopt;
    if (auto b = std::get_if<bool>(&*v)) return std::string(*b ? "true" : "false");
    if (auto i = std::get_if<std::int64_t>(&*v)) return std::to_string(*i);
    if (auto d = std::get_if<double>(&*v)) {
        std::ostringstream out;
        out.imbue(std::locale::classic());
        out << *d;
        return out.str();
    }
    return std::get<std::string>(*v);
}

void MemorySettings::setBool(const std::string& key, bool value) {
    std::lock_guard lock(mutex_);
    values_[key] = value;
}
void MemorySettings::setInt(const std::string& key, std::int64_t value) {
    std::lock_guard lock(mutex_);
    values_[key] = value;
}
void MemorySettings::setDouble(const std::string& key, double value) {
    std::lock_guard lock(mutex_);
    values_[key] = value;
}
void MemorySettings::setString(const std::string& key, const std::string& value) {
    std::lock_guard lock(mutex_);
    values_[key] = value;
}
void MemorySettings::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    values_.erase(key);
}
bool MemorySettings::contains(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return values_.count(key) != 0;
}

}  // namespace parlando
