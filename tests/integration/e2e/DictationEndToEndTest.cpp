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

#include "testenv/XTypist.h"

#include <algorithm>

using namespace parlando::testenv;

namespace {

// Presses and releases a key by its keycode, the way a keyboard would.
bool tapKey(const std::string& display, unsigned keycode) {
    Display* d = XOpenDisplay(display.c_str());
    if (d == nullptr) return false;
    parlando::testenv::typeThroughOwnMaster(d);
    XTestFakeKeyEvent(d, keycode, True, CurrentTime);
    XTestFakeKeyEvent(d, keycode, False, 60);  // released 60 ms later
    XSync(d, False);
    XCloseDisplay(d);
    return true;
}

}  // namespace

TEST(DictationEndToEnd, HotkeySpeechHotkeyPastesTheRecognisedTextIntoTheFocusedField) {
    for (const char* tool : {"Xvfb", "trayer", "pulseaudio", "pactl", "dbus-daemon", "gnome-keyring-daemon",
                             "secret-tool", "espeak-ng", "sox"})
        if (!haveProgram(tool)) GTEST_SKIP() << tool << " missing";

    const std::string scripted = "Привет, это диктовка Parlando";
    // The final arrives after the close message; F13 is the hotkey. The service's
    // handshake answers only after the dictation and its post-roll are over (a
    // slow network): nothing may be lost to that.
    AppDesktop desk("parlando-e2e", false, "closestream final " + scripted + "\n", "ParlandoHotkey=f13\n",
                    {"--delay-open", "6000"});
    ASSERT_TRUE(desk.ready) << readFile(desk.dir.path() / "service.err") << readFile(desk.dir.path() / "target.err");
    const fs::path& dirPath = desk.dir.path();
    const std::string words = "hello parlando this is a dictation test";
    const std::string speech = speechPcm(dirPath, words);
    ASSERT_GT(speech.size(), 32000u) << "espeak-ng and sox made no speech";
    MicFeeder mic(desk.sound.pipePath());
    say("text field of another application has the focus; starting parlando");
    Process app = desk.startApp();
    ASSERT_TRUE(waitFor([&] { return desk.logged("audio: always-on engine started (uid=pipemic"); }, 30s))
        << desk.log();
    ASSERT_TRUE(waitFor([&] { return desk.logged("FN: "); }, 10s)) << desk.log();
    // A full pre-roll of room noise before the first press.
    std::this_thread::sleep_for(2500ms);

    constexpr unsigned f13Keycode = 183 + 8;  // evdev KEY_F13 as an X key code
    say("pressing F13: dictation starts");
    ASSERT_TRUE(tapKey(desk.x.display(), f13Keycode));
    ASSERT_TRUE(waitFor([&] { return desk.logged("local: session started"); }, 15s)) << desk.log();
    say("speaking into the microphone: \"" + words + "\"");
    mic.queue(speech);
    std::this_thread::sleep_for(std::chrono::milliseconds(speech.size() / 32) + 500ms);
    say("pressing F13 again: post-roll, close, paste");
    ASSERT_TRUE(tapKey(desk.x.display(), f13Keycode));

    const fs::path textFile = dirPath / "target.text";
    const bool pasted = waitFor([&] { return readFile(textFile) == scripted; }, 20s);
    mic.stop();
    if (!pasted || demo()) {
        desk.dir.keep();
        desk.x.screenshot(dirPath / "screen.png");
    }
    say("the text field now holds: \"" + readFile(textFile) + "\"");
    say("screenshot: " + (dirPath / "screen.png").string());
    say("parlando's log: " + desk.logFile().string());
    EXPECT_TRUE(pasted) << "text field holds \"" << readFile(textFile) << "\"\nlog:\n" << desk.log();

    // The service received the microphone's own bytes, one contiguous run of
    // what was fed: pre-roll, live audio and post-roll, in order, nothing lost.
    const std::string fed = mic.written();
    const std::string received = desk.service->recorded();
    say("the service received " + std::to_string(received.size()) + " bytes of audio (" +
        std::to_string(received.size() / 32) + " ms): pre-roll, speech and post-roll");
    ASSERT_GE(received.size(), 48000u + speech.size()) << "pre-roll and the spoken audio at least";
    EXPECT_EQ(received.size() % 640, 0u);
    const auto at = std::search(fed.begin(), fed.end(), received.begin(), received.end());
    EXPECT_NE(at, fed.end()) << "the service's audio is not one unbroken stretch of the microphone's";
    // The speech itself is inside what the service heard.
    EXPECT_NE(std::search(received.begin(), received.end(), speech.begin(), speech.end()), received.end());

    EXPECT_EQ(desk.log().find(AppDesktop::apiKey), std::string::npos) << "the key must never reach the log";
}
