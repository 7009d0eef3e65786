#include "core/Settings.h"
#include "core/XdgPaths.h"

#include <gtest/gtest.h>

#include <map>

using namespace parlando;

TEST(MemorySettings, MissingKeysReadAsAbsentAndDefaultsApply) {
    MemorySettings s;
    EXPECT_FALSE(s.getBool("ParlandoMuted"));
    EXPECT_TRUE(s.boolOr("ParlandoMuted", true));
    EXPECT_EQ(s.intOr("ParlandoLightPort", 7420), 7420);
    s.setBool("ParlandoMuted", false);
    EXPECT_FALSE(s.boolOr("ParlandoMuted", true));
    s.remove("ParlandoMuted");
    EXPECT_FALSE(s.contains("ParlandoMuted"));
}

TEST(MemorySettings, ReadsAcrossTypesLikeTheTextStore) {
    MemorySettings s;
    s.setString("a", "true");
    s.setString("n", " 42 ");
    s.setString("junk", "4x2");
    s.setInt("i", 7);
    EXPECT_EQ(s.getBool("a"), true);
    EXPECT_EQ(s.getInt("n"), 42);
    EXPECT_EQ(s.getInt("junk"), std::nullopt);
    EXPECT_EQ(s.getString("i"), "7");
    EXPECT_EQ(s.getDouble("i"), 7.0);
}

TEST(SettingsText, ParsesOnlyWhatItUnderstands) {
    EXPECT_EQ(parseBoolText("TRUE"), true);
    EXPECT_EQ(parseBoolText("0"), false);
    EXPECT_EQ(parseBoolText("maybe"), std::nullopt);
    EXPECT_EQ(parseIntText(""), std::nullopt);
    EXPECT_EQ(parseIntText("-12"), -12);
    EXPECT_EQ(parseDoubleText("1.5"), 1.5);
    EXPECT_EQ(parseDoubleText("1,5"), std::nullopt);
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
