#include "core/Settings.h"
#include "core/VirtualMainLoop.h"
#include "core/XdgPaths.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

using namespace parlando;

TEST(MemorySettings, DefaultsApplyAndValuesReadAcrossTypesLikeTheTextStore) {
    MemorySettings s;
    EXPECT_TRUE(s.boolOr("ParlandoMuted", true));
    EXPECT_EQ(s.intOr("ParlandoLightPort", 7420), 7420);
    s.setBool("ParlandoMuted", false);
    EXPECT_FALSE(s.boolOr("ParlandoMuted", true));
    s.setString("a", "TRUE");
    s.setString("n", " 42 ");
    s.setString("junk", "4x2");
    s.setString("comma", "1,5");
    s.setInt("i", 7);
    EXPECT_EQ(s.getBool("a"), true);
    EXPECT_EQ(s.getInt("n"), 42);
    EXPECT_EQ(s.getInt("junk"), std::nullopt);
    EXPECT_EQ(s.getDouble("comma"), std::nullopt);
    EXPECT_EQ(s.getString("i"), "7");
    s.remove("i");
    EXPECT_FALSE(s.contains("i"));
}

// An absolute XDG_DATA_HOME at work: the end-to-end tests, which find the log there.
TEST(XdgPaths, FollowsTheBaseDirectoryRules) {
    std::map<std::string, std::string> env{{"HOME", "/home/u"}};
    auto lookup = [&](const char* n) { return env.contains(n) ? std::optional(env[n]) : std::nullopt; };
    EXPECT_EQ(XdgPaths::dataHome(lookup), std::filesystem::path("/home/u/.local/share"));
    EXPECT_EQ(XdgPaths::configHome(lookup), std::filesystem::path("/home/u/.config"));
    env["XDG_DATA_HOME"] = "relative/ignored";
    EXPECT_EQ(XdgPaths::appDataDir(lookup), std::filesystem::path("/home/u/.local/share/Parlando"));
    env.clear();
    EXPECT_EQ(XdgPaths::dataHome(lookup), std::nullopt);
}

// Deadline order (ties in scheduling order) with the clock at each deadline,
// work scheduled and cancelled from callbacks, scoped timers.
TEST(VirtualMainLoop, TimersRunInDeadlineOrderAndCancelFromInsideCallbacks) {
    VirtualMainLoop loop;
    std::vector<std::string> seen;  // what ran, at which millisecond
    auto at = [&](const std::string& what) { seen.push_back(what + "@" + std::to_string(loop.now() / millis(1))); };
    auto note = [&](std::string what) { return [at, what] { at(what); }; };
    TimerId later = 0, rep = 0;
    int repeats = 0;
    loop.after(millis(30), note("c"));
    loop.after(millis(10), [&] {
        at("a");
        loop.after(millis(5), note("scheduled"));
        loop.post(note("posted"));
        loop.cancel(later);  // a later one due in the same advance
    });
    loop.after(millis(10), note("b"));
    later = loop.after(millis(12), note("cancelled"));
    rep = loop.every(millis(10), [&] {
        if (++repeats == 3) loop.cancel(rep);  // itself
    });
    ScopedTimer r;
    r.startRepeating(loop, millis(10), note("replaced"));
    r.startRepeating(loop, millis(25), note("scoped"));
    {
        ScopedTimer gone;
        gone.startOnce(loop, millis(1), note("gone"));
    }
    loop.advanceBy(millis(9));
    EXPECT_TRUE(seen.empty());
    loop.advanceBy(millis(21));
    r.reset();
    loop.advanceBy(seconds(1));
    EXPECT_EQ(seen, (std::vector<std::string>{"a@10", "posted@10", "b@10", "scheduled@15", "scoped@25", "c@30"}));
    EXPECT_EQ(repeats, 3);
    EXPECT_EQ(loop.pendingTimers(), 0u);
    loop.cancel(rep);  // twice is harmless
}
