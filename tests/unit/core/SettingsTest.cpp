#include "core/Settings.h"
#include "core/XdgPaths.h"

#include <gtest/gtest.h>

#include <map>

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

TEST(XdgPaths, FollowsTheBaseDirectoryRules) {
    std::map<std::string, std::string> env{{"HOME", "/home/u"}};
    auto lookup = [&](const char* n) -> std::optional<std::string> {
        auto it = env.find(n);
        if (it == env.end()) return std::nullopt;
        return it->second;
    };
    EXPECT_EQ(XdgPaths::dataHome(lookup), std::filesystem::path("/home/u/.local/share"));
    EXPECT_EQ(XdgPaths::configHome(lookup), std::filesystem::path("/home/u/.config"));
    env["XDG_DATA_HOME"] = "relative/ignored";
    EXPECT_EQ(XdgPaths::appDataDir(lookup), std::filesystem::path("/home/u/.local/share/Parlando"));
    env["XDG_DATA_HOME"] = "/data";
    EXPECT_EQ(XdgPaths::appDataDir(lookup), std::filesystem::path("/data/Parlando"));
    env.clear();
    EXPECT_EQ(XdgPaths::dataHome(lookup), std::nullopt);
}
