// parlando-transcribe end to end: a real audio file, the local recognition
// service, the printed finals and the exit status.
#include "E2ESupport.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace parlando::testenv;

class TranscribeTool : public ::testing::Test {
protected:
    // The tool with this key (empty: none) and service; no secret store unless `env` names a bus.
    RunResult runTool(std::vector<std::string> args, const std::string& key, const std::string& url,
                      std::map<std::string, std::string> env = {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/none"}}) {
        args.insert(args.begin(), PARLANDO_BINARY_DIR "/apps/parlando-transcribe/parlando-transcribe");
        env["DEEPGRAM_API_KEY"] = key;
        env["PARLANDO_DEEPGRAM_URL"] = url;
        RunResult r = run(args, env, 60s);
        EXPECT_NE(r.exitCode, -1) << "parlando-transcribe did not finish";
        return r;
    }
    // A sine tone at half scale, the same on every channel.
    fs::path tone(const std::string& name, int rate, int channels, double seconds) {
        const auto p = dir.path() / name;
        EXPECT_EQ(run({"sox", "-n", "-r", std::to_string(rate), "-c", std::to_string(channels), "-b", "16", p.string(),
                       "synth", std::to_string(seconds), "sine", "440", "vol", "0.5"})
                      .exitCode,
                  0);
        return p;
    }
    TempDir dir{"parlando-transcribe"};
};

TEST_F(TranscribeTool, StreamsConvertedAudioInRealTimeAndPrintsTheFinals) {
    const auto flac = tone("tone.flac", 44100, 2, 1.0);
    std::ofstream(dir.path() / "script") << "after 3200 interim first\nafter 6400 final first words\n"
                                            "after 12800 final \nclosestream final last words\n";
    RecognitionService service(dir.path(), {"--key", "tool-key", "--script", (dir.path() / "script").string()});
    const auto started = std::chrono::steady_clock::now();
    const auto r = runTool({flac.string()}, "tool-key", service.base());
    EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms) << "faster than real time";
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "first words\nlast words\n");  // an empty final prints nothing
    EXPECT_EQ(r.err, "");
    // 16 kHz mono 16-bit, in 20 ms chunks, and the tone survives at its pitch and level.
    ASSERT_NEAR(static_cast<double>(service.recorded().size()), 32000.0, 64.0);
    const std::string raw = "-t raw -r 16000 -e signed -b 16 -c 1 " + (dir.path() / "audio.raw").string();
    EXPECT_NEAR(soxStat(raw, "Rough"), 440, 3);
    EXPECT_NEAR(soxStat(raw, "Maximum amp"), 0.5, 0.025);
    EXPECT_TRUE(service.logged("binary 640"));
}

TEST_F(TranscribeTool, EveryFailureGivesOneClearLine) {
    const auto wav = tone("tone.wav", 8000, 1, 0.2);
    RecognitionService service(dir.path(), {"--key", "good", "--never-close", "--final-on-close", "kept"});
    std::ofstream(dir.path() / "junk.wav") << "not audio";
    struct Case {
        std::vector<std::string> args;
        std::string key, url, needle, out;
    };
    const std::string url = service.base(), junk = (dir.path() / "junk.wav").string();
    const std::vector<std::string> fast{"--fast", wav.string()};
    for (const Case& c : std::vector<Case>{
             {{"--fast", "--close-timeout", "1", wav.string()}, "good", url, "did not close the stream", "kept\n"},
             {fast, "bad", url, "refused the API key: WebSocket handshake refused with HTTP status 401"},
             {fast, "good", "ws://127.0.0.1:1", "cannot reach ws://127.0.0.1:1"},
             {{"--fast", junk}, "good", url, "cannot read"},
             {fast, "", url, "no API key"}}) {
        const auto r = runTool(c.args, c.key, c.url);
        EXPECT_NE(r.exitCode, 0) << c.needle;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("parlando-transcribe: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.needle), std::string::npos) << r.err;
        EXPECT_EQ(r.out, c.out);
    }
    EXPECT_EQ(service.recorded().size(), 6400u);  // 8 kHz became 16 kHz

    // Without DEEPGRAM_API_KEY the key comes from the app's secret-store item.
    if (!haveProgram("gnome-keyring-daemon") || !haveProgram("secret-tool")) return;
    SessionBus bus(dir.path(), true);
    const auto env = isolatedEnv(dir.path(), {bus.env()});
    ASSERT_TRUE(storeApiKey(env, "good"));
    EXPECT_EQ(runTool({"--fast", "--close-timeout", "1", wav.string()}, "", url, env).out, "kept\n");
}

}  // namespace
