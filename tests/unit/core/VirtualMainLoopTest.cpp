#include "core/VirtualMainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace parlando;

TEST(VirtualMainLoop, TimersFireInDeadlineOrderAndEqualDeadlinesInSchedulingOrder) {
    VirtualMainLoop loop;
    std::vector<std::string> order;
    loop.after(millis(30), [&] { order.push_back("c30"); });
    loop.after(millis(10), [&] { order.push_back("a10"); });
    loop.after(millis(10), [&] { order.push_back("b10"); });
    loop.after(millis(20), [&] { order.push_back("x20"); });
    loop.advanceBy(millis(9));
    EXPECT_TRUE(order.empty());
    loop.advanceBy(millis(21));
    EXPECT_EQ(order, (std::vector<std::string>{"a10", "b10", "x20", "c30"}));
    EXPECT_EQ(loop.now(), millis(30));
}

TEST(VirtualMainLoop, ClockStandsAtEachDeadlineWhileItsTimerRuns) {
    VirtualMainLoop loop;
    std::vector<MonoTime> seen;
    loop.after(seconds(1.5), [&] { seen.push_back(loop.now()); });
    loop.after(seconds(0.25), [&] { seen.push_back(loop.now()); });
    loop.advanceBy(seconds(10));
    EXPECT_EQ(seen, (std::vector<MonoTime>{seconds(0.25), seconds(1.5)}));
    EXPECT_EQ(loop.wallNow() - WallTime(std::chrono::seconds(1'800'000'000)), std::chrono::seconds(10));
}

TEST(VirtualMainLoop, CancelFromInsideCallbacks) {
    VirtualMainLoop loop;
    int repeats = 0;
    bool laterRan = false;
    TimerId later = 0;
    TimerId rep = 0;
    // A timer cancels a later one that is due in the same advance.
    loop.after(millis(5), [&] { loop.cancel(later); });
    later = loop.after(millis(6), [&] { laterRan = true; });
    // A repeating timer cancels itself on its third tick.
    rep = loop.every(millis(10), [&] {
        if (++repeats == 3) loop.cancel(rep);
    });
    loop.advanceBy(seconds(1));
    EXPECT_FALSE(laterRan);
    EXPECT_EQ(repeats, 3);
    EXPECT_EQ(loop.pendingTimers(), 0u);
    loop.cancel(rep);  // cancelling twice is harmless
    loop.cancel(12345);
}

TEST(VirtualMainLoop, RepeatingTimerRunsAtEachIntervalAndA24HourSpanIsInstant) {
    VirtualMainLoop loop;
    std::vector<MonoTime> ticks;
    loop.every(seconds(1), [&] { ticks.push_back(loop.now()); });
    loop.advanceBy(seconds(3.5));
    EXPECT_EQ(ticks, (std::vector<MonoTime>{seconds(1), seconds(2), seconds(3)}));

    int daily = 0;
    loop.every(std::chrono::hours(24), [&] { ++daily; });
    const auto started = std::chrono::steady_clock::now();
    loop.advanceBy(std::chrono::hours(24 * 7));
    EXPECT_EQ(daily, 7);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(VirtualMainLoop, TimersScheduledFromCallbacksRunInTheSameAdvanceWhenDue) {
    VirtualMainLoop loop;
    std::vector<int> order;
    loop.after(millis(10), [&] {
        order.push_back(1);
        loop.after(millis(5), [&] { order.push_back(3); });
        loop.post([&] { order.push_back(2); });
    });
    loop.advanceBy(millis(14));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    loop.advanceBy(millis(1));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(VirtualMainLoop, PostsFromOtherThreadsRunOnTheMainThreadInTheirOrder) {
    VirtualMainLoop loop;
    std::vector<int> got;
    std::atomic<bool> allOnMain{true};
    std::thread producer([&] {
        EXPECT_FALSE(loop.isMainThread());
        for (int i = 0; i < 1000; ++i)
            loop.post([&, i] {
                if (!loop.isMainThread()) allOnMain = false;
                got.push_back(i);
            });
    });
    producer.join();
    EXPECT_TRUE(got.empty()) << "posted work never runs inline";
    loop.runPending();
    ASSERT_EQ(got.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(got[std::size_t(i)], i);
    EXPECT_TRUE(allOnMain);
}

TEST(VirtualMainLoop, RunUntilSeesWorkPostedByAnotherThread) {
    VirtualMainLoop loop;
    std::atomic<bool> done{false};
    bool flag = false;
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        loop.post([&] { flag = true; });
        done = true;
    });
    EXPECT_TRUE(loop.runUntil([&] { return flag; }, seconds(60)));
    t.join();
}

TEST(ScopedTimer, CancelsOnResetAndDestruction) {
    VirtualMainLoop loop;
    int fired = 0;
    {
        ScopedTimer t;
        t.startOnce(loop, millis(10), [&] { ++fired; });
        EXPECT_TRUE(t.active());
    }
    ScopedTimer r;
    r.startRepeating(loop, millis(10), [&] { ++fired; });
    r.startRepeating(loop, millis(10), [&] { fired += 100; });  // replaces the first
    loop.advanceBy(millis(25));
    EXPECT_EQ(fired, 200);
    r.reset();
    loop.advanceBy(millis(100));
    EXPECT_EQ(fired, 200);
    EXPECT_EQ(loop.pendingTimers(), 0u);
}
