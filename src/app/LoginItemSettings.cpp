#include "app/LoginItemSettings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace parlando {

namespace {

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// The program an Exec= value starts: its first argument, with the desktop
// string escapes and the Exec quoting undone.
std::string execProgram(const std::string& value) {
    std::string s;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char c = value[++i];
            s.push_back(c == 's' ? ' ' : c == 't' ? '\t' : c == 'n' ? '\n' : c);
        } else {
            s.push_back(value[i]);
        }
    }
    std::string arg;
    std::size_t i = 0;
    if (!s.empty() && s[0] == '"') {
        for (i = 1; i < s.size() && s[i] != '"'; ++i) {
            if (s[i] == '\\' && i + 1 < s.size()) ++i;
            arg.push_back(s[i]);
        }
    } else {
        for (; i < s.size() && s[i] != ' ' && s[i] != '\t'; ++i) arg.push_back(s[i]);
    }
    std::string out;
    for (std::size_t k = 0; k < arg.size(); ++k) {
        out.push_back(arg[k]);
        if (arg[k] == '%' && k + 1 < arg.size() && arg[k + 1] == '%') ++k;
    }
    return out;
}

// Whether `program` (as an Exec= line names it) is `executable`: the same path,
// the same file through a link, or a bare name that PATH resolves to it.
bool sameProgram(const std::string& program, const std::string& executable) {
    if (program.empty()) return false;
    if (program == executable) return true;
    std::vector<fs::path> candidates;
    if (program.find('/') != std::string::npos) {
        candidates.emplace_back(program);
    } else if (const char* path = std::getenv("PATH")) {
        std::stringstream dirs(path);
        for (std::string dir; std::getline(dirs, dir, ':');)
            if (!dir.empty()) candidates.push_back(fs::path(dir) / program);
    }
    for (const auto& c : candidates) {
        std::error_code ec;
        if (fs::equivalent(c, executable, ec)) return true;
    }
    return false;
}

}  // namespace

std::string desktopExecValue(const std::string& program) {
    static constexpr const char* reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string arg;
    if (program.find_first_of(reserved) == std::string::npos) {
        arg = program;
    } else {
        arg = "\"";
        for (char c : program) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') arg.push_back('\\');
            arg.push_back(c);
        }
        arg.push_back('"');
    }
    // Then the value is a desktop-entry string: '%' starts a field code and
    // a backslash is itself escaped.
    std::string out;
    for (char c : arg) {
        if (c == '%')
            out += "%%";
        else if (c == '\\')
            out += "\\\\";
        else
            out.push_back(c);
    }
    return out;
}

LoginItemSettings::LoginItemSettings(std::optional<fs::path> autostartDir, std::string executable)
    : dir_(std::move(autostartDir)), executable_(std::move(executable)) {}

std::optional<fs::path> LoginItemSettings::defaultAutostartDir(const EnvLookup& env) {
    auto config = XdgPaths::configHome(env);
    if (!config) return std::nullopt;
    return *config / "autostart";
}

std::optional<fs::path> LoginItemSettings::entryPath() const {
    if (!dir_) return std::nullopt;
    return *dir_ / entryFileName;
}

std::string LoginItemSettings::entryText() const {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Parlando\n"
           "Comment=Диктовка и расшифровка встреч\n"
           "Exec=" +
           desktopExecValue(executable_) +
           "\n"
           "Icon=parlando\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool LoginItemSettings::isLaunchAtLoginEnabled() const {
    const auto path = entryPath();
    if (!path) return false;
    std::ifstream in(*path);
    if (!in) return false;
    std::string line;
    bool inMainGroup = false, startsUs = false;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup) continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        if (key == "Hidden" && value == "true") return false;
        if (key == "X-GNOME-Autostart-enabled" && value == "false") return false;
        if (key == "Exec") startsUs = sameProgram(execProgram(value), executable_);
    }
    // An entry left by an old build or a moved install starts something else.
    return startsUs;
}

void LoginItemSettings::setLaunchAtLogin(bool enabled) {
    const auto path = entryPath();
    if (!path) throw LoginItemError("Не найдена папка автозапуска: не заданы ни XDG_CONFIG_HOME, ни HOME");
    std::error_code ec;
    if (!enabled) {
        fs::remove(*path, ec);
        if (ec) throw LoginItemError("Не удалось удалить " + path->string() + ": " + ec.message());
        return;
    }
    fs::create_directories(*dir_, ec);
    if (ec) throw LoginItemError("Не удалось создать папку " + dir_->string() + ": " + ec.message());
    // Write beside it and rename, so a session starting meanwhile never reads half an entry.
    const fs::path tmp = path->string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw LoginItemError("Не удалось записать " + tmp.string() + ": " + std::strerror(errno));
        out << entryText();
        out.flush();
        if (!out) {
            fs::remove(tmp, ec);
            throw LoginItemError("Не удалось записать " + tmp.string());
        }
    }
    fs::rename(tmp, *path, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(tmp, ignored);
        throw LoginItemError("Не удалось записать " + path->string() + ": " + ec.message());
    }
}

}  // namespace parlando
