#pragma once
// User defaults under the product's key names ("ParlandoMuted", ...).
// A missing key reads as std::nullopt; callers apply the documented default.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace parlando {

class Settings {
public:
    virtual ~Settings() = default;
    virtual std::optional<bool> getBool(const std::string& key) const = 0;
    virtual std::optional<std::int64_t> getInt(const std::string& key) const = 0;
    virtual std::optional<double> getDouble(const std::string& key) const = 0;
    virtual std::optional<std::string> getString(const std::string& key) const = 0;
    virtual void setBool(const std::string& key, bool value) = 0;
    virtual void setInt(const std::string& key, std::int64_t value) = 0;
    virtual void setDouble(const std::string& key, double value) = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void remove(const std::string& key) = 0;
    virtual bool contains(const std::string& key) const = 0;

    bool boolOr(const std::string& key, bool fallback) const { return getBool(key).value_or(fallback); }
    std::int64_t intOr(const std::string& key, std::int64_t fallback) const { return getInt(key).value_or(fallback); }
    std::string stringOr(const std::string& key, const std::string& fallback) const {
        return getString(key).value_or(fallback);
    }
};

// Thread-safe in-memory settings, for tests and tools. Values are kept typed;
// reading a key as another type converts the way the on-disk store would
// ("true"/"1" for booleans, decimal text for numbers).
class MemorySettings final : public Settings {
public:
    using Value = std::variant<bool, std::int64_t, double, std::string>;

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

private:
    std::optional<Value> find(const std::string& key) const;
    mutable std::mutex mutex_;
    std::map<std::string, Value> values_;
};

// Text conversions shared by every store that keeps values as text.
std::optional<bool> parseBoolText(const std::string& text);
std::optional<std::int64_t> parseIntText(const std::string& text);
std::optional<double> parseDoubleText(const std::string& text);

}  // namespace parlando
