// hotkey-probe [--key NAME] [--input-dir DIR]
//
// Watches the dictation hotkey the way the application does (input devices
// first, the X server as the fallback) and prints the log lines and one line
// per edge ("press", "release") until interrupted. NAME is one of the
// "ParlandoHotkey" names; without it the saved setting applies. DIR replaces
// /dev/input (tests point it at an empty folder to force the X11 fallback).
#include "core/Settings.h"
#include "core/adapters/QtMainLoop.h"
#include "core/adapters/QtSettings.h"
#include "hotkey/HotkeyNames.h"
#include "hotkey/adapters/LinuxHotkey.h"

#include <QCoreApplication>

#include <cstdio>
#include <mutex>

namespace {

class StdoutLog final : public parlando::Log {
public:
    void append(std::string_view message) override {
        std::lock_guard lock(mutex_);
        std::fprintf(stdout, "%.*s\n", static_cast<int>(message.size()), message.data());
        std::fflush(stdout);
    }

private:
    std::mutex mutex_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Parlando");
    QCoreApplication::setApplicationName("Parlando");

    StdoutLog log;
    parlando::QtMainLoop loop;
    parlando::QtSettings saved;
    parlando::MemorySettings given;
    parlando::Settings* settings = &saved;
    const QStringList args = app.arguments();
    std::string inputDir = "/dev/input";
    bool usage = args.size() % 2 == 0;
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--key") {
            given.setString(parlando::hotkeySettingKey, args[i + 1].toStdString());
            settings = &given;
        } else if (args[i] == "--input-dir") {
            inputDir = args[i + 1].toStdString();
        } else {
            usage = true;
        }
    }
    if (usage) {
        std::fprintf(stderr, "usage: hotkey-probe [--key NAME] [--input-dir DIR]\nNAME:");
        for (const auto& n : parlando::hotkeyNames()) {
            std::fprintf(stderr, " %.*s", static_cast<int>(n.name.size()), n.name.data());
        }
        std::fprintf(stderr, "\n");
        return 2;
    }

    parlando::LinuxHotkey hotkey(loop, log, *settings, nullptr, inputDir);
    hotkey.listener().start([&] { log.append("press"); }, [&] { log.append("release"); });
    const int rc = QCoreApplication::exec();
    hotkey.listener().stop();
    return rc;
}
