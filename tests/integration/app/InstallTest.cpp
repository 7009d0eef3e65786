// `cmake --install` puts the binary, the desktop entry and the icon where
// desktops look for them, and the pieces refer to each other by name.
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

using namespace parlando::testenv;
namespace fs = std::filesystem;

TEST(Install, BinaryDesktopEntryAndIconLandInTheUsualPlaces) {
    TempDir dir("parlando-install");
    const fs::path prefix = dir.path() / "usr";
    const RunResult r =
        run({"cmake", "--install", PARLANDO_BINARY_DIR, "--prefix", prefix.string()}, {}, std::chrono::seconds(120));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(fs::exists(prefix / "bin/parlando"));
    EXPECT_TRUE(fs::exists(prefix / "lib/parlando/libtdjson.so")) << "TDLib is installed beside the app";
    const fs::path entry = prefix / "share/applications/com.parlando.Parlando.desktop";
    const fs::path icon = prefix / "share/icons/hicolor/scalable/apps/parlando.svg";
    ASSERT_TRUE(fs::exists(entry));
    ASSERT_TRUE(fs::exists(icon));

    const std::string text = readFile(entry);
    EXPECT_NE(text.find("\nIcon=parlando\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=parlando\n"), std::string::npos);

    // A well-formed SVG with the disc motif (three circles).
    const char* circles =
        "import sys, xml.dom.minidom as m; print(len(m.parse(sys.argv[1]).getElementsByTagName('circle')))";
    EXPECT_EQ(run({"python3", "-c", circles, icon.string()}).out, "3\n") << "not well-formed, or not the disc";
}
