// The evdev reader fed through pipes and FIFOs: the machine has no input
// devices, but the records are the kernel's struct input_event all the same.
#include "core/VirtualMainLoop.h"
#include "fakes/Fakes.h"
#include "hotkey/FNKeyTap.h"
#include "hotkey/adapters/EvdevKeySource.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

using namespace parlando;
using namespace std::chrono_literals;
using parlando::testing::MemoryLog;
using parlando::testenv::TempDir;
using parlando::testenv::waitFor;

namespace {

input_event ev(int type, int code, int value) {
    input_event e{};
    e.type = static_cast<__u16>(type);
    e.code = static_cast<__u16>(code);
    e.value = value;
    return e;
}
input_event key(int code, int value) { return ev(EV_KEY, code, value); }
input_event syn() { return ev(EV_SYN, SYN_REPORT, 0); }

void writeAll(int fd, const std::vector<input_event>& events) {
    const auto* p = reinterpret_cast<const char*>(events.data());
    std::size_t left = events.size() * sizeof(input_event);
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        ASSERT_GT(n, 0);
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
    ~Pipe() { closeWriter(); }
    void closeWriter() {
        if (w >= 0) ::close(w);
        w = -1;
    }
};

using A = std::vector<KeyAction>;

// Records what the source reports, from its thread.
struct Recorder {
    std::mutex mutex;
    A seen;
    KeyEdgeSource::Sink sink() {
        return [this](const KeyEvent& e) {
            std::lock_guard lock(mutex);
            seen.push_back(e.action);
        };
    }
    A actions() {
        std::lock_guard lock(mutex);
        return seen;
    }
    std::size_t size() { return actions().size(); }
};

std::string fdPath(int fd) {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
}

// A source reading the given pipes only (no device folder).
struct PipeSource {
    TempDir dir;
    MemoryLog log;
    std::vector<Pipe> pipes;
    Recorder rec;
    EvdevKeySource source;  // stops its reader before rec and the pipes go
    explicit PipeSource(std::size_t n = 1) : pipes(n), source(log, options()) {}
    EvdevKeySource::Options options() {
        EvdevKeySource::Options o;
        o.dir = dir.path() / "absent";
        for (const auto& p : pipes) o.fds.push_back(p.r);
        return o;
    }
};

}  // namespace

TEST(EvdevKeySource, ReportsOnlyTheWatchedKeyFromAStreamSplitAcrossReads) {
    PipeSource p;
    ASSERT_FALSE(p.source.start(*hotkeyKey("fn"), p.rec.sink()));
    EXPECT_EQ(p.source.deviceCount(), 1u);
    const std::vector<input_event> stream = {
        ev(EV_MSC, MSC_SCAN, 0x70029), key(KEY_FN, 1), syn(),         //
        key(KEY_FN, 2), syn(), key(KEY_FN, 2), syn(),                 // auto-repeat
        key(KEY_A, 1), syn(), key(KEY_A, 0), syn(),                   // another key
        key(KEY_LEFTCTRL, 1), key(KEY_RIGHTCTRL, 1), syn(),           //
        ev(EV_LED, LED_CAPSL, 1), ev(EV_REL, REL_X, 1), syn(),        // other event types
        key(KEY_FN, 0), syn(),                                        //
        ev(EV_SYN, SYN_DROPPED, 0), key(KEY_FN, 1), key(KEY_FN, 0), syn(),  // discarded up to the report
        key(KEY_FN, 1), syn()};
    const auto* bytes = reinterpret_cast<const char*>(stream.data());
    const std::size_t total = stream.size() * sizeof(input_event);
    for (std::size_t off = 0; off < total; off += 7) {
        ASSERT_GT(::write(p.pipes[0].w, bytes + off, std::min<std::size_t>(7, total - off)), 0);
        if (off % 70 == 0) std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(waitFor([&] { return p.rec.size() >= 5; }, 10s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(p.rec.actions(), (A{KeyAction::down, KeyAction::repeat, KeyAction::repeat, KeyAction::up, KeyAction::down}));

    // Stop ends the reader at once and closes the pipe's reading end.
    const auto before = std::chrono::steady_clock::now();
    p.source.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    EXPECT_EQ(p.source.deviceCount(), 0u);
    ::signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(::write(p.pipes[0].w, "x", 1), -1);
}

TEST(EvdevKeySource, EdgesThroughTheTapAndAVanishingKeyboard) {
    PipeSource p(2);
    EvdevKeySource& source = p.source;
    MemoryLog& log = p.log;
    Pipe &a = p.pipes[0], &b = p.pipes[1];
    VirtualMainLoop loop;
    FNKeyTap tap(loop, log, source);
    std::vector<std::string> edges;
    ASSERT_TRUE(tap.start(*hotkeyKey("rightctrl"), [&] { edges.push_back("press"); },
                          [&] { edges.push_back("release"); }));
    EXPECT_TRUE(log.contains("FN: evdev tap installed (rightctrl key)"));
    EXPECT_EQ(source.deviceCount(), 2u);

    writeAll(a.w, {key(KEY_RIGHTCTRL, 1), syn(), key(KEY_RIGHTCTRL, 2), syn()});
    ASSERT_TRUE(loop.runUntil([&] { return edges.size() == 1; }, seconds(100)));
    EXPECT_EQ(edges[0], "press");

    // Keyboard A is pulled out while the key is down: that is a release.
    a.closeWriter();
    ASSERT_TRUE(loop.runUntil([&] { return edges.size() == 2; }, seconds(100)));
    EXPECT_EQ(edges[1], "release");
    ASSERT_TRUE(waitFor([&] { return source.deviceCount() == 1; }, 10s));
    EXPECT_TRUE(log.contains("FN: evdev keyboard removed"));

    // Keyboard B goes on working.
    writeAll(b.w, {key(KEY_RIGHTCTRL, 1), syn(), key(KEY_RIGHTCTRL, 0), syn()});
    ASSERT_TRUE(loop.runUntil([&] { return edges.size() == 4; }, seconds(100)));
    EXPECT_EQ(edges, (std::vector<std::string>{"press", "release", "press", "release"}));
    tap.stop();
}

TEST(EvdevKeySource, ScansTheFolderForKeyboardsWithTheKeyAndPicksUpNewOnes) {
    TempDir dir;
    MemoryLog log;
    for (const char* name : {"event0", "event1", "mouse0"}) {
        ASSERT_EQ(::mkfifo((dir.path() / name).c_str(), 0600), 0);
    }
    EvdevKeySource::Options options;
    options.dir = dir.path();
    std::mutex probedMutex;
    std::vector<std::string> probed;
    // Stand-in for the key-map query: event1 and event7 "have" the key.
    options.reportsKey = [&](int fd, int code) {
        const std::string path = fdPath(fd);
        std::lock_guard lock(probedMutex);
        probed.push_back(std::filesystem::path(path).filename().string());
        return code == KEY_F13 && (path.ends_with("/event1") || path.ends_with("/event7"));
    };
    EvdevKeySource source(log, options);
    Recorder rec;
    ASSERT_FALSE(source.start(*hotkeyKey("f13"), rec.sink()));
    EXPECT_EQ(source.deviceCount(), 1u);
    {
        std::lock_guard lock(probedMutex);
        EXPECT_EQ(probed, (std::vector<std::string>{"event0", "event1"})) << "only event nodes are opened";
    }
    EXPECT_TRUE(log.contains("FN: evdev watching " + (dir.path() / "event1").string()));

    // A keyboard plugged in later.
    ASSERT_EQ(::mkfifo((dir.path() / "event7").c_str(), 0600), 0);
    ASSERT_TRUE(waitFor([&] { return source.deviceCount() == 2; }, 10s));
    EXPECT_TRUE(log.contains("FN: evdev keyboard added (" + (dir.path() / "event7").string() + ")"));
    // One that does not have the key is not kept.
    ASSERT_EQ(::mkfifo((dir.path() / "event8").c_str(), 0600), 0);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(probedMutex);
        return probed.size() >= 4;
    }, 10s));
    EXPECT_EQ(source.deviceCount(), 2u);

    // The reader already holds the FIFO open, so this open does not block.
    const int w = ::open((dir.path() / "event7").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(w, 0);
    writeAll(w, {key(KEY_F13, 1), syn(), key(KEY_F13, 0), syn()});
    ASSERT_TRUE(waitFor([&] { return rec.size() >= 2; }, 10s));
    EXPECT_EQ(rec.actions(), (A{KeyAction::down, KeyAction::up}));
    source.stop();
    ::close(w);
}

TEST(EvdevKeySource, UnreadableDevicesFailWithTheGroupFix) {
    TempDir dir;
    MemoryLog log;
    ASSERT_EQ(::mkfifo((dir.path() / "event3").c_str(), 0600), 0);
    EvdevKeySource::Options options;
    options.dir = dir.path();
    // Tests run as root, which any permission lets through: refuse like the kernel would.
    options.openDevice = [](const std::string&) {
        errno = EACCES;
        return -1;
    };
    EvdevKeySource source(log, options);
    Recorder rec;
    const std::string failure = source.start(*hotkeyKey("fn"), rec.sink()).value_or("");
    EXPECT_EQ(failure.rfind("cannot read " + dir.path().string() + "/event* (Permission denied)", 0), 0u) << failure;
    EXPECT_NE(failure.find("sudo usermod -aG input $USER"), std::string::npos) << failure;
    EXPECT_NE(failure.find("log out and in"), std::string::npos) << failure;
    EXPECT_EQ(source.deviceCount(), 0u);
}
