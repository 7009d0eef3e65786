#pragma once
// What the end-to-end tests share: a real-time feeder for the pipe
// microphone, speech made by espeak-ng, and the desktop a dictation needs.
#include "testenv/Desktop.h"

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <cmath>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

namespace parlando::testenv {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Writes 16 kHz mono s16le into the pipe microphone at real-time pace (640
// bytes every 20 ms, as a clocked device would) and keeps every byte it wrote.
class MicFeeder {
public:
    explicit MicFeeder(const fs::path& fifo) : thread_([this, fifo] { run(fifo); }) {}
    ~MicFeeder() { stop(); }

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
    void run(const fs::path& fifo) {
        const int fd = ::open(fifo.c_str(), O_WRONLY);
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
                while (chunk.size() < 640) {
                    const auto v = static_cast<std::int16_t>(std::lround(noise(rng)));
                    chunk.append(reinterpret_cast<const char*>(&v), 2);  // little-endian, as the source expects
                }
                written_ += chunk;
            }
            if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) break;
            next += 20ms;
            std::this_thread::sleep_until(next);
        }
        ::close(fd);
    }

    std::atomic<bool> running_{true};
    std::mutex mutex_;
    std::string queued_, written_;
    std::thread thread_;  // last: it runs on the members above
};

// Words spoken by espeak-ng as 16 kHz mono s16le, kept in dir/<name>.raw; empty on failure.
inline std::string speechPcm(const fs::path& dir, const std::string& words, const std::string& name = "speech") {
    const fs::path raw = dir / (name + ".raw");
    const RunResult r =
        run({"sh", "-c", "espeak-ng --stdout \"$0\" | sox -t wav - -t raw -r 16000 -c 1 -b 16 -e signed -L \"$1\"",
             words, raw.string()});
    return r.exitCode == 0 ? readFile(raw) : std::string();
}

// One figure from sox's statistics of a recording (`input`: sox's arguments for it), 0 when there is none.
inline double soxStat(const std::string& input, const std::string& figure) {
    const std::string line = run({"sh", "-c", "sox " + input + " -n stat 2>&1 | grep '" + figure + "'"}).out;
    return line.empty() ? 0 : std::stod(line.substr(line.rfind(' ')));
}

// The desktop with what a dictation needs: PulseAudio with the pipe microphone
// as the default input, the API key in the keyring, the local recognition
// service answering from `script`, listening on with the pipe microphone chosen
// (plus `settings`), and a text field of another application that has the focus.
struct AppDesktop : Desktop {
    static constexpr const char* apiKey = "e2e-key-20c1";
    AppDesktop(const std::string& name, bool windowManager, const std::string& script, const std::string& settings,
               const std::vector<std::string>& serviceOptions = {})
        : Desktop(name, !windowManager, windowManager, true), sound(dir.path()) {
        std::ofstream(dir.path() / "script.txt") << script;
        std::vector<std::string> options{"--key", apiKey, "--script", file("script.txt")};
        options.insert(options.end(), serviceOptions.begin(), serviceOptions.end());
        service.emplace(dir.path(), options);
        env.merge(sound.env());
        env["PARLANDO_DEEPGRAM_URL"] = service->base();
        ready = service->port() > 0 && sound.pactl({"set-default-source", "pipemic"}).exitCode == 0 &&
                storeApiKey(env, apiKey);
        configure("ParlandoMuted=false\nParlandoMicDeviceUID=pipemic\n" + settings);
        target = Process::spawn({PARLANDO_BINARY_DIR "/tools/paste-target/paste-target", "--out", file("target")}, env,
                                dir.path() / "target.out", dir.path() / "target.err");
        // As a pager would: a window manager may keep a newcomer from taking the focus itself.
        if (windowManager) run({"xdotool", "search", "--sync", "--class", "paste-target", "windowactivate"}, env);
        ready = ready && waitFor([&] { return fs::exists(dir.path() / "target.ready"); }, 20s);
    }

    SoundServer sound;
    std::optional<RecognitionService> service;
    Process target;
    bool ready = false;
};

}  // namespace parlando::testenv
