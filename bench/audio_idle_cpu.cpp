// The application's CPU with listening on and nothing else happening: the
// engine captures from a private PulseAudio server's virtual microphone (48 kHz
// mono, clocked) for a while, and we read our own CPU time over that window.
//   bench_audio_idle_cpu [seconds=60]
#include "audio/AudioCapture.h"
#include "audio/adapters/PulseAudioBackend.h"
#include "audio/adapters/SoxrConverter.h"
#include "core/Settings.h"
#include "core/adapters/QtMainLoop.h"
#include "testenv/TestEnv.h"

#include <QCoreApplication>
#include <QTimer>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

using namespace parlando;

namespace {

class StderrLog final : public Log {
public:
    void append(std::string_view m) override { std::fprintf(stderr, "%.*s\n", static_cast<int>(m.size()), m.data()); }
};

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const double window = argc > 1 ? std::atof(argv[1]) : 60.0;
    QCoreApplication app(argc, argv);
    testenv::TempDir dir("parlando-cpu");
    testenv::SoundServer server(dir.path());
    testenv::applyToProcess(server.env());
    // A null sink idles on a long timer; a 20 ms reader and a suspend/resume
    // cycle make its monitor deliver every 20 ms, like a real microphone.
    testenv::Process reader = testenv::Process::spawn(
        {"pacat", "-r", "--latency-msec=20", "-d", "micfeed.monitor", "--format=s16le"}, server.env(), "/dev/null");
    testenv::waitFor([] { return false; }, std::chrono::milliseconds(200));
    server.pactl({"suspend-sink", "micfeed", "1"});
    server.pactl({"suspend-sink", "micfeed", "0"});
    // A quiet room: low pink noise, so the silence probe keeps the microphone.
    testenv::Process room = testenv::Process::spawn(
        {"sh", "-c",
         "sox -n -r 16000 -c 1 -b 16 -e signed-integer -L -t raw - synth " + std::to_string(window + 30) +
             " pinknoise vol 0.01 | pacat -p -d micfeed --format=s16le --rate=16000 --channels=1"},
        server.env());

    QtMainLoop loop;
    MemorySettings settings;
    settings.setBool(AudioCapture::mutedKey, false);
    StderrLog log;
    PulseAudioBackend backend(loop, log);
    SoxrConverterFactory converters;
    AudioCapture capture(loop, settings, log, backend, converters);
    std::atomic<std::uint64_t> chunks{0};
    capture.subscribe([&](const AudioChunk&) { chunks.fetch_add(1, std::memory_order_relaxed); });
    capture.setDeviceUID("vmic");

    double cpuStart = 0;
    std::uint64_t chunksStart = 0;
    std::chrono::steady_clock::time_point wallStart;
    // Two seconds to settle, then the measured window.
    QTimer::singleShot(2000, Qt::PreciseTimer, [&] {
        cpuStart = cpuSeconds();
        chunksStart = chunks.load();
        wallStart = std::chrono::steady_clock::now();
    });
    QTimer::singleShot(2000 + static_cast<int>(window * 1000), Qt::PreciseTimer, [&] {
        const double used = cpuSeconds() - cpuStart;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        const std::uint64_t got = chunks.load() - chunksStart;
        std::printf("listening for %.1f s: CPU %.3f s = %.3f%% of one core; %llu chunks (%.1f per s), pre-roll %zu bytes\n",
                    wall, used, 100.0 * used / wall, static_cast<unsigned long long>(got),
                    static_cast<double>(got) / wall, capture.preRollSnapshot().size());
        QCoreApplication::quit();
    });
    return QCoreApplication::exec();
}
