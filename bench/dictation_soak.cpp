// Memory left behind per dictation: a few hundred dictations in a row through
// the real Qt main loop, the application controller with its XEmbed tray icon
// (animated and spinning, on a private X server with a tray), the dictation
// controller and sessions, the recognition client over the Qt WebSocket
// adapter and the local recognition service (which answers the close message
// with one final result and closes). The microphone is a thread delivering
// 640-byte chunks every 20 ms; clipboard and keyboard are fakes. After a
// warm-up, reports the growth per dictation of the heap in use (mallinfo2)
// and of the resident size.
//   bench_dictation_soak [--benchmark_...]   PARLANDO_SOAK_DICTATIONS=N (300)
#include "core/Log.h"
#include "core/Settings.h"
#include "app/StatusBarController.h"
#include "app/adapters/QtTrayButton.h"
#include "core/adapters/QtMainLoop.h"
#include "dictation/DictationController.h"
#include "dictation/DictationWiring.h"
#include "dictation/PasteDelivery.h"
#include "fakes/FakeDictation.h"
#include "speech/Endpoint.h"
#include "speech/adapters/QtWebSocket.h"
#include "testenv/TestEnv.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <malloc.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace parlando;
using namespace std::chrono_literals;

class NullLog final : public Log {
public:
    void append(std::string_view) override {}
};

class CountingClipboard final : public Clipboard {
public:
    bool setText(const std::string&) override { return true; }
    bool setPrimarySelection(const std::string&) override { return true; }
    bool holds(const std::string&) override { return true; }
};

class CountingKeys final : public PasteKeys {
public:
    std::optional<std::string> unavailable() override { return std::nullopt; }
    std::optional<WindowClass> focusedWindowClass() override { return WindowClass{"gedit", "Gedit"}; }
    bool send(PasteShortcut, std::string&) override {
        ++sent;
        return true;
    }
    int sent = 0;
};

// A running event loop, as in the app: deferred deletions happen only inside one.
void spin(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QEventLoop events;
    QTimer deadline, poll;
    QObject::connect(&deadline, &QTimer::timeout, &events, &QEventLoop::quit);
    QObject::connect(&poll, &QTimer::timeout, &events, [&] {
        if (done()) events.quit();
    });
    deadline.start(static_cast<int>(timeout.count()));
    poll.start(5);
    events.exec();
}

double heapInUse() { return static_cast<double>(mallinfo2().uordblks); }
double residentBytes() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

void BM_DictationSoak(benchmark::State& state) {
    testenv::TempDir dir("bench-soak");
    if (!testenv::haveProgram("Xvfb")) return state.SkipWithError("Xvfb is not installed");
    testenv::XServer x(dir.path());
    testenv::applyToProcess({{"DISPLAY", x.display()}, {"QT_QPA_PLATFORM", "xcb"},
                             {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}});
    static int argc = 1;
    static char name[] = "bench_dictation_soak";
    static char* argv[] = {name, nullptr};
    static auto* app = new QApplication(argc, argv);  // lives until exit
    QApplication::setQuitOnLastWindowClosed(false);
    (void)app;
    testenv::LocalService service(std::string(PARLANDO_BINARY_DIR) + "/tools/fake-deepgram/fake-deepgram", dir.path(),
                                  {"--final-on-close", "soak"});
    if (service.port() <= 0) return state.SkipWithError("the local recognition service did not start");
    ::setenv(kDeepgramUrlVariable, ("ws://127.0.0.1:" + std::to_string(service.port())).c_str(), 1);

    QtMainLoop loop;
    NullLog log;
    MemorySettings settings;
    QtWebSocketFactory sockets;
    DeepgramRecognitionFactory recognition(sockets, log);
    testing::FakeMicrophone microphone;
    microphone.preRoll = AudioBytes(48000, 0x40);  // set before any thread reads it
    testing::FakeKeySource keySource;
    testing::FakeLamp lamp;
    QtTrayButton button;
    auto status = StatusBarController::create(AppServices{loop, settings, log, &button});
    ControllerDictationTray tray(status->weak());
    testing::FakeAlertPresenter alerts;
    CountingClipboard clipboard;
    CountingKeys keys;
    PasteDelivery delivery(loop, log, settings, clipboard, keys);
    DeliveryPaste paste(delivery);
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        const AudioBytes chunk(640, 0x40);
        auto next = std::chrono::steady_clock::now();
        while (!stop) {
            std::this_thread::sleep_until(next += 20ms);
            microphone.deliver(chunk);
        }
    });
    auto controller = DictationController::create(
        DictationServices{loop, log, microphone, recognition, keySource, paste, lamp, tray, alerts, {}, {}});

    const auto dictate = [&]() -> bool {
        const int before = keys.sent;
        controller->handleFNPress();
        spin([] { return false; }, 400ms);  // the icon cross-fades to "recording"
        controller->handleFNPress();
        spin([&] { return keys.sent > before; }, 10s);
        spin([] { return false; }, 50ms);  // the debounce, and the old socket's last events
        return keys.sent > before;
    };
    const int total = std::getenv("PARLANDO_SOAK_DICTATIONS") ? std::atoi(std::getenv("PARLANDO_SOAK_DICTATIONS")) : 300;
    const int warmUp = 30;
    bool ok = true;
    for (int i = 0; i < warmUp && ok; ++i) ok = dictate();
    malloc_trim(0);
    const double heap0 = heapInUse(), rss0 = residentBytes();
    int done = 0;
    for (auto _ : state) {
        for (; done < total - warmUp && ok; ++done) ok = dictate();
    }
    malloc_trim(0);
    stop = true;
    audio.join();
    if (!ok) return state.SkipWithError("a dictation did not paste");
    state.counters["dictations"] = done;
    state.counters["heap_B_per_dictation"] = (heapInUse() - heap0) / done;
    state.counters["rss_B_per_dictation"] = (residentBytes() - rss0) / done;
    state.counters["heap_MB_end"] = heapInUse() / 1e6;
}
BENCHMARK(BM_DictationSoak)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
