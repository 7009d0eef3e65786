// Cost of one mixer tick on the main thread: two 640-byte pulls from the
// queues, two 320-frame writes to real WAV files (libsndfile, with the
// once-a-second header rewrite and flush folded into the average), the
// interleave and the hand-off of the 1,280-byte block to the recognition
// client (a client that drops it: the socket's own cost is bench_speech_send).
#include "audio/SystemAudioCapture.h"
#include "core/VirtualMainLoop.h"
#include "meeting/MeetingSession.h"
#include "meeting/adapters/FileMeetingStorage.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <unistd.h>

namespace {

using namespace parlando;

class NullLog final : public Log {
public:
    void append(std::string_view) override {}
};

class Keys final : public DictationKeySource {
public:
    APIKeyResult deepgramAPIKey() override { return {std::string("key"), {}}; }
};

class Mic final : public DictationMicrophone {
public:
    std::optional<std::string> ensureRunning() override { return std::nullopt; }
    AudioBytes preRollSnapshot() override { return {}; }
    double preRollSeconds() const override { return 1.5; }
    SubscriptionId subscribe(ChunkHandler h) override {
        handler = std::move(h);
        return 1;
    }
    void unsubscribe(SubscriptionId) override { handler = {}; }
    bool isMuted() const override { return false; }
    void setMuted(bool) override {}
    ChunkHandler handler;
};

class DroppingClient final : public RecognitionClient, public MeetingRecognitionFactory {
public:
    void connect() override {}
    void sendAudio(const AudioBytes& data) override { bytes += static_cast<std::int64_t>(data.size()); }
    void finish() override {}
    void disconnect() override {}
    std::int64_t chunksSent() const override { return 0; }
    std::int64_t bytesSent() const override { return bytes; }
    std::shared_ptr<RecognitionClient> makeMeetingClient(const std::string&, RecognitionCallbacks) override {
        return std::shared_ptr<RecognitionClient>(this, [](RecognitionClient*) {});
    }
    std::int64_t bytes = 0;
};

class Capture final : public SystemAudioCapture, public SystemAudioCaptureFactory {
public:
    void start(Completion c) override { c(std::nullopt); }
    void stop(std::function<void()> c) override {
        if (c) c();
    }
    std::shared_ptr<SystemAudioCapture> make() override {
        return std::shared_ptr<SystemAudioCapture>(this, [](SystemAudioCapture*) {});
    }
};

void BM_MixerTick(benchmark::State& state) {
    const auto home = std::filesystem::temp_directory_path() / ("parlando-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    VirtualMainLoop loop;
    NullLog log;
    Keys keys;
    Mic mic;
    DroppingClient client;
    Capture capture;
    FileMeetingStorage storage;
    auto env = [&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "HOME") return home.string();
        return std::nullopt;
    };
    auto session = MeetingSession::create(MeetingServices{loop, log, keys, mic, client, capture, storage, env});
    session->start();
    const AudioChunk chunk(640, 0x11);
    for (auto _ : state) {
        mic.handler(chunk);
        capture.onAudioChunk(chunk);
        loop.advanceBy(millis(20));
    }
    session->shutdown();
    state.counters["ticks_per_s_of_audio"] = 50;
    std::filesystem::remove_all(home);
}
BENCHMARK(BM_MixerTick)->Unit(benchmark::kMicrosecond)->Iterations(3000)->Repetitions(3);

}  // namespace

BENCHMARK_MAIN();
