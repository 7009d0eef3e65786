#pragma once
// Where the app keeps its files, per the XDG base-directory rules.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace parlando {

using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// Reads the process environment.
std::optional<std::string> processEnv(const char* name);

struct XdgPaths {
    // $XDG_DATA_HOME, else $HOME/.local/share; none when neither can be found.
    static std::optional<std::filesystem::path> dataHome(const EnvLookup& env = processEnv);
    // $XDG_CONFIG_HOME, else $HOME/.config.
    static std::optional<std::filesystem::path> configHome(const EnvLookup& env = processEnv);
    // The documents folder as the desktop defines it: XDG_DOCUMENTS_DIR from
    // $XDG_CONFIG_HOME/user-dirs.dirs (xdg-user-dirs), else $HOME/Documents.
    static std::optional<std::filesystem::path> documentsDir(const EnvLookup& env = processEnv);
    // The app's own folder in the data home: ".../Parlando".
    static std::optional<std::filesystem::path> appDataDir(const EnvLookup& env = processEnv);
};

}  // namespace parlando
