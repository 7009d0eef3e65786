#pragma once
// What the end-to-end tests share: a real-time feeder for the pipe
// microphone, speech made by espeak-ng, and the demo narration.
#include "testenv/TestEnv.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

namespace parlando::testenv {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Writes 16 kHz mono s16le into the pipe microphone at real-time pace (640
// bytes every 20 ms, as a clocked device would) and keeps every byte it wrote.
class MicFeeder {
public:
    explicit MicFeeder(fs::path fifo) : fifo_(std::move(fifo)) {}
    ~MicFeeder() { stop(); }

    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void stop() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }
    // Queue speech-like audio to be written next (after what is queued).
    void queue(const std::string& pcm) {
        std::lock_guard lock(mutex_);
        queued_ += pcm;
    }
    std::string written() {
        std::lock_guard lock(mutex_);
        return written_;
    }

private:
    void run() {
        const int fd = ::open(fifo_.c_str(), O_WRONLY);
        if (fd < 0) return;
        std::mt19937 rng(7);
        std::normal_distribution<double> noise(0.0, 300.0);  // room noise: above the silence floor
        auto next = std::chrono::steady_clock::now();
        while (running_) {
            std::string chunk;
            {
                std::lock_guard lock(mutex_);
                chunk = queued_.substr(0, 640);
                queued_.erase(0, chunk.size());
            }
            while (chunk.size() < 640) {
                const auto v = static_cast<std::int16_t>(std::clamp(noise(rng), -32767.0, 32767.0));
                chunk.push_back(static_cast<char>(v & 0xff));
                chunk.push_back(static_cast<char>((v >> 8) & 0xff));
            }
            if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) break;
            {
                std::lock_guard lock(mutex_);
                written_ += chunk;
            }
            next += 20ms;
            std::this_thread::sleep_until(next);
        }
        ::close(fd);
    }

    fs::path fifo_;
    std::thread thread_;
    std::atomic<bool> running_{true};
    std::mutex mutex_;
    std::string queued_, written_;
};

inline std::string speechPcm(const fs::path& dir, const std::string& words, const std::string& name = "speech") {
    const fs::path wav = dir / (name + ".wav"), raw = dir / (name + ".raw");
    if (run({"espeak-ng", "-w", wav.string(), words}).exitCode != 0) return {};
    if (run({"sox", wav.string(), "-t", "raw", "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer", "-L",
             raw.string()})
            .exitCode != 0)
        return {};
    return readFile(raw);
}

// With PARLANDO_DEMO set (scripts/demo-*.sh) the test narrates what it
// does and keeps its folder, with a screenshot, for a person to look at.
inline bool demo() { return std::getenv("PARLANDO_DEMO") != nullptr; }
inline void say(const std::string& what) {
    if (demo()) std::printf("demo: %s\n", what.c_str()), std::fflush(stdout);
}

// The private desktop the parlando binary runs on: an X server (with a tray
// host, or with a window manager), PulseAudio with the pipe microphone as the
// default input, a keyring holding the API key, the local recognition service
// answering from `script`, listening on with the pipe microphone chosen (plus
// `settings`), and a text field of another application that has the focus.
struct AppDesktop {
    static constexpr const char* apiKey = "e2e-key-20c1";
    AppDesktop(const std::string& name, bool windowManager, const std::string& script, const std::string& settings,
               const std::vector<std::string>& serviceOptions = {})
        : dir(name), x(dir.path(), XServer::Options{!windowManager, 1280, 800}), sound(dir.path()), bus(dir.path(), true) {
        if (demo()) dir.keep();
        say("working folder " + dir.path().string());
        std::ofstream(dir.path() / "script.txt") << script;
        std::vector<std::string> options{"--key", apiKey, "--script", file("script.txt")};
        options.insert(options.end(), serviceOptions.begin(), serviceOptions.end());
        service.emplace(dir.path(), options);
        ready = service->port() > 0 && sound.pactl({"set-default-source", "pipemic"}).exitCode == 0;
        if (!ready) return;
        env = isolatedEnv(dir.path(), {x.env(), sound.env(), bus.env(), {{"QT_QPA_PLATFORM", "xcb"},
                          {"PARLANDO_DEEPGRAM_URL", service->base()}}});
        if (windowManager) wm = startWindowManager(env, dir.path());
        ready = storeApiKey(env, apiKey);
        fs::create_directories(env["XDG_CONFIG_HOME"] + "/Parlando");
        std::ofstream(env["XDG_CONFIG_HOME"] + "/Parlando/Parlando.conf")
            << "[General]\nParlandoMuted=false\nParlandoMicDeviceUID=pipemic\n" << settings;
        target = Process::spawn({PARLANDO_BINARY_DIR "/tools/paste-target/paste-target", "--out", file("target")}, env,
                                dir.path() / "target.out", dir.path() / "target.err");
        // As a pager would: a window manager may keep a newcomer from taking the focus itself.
        if (windowManager) run({"xdotool", "search", "--sync", "--class", "paste-target", "windowactivate"}, env);
        ready = ready && waitFor([&] { return fs::exists(dir.path() / "target.ready"); }, 20s);
    }
    std::string file(const char* name) const { return (dir.path() / name).string(); }
    fs::path logFile() const { return fs::path(env.at("XDG_DATA_HOME")) / "Parlando/parlando-tray.txt"; }
    std::string log() const { return readFile(logFile()); }
    Process startApp() {
        return Process::spawn({PARLANDO_BINARY_DIR "/apps/parlando"}, env, dir.path() / "app.out", dir.path() / "app.err");
    }

    TempDir dir;
    XServer x;
    SoundServer sound;
    SessionBus bus;
    std::optional<RecognitionService> service;
    Process wm, target;
    std::map<std::string, std::string> env;
    bool ready = false;
};

}  // namespace parlando::testenv
