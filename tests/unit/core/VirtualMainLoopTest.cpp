#include "core/VirtualMainLoop.h"

#include <gtest/gtest.h>

#include <vector>

using namespace parlando;

// Deadline order (ties in scheduling order), the clock standing at each
// deadline, work scheduled from callbacks, a week of daily ticks at once.
TEST(VirtualMainLoop, TimersRunInDeadlineOrderWithTheClockAtEachDeadline) {
    VirtualMainLoop loop;
    std::vector<std::pair<std::string, MonoTime>> seen;
    auto note = [&](std::string what) { return [&, what] { seen.emplace_back(what, loop.now()); }; };
    loop.after(millis(30), note("c"));
    loop.after(millis(10), [&] {
        seen.emplace_back("a", loop.now());
        loop.after(millis(5), note("scheduled"));
        loop.post(note("posted"));
    });
    loop.after(millis(10), note("b"));
    loop.advanceBy(millis(9));
    EXPECT_TRUE(seen.empty());
    loop.advanceBy(millis(21));
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, MonoTime>>{
                        {"a", millis(10)}, {"posted", millis(10)}, {"b", millis(10)}, {"scheduled", millis(15)},
                        {"c", millis(30)}}));
    EXPECT_EQ(loop.wallNow() - WallTime(std::chrono::seconds(1'800'000'000)), millis(30));
    int daily = 0;
    loop.every(std::chrono::hours(24), [&] { ++daily; });
    loop.advanceBy(std::chrono::hours(24 * 7));
    EXPECT_EQ(daily, 7);
}

TEST(VirtualMainLoop, CancelFromInsideCallbacksAndScopedTimers) {
    VirtualMainLoop loop;
    int repeats = 0, fired = 0;
    TimerId later = 0, rep = 0;
    loop.after(millis(5), [&] { loop.cancel(later); });  // a later one due in the same advance
    later = loop.after(millis(6), [&] { fired += 1000; });
    rep = loop.every(millis(10), [&] {
        if (++repeats == 3) loop.cancel(rep);  // itself
    });
    {
        ScopedTimer gone;
        gone.startOnce(loop, millis(10), [&] { fired += 1000; });
    }
    ScopedTimer r;
    r.startRepeating(loop, millis(10), [&] { fired += 1000; });
    r.startRepeating(loop, millis(10), [&] { ++fired; });  // replaces the first
    loop.advanceBy(millis(25));
    r.reset();
    loop.advanceBy(seconds(1));
    EXPECT_EQ(fired, 2);
    EXPECT_EQ(repeats, 3);
    EXPECT_EQ(loop.pendingTimers(), 0u);
    loop.cancel(rep);  // twice is harmless
}
