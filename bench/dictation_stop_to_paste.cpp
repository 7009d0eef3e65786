// Time from the second hotkey press (the stop) to the paste shortcut being
// sent, end to end on the real pieces: the Qt main loop, the dictation
// controller and its capture session, the recognition client over the Qt
// WebSocket adapter, and the local recognition test service, which answers
// the close message at once with one final result and closes. The microphone
// is a thread that delivers 640-byte chunks every 20 ms; the clipboard and the
// keyboard are fakes that note when they are used.
//
// Expected: 0.8 s post-roll + the close round trip + 0.05 s between the
// clipboard write and the shortcut (the paste's own delay). Reported per
// dictation: press -> clipboard, press -> shortcut, and what lies beyond the
// fixed waits, plus where the rest goes (post-roll timer, service, hops).
//   bench_dictation_stop_to_paste [--benchmark_...]
// PARLANDO_FAKE_DEEPGRAM names the test service's binary if it is not in
// the build tree.
#include "core/Log.h"
#include "core/Settings.h"
#include "core/adapters/QtMainLoop.h"
#include "dictation/DictationController.h"
#include "dictation/DictationWiring.h"
#include "dictation/PasteDelivery.h"
#include "fakes/FakeDictation.h"
#include "speech/Endpoint.h"
#include "speech/adapters/QtWebSocket.h"
#include "testenv/TestEnv.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace parlando;
using Clock = std::chrono::steady_clock;

constexpr const char* kScriptedText = "the quick brown fox";
constexpr auto kStreamBeforeStop = std::chrono::milliseconds(1000);

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Keeps the lines for a look after a failure; DeepgramClient writes from its own thread.
class KeptLog final : public Log {
public:
    void append(std::string_view line) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
        if (lines_.size() > 200) lines_.erase(lines_.begin());
    }
    void dump() const {
        std::lock_guard lock(mutex_);
        for (const auto& l : lines_) std::fprintf(stderr, "  log: %s\n", l.c_str());
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// One dictation's moments, all steady_clock.
struct Marks {
    std::optional<Clock::time_point> stopPressed, finishSent, closeArrived, clipboard, shortcut;
    std::string clipboardText;
};

// The real client factory with the close message and the socket's close
// noted on their way through (the client's own thread for the close).
class MarkingFactory final : public RecognitionClientFactory {
public:
    MarkingFactory(RecognitionClientFactory& real, Marks& marks) : real_(real), marks_(marks) {}

    std::shared_ptr<RecognitionClient> makeClient(const std::string& apiKey, RecognitionCallbacks callbacks) override {
        Marks* marks = &marks_;
        std::mutex* mutex = &mutex_;
        callbacks.onClose = [marks, mutex, inner = std::move(callbacks.onClose)](int code, const std::string& reason) {
            {
                std::lock_guard lock(*mutex);
                if (!marks->closeArrived) marks->closeArrived = Clock::now();
            }
            inner(code, reason);
        };
        return std::make_shared<Client>(real_.makeClient(apiKey, std::move(callbacks)), marks_);
    }

    std::optional<Clock::time_point> closeArrived() {
        std::lock_guard lock(mutex_);
        return marks_.closeArrived;
    }
    // Between dictations, once the last connection has gone.
    void reset() {
        std::lock_guard lock(mutex_);
        marks_ = Marks{};
    }

private:
    class Client final : public RecognitionClient {
    public:
        Client(std::shared_ptr<RecognitionClient> inner, Marks& marks) : inner_(std::move(inner)), marks_(marks) {}
        void connect() override { inner_->connect(); }
        void sendAudio(const AudioBytes& data) override { inner_->sendAudio(data); }
        void finish() override {
            marks_.finishSent = Clock::now();  // main thread
            inner_->finish();
        }
        void disconnect() override { inner_->disconnect(); }
        std::int64_t chunksSent() const override { return inner_->chunksSent(); }
        std::int64_t bytesSent() const override { return inner_->bytesSent(); }

    private:
        std::shared_ptr<RecognitionClient> inner_;
        Marks& marks_;
    };

    RecognitionClientFactory& real_;
    Marks& marks_;
    std::mutex mutex_;
};

class MarkingClipboard final : public Clipboard {
public:
    explicit MarkingClipboard(Marks& marks) : marks_(marks) {}
    bool setText(const std::string& text) override {
        marks_.clipboard = Clock::now();
        marks_.clipboardText = text;
        return true;
    }
    bool setPrimarySelection(const std::string&) override { return true; }
    bool holds(const std::string& text) override { return text == marks_.clipboardText; }

private:
    Marks& marks_;
};

class MarkingKeys final : public PasteKeys {
public:
    explicit MarkingKeys(Marks& marks) : marks_(marks) {}
    std::optional<std::string> unavailable() override { return std::nullopt; }
    std::optional<WindowClass> focusedWindowClass() override { return WindowClass{"gedit", "Gedit"}; }
    bool send(PasteShortcut, std::string&) override {
        marks_.shortcut = Clock::now();
        if (onSent) onSent();
        return true;
    }
    std::function<void()> onSent;

private:
    Marks& marks_;
};

// The always-on microphone: noise in the pre-roll and every 20 ms a 640-byte
// chunk of noise from its own thread, delivered whether anyone listens or not.
class ClockedMicrophone {
public:
    explicit ClockedMicrophone(testing::FakeMicrophone& mic) : mic_(mic) {
        mic_.preRoll = noise(48000);  // set before any thread reads it
        thread_ = std::thread([this] { run(); });
    }
    ~ClockedMicrophone() {
        stop_ = true;
        thread_.join();
    }
    ClockedMicrophone(const ClockedMicrophone&) = delete;
    ClockedMicrophone& operator=(const ClockedMicrophone&) = delete;

private:
    static AudioBytes noise(std::size_t bytes) {
        std::mt19937 gen(7);
        std::uniform_int_distribution<int> sample(-2000, 2000);
        AudioBytes out(bytes);
        for (std::size_t i = 0; i + 1 < bytes; i += 2) {
            const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(sample(gen)));
            out[i] = static_cast<std::uint8_t>(v & 0xFF);
            out[i + 1] = static_cast<std::uint8_t>(v >> 8);
        }
        return out;
    }
    void run() {
        const AudioBytes chunk = noise(640);
        auto next = Clock::now();
        while (!stop_) {
            next += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(next);
            mic_.deliver(chunk);
        }
    }

    testing::FakeMicrophone& mic_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Runs the Qt event loop until `done` holds or `timeout` passes; `wake` is
// given a function that ends the wait early (called on the main thread).
bool spin(const std::function<bool()>& done, std::chrono::milliseconds timeout,
          std::function<void()>* wake = nullptr) {
    if (done()) return true;
    QEventLoop events;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &events, &QEventLoop::quit);
    deadline.start(static_cast<int>(timeout.count()));
    QTimer poll;  // for conditions nothing announces; coarse on purpose
    QObject::connect(&poll, &QTimer::timeout, &events, [&] {
        if (done()) events.quit();
    });
    poll.start(wake != nullptr ? 200 : 10);
    if (wake != nullptr) *wake = [&] { events.quit(); };
    events.exec();
    if (wake != nullptr) *wake = nullptr;
    return done();
}

void runFor(std::chrono::milliseconds duration) {
    spin([] { return false; }, duration);
}

std::string serviceBinary() {
    if (const char* env = std::getenv("PARLANDO_FAKE_DEEPGRAM"); env != nullptr && *env != '\0') return env;
    return std::string(PARLANDO_BINARY_DIR) + "/tools/fake-deepgram/fake-deepgram";
}

// What the service saw of each connection, from its event log.
struct Received {
    double audioSeconds = 0;
    bool audioAfterClose = false;  // audio after the close message: out of order
    bool closedNormally = false;
};

std::vector<Received> readServiceLog(const std::filesystem::path& path) {
    std::vector<Received> out;
    std::ifstream in(path);
    std::string line;
    bool closeSeen = false;
    while (std::getline(in, line)) {
        if (line.rfind("request ", 0) == 0) {
            out.emplace_back();
            closeSeen = false;
        } else if (out.empty()) {
            continue;
        } else if (line.rfind("binary ", 0) == 0) {
            out.back().audioSeconds += std::stod(line.substr(7)) / 32000.0;
            if (closeSeen) out.back().audioAfterClose = true;
        } else if (line.rfind("text ", 0) == 0 && line.find("CloseStream") != std::string::npos) {
            closeSeen = true;
        } else if (line == "close 1000") {
            out.back().closedNormally = true;
        }
    }
    return out;
}

struct Stats {
    double min = 0, median = 0, max = 0;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    const double median = n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
    return Stats{v.front(), median, v.back()};
}

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "bench_dictation_stop_to_paste";
    static char* argv[] = {name, nullptr};
    static auto* app = new QCoreApplication(argc, argv);  // lives until exit: Qt's threads stop with the process
    return *app;
}

void BM_DictationStopToPaste(benchmark::State& state) {
    application();
    testenv::TempDir dir("bench-stop-to-paste");
    testenv::LocalService service(serviceBinary(), dir.path(), {"--final-on-close", kScriptedText});
    if (service.port() <= 0) {
        state.SkipWithError(("the test service did not start: " + serviceBinary()).c_str());
        return;
    }
    ::setenv(kDeepgramUrlVariable, ("ws://127.0.0.1:" + std::to_string(service.port())).c_str(), 1);

    QtMainLoop loop;
    KeptLog log;
    Marks marks;
    QtWebSocketFactory sockets;
    DeepgramRecognitionFactory deepgram(sockets, log);
    MarkingFactory recognition(deepgram, marks);
    testing::FakeMicrophone microphone;
    testing::FakeKeySource keySource;
    testing::FakeLamp lamp;
    testing::FakeDictationTray tray;
    testing::FakeAlertPresenter alerts;
    MemorySettings settings;
    MarkingClipboard clipboard(marks);
    MarkingKeys keys(marks);
    PasteDelivery delivery(loop, log, settings, clipboard, keys);
    DeliveryPaste paste(delivery);
    ClockedMicrophone audio(microphone);
    auto controller = DictationController::create(DictationServices{
        loop, log, microphone, recognition, keySource, paste, lamp, tray, alerts, {}, {}});

    std::vector<double> toClipboard, toShortcut, postRollTimer, roundTrip, closeToClipboard;
    std::function<void()> wake;
    keys.onSent = [&wake] {
        if (wake) wake();
    };

    for (auto _ : state) {
        recognition.reset();
        controller->handleFNPress();
        if (!controller->localSession) {
            log.dump();
            state.SkipWithError("the dictation did not start");
            break;
        }
        runFor(kStreamBeforeStop);
        if (!spin([&] { return controller->localSession && controller->localSession->deepgramOpened(); },
                  std::chrono::seconds(10))) {
            log.dump();
            state.SkipWithError("the socket did not open");
            break;
        }

        marks.stopPressed = Clock::now();
        controller->handleFNPress();
        if (!spin([&] { return marks.shortcut.has_value(); }, std::chrono::seconds(10), &wake)) {
            log.dump();
            state.SkipWithError("no paste shortcut within 10 s");
            break;
        }
        if (marks.clipboardText != kScriptedText) {
            log.dump();
            state.SkipWithError(("pasted \"" + marks.clipboardText + "\" instead of the scripted text").c_str());
            break;
        }
        const auto closeArrived = recognition.closeArrived();
        if (!marks.finishSent || !closeArrived || !marks.clipboard) {
            log.dump();
            state.SkipWithError("the dictation ended without the close round trip");
            break;
        }
        const double total = msBetween(*marks.stopPressed, *marks.shortcut);
        state.SetIterationTime(total / 1000.0);
        toShortcut.push_back(total);
        toClipboard.push_back(msBetween(*marks.stopPressed, *marks.clipboard));
        postRollTimer.push_back(msBetween(*marks.stopPressed, *marks.finishSent));
        roundTrip.push_back(msBetween(*marks.finishSent, *closeArrived));
        closeToClipboard.push_back(msBetween(*closeArrived, *marks.clipboard));

        // Let the old connection go before the next dictation (debounce is long over by then).
        runFor(std::chrono::milliseconds(200));
    }

    if (toShortcut.empty() || toShortcut.size() != static_cast<std::size_t>(state.iterations())) return;

    // The figures count only if the audio really went through: the pre-roll,
    // a second of live audio and the post-roll, all before the close message.
    const auto received = readServiceLog(dir.path() / "requests.log");
    std::vector<double> audioSeconds;
    for (const auto& r : received) {
        if (r.audioAfterClose || !r.closedNormally || r.audioSeconds < 1.5 + 1.0 + 0.8 - 0.1) {
            state.SkipWithError("the service did not receive pre-roll, live audio and post-roll before the close");
            return;
        }
        audioSeconds.push_back(r.audioSeconds);
    }
    if (received.size() != toShortcut.size()) {
        state.SkipWithError("the service did not see one connection per dictation");
        return;
    }
    const Stats audioStats = stats(audioSeconds);
    const double postRollMs = LocalCaptureSession::postRollSeconds * 1000.0;
    const double pasteDelayMs = std::chrono::duration<double, std::milli>(PasteDelivery::pasteDelay).count();
    const Stats shortcut = stats(toShortcut);
    const Stats clip = stats(toClipboard);
    const Stats timer = stats(postRollTimer);
    const Stats svc = stats(roundTrip);
    const Stats hop = stats(closeToClipboard);
    state.counters["shortcut_min_ms"] = shortcut.min;
    state.counters["shortcut_median_ms"] = shortcut.median;
    state.counters["shortcut_max_ms"] = shortcut.max;
    state.counters["clipboard_median_ms"] = clip.median;
    state.counters["clipboard_max_ms"] = clip.max;
    state.counters["beyond_fixed_max_ms"] = shortcut.max - postRollMs - pasteDelayMs;

    std::fprintf(stderr,
                 "\n%zu dictations, second press -> ...        min      median   max   (ms)\n"
                 "  clipboard written                      %8.1f %8.1f %8.1f   target <= %.0f\n"
                 "  paste shortcut sent                    %8.1f %8.1f %8.1f   target <= %.0f (+ %.0f paste delay)\n"
                 "  beyond post-roll, to clipboard         %8.1f %8.1f %8.1f   target <= 20\n"
                 "  beyond post-roll + delay, to shortcut  %8.1f %8.1f %8.1f   target <= 20\n"
                 "where it goes:\n"
                 "  press -> close message sent (post-roll) %7.1f %8.1f %8.1f\n"
                 "  close message -> socket closed          %7.1f %8.1f %8.1f\n"
                 "  socket closed -> clipboard (main loop)  %7.1f %8.1f %8.1f\n"
                 "audio the service received per dictation: %.2f .. %.2f s (1.5 s pre-roll included)\n\n",
                 toShortcut.size(), clip.min, clip.median, clip.max, postRollMs + 20.0, shortcut.min,
                 shortcut.median, shortcut.max, postRollMs + pasteDelayMs + 20.0, pasteDelayMs,
                 clip.min - postRollMs, clip.median - postRollMs, clip.max - postRollMs,
                 shortcut.min - postRollMs - pasteDelayMs, shortcut.median - postRollMs - pasteDelayMs,
                 shortcut.max - postRollMs - pasteDelayMs, timer.min, timer.median, timer.max, svc.min, svc.median,
                 svc.max, hop.min, hop.median, hop.max, audioStats.min, audioStats.max);
}
BENCHMARK(BM_DictationStopToPaste)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
