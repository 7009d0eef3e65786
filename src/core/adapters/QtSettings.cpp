#include "core/adapters/QtSettings.h"

#include "core/XdgPaths.h"

namespace parlando {

namespace {
// Keys live in the INI's [General] group under their plain names.
QString qkey(const std::string& key) { return QString::fromStdString(key); }
}  // namespace

std::filesystem::path QtSettings::defaultFile() {
    auto base = XdgPaths::configHome();
    return (base ? *base : std::filesystem::path(".config")) / "Parlando" / "Parlando.conf";
}

QtSettings::QtSettings() : QtSettings(defaultFile()) {}

QtSettings::QtSettings(const std::filesystem::path& file)
    : settings_(QString::fromStdString(file.string()), QSettings::IniFormat) {}

std::filesystem::path QtSettings::fileName() const { return settings_.fileName().toStdString(); }

std::optional<std::string> QtSettings::getString(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const QVariant v = settings_.value(qkey(key));
    if (!v.isValid()) return std::nullopt;
    return v.toString().toStdString();
}

std::optional<bool> QtSettings::getBool(const std::string& key) const {
    auto s = getString(key);
    if (!s) return std::nullopt;
    return parseBoolText(*s);
}

std::optional<std::int64_t> QtSettings::getInt(const std::string& key) const {
    auto s = getString(key);
    if (!s) return std::nullopt;
    return parseIntText(*s);
}

std::optional<double> QtSettings::getDouble(const std::string& key) const {
    auto s = getString(key);
    if (!s) return std::nullopt;
    return parseDoubleText(*s);
}

void QtSettings::set(const std::string& key, const QVariant& value) {
    std::lock_guard lock(mutex_);
    settings_.setValue(qkey(key), value);
    settings_.sync();
}

void QtSettings::setBool(const std::string& key, bool value) { set(key, value); }
void QtSettings::setInt(const std::string& key, std::int64_t value) { set(key, QVariant::fromValue<qlonglong>(value)); }
void QtSettings::setDouble(const std::string& key, double value) { set(key, value); }
void QtSettings::setString(const std::string& key, const std::string& value) {
    set(key, QString::fromStdString(value));
}

void QtSettings::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    settings_.remove(qkey(key));
    settings_.sync();
}

bool QtSettings::contains(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return settings_.contains(qkey(key));
}

}  // namespace parlando
