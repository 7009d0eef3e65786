// Starts the real parlando binary on a private X server and checks that it
// comes up, logs its launch, shows its tray icon, and survives a missing tray.
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <fstream>
#include <sstream>

using namespace parlando::testenv;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& p) {
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Launch {
    std::map<std::string, std::string> env;
    TempDir dir{"parlando-launch"};
    std::optional<XServer> x;
    std::optional<SessionBus> bus;
    Process app;

    void start(bool trayHost) {
        x.emplace(dir.path(), XServer::Options{trayHost});
        bus.emplace(dir.path());
        env = isolatedEnv(dir.path(), {x->env(), bus->env(), {{"QT_QPA_PLATFORM", "xcb"}}});
        app = Process::spawn({PARLANDO_BINARY_DIR "/apps/parlando"}, env, dir.path() / "app.out",
                             dir.path() / "app.err");
    }
    fs::path logFile() const { return dir.path() / "home/.local/share/Parlando/parlando-tray.txt"; }
    std::string log() const { return readAll(logFile()); }
};

// A pixel of the idle disc's grey (0.66 of full scale) somewhere in the tray's area.
bool trayShowsGreyDisc(const QImage& shot) {
    const QRect trayArea(shot.width() - 200, 0, 200, 24);
    int hits = 0;
    for (int y = trayArea.top(); y <= trayArea.bottom(); ++y)
        for (int x = trayArea.left(); x <= trayArea.right(); ++x) {
            const QColor c = shot.pixelColor(x, y);
            if (std::abs(c.red() - 168) <= 6 && std::abs(c.green() - 168) <= 6 && std::abs(c.blue() - 168) <= 6) ++hits;
        }
    return hits >= 20;  // a disc, not a stray pixel
}

}  // namespace

TEST(AppLaunch, ShowsTheIdleTrayIconAndLogsItsLaunch) {
    Launch l;
    l.start(true);
    ASSERT_TRUE(waitFor([&] { return l.log().find("applicationDidFinishLaunching") != std::string::npos; }, 20s))
        << readAll(l.dir.path() / "app.err");
    const std::string log = l.log();
    EXPECT_EQ(log.find("applicationWillFinishLaunching\napplicationDidFinishLaunching (main-thread sync setup)\n"), 0u)
        << log;
    const std::string err = readAll(l.dir.path() / "app.err");
    EXPECT_NE(err.find("Parlando: applicationWillFinishLaunching\n"), std::string::npos) << err;

    // The icon is embedded a moment after start-up (and blinks once at 0.5 s).
    const fs::path shot = l.dir.path() / "screen.png";
    bool seen = waitFor(
        [&] {
            if (!l.x->screenshot(shot)) return false;
            QImage img(QString::fromStdString(shot.string()));
            return !img.isNull() && trayShowsGreyDisc(img);
        },
        20s, 300ms);
    if (!seen) l.dir.keep();
    EXPECT_TRUE(seen) << "no grey disc in the tray area; screenshot kept at " << shot;
    EXPECT_TRUE(l.app.running());
}

TEST(AppLaunch, KeepsRunningWithoutATrayHost) {
    Launch l;
    l.start(false);
    ASSERT_TRUE(waitFor([&] { return l.log().find("applicationDidFinishLaunching") != std::string::npos; }, 20s))
        << readAll(l.dir.path() / "app.err");
    std::this_thread::sleep_for(4s);  // past the tray's visibility blink and probe
    EXPECT_TRUE(l.app.running()) << readAll(l.dir.path() / "app.err");
}

TEST(AppLaunch, ASecondCopyForTheSameUserStepsAsideAndTheFirstKeepsRunning) {
    Launch l;
    l.start(false);
    ASSERT_TRUE(waitFor([&] { return l.log().find("applicationDidFinishLaunching") != std::string::npos; }, 20s));
    Process second = Process::spawn({PARLANDO_BINARY_DIR "/apps/parlando"}, l.env, l.dir.path() / "second.out",
                                    l.dir.path() / "second.err");
    EXPECT_EQ(second.wait(20s), 0);
    EXPECT_NE(l.log().find("app: another Parlando is already running for this user — exiting"), std::string::npos)
        << l.log();
    EXPECT_TRUE(l.app.running());
}
