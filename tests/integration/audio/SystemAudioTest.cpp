// System audio from the default output's monitor, on a private PulseAudio and
// on PipeWire (pipewire-pulse): what plays arrives as exact chunks, the capture
// follows the default output, and a lost server or output is reported.
#include "AudioTestSupport.h"
#include "audio/adapters/PulseSystemAudioCapture.h"
#include "audio/adapters/SoxrConverter.h"
#include "core/adapters/QtMainLoop.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

#include <csignal>
#include <mutex>

using namespace parlando;
using namespace parlando::testing;

namespace {

class SystemAudio : public ::testing::TestWithParam<SoundServer::Kind> {
protected:
    void SetUp() override {
        qtApp();
        if (!SoundServer::available(GetParam()) || !haveProgram("sox") || !haveProgram("espeak-ng")) GTEST_SKIP();
        server = std::make_unique<SoundServer>(dir.path(), "", GetParam());
        applyToProcess(server->env());
        wakeNullSinks(*server, feeders, {"speakers", "micfeed"});
        capture = std::make_unique<PulseSystemAudioCapture>(loop, log, converters, seconds(1.0));
        capture->onAudioChunk = [this](const AudioChunk& c) {
            std::lock_guard g(mutex);
            chunks.push_back(c);
        };
        capture->onError = [this](const std::string& e) { errors.push_back(loop.isMainThread() ? e : "off main"); };
    }
    void TearDown() override {
        capture.reset();
        if (HasFailure()) {
            for (const auto& l : log.lines()) std::fprintf(stderr, "  log: %s\n", l.c_str());
        }
    }
    // Starts and waits for the completion; returns its error text, "" when it started.
    std::string start() {
        std::optional<std::string> result;
        const auto before = std::chrono::steady_clock::now();
        capture->start([&](const std::optional<SystemAudioError>& e) { result = e ? e->description() : ""; });
        EXPECT_LT(std::chrono::steady_clock::now() - before, 100ms) << "start() waited on the server";
        EXPECT_TRUE(pumpUntil([&] { return result.has_value(); }, 10s));
        return result.value_or("no completion");
    }
    std::vector<std::int16_t> take(bool clear = true) {
        std::lock_guard g(mutex);
        for (const auto& c : chunks) EXPECT_EQ(c.size(), 640u);
        return samplesOf(clear ? std::exchange(chunks, {}) : chunks);
    }
    std::size_t count() { return take(false).size() / 320; }
    void play(const std::string& sink, const std::vector<std::string>& sox) {
        std::string cmd = "sox -n -r 16000 -c 1 -b 16 -e signed-integer -L -t raw -";
        for (const auto& a : sox) cmd += " " + a;
        feeders.push_back(Process::spawn(
            {"sh", "-c", cmd + " | pacat -p -d " + sink + " --format=s16le --rate=16000 --channels=1"}, server->env()));
    }
    static int crossings(const std::vector<std::int16_t>& s) {
        int n = 0;
        for (std::size_t i = 1; i < s.size(); ++i) n += (s[i - 1] < 0) != (s[i] < 0);
        return n;
    }
    bool unload(const std::string& sink) {
        for (const auto& line : split(server->pactl({"list", "short", "modules"}).out)) {
            if (line.find("sink_name=" + sink) != std::string::npos) {
                return server->pactl({"unload-module", line.substr(0, line.find('\t'))}).exitCode == 0;
            }
        }
        return false;
    }
    static std::vector<std::string> split(const std::string& text) {
        std::vector<std::string> out;
        for (std::size_t a = 0, b; a < text.size(); a = b + 1) out.push_back(text.substr(a, (b = text.find('\n', a)) - a));
        return out;
    }

    TempDir dir{"parlando-sysaudio"};
    std::unique_ptr<SoundServer> server;
    std::vector<Process> feeders;
    QtMainLoop loop;
    MemoryLog log;
    SoxrConverterFactory converters;
    std::unique_ptr<PulseSystemAudioCapture> capture;
    std::mutex mutex;
    std::vector<AudioChunk> chunks;
    std::vector<std::string> errors;
};

}  // namespace

TEST_P(SystemAudio, RecordsTheDefaultOutputAndFollowsItUntilTheServerGoes) {
    ASSERT_EQ(start(), "");
    ASSERT_TRUE(pumpUntil([&] { return count() >= 25; }, 5s));
    const auto quiet = take();
    EXPECT_LT(std::sqrt(energy(quiet) / quiet.size()), 1.0) << "silence is not silent";

    const auto raw = speechRaw(dir.path(), "The other side of the meeting is speaking now");
    const auto speech = readRaw(raw);
    ASSERT_TRUE(run({"pacat", "-p", "-d", "speakers", "--format=s16le", "--rate=16000", "--channels=1", raw.string()},
                    server->env())
                    .exitCode == 0);
    pumpFor(700ms);
    const auto heard = take();
    EXPECT_GT(bestCorrelation(speech, heard), 0.9);
    EXPECT_NEAR(energy(heard) / energy(speech), 1.0, 0.15);

    // The user picks other speakers (mono, so the converter changes too): the
    // stream follows at once, without a gap in the 50 chunks a second. The
    // server moves the 440 Hz player along; once it ends, only the new
    // output's 1 kHz is left.
    play("speakers", {"synth", "60", "sine", "440", "vol", "0.3"});
    play("micfeed", {"synth", "60", "sine", "1000", "vol", "0.3"});
    pumpFor(1000ms);
    const auto before = take();
    EXPECT_NEAR(crossings({before.end() - 8000, before.end()}), 440, 20);
    ASSERT_EQ(server->pactl({"set-default-sink", "micfeed"}).exitCode, 0);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(pumpUntil([&] { return log.contains("system audio now from micfeed.monitor"); }, 5s));
    feeders[feeders.size() - 2].stop();
    pumpFor(1500ms);
    const auto after = take();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_NEAR(after.size() / 16000.0, elapsed, 0.25);
    const std::vector<std::int16_t> last(after.end() - 8000, after.end());
    EXPECT_NEAR(crossings(last), 1000, 20);
    EXPECT_NEAR(std::sqrt(energy(last) / 8000), 0.3 * 32767 / std::sqrt(2.0), 300);

    // Stop ends delivery before its completion; the instance starts again.
    bool stopped = false;
    capture->stop([&] { stopped = true; });
    ASSERT_TRUE(pumpUntil([&] { return stopped; }, 1s));
    const std::size_t stoppedAt = count();
    pumpFor(300ms);
    EXPECT_EQ(count(), stoppedAt);
    ASSERT_EQ(start(), "");
    ASSERT_TRUE(pumpUntil([&] { return count() > stoppedAt + 25; }, 5s));

    for (auto& f : feeders) f.stop();
    server->stop();
    ASSERT_TRUE(pumpUntil([&] { return !errors.empty(); }, 5s));
    pumpFor(300ms);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("System audio stopped: the sound server went away (", 0), 0u) << errors[0];
    capture->stop();
}

TEST_P(SystemAudio, OutputsGoingAwayAreFollowedOrReported) {
    ASSERT_EQ(start(), "");
    ASSERT_TRUE(unload("speakers"));
    ASSERT_TRUE(pumpUntil([&] { return log.contains("system audio now from"); }, 5s));
    const std::size_t before = count();
    ASSERT_TRUE(pumpUntil([&] { return count() > before + 25; }, 5s));
    EXPECT_TRUE(errors.empty());
    if (GetParam() == SoundServer::Kind::pipewire) return;  // WirePlumber puts in a dummy output
    ASSERT_TRUE(unload("micfeed"));
    ASSERT_TRUE(pumpUntil([&] { return !errors.empty(); }, 5s));
    EXPECT_EQ(errors, std::vector<std::string>{"System audio stopped: no output device is left to record from"});
    capture->stop();
    EXPECT_EQ(start(), "No output device available for system-audio capture");
}

INSTANTIATE_TEST_SUITE_P(Servers, SystemAudio,
                         ::testing::Values(SoundServer::Kind::pulseaudio, SoundServer::Kind::pipewire),
                         [](const auto& i) { return std::string(SoundServer::name(i.param)); });

TEST(SystemAudioWithoutServer, NoServerOrAWedgedOneIsReportedWithoutBlocking) {
    qtApp();
    if (!SoundServer::available(SoundServer::Kind::pulseaudio)) GTEST_SKIP();
    TempDir dir{"parlando-sysaudio"};
    QtMainLoop loop;
    MemoryLog log;
    SoxrConverterFactory converters;
    PulseSystemAudioCapture capture(loop, log, converters, seconds(1.0));
    auto startAndWait = [&] {
        std::optional<SystemAudioError> error;
        bool done = false;
        const auto before = std::chrono::steady_clock::now();
        capture.start([&](const std::optional<SystemAudioError>& e) { error = e, done = true; });
        EXPECT_LT(std::chrono::steady_clock::now() - before, 100ms);
        EXPECT_TRUE(pumpUntil([&] { return done; }, 5s));
        return error.value_or(SystemAudioError{SystemAudioError::Kind::streamStart, "none"});
    };
    applyToProcess({{"PULSE_SERVER", "unix:" + (dir.path() / "nothing").string()}});
    const auto refused = startAndWait();
    EXPECT_EQ(refused.kind, SystemAudioError::Kind::permissionDenied);
    EXPECT_EQ(refused.description(),
              "System audio not reachable: no sound server answers (Connection refused) — start PulseAudio or "
              "PipeWire with pipewire-pulse for your session and start the meeting again");

    SoundServer server(dir.path());
    applyToProcess(server.env());
    ::kill(server.pid(), SIGSTOP);
    const auto wedged = startAndWait();
    ::kill(server.pid(), SIGCONT);
    EXPECT_EQ(wedged.kind, SystemAudioError::Kind::permissionDenied);
    EXPECT_NE(wedged.payload.find("(timed out)"), std::string::npos);
}
