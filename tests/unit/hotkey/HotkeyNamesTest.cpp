#include "fakes/Fakes.h"
#include "hotkey/HotkeyNames.h"

#include <gtest/gtest.h>

#include <set>

using namespace parlando;
using parlando::testing::MemoryLog;

TEST(HotkeyNames, ListsEveryKeyOnceWithFnFirstAndEachResolvable) {
    const auto names = hotkeyNames();
    ASSERT_EQ(names.size(), 8u);
    EXPECT_EQ(names[0].name, "fn");
    std::set<std::string_view> seen;
    std::set<int> codes;
    for (const auto& n : names) {
        EXPECT_TRUE(seen.insert(n.name).second) << n.name;
        EXPECT_FALSE(n.label.empty()) << n.name;
        auto key = hotkeyKey(n.name);
        ASSERT_TRUE(key) << n.name;
        EXPECT_EQ(key->name, n.name);
        EXPECT_TRUE(codes.insert(key->evdevCode).second) << "two names share a key code: " << n.name;
    }
    for (const char* expected : {"rightctrl", "rightalt", "f13", "pause", "scrolllock", "capslock", "insert"}) {
        EXPECT_TRUE(seen.count(expected)) << expected;
    }
}

TEST(HotkeyNames, PlatformCodes) {
    EXPECT_EQ(hotkeyKey("fn")->evdevCode, 0x1d0);
    EXPECT_FALSE(hotkeyKey("fn")->x11Visible);
    EXPECT_EQ(hotkeyKey("rightctrl")->evdevCode, 97);
    EXPECT_EQ(hotkeyKey("rightctrl")->x11Keysym, 0xffe4u);
    // F13 has no keysym in the default keymap: X11 finds it by key code.
    EXPECT_EQ(hotkeyKey("f13")->x11Keysym, 0u);
    EXPECT_TRUE(hotkeyKey("f13")->x11Visible);
    EXPECT_FALSE(hotkeyKey("FN"));
    EXPECT_FALSE(hotkeyKey(""));
}

TEST(HotkeyNames, ResolveFallsBackToFnAndSaysSoOnlyForUnknownNames) {
    MemoryLog log;
    EXPECT_EQ(resolveHotkey(std::nullopt, log).name, "fn");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(resolveHotkey(std::string("pause"), log).name, "pause");
    EXPECT_TRUE(log.lines().empty());

    const HotkeyKey k = resolveHotkey(std::string("hyper"), log);
    EXPECT_EQ(k.name, "fn");
    EXPECT_EQ(k.evdevCode, 0x1d0);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "FN: unknown hotkey \"hyper\" in ParlandoHotkey — using fn");
}
