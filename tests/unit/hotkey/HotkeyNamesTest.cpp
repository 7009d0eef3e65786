#include "fakes/Fakes.h"
#include "hotkey/HotkeyNames.h"

#include <gtest/gtest.h>

#include <set>

using namespace parlando;
using parlando::testing::MemoryLog;

TEST(HotkeyNames, EveryListedNameResolvesToItsOwnKeyWithFnFirst) {
    const auto names = hotkeyNames();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names[0].name, "fn");
    std::set<int> codes;
    for (const auto& n : names) {
        auto key = hotkeyKey(n.name);
        ASSERT_TRUE(key) << n.name;
        EXPECT_EQ(key->name, n.name);
        EXPECT_TRUE(codes.insert(key->evdevCode).second) << "two names share a key code: " << n.name;
    }
    EXPECT_FALSE(hotkeyKey("fn")->x11Visible);
    EXPECT_FALSE(hotkeyKey("FN"));
}

TEST(HotkeyNames, ResolveFallsBackToFnAndSaysSoOnlyForUnknownNames) {
    MemoryLog log;
    EXPECT_EQ(resolveHotkey(std::nullopt, log).name, "fn");
    EXPECT_EQ(resolveHotkey(std::string("pause"), log).name, "pause");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(resolveHotkey(std::string("hyper"), log).name, "fn");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"FN: unknown hotkey \"hyper\" in ParlandoHotkey — using fn"});
}
