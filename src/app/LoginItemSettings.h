#pragma once
// Launch at login through an XDG autostart entry: a desktop entry of ours in
// $XDG_CONFIG_HOME/autostart that starts the installed binary. The file is
// the single source of truth; nothing is stored elsewhere.
#include "core/XdgPaths.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace parlando {

class LoginItemError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class LoginItemSettings {
public:
    static constexpr const char* entryFileName = "com.parlando.Parlando.desktop";

    // autostartDir: none when no config folder can be found (every change then fails).
    // executable: the binary the entry starts.
    LoginItemSettings(std::optional<std::filesystem::path> autostartDir, std::string executable);

    // $XDG_CONFIG_HOME/autostart, else $HOME/.config/autostart.
    static std::optional<std::filesystem::path> defaultAutostartDir(const EnvLookup& env = processEnv);

    // True exactly when our entry exists, starts this very binary (its Exec=
    // names it, through a link or PATH too), and neither hides itself
    // (Hidden=true) nor is switched off the GNOME way
    // (X-GNOME-Autostart-enabled=false). Turning it on rewrites the entry.
    bool isLaunchAtLoginEnabled() const;
    // Writes (true) or removes (false) the entry; throws LoginItemError with a
    // user-readable description.
    void setLaunchAtLogin(bool enabled);

    std::optional<std::filesystem::path> entryPath() const;
    std::string entryText() const;

private:
    std::optional<std::filesystem::path> dir_;
    std::string executable_;
};

// The Exec= value that runs `program` with no arguments, quoted and escaped
// as desktop entries require.
std::string desktopExecValue(const std::string& program);

}  // namespace parlando
