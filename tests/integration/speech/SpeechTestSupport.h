#pragma once
// Shared pieces of the recognition integration tests: the local service as a
// child process, a Qt application object for the network thread, and a
// thread-safe record of what a client reported.
#include "speech/DeepgramClient.h"
#include "testenv/TestEnv.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>

namespace parlando::speechtest {

using testenv::readFile;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline std::vector<std::string> readLines(const fs::path& p) {
    std::vector<std::string> lines;
    std::ifstream in(p);
    std::string l;
    while (std::getline(in, l)) lines.push_back(l);
    return lines;
}

// QWebSocket needs an application object somewhere in the process.
class QtApp : public ::testing::Environment {
public:
    void SetUp() override {
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "integration_speech";
            static char* argv[] = {name, nullptr};
            app_ = std::make_unique<QCoreApplication>(argc, argv);
        }
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QCoreApplication> app_;
};

// tools/fake-deepgram, started with the given options in its own folder.
class FakeDeepgram {
public:
    FakeDeepgram(const fs::path& dir, std::vector<std::string> options) : dir_(dir) {
        std::vector<std::string> argv{std::string(PARLANDO_BINARY_DIR) + "/tools/fake-deepgram/fake-deepgram",
                                      "--port", "0", "--port-file", (dir / "port").string(),
                                      "--log", logPath().string(), "--record", recordPath().string()};
        argv.insert(argv.end(), options.begin(), options.end());
        process_ = testenv::Process::spawn(argv, {}, dir / "stdout", dir / "stderr");
        const bool ready = testenv::waitFor([&] { return !readFile(dir / "port").empty(); }, 20s);
        if (!ready) ADD_FAILURE() << "fake-deepgram did not start: " << readFile(dir / "stderr");
        port_ = ready ? std::stoi(readFile(dir / "port")) : 0;
    }
    std::string base() const { return "ws://127.0.0.1:" + std::to_string(port_); }
    fs::path logPath() const { return dir_ / "events.log"; }
    fs::path recordPath() const { return dir_ / "audio.raw"; }
    std::vector<std::string> log() const { return readLines(logPath()); }
    std::string recorded() const { return readFile(recordPath()); }
    bool logged(const std::string& line) const { return std::ranges::count(log(), line) > 0; }
    bool waitForLine(const std::string& line, std::chrono::milliseconds timeout = 20s) const {
        return testenv::waitFor([&] { return logged(line); }, timeout);
    }

private:
    fs::path dir_;
    testenv::Process process_;
    int port_ = 0;
};

// What a client told its owner, from whichever thread.
struct Reported {
    int opens = 0;
    std::vector<Transcript> transcripts;
    std::vector<std::string> errors;
    std::vector<std::pair<int, std::string>> closes;
};

class Reports {
public:
    void attach(DeepgramClient& c) {
        c.onOpen = [this] { locked([](Reported& r) { ++r.opens; }); };
        c.onTranscript = [this](const Transcript& t) { locked([&](Reported& r) { r.transcripts.push_back(t); }); };
        c.onError = [this](const std::string& e) { locked([&](Reported& r) { r.errors.push_back(e); }); };
        c.onClose = [this](int code, const std::string& why) { locked([&](Reported& r) { r.closes.emplace_back(code, why); }); };
    }
    Reported snapshot() const {
        std::lock_guard g(mutex_);
        return data_;
    }
    bool waitClosed(std::chrono::milliseconds timeout = 30s) const {
        return testenv::waitFor([&] { return !snapshot().closes.empty(); }, timeout);
    }
    bool waitOpen(std::chrono::milliseconds timeout = 30s) const {
        return testenv::waitFor([&] { return snapshot().opens > 0; }, timeout);
    }

private:
    void locked(const std::function<void(Reported&)>& f) {
        std::lock_guard g(mutex_);
        f(data_);
    }
    mutable std::mutex mutex_;
    Reported data_;
};

inline std::vector<std::uint8_t> numberedChunk(std::uint32_t n, std::size_t size = 640) {
    std::vector<std::uint8_t> c(size);
    for (std::size_t i = 0; i < size; ++i) c[i] = static_cast<std::uint8_t>((n * 7 + i) & 0xFF);
    std::memcpy(c.data(), &n, sizeof n);
    return c;
}

inline const std::string kMonoQuery =
    "model=nova-3&language=multi&encoding=linear16&sample_rate=16000&channels=1&interim_results=true"
    "&smart_format=true&punctuate=true&endpointing=300";
inline const std::string kMeetingQuery =
    "model=nova-3&language=multi&encoding=linear16&sample_rate=16000&channels=2&interim_results=true"
    "&smart_format=true&punctuate=true&endpointing=300&multichannel=true";

}  // namespace parlando::speechtest
