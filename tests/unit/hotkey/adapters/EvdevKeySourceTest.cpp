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
    ASSERT_EQ(::write(fd, p, events.size() * sizeof(input_event)), ssize_t(events.size() * sizeof(input_event)));
}

using E = std::vector<std::string>;

struct Evdev : ::testing::Test {
    TempDir dir;
    MemoryLog log;
    VirtualMainLoop loop;
    EvdevKeySource::Options options;
    std::optional<EvdevKeySource> source;
    std::optional<FNKeyTap> tap;
    E edges;

    bool start(const char* key) {
        source.emplace(log, options);
        tap.emplace(loop, log, *source);
        return tap->start(*hotkeyKey(key), [&] { edges.push_back("press"); }, [&] { edges.push_back("release"); });
    }
    void waitEdges(std::size_t n) { ASSERT_TRUE(loop.runUntil([&] { return edges.size() == n; }, seconds(100))); }
};

}  // namespace

TEST_F(Evdev, ReportsOnlyTheWatchedKeyFromAStreamSplitAcrossReadsAndAVanishingKeyboardReleases) {
    int fds[2][2];
    ASSERT_EQ(::pipe2(fds[0], O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(fds[1], O_CLOEXEC), 0);
    options.dir = dir.path() / "absent";
    options.fds = {fds[0][0], fds[1][0]};
    ASSERT_TRUE(start("fn"));
    EXPECT_EQ(source->deviceCount(), 2u);
    const std::vector<input_event> stream = {
        ev(EV_MSC, MSC_SCAN, 0x70029), key(KEY_FN, 1), syn(),               //
        key(KEY_FN, 2), syn(),                                              // auto-repeat
        key(KEY_A, 1), syn(), key(KEY_RIGHTCTRL, 1), syn(),                 // other keys
        ev(EV_LED, LED_CAPSL, 1), ev(EV_REL, REL_X, 1), syn(),              // other event types
        key(KEY_FN, 0), syn(),                                              //
        ev(EV_SYN, SYN_DROPPED, 0), key(KEY_FN, 1), key(KEY_FN, 0), syn(),  // discarded up to the report
        key(KEY_FN, 1), syn()};
    const auto* bytes = reinterpret_cast<const char*>(stream.data());
    const std::size_t total = stream.size() * sizeof(input_event);
    for (std::size_t off = 0; off < total; off += 7) {
        ASSERT_GT(::write(fds[0][1], bytes + off, std::min<std::size_t>(7, total - off)), 0);
        if (off % 70 == 0) std::this_thread::sleep_for(1ms);
    }
    waitEdges(3);
    EXPECT_EQ(edges, (E{"press", "release", "press"}));

    // The keyboard holding the key is pulled out: a release; the other goes on working.
    ::close(fds[0][1]);
    waitEdges(4);
    ASSERT_TRUE(waitFor([&] { return source->deviceCount() == 1; }, 10s));
    writeAll(fds[1][1], {key(KEY_FN, 1), syn()});
    waitEdges(5);

    // Stop ends the reader at once and closes the reading end.
    tap->stop();
    EXPECT_EQ(source->deviceCount(), 0u);
    ::signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(::write(fds[1][1], "x", 1), -1);
    ::close(fds[1][1]);
}

TEST_F(Evdev, WaitsForAKeyboardWithTheKeyAndPicksItUpWhenPluggedIn) {
    for (const char* name : {"event0", "event1", "mouse0"}) ASSERT_EQ(::mkfifo((dir.path() / name).c_str(), 0600), 0);
    options.dir = dir.path();
    std::mutex probedMutex;
    E probed;
    // Stand-in for the key-map query: only event7 "has" the key.
    options.reportsKey = [&](int fd, int code) {
        std::error_code ec;
        const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
        std::lock_guard lock(probedMutex);
        probed.push_back(path.filename().string());
        return code == KEY_F13 && path.filename() == "event7";
    };
    ASSERT_TRUE(start("f13"));
    EXPECT_FALSE(source->watchesKey());
    {
        std::lock_guard lock(probedMutex);
        EXPECT_EQ(probed, (E{"event0", "event1"})) << "only event nodes are opened";
    }
    ASSERT_EQ(::mkfifo((dir.path() / "event7").c_str(), 0600), 0);
    ASSERT_TRUE(waitFor([&] { return source->watchesKey(); }, 10s));
    // The reader already holds the FIFO open, so this open does not block.
    const int w = ::open((dir.path() / "event7").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(w, 0);
    writeAll(w, {key(KEY_F13, 1), syn(), key(KEY_F13, 0), syn()});
    waitEdges(2);
    EXPECT_EQ(edges, (E{"press", "release"}));
    tap->stop();
    ::close(w);
}

TEST_F(Evdev, UnreadableDevicesFailWithTheGroupFix) {
    ASSERT_EQ(::mkfifo((dir.path() / "event3").c_str(), 0600), 0);
    options.dir = dir.path();
    // Tests run as root, which any permission lets through: refuse like the kernel would.
    options.openDevice = [](const std::string&) {
        errno = EACCES;
        return -1;
    };
    ASSERT_FALSE(start("fn"));
    EXPECT_EQ(tap->failure(), "cannot read " + dir.path().string() +
                           "/event* (Permission denied) — add yourself to the input group: sudo usermod -aG input "
                           "$USER, then log out and in");
}
