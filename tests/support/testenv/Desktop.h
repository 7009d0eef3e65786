#pragma once
// A private desktop for the parlando binary: an X server (with a tray host, a
// window manager, or neither) and a session bus with a keyring or without.
#include "testenv/TestEnv.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace parlando::testenv {

// With PARLANDO_DEMO set (scripts/demo-*.sh) a test narrates what it does
// and keeps its folder, with a screenshot, for a person to look at.
inline bool demo() { return std::getenv("PARLANDO_DEMO") != nullptr; }
inline void say(const std::string& what) {
    if (demo()) std::printf("demo: %s\n", what.c_str()), std::fflush(stdout);
}

struct Desktop {
    Desktop(const std::string& name, bool trayHost, bool windowManager, bool keyring)
        : dir(name), x(dir.path(), XServer::Options{trayHost, 1280, 800}), bus(dir.path(), keyring) {
        if (demo()) dir.keep();
        say("working folder " + dir.path().string());
        env = isolatedEnv(dir.path(),
                          {x.env(), bus.env(), {{"QT_QPA_PLATFORM", "xcb"}, {"XDG_RUNTIME_DIR", dir.path().string()}}});
        if (windowManager) wm = startWindowManager(env, dir.path());
    }
    std::string file(const char* name) const { return (dir.path() / name).string(); }
    std::filesystem::path logFile() const {
        return std::filesystem::path(env.at("XDG_DATA_HOME")) / "Parlando/parlando-tray.txt";
    }
    std::string log() const { return readFile(logFile()); }
    bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }
    // The app's settings file, [General] with these lines.
    void configure(const std::string& lines) {
        std::filesystem::create_directories(env.at("XDG_CONFIG_HOME") + "/Parlando");
        std::ofstream(env.at("XDG_CONFIG_HOME") + "/Parlando/Parlando.conf") << "[General]\n" << lines;
    }
    Process startApp(const std::vector<std::string>& args = {}, const std::string& name = "app") {
        std::vector<std::string> argv{PARLANDO_BINARY_DIR "/apps/parlando"};
        argv.insert(argv.end(), args.begin(), args.end());
        return Process::spawn(argv, env, dir.path() / (name + ".out"), dir.path() / (name + ".err"));
    }

    TempDir dir;
    XServer x;
    SessionBus bus;
    Process wm;
    std::map<std::string, std::string> env;
};

}  // namespace parlando::testenv
