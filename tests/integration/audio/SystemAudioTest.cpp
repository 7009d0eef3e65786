// System audio from the default output's monitor, on a private PulseAudio and
// on PipeWire (pipewire-pulse): what plays arrives as exact chunks, the capture
// follows the default output, and a lost server or output is reported.
#include "AudioTestSupport.h"
#include "audio/adapters/PulseSystemAudioCapture.h"

using namespace parlando;
using namespace parlando::testing;

namespace {

class SystemAudio : public SoundServerTest {
protected:
    void SetUp() override {
        startServer("");
        if (IsSkipped()) return;
        wakeNullSinks(*server, feeders, {"speakers", "micfeed"});
        capture = std::make_unique<PulseSystemAudioCapture>(loop, log, converters, seconds(1.0));
        capture->onAudioChunk = [this](const AudioChunk& c) {
            std::lock_guard g(mutex);
            EXPECT_EQ(c.size(), 640u);
            heard.insert(heard.end(), c.begin(), c.end());
        };
        capture->onError = [this](const std::string& e) { errors.push_back(loop.isMainThread() ? e : "off main"); };
    }
    // Starts, checks that the caller was not kept waiting, and returns the
    // completion's error text ("" when it started).
    std::string start() {
        std::optional<std::string> result;
        const auto before = std::chrono::steady_clock::now();
        capture->start([&](const std::optional<SystemAudioError>& e) { result = e ? e->description() : ""; });
        EXPECT_LT(std::chrono::steady_clock::now() - before, 100ms) << "start() waited on the server";
        EXPECT_TRUE(pumpUntil([&] { return result.has_value(); }, 10s));
        return result.value_or("no completion");
    }
    AudioChunk take() {
        std::lock_guard g(mutex);
        return std::exchange(heard, {});
    }
    std::size_t count() {
        std::lock_guard g(mutex);
        return heard.size() / 640;
    }
    void sh(const std::string& command) { EXPECT_EQ(run({"sh", "-c", command}, server->env()).exitCode, 0) << command; }

    std::unique_ptr<PulseSystemAudioCapture> capture;
    AudioChunk heard;  // every chunk, in order
    std::vector<std::string> errors;
};

}  // namespace

TEST_P(SystemAudio, RecordsTheDefaultOutputAndFollowsItUntilTheServerGoes) {
    ASSERT_EQ(start(), "");
    ASSERT_TRUE(pumpUntil([&] { return count() >= 25; }, 5s));
    EXPECT_LT(rmsInt16(take()), 1.0) << "silence is not silent";

    // The user picks other speakers (mono, so the converter changes too): the
    // stream follows without a gap in the 50 chunks a second. The server moves
    // the 440 Hz player along; once it ends, only the new output's 1 kHz is left.
    play("speakers", 440);
    play("micfeed", 1000);
    pumpFor(1000ms);
    EXPECT_NEAR(crossings(samplesOf(take()), 8000), 440, 20);
    sh("pactl set-default-sink micfeed");
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(pumpUntil([&] { return log.contains("system audio now from micfeed.monitor"); }, 10s));
    feeders[feeders.size() - 2].stop();
    pumpFor(1500ms);
    const auto after = take();
    EXPECT_NEAR(after.size() / 32000.0, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
                0.25);
    EXPECT_NEAR(crossings(samplesOf(after), 8000), 1000, 20);

    // No chunk after the stop's completion; the instance starts again.
    bool stopped = false;
    capture->stop([&] { stopped = true; });
    ASSERT_TRUE(pumpUntil([&] { return stopped; }, 1s));
    const std::size_t stoppedAt = count();
    pumpFor(300ms);
    EXPECT_EQ(count(), stoppedAt);
    ASSERT_EQ(start(), "");
    ASSERT_TRUE(pumpUntil([&] { return count() > stoppedAt + 25; }, 5s));

    server->stop();
    ASSERT_TRUE(pumpUntil([&] { return !errors.empty(); }, 5s));
    pumpFor(300ms);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("System audio stopped: the sound server went away (", 0), 0u) << errors[0];
}

TEST_P(SystemAudio, OutputsGoingAwayAreFollowedOrReportedAndAMissingServerFailsTheStart) {
    ASSERT_EQ(start(), "");
    sh("pactl unload-module $(pactl list short modules | grep sink_name=speakers | cut -f1)");
    ASSERT_TRUE(pumpUntil([&] { return log.contains("system audio now from"); }, 10s));
    const std::size_t before = count();
    ASSERT_TRUE(pumpUntil([&] { return count() > before + 25; }, 5s));
    EXPECT_TRUE(errors.empty());
    if (GetParam() == SoundServer::Kind::pipewire) return;  // WirePlumber puts in a dummy output
    sh("pactl unload-module $(pactl list short modules | grep sink_name=micfeed | cut -f1)");
    ASSERT_TRUE(pumpUntil([&] { return !errors.empty(); }, 5s));
    pumpFor(300ms);
    EXPECT_EQ(errors, std::vector<std::string>{"System audio stopped: no output device is left to record from"});
    capture->stop();
    EXPECT_EQ(start(), "No output device available for system-audio capture");
    ::kill(server->pid(), SIGSTOP);  // a wedged server
    EXPECT_NE(start().find("no sound server answers (timed out)"), std::string::npos);
    ::kill(server->pid(), SIGCONT);
    server->stop();
    EXPECT_EQ(start(),
              "System audio not reachable: no sound server answers (Connection refused) — start "
              "PulseAudio or PipeWire with pipewire-pulse for your session and start the meeting again");
}

INSTANTIATE_TEST_SUITE_P(Servers, SystemAudio,
                         ::testing::Values(SoundServer::Kind::pulseaudio, SoundServer::Kind::pipewire),
                         [](const auto& i) { return std::string(SoundServer::name(i.param)); });
