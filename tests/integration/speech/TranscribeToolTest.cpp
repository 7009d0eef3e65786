// parlando-transcribe end to end: a real audio file, the local service, the
// printed finals and the exit status.
#include "SpeechTestSupport.h"

#include <cmath>

namespace parlando::speechtest {
namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out, err;
};

class TranscribeTool : public ::testing::Test {
protected:
    ToolRun runTool(std::vector<std::string> args, std::map<std::string, std::string> env) {
        args.insert(args.begin(), std::string(PARLANDO_BINARY_DIR) + "/apps/parlando-transcribe/parlando-transcribe");
        const auto n = std::to_string(runs++);
        const auto out = dir.path() / ("out" + n), err = dir.path() / ("err" + n);
        auto p = testenv::Process::spawn(args, env, out, err);
        const auto code = p.wait(60s);
        EXPECT_TRUE(code) << "parlando-transcribe did not finish";
        return {code.value_or(-1), readFile(out), readFile(err)};
    }

    // A sine tone at half scale, the same on every channel, in the format the name says.
    fs::path writeTone(const std::string& name, int rate, int channels, double seconds, double hz) {
        const auto p = dir.path() / name;
        EXPECT_EQ(testenv::run({"sox", "-n", "-r", std::to_string(rate), "-c", std::to_string(channels), "-b", "16",
                                p.string(), "synth", std::to_string(seconds), "sine", std::to_string(hz), "vol", "0.5"})
                      .exitCode,
                  0);
        return p;
    }

    testenv::TempDir dir{"parlando-transcribe"};
    int runs = 0;
};

TEST_F(TranscribeTool, StreamsConvertedAudioAndPrintsTheFinals) {
    const auto tone = writeTone("tone.flac", 44100, 2, 1.0, 440.0);
    const auto script = dir.path() / "script";
    std::ofstream(script) << "after 3200 interim first\n"
                             "after 6400 final first words\n"
                             "after 12800 final \n"  // an empty final prints nothing
                             "closestream final last words\n";
    const auto serviceDir = dir.path() / "service";
    fs::create_directories(serviceDir);
    FakeDeepgram service(serviceDir, {"--key", "tool-key", "--script", script.string(), "--expect-query", kMonoQuery});

    const auto started = std::chrono::steady_clock::now();
    const auto run = runTool({tone.string()}, {{"DEEPGRAM_API_KEY", "tool-key"}, {"PARLANDO_DEEPGRAM_URL", service.base()}});
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "first words\nlast words\n");
    EXPECT_EQ(run.err, "");
    EXPECT_GE(elapsed, 900ms) << "one second of audio went out faster than real time";

    // 16 kHz mono 16-bit: one second is 32,000 bytes, and the tone survives.
    const std::string pcm = service.recorded();
    ASSERT_NEAR(static_cast<double>(pcm.size()), 32000.0, 64.0);
    std::vector<std::int16_t> samples(pcm.size() / 2);
    std::memcpy(samples.data(), pcm.data(), samples.size() * 2);
    int crossings = 0;
    double peak = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if ((samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
        peak = std::max(peak, std::abs(static_cast<double>(samples[i])));
    }
    EXPECT_NEAR(crossings, 880, 6);
    EXPECT_NEAR(peak, 0.5 * 32767, 800);  // averaging equal channels keeps the level

    // Chunks are 20 ms; the last one may be shorter.
    const auto lines = service.log();
    std::size_t chunks = 0;
    for (const auto& l : lines) {
        if (l.rfind("binary ", 0) != 0) continue;
        ++chunks;
        if (l != "binary 640") {
            EXPECT_EQ(chunks, (pcm.size() + 639) / 640) << l;
        }
    }
    EXPECT_EQ(chunks, (pcm.size() + 639) / 640);
}

TEST_F(TranscribeTool, FastModeAndEveryFailureGivesOneClearLine) {
    const auto tone = writeTone("tone.wav", 16000, 1, 0.5, 300.0);
    FakeDeepgram service(dir.path(), {"--key", "good", "--final-on-close", "done"});
    const std::map<std::string, std::string> good{{"DEEPGRAM_API_KEY", "good"}, {"PARLANDO_DEEPGRAM_URL", service.base()}};

    auto ok = runTool({"--fast", tone.string()}, good);
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(ok.out, "done\n");
    EXPECT_EQ(service.recorded().size(), 16000u);

    auto expectOneLine = [](const ToolRun& r, const std::string& needle) {
        EXPECT_NE(r.exitCode, 0);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(needle), std::string::npos) << r.err;
        EXPECT_EQ(r.err.rfind("parlando-transcribe: ", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    };
    expectOneLine(runTool({"--fast", tone.string()}, {{"DEEPGRAM_API_KEY", "bad"}, {"PARLANDO_DEEPGRAM_URL", service.base()}}),
                  "refused the API key: WebSocket handshake refused with HTTP status 401");
    expectOneLine(runTool({"--fast", tone.string()}, {{"DEEPGRAM_API_KEY", "good"}, {"PARLANDO_DEEPGRAM_URL", "ws://127.0.0.1:1"}}),
                  "cannot reach ws://127.0.0.1:1");
    expectOneLine(runTool({"--fast", (dir.path() / "missing.wav").string()}, good), "cannot read");
    std::ofstream(dir.path() / "junk.wav") << "not audio";
    expectOneLine(runTool({"--fast", (dir.path() / "junk.wav").string()}, good), "cannot read");
    expectOneLine(runTool({"--fast", tone.string()}, {{"DEEPGRAM_API_KEY", ""},
                                                       {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"},
                                                       {"PARLANDO_DEEPGRAM_URL", service.base()}}),
                  "no API key");
}

TEST_F(TranscribeTool, TakesTheKeyFromTheAppsSecretStoreItem) {
    if (!testenv::haveProgram("gnome-keyring-daemon") || !testenv::haveProgram("secret-tool")) GTEST_SKIP();
    const auto tone = writeTone("tone.wav", 16000, 1, 0.3, 300.0);
    FakeDeepgram service(dir.path(), {"--key", "stored-key", "--final-on-close", "from the keyring"});
    testenv::SessionBus bus(dir.path(), true);
    auto env = testenv::isolatedEnv(dir.path(), {bus.env()});
    ASSERT_EQ(testenv::run({"sh", "-c",
                            "printf stored-key | secret-tool store --label=k service parlando.deepgram.api_key "
                            "account deepgram"},
                           env)
                  .exitCode,
              0);
    env["PARLANDO_DEEPGRAM_URL"] = service.base();
    env.erase("DEEPGRAM_API_KEY");
    ::unsetenv("DEEPGRAM_API_KEY");
    auto r = runTool({"--fast", tone.string()}, env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "from the keyring\n");
}

TEST_F(TranscribeTool, ServiceThatNeverClosesIsAnError) {
    const auto tone = writeTone("tone.wav", 8000, 1, 0.2, 300.0);
    FakeDeepgram service(dir.path(), {"--never-close", "--final-on-close", "kept"});
    auto r = runTool({"--fast", "--close-timeout", "1", tone.string()},
                     {{"DEEPGRAM_API_KEY", "k"}, {"PARLANDO_DEEPGRAM_URL", service.base()}});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.out, "kept\n");
    EXPECT_NE(r.err.find("did not close the stream"), std::string::npos) << r.err;
    EXPECT_EQ(service.recorded().size(), 6400u);  // 8 kHz became 16 kHz
}

}  // namespace
}  // namespace parlando::speechtest
