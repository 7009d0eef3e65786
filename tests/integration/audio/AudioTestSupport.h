#pragma once
// What the audio integration tests share: the Qt loop, waiting on it, playing
// tones, and reading, comparing and measuring received audio.
#include "audio/Pcm.h"
#include "audio/adapters/SoxrConverter.h"
#include "core/adapters/QtMainLoop.h"
#include "fakes/Fakes.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace parlando::testing {

using namespace parlando::testenv;
using namespace std::chrono_literals;

inline QCoreApplication& qtApp() {
    static int argc = 1;
    static char name[] = "integration_audio";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the Qt loop until pred holds; false on time-out. With `longestTurn`,
// records the longest time the loop was kept from running.
inline bool pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
                      std::chrono::steady_clock::duration* longestTurn = nullptr) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        const auto t0 = std::chrono::steady_clock::now();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (longestTurn) *longestTurn = std::max(*longestTurn, std::chrono::steady_clock::now() - t0);
        QThread::msleep(5);
    }
    return true;
}
inline void pumpFor(std::chrono::milliseconds d) {
    pumpUntil([] { return false; }, d);
}

inline std::vector<std::int16_t> samplesOf(const AudioChunk& bytes) {
    std::vector<std::int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}
inline std::vector<std::int16_t> readRaw(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return samplesOf(AudioChunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
}
// Zero crossings in the last `last` samples: a tone of f Hz has 2f a second.
inline int crossings(const std::vector<std::int16_t>& s, std::size_t last) {
    int n = 0;
    for (std::size_t i = s.size() - last + 1; i < s.size(); ++i) n += (s[i - 1] < 0) != (s[i] < 0);
    return n;
}
// A null sink's monitor idles on a long timer; a low-latency reader and a
// suspend/resume cycle make new readers get data at once.
inline void wakeNullSinks(SoundServer& server, std::vector<Process>& keep, std::initializer_list<const char*> sinks) {
    for (const char* sink : sinks) {
        keep.push_back(
            Process::spawn({"pacat", "-r", "--latency-msec=20", "-d", std::string(sink) + ".monitor", "--format=s16le"},
                           server.env(), "/dev/null"));
    }
    pumpFor(200ms);
    for (const char* sink : sinks) {
        server.pactl({"suspend-sink", sink, "1"});
        server.pactl({"suspend-sink", sink, "0"});
    }
}

// Speech from espeak-ng as raw 16 kHz mono s16le; empty when the tools are missing.
inline std::filesystem::path speechRaw(const std::filesystem::path& dir, const std::string& text) {
    const auto wav = dir / "speech.wav";
    const auto raw = dir / "speech.raw";
    const bool made = run({"espeak-ng", "-w", wav.string(), text}).exitCode == 0 &&
                      run({"sox", wav.string(), "-t", "raw", "-r", "16000", "-c", "1", "-b", "16", "-e",
                           "signed-integer", "-L", raw.string()})
                              .exitCode == 0;
    return made ? raw : std::filesystem::path();
}

// How well `received` holds `sent` once, in order: the best normalised
// correlation near the offset of their first loud samples (1 is a perfect copy).
inline double bestCorrelation(const std::vector<std::int16_t>& sent, const std::vector<std::int16_t>& received) {
    auto firstLoud = [](const std::vector<std::int16_t>& s) {
        return std::find_if(s.begin(), s.end(), [](std::int16_t v) { return std::abs(v) > 2000; }) - s.begin();
    };
    const long a = firstLoud(sent), b = firstLoud(received);
    if (b >= static_cast<long>(received.size())) return 0;
    double best = -1;
    for (long lag = b - a - 400; lag <= b - a + 400; ++lag) {
        double xy = 0, xx = 0, yy = 0;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            const long j = static_cast<long>(i) + lag;
            if (j < 0 || j >= static_cast<long>(received.size())) continue;
            const double x = sent[i], y = received[static_cast<std::size_t>(j)];
            xy += x * y, xx += x * x, yy += y * y;
        }
        best = std::max(best, xy / std::sqrt(xx * yy + 1e-9));
    }
    return best;
}

// One private sound server of the parameter's kind per test (skipped without
// its tools), the Qt loop, tone players, and the log printed when the test fails.
class SoundServerTest : public ::testing::TestWithParam<SoundServer::Kind> {
protected:
    void startServer(const std::string& extraConfig) {
        qtApp();
        if (!SoundServer::available(GetParam()) || !haveProgram("pacat") || !haveProgram("sox"))
            GTEST_SKIP() << SoundServer::name(GetParam()) << " tools missing";
        server = std::make_unique<SoundServer>(dir.path(), extraConfig, GetParam());
        applyToProcess(server->env());
    }
    void TearDown() override {
        if (server && server->pid() > 0) ::kill(server->pid(), SIGCONT);
        for (auto& f : feeders) f.stop();
        if (HasFailure())
            for (const auto& l : log.lines()) std::fprintf(stderr, "  log: %s\n", l.c_str());
    }
    // A 16 kHz mono tone played into a sink for a minute, in the background.
    void play(const std::string& sink, double hz, double volume = 0.3) {
        feeders.push_back(Process::spawn(
            {"sh", "-c",
             "sox -n -r 16000 -c 1 -b 16 -e signed-integer -L -t raw - synth 60 sine " + std::to_string(hz) + " vol " +
                 std::to_string(volume) + " | pacat -p -d " + sink + " --format=s16le --rate=16000 --channels=1"},
            server->env()));
    }

    TempDir dir{"parlando-audio"};
    std::unique_ptr<SoundServer> server;
    std::vector<Process> feeders;
    QtMainLoop loop;
    MemoryLog log;
    SoxrConverterFactory converters;
    std::mutex mutex;
};

}  // namespace parlando::testing
