// The whole dictation, for real: the parlando binary on a private X server
// with a tray, a private PulseAudio whose bit-exact pipe microphone we feed,
// a private keyring holding the API key, the local recognition service, and a
// text field in another process. The hotkey (a configured key, seen through
// the X server's raw key events) is pressed twice with XTest; the scripted
// text must land in the text field and the service must have received the
// microphone's audio, pre-roll first, in order, without a gap.
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include "testenv/XTypist.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace parlando::testenv;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Writes 16 kHz mono s16le into the pipe microphone at real-time pace (640
// bytes every 20 ms, as a clocked device would) and keeps every byte it wrote.
class MicFeeder {
public:
    explicit MicFeeder(fs::path fifo) : fifo_(std::move(fifo)) {}
    ~MicFeeder() { stop(); }

    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void stop() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }
    // Queue speech-like audio to be written next (after what is queued).
    void queue(const std::string& pcm) {
        std::lock_guard lock(mutex_);
        queued_ += pcm;
    }
    std::string written() {
        std::lock_guard lock(mutex_);
        return written_;
    }

private:
    void run() {
        const int fd = ::open(fifo_.c_str(), O_WRONLY);
        if (fd < 0) return;
        std::mt19937 rng(7);
        std::normal_distribution<double> noise(0.0, 300.0);  // room noise: above the silence floor
        auto next = std::chrono::steady_clock::now();
        while (running_) {
            std::string chunk;
            {
                std::lock_guard lock(mutex_);
                chunk = queued_.substr(0, 640);
                queued_.erase(0, chunk.size());
            }
            while (chunk.size() < 640) {
                const auto v = static_cast<std::int16_t>(std::clamp(noise(rng), -32767.0, 32767.0));
                chunk.push_back(static_cast<char>(v & 0xff));
                chunk.push_back(static_cast<char>((v >> 8) & 0xff));
            }
            if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) break;
            {
                std::lock_guard lock(mutex_);
                written_ += chunk;
            }
            next += 20ms;
            std::this_thread::sleep_until(next);
        }
        ::close(fd);
    }

    fs::path fifo_;
    std::thread thread_;
    std::atomic<bool> running_{true};
    std::mutex mutex_;
    std::string queued_, written_;
};

// Presses and releases a key by its keycode, the way a keyboard would.
bool tapKey(const std::string& display, unsigned keycode) {
    Display* d = XOpenDisplay(display.c_str());
    if (d == nullptr) return false;
    parlando::testenv::typeThroughOwnMaster(d);
    XTestFakeKeyEvent(d, keycode, True, CurrentTime);
    XFlush(d);
    std::this_thread::sleep_for(60ms);
    XTestFakeKeyEvent(d, keycode, False, CurrentTime);
    XFlush(d);
    XSync(d, False);
    XCloseDisplay(d);
    return true;
}

std::string speechPcm(const fs::path& dir, const std::string& words) {
    const fs::path wav = dir / "speech.wav", raw = dir / "speech.raw";
    if (run({"espeak-ng", "-w", wav.string(), words}).exitCode != 0) return {};
    if (run({"sox", wav.string(), "-t", "raw", "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer", "-L",
             raw.string()})
            .exitCode != 0)
        return {};
    return readFile(raw);
}

// With PARLANDO_DEMO set (scripts/demo-dictation.sh) the test narrates what it
// does and keeps its folder, with a screenshot, for a person to look at.
bool demo() { return std::getenv("PARLANDO_DEMO") != nullptr; }
void say(const std::string& what) {
    if (demo()) std::printf("demo: %s\n", what.c_str()), std::fflush(stdout);
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

    // The recognition service: the key must match; the final arrives after the
    // close message. Its handshake answers only after the dictation and its
    // post-roll are over (a slow network): nothing may be lost to that.
    std::ofstream(dir.path() / "script.txt") << "closestream final " << scripted << "\n";
    Process service = Process::spawn({PARLANDO_BINARY_DIR "/tools/fake-deepgram/fake-deepgram", "--port", "0",
                                      "--port-file", (dir.path() / "port").string(), "--key", apiKey, "--delay-open", "6000", "--script",
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
                             "local: pre-roll ", "local: session stopped (paste pending)", "local: deepgram WS not open yet",
                             "local: deepgram WS opened",
                             "local: deepgram WS closed (code=1000", "local: final segment — ", "local: pasting ",
                             "local: finished, pasted "})
        EXPECT_NE(text.find(line), std::string::npos) << "missing log line: " << line << "\n" << text;
    EXPECT_EQ(text.find(apiKey), std::string::npos) << "the key must never reach the log";
    app.stop();
    target.stop();
}
