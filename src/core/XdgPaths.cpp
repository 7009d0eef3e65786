#include "core/XdgPaths.h"

#include <cstdlib>
#include <fstream>

namespace parlando {

std::optional<std::string> processEnv(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    return std::string(v);
}

namespace {
// The base-directory rules ignore empty and relative values.
std::optional<std::filesystem::path> absoluteVar(const EnvLookup& env, const char* name) {
    auto v = env(name);
    if (!v || v->empty()) return std::nullopt;
    std::filesystem::path p(*v);
    if (!p.is_absolute()) return std::nullopt;
    return p;
}
}  // namespace

std::optional<std::filesystem::path> XdgPaths::dataHome(const EnvLookup& env) {
    if (auto p = absoluteVar(env, "XDG_DATA_HOME")) return p;
    if (auto home = absoluteVar(env, "HOME")) return *home / ".local" / "share";
    return std::nullopt;
}

std::optional<std::filesystem::path> XdgPaths::configHome(const EnvLookup& env) {
    if (auto p = absoluteVar(env, "XDG_CONFIG_HOME")) return p;
    if (auto home = absoluteVar(env, "HOME")) return *home / ".config";
    return std::nullopt;
}

std::optional<std::filesystem::path> XdgPaths::documentsDir(const EnvLookup& env) {
    auto home = absoluteVar(env, "HOME");
    if (!home) return std::nullopt;
    if (auto config = configHome(env)) {
        // Lines of the form XDG_DOCUMENTS_DIR="$HOME/Documents" or an absolute
        // path in quotes; everything else is ignored, as xdg-user-dir does.
        std::ifstream in(*config / "user-dirs.dirs");
        std::string line;
        std::optional<std::filesystem::path> found;
        while (std::getline(in, line)) {
            const std::string key = "XDG_DOCUMENTS_DIR=\"";
            auto start = line.find_first_not_of(" \t");
            if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
            const auto open = start + key.size();
            const auto close = line.find('"', open);
            if (close == std::string::npos) continue;
            std::string value = line.substr(open, close - open);
            if (value.rfind("$HOME", 0) == 0) {
                std::string rest = value.substr(5);
                while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
                found = rest.empty() ? *home : *home / rest;
            } else if (!value.empty() && value.front() == '/') {
                found = std::filesystem::path(value);
            }
        }
        if (found) return found;
    }
    return *home / "Documents";
}

std::optional<std::filesystem::path> XdgPaths::appDataDir(const EnvLookup& env) {
    auto base = dataHome(env);
    if (!base) return std::nullopt;
    return *base / "Parlando";
}

}  // namespace parlando
