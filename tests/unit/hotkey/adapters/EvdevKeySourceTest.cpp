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
using E = std::vector<std::string>;

namespace {

input_event ev(int type, int code, int value) { return {{}, __u16(type), __u16(code), value}; }
input_event key(int code, int value) { return ev(EV_KEY, code, value); }
input_event syn() { return ev(EV_SYN, SYN_REPORT, 0); }

}  // namespace

TEST(EvdevKeySource, ReadsTheWatchedKeyFromSplitRecordsFollowsKeyboardsComingAndGoingAndExplainsDeniedAccess) {
    TempDir dir;
    MemoryLog log;
    VirtualMainLoop loop;
    E edges;
    std::optional<EvdevKeySource> source;
    std::optional<FNKeyTap> tap;
    auto start = [&](EvdevKeySource::Options options, const char* name) {
        tap.reset();
        source.emplace(log, std::move(options));
        tap.emplace(loop, log, *source);
        return tap->start(
            *hotkeyKey(name), [&] { edges.push_back("press"); }, [&] { edges.push_back("release"); });
    };
    auto edgesReach = [&](std::size_t n) { return loop.runUntil([&] { return edges.size() == n; }, seconds(100)); };
    auto write = [](int fd, const std::vector<input_event>& events, std::size_t step) {
        const auto* bytes = reinterpret_cast<const char*>(events.data());
        const std::size_t total = events.size() * sizeof(input_event);
        for (std::size_t off = 0; off < total; off += step) {
            ASSERT_GT(::write(fd, bytes + off, std::min(step, total - off)), 0);
            if (off % 70 == 0) std::this_thread::sleep_for(1ms);
        }
    };
    // A keyboard behind a pipe, and a folder of device nodes where only event7 "has" the key.
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    for (const char* name : {"event0", "event1", "mouse0"}) ASSERT_EQ(::mkfifo((dir.path() / name).c_str(), 0600), 0);
    EvdevKeySource::Options options;
    options.dir = dir.path();
    options.fds = {pipe[0]};
    options.reportsKey = [&](int fd, int code) {
        std::error_code ec;
        return code == KEY_F13 &&
               std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec) == dir.path() / "event7";
    };
    ASSERT_TRUE(start(options, "f13"));
    EXPECT_EQ(source->deviceCount(), 1u);
    const std::vector<std::vector<input_event>> records = {
        {ev(EV_MSC, MSC_SCAN, 0x70029), key(KEY_F13, 1), syn()},
        {key(KEY_F13, 2), syn()},                                               // auto-repeat
        {key(KEY_A, 1), syn(), key(KEY_FN, 1), syn()},                          // other keys
        {ev(EV_LED, LED_CAPSL, 1), ev(EV_REL, REL_X, 1), syn()},                // other event types
        {key(KEY_F13, 0), syn()},                                               //
        {ev(EV_SYN, SYN_DROPPED, 0), key(KEY_F13, 1), key(KEY_F13, 0), syn()},  // discarded up to the report
        {key(KEY_F13, 1), syn()}};
    std::vector<input_event> stream;
    for (const auto& r : records) stream.insert(stream.end(), r.begin(), r.end());
    write(pipe[1], stream, 7);
    ASSERT_TRUE(edgesReach(3));
    EXPECT_EQ(edges, (E{"press", "release", "press"}));

    // The keyboard holding the key is pulled out: a release. One plugged in later is picked up.
    ::close(pipe[1]);
    ASSERT_TRUE(edgesReach(4));
    ASSERT_TRUE(waitFor([&] { return source->deviceCount() == 0; }, 10s));
    ASSERT_EQ(::mkfifo((dir.path() / "event7").c_str(), 0600), 0);
    ASSERT_TRUE(waitFor([&] { return source->watchesKey(); }, 10s));
    // The reader already holds the FIFO open, so this open does not block.
    const int w = ::open((dir.path() / "event7").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(w, 0);
    write(w, {key(KEY_F13, 1), syn(), key(KEY_F13, 0), syn()}, sizeof(input_event));
    ASSERT_TRUE(edgesReach(6));
    EXPECT_EQ(edges, (E{"press", "release", "press", "release", "press", "release"}));

    // Stop ends the reader at once and closes the reading end.
    tap->stop();
    EXPECT_EQ(source->deviceCount(), 0u);
    ::signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(::write(w, "x", 1), -1);
    ::close(w);

    // Tests run as root, which any permission lets through: refuse like the kernel would.
    options.fds.clear();
    options.openDevice = [](const std::string&) { return errno = EACCES, -1; };
    ASSERT_FALSE(start(options, "fn"));
    EXPECT_NE(tap->failure().find("event* (Permission denied) — add yourself to the input group"), std::string::npos);
}
