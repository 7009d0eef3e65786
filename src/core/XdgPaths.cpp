#include "core/XdgPaths.h"

#include <cstdlib>

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

std::optional<std::filesystem::path> XdgPaths::appDataDir(const EnvLookup& env) {
    auto base = dataHome(env);
    if (!base) return std::nullopt;
    return *base / "Parlando";
}

}  // namespace parlando
