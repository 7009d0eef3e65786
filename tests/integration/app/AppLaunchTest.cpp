// Starts the real parlando binary on a private X server with a tray host and
// checks that it comes up and logs its launch to the file and to stderr. The
// icon itself and a missing tray are covered in TrayXEmbedTest.
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace parlando::testenv;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(AppLaunch, LogsItsLaunchKeepsRunningAndASecondCopyStepsAside) {
    TempDir dir{"parlando-launch"};
    XServer x(dir.path(), XServer::Options{true});
    SessionBus bus(dir.path());
    auto env = isolatedEnv(dir.path(), {x.env(), bus.env(), {{"QT_QPA_PLATFORM", "xcb"}}});
    Process app = Process::spawn({PARLANDO_BINARY_DIR "/apps/parlando"}, env, dir.path() / "app.out",
                                 dir.path() / "app.err");
    const fs::path logFile = dir.path() / "home/.local/share/Parlando/parlando-tray.txt";
    ASSERT_TRUE(waitFor([&] { return readFile(logFile).find("applicationDidFinishLaunching") != std::string::npos; }, 20s))
        << readFile(dir.path() / "app.err");
    EXPECT_EQ(readFile(logFile).find("applicationWillFinishLaunching\napplicationDidFinishLaunching (main-thread sync setup)\n"),
              0u);
    EXPECT_NE(readFile(dir.path() / "app.err").find("Parlando: applicationWillFinishLaunching\n"), std::string::npos);
    std::this_thread::sleep_for(1s);  // past the tray's visibility blink
    EXPECT_TRUE(app.running()) << readFile(dir.path() / "app.err");

    // A second copy for the same user steps aside; the first keeps running.
    Process second = Process::spawn({PARLANDO_BINARY_DIR "/apps/parlando"}, env, dir.path() / "second.out",
                                    dir.path() / "second.err");
    EXPECT_EQ(second.wait(20s), 0);
    EXPECT_NE(readFile(logFile).find("app: another Parlando is already running for this user — exiting"),
              std::string::npos);
    EXPECT_TRUE(app.running());
}

