#pragma once
// Settings in an INI file: $XDG_CONFIG_HOME/Parlando/Parlando.conf by default.
#include "core/Settings.h"

#include <QSettings>
#include <filesystem>
#include <mutex>

namespace parlando {

class QtSettings final : public Settings {
public:
    // The standard location for this user.
    QtSettings();
    // An explicit file (tools and tests).
    explicit QtSettings(const std::filesystem::path& file);

    std::optional<bool> getBool(const std::string& key) const override;
    std::optional<std::int64_t> getInt(const std::string& key) const override;
    std::optional<double> getDouble(const std::string& key) const override;
    std::optional<std::string> getString(const std::string& key) const override;
    void setBool(const std::string& key, bool value) override;
    void setInt(const std::string& key, std::int64_t value) override;
    void setDouble(const std::string& key, double value) override;
    void setString(const std::string& key, const std::string& value) override;
    void remove(const std::string& key) override;
    bool contains(const std::string& key) const override;

    std::filesystem::path fileName() const;
    static std::filesystem::path defaultFile();

private:
    void set(const std::string& key, const QVariant& value);
    mutable std::mutex mutex_;
    mutable QSettings settings_;
};

}  // namespace parlando
