#pragma once
// The app controller on virtual time with a fake tray button and notifier.
#include "app/LoginItemSettings.h"
#include "app/StatusBarController.h"
#include "core/VirtualMainLoop.h"
#include "fakes/FakeTray.h"
#include "fakes/Fakes.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace parlando::testing {

struct ScratchDir {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("parlando-unit-" + std::to_string(std::random_device{}()));
    ScratchDir() { std::filesystem::create_directories(path); }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

inline std::string readText(const std::filesystem::path& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

struct AppRig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeTrayButton button;
    FakeNotifier notifier;
    std::shared_ptr<StatusBarController> c;

    explicit AppRig(StatusMenuHooks hooks = {}, std::vector<StatusBarController::StartupStep> steps = {},
                    LoginItemSettings* login = nullptr, bool withButton = true) {
        c = StatusBarController::create(
            AppServices{loop, settings, log, withButton ? &button : nullptr, &notifier, login}, std::move(steps),
            std::move(hooks));
    }
    void advance(double s) { loop.advanceBy(seconds(s)); }
};

inline std::vector<std::string> titles(const std::vector<MenuItem>& items) {
    std::vector<std::string> out;
    for (const auto& i : items) out.push_back(i.kind == MenuItem::Kind::separator ? "---" : i.title);
    return out;
}

// The titles with "✓" before a checked item and " (off)" after a greyed one.
inline std::vector<std::string> drawn(const std::vector<MenuItem>& items) {
    std::vector<std::string> out = titles(items);
    for (std::size_t k = 0; k < items.size(); ++k)
        out[k] = (items[k].checked == true ? "✓" : "") + out[k] + (items[k].enabled ? "" : " (off)");
    return out;
}

inline const MenuItem& find(const MenuModel& m, const std::string& title) {
    for (const auto& i : m.items)
        if (i.title == title) return i;
    throw std::runtime_error("no item " + title);
}

}  // namespace parlando::testing
