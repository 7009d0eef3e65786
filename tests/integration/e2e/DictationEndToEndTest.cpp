// The whole dictation, for real: the parlando binary on a private X server
// with a tray, a private PulseAudio whose bit-exact pipe microphone we feed,
// a private keyring holding the API key, the local recognition service, and a
// text field in another process. The hotkey (a configured key, seen through
// the X server's raw key events) is pressed twice with XTest; the scripted
// text must land in the text field and the service must have received the
// microphone's audio, pre-roll first, in order, without a gap.
#include "E2ESupport.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <fstream>

using namespace parlando::testenv;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Presses and releases a key by its keycode, the way a keyboard would.
bool tapKey(const std::string& display, unsigned keycode) {
    Display* d = XOpenDisplay(display.c_str());
    if (d == nullptr) return false;
    XTestFakeKeyEvent(d, keycode, True, CurrentTime);
    XFlush(d);
    std::this_thread::sleep_for(60ms);
    XTestFakeKeyEvent(d, keycode, False, CurrentTime);
    XFlush(d);
    XSync(d, False);
    XCloseDisplay(d);
    return true;
}

}  // namespace

TEST(DictationEndToEnd, HotkeySpeechHotkeyPastesTheRecognisedTextIntoTheFocusedField) {
    for (const char* tool : {"Xvfb", "trayer", "pulseaudio", "pactl", "dbus-daemon", "gnome-keyring-daemon",
                             "secret-tool", "espeak-ng", "sox"})
        if (!haveProgram(tool)) GTEST_SKIP() << tool << " missing";

    TempDir dir("parlando-e2e");
    if (demo()) dir.keep();
    say("working folder " + dir.path().string());
    const std::string scripted = "Привет, это диктовка Parlando";
    const std::string apiKey = "e2e-key-20c1";

    XServer x(dir.path());
    SoundServer sound(dir.path());
    SessionBus bus(dir.path(), true);
    ASSERT_EQ(sound.pactl({"set-default-source", "pipemic"}).exitCode, 0);
    say("private X server " + x.display() + " with a tray, PulseAudio and a keyring are up");

    // The recognition service: the key must match; the final arrives after the close message.
    std::ofstream(dir.path() / "script.txt") << "closestream final " << scripted << "\n";
    Process service = Process::spawn({PARLANDO_BINARY_DIR "/tools/fake-deepgram/fake-deepgram", "--port", "0",
                                      "--port-file", (dir.path() / "port").string(), "--key", apiKey, "--script",
                                      (dir.path() / "script.txt").string(), "--record",
                                      (dir.path() / "received.raw").string(), "--log",
                                      (dir.path() / "service.log").string()},
                                     {}, dir.path() / "service.out", dir.path() / "service.err");
    ASSERT_TRUE(waitFor([&] { return !readFile(dir.path() / "port").empty(); }, 20s)) << readFile(dir.path() / "service.err");
    say("local recognition service listening; it will answer \"" + scripted + "\" after the close message");
    const std::string serviceUrl = "ws://127.0.0.1:" + std::to_string(std::stoi(readFile(dir.path() / "port")));

    auto env = isolatedEnv(dir.path(), {x.env(), sound.env(), bus.env(),
                                         {{"QT_QPA_PLATFORM", "xcb"}, {"PARLANDO_DEEPGRAM_URL", serviceUrl}}});
    ASSERT_EQ(run({"sh", "-c",
                   "printf %s '" + apiKey +
                       "' | secret-tool store --label=k service parlando.deepgram.api_key account deepgram"},
                  env)
                  .exitCode,
              0);
    // Listening on, the pipe microphone chosen, F13 as the hotkey.
    fs::create_directories(env["XDG_CONFIG_HOME"] + "/Parlando");
    std::ofstream(env["XDG_CONFIG_HOME"] + "/Parlando/Parlando.conf")
        << "[General]\nParlandoMuted=false\nParlandoMicDeviceUID=pipemic\nParlandoHotkey=f13\n";

    const std::string words = "hello parlando this is a dictation test";
    const std::string speech = speechPcm(dir.path(), words);
    ASSERT_GT(speech.size(), 32000u) << "espeak-ng and sox made no speech";

    say("API key stored in the keyring; settings: listening on, microphone pipemic, hotkey F13");
    MicFeeder mic(sound.pipePath());
    mic.start();

    Process target = Process::spawn({PARLANDO_BINARY_DIR "/tools/paste-target/paste-target", "--out",
                                     (dir.path() / "target").string()},
                                    env, dir.path() / "target.out", dir.path() / "target.err");
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir.path() / "target.ready"); }, 20s)) << readFile(dir.path() / "target.err");

    say("text field of another application has the focus; starting parlando");
    Process app = Process::spawn({PARLANDO_BINARY_DIR "/apps/parlando"}, env, dir.path() / "app.out",
                                 dir.path() / "app.err");
    const fs::path logFile = fs::path(env["XDG_DATA_HOME"]) / "Parlando/parlando-tray.txt";
    auto log = [&] { return readFile(logFile); };
    ASSERT_TRUE(waitFor([&] { return log().find("audio: always-on engine started (uid=pipemic") != std::string::npos; },
                        30s))
        << log();
    ASSERT_TRUE(waitFor([&] { return log().find("FN: ") != std::string::npos; }, 10s)) << log();
    // A full pre-roll of room noise before the first press.
    std::this_thread::sleep_for(2500ms);

    constexpr unsigned f13Keycode = 183 + 8;  // evdev KEY_F13 as an X key code
    say("pressing F13: dictation starts");
    ASSERT_TRUE(tapKey(x.display(), f13Keycode));
    ASSERT_TRUE(waitFor([&] { return log().find("local: session started") != std::string::npos; }, 15s)) << log();
    say("speaking into the microphone: \"" + words + "\"");
    mic.queue(speech);
    std::this_thread::sleep_for(std::chrono::milliseconds(speech.size() / 32) + 500ms);
    say("pressing F13 again: post-roll, close, paste");
    ASSERT_TRUE(tapKey(x.display(), f13Keycode));

    const fs::path textFile = dir.path() / "target.text";
    const bool pasted = waitFor([&] { return readFile(textFile) == scripted; }, 20s);
    mic.stop();
    if (!pasted || demo()) {
        dir.keep();
        x.screenshot(dir.path() / "screen.png");
    }
    say("the text field now holds: \"" + readFile(textFile) + "\"");
    say("screenshot: " + (dir.path() / "screen.png").string());
    say("parlando's log: " + logFile.string());
    EXPECT_TRUE(pasted) << "text field holds \"" << readFile(textFile) << "\"\nlog:\n" << log();

    // The service received the microphone's own bytes, one contiguous run of
    // what was fed: pre-roll, live audio and post-roll, in order, nothing lost.
    const std::string fed = mic.written();
    const std::string received = readFile(dir.path() / "received.raw");
    say("the service received " + std::to_string(received.size()) + " bytes of audio (" +
        std::to_string(received.size() / 32) + " ms): pre-roll, speech and post-roll");
    ASSERT_GE(received.size(), 48000u + speech.size()) << "pre-roll and the spoken audio at least";
    EXPECT_EQ(received.size() % 640, 0u);
    const auto at = std::search(fed.begin(), fed.end(), received.begin(), received.end());
    EXPECT_NE(at, fed.end()) << "the service's audio is not one unbroken stretch of the microphone's";
    // The speech itself is inside what the service heard.
    EXPECT_NE(std::search(received.begin(), received.end(), speech.begin(), speech.end()), received.end());

    const std::string text = log();
    for (const char* line : {"applicationDidFinishLaunching (main-thread sync setup)", "local: session started",
                             "local: pre-roll ", "local: deepgram WS opened", "local: session stopped (paste pending)",
                             "local: deepgram WS closed (code=1000", "local: final segment — ", "local: pasting ",
                             "local: finished, pasted "})
        EXPECT_NE(text.find(line), std::string::npos) << "missing log line: " << line << "\n" << text;
    EXPECT_EQ(text.find(apiKey), std::string::npos) << "the key must never reach the log";
    app.stop();
    target.stop();
}
