// The real binary on an X server: with trayer as an XEmbed tray host it logs
// its launch, a second copy steps aside, the icon shows and both mouse buttons
// open the menu; with no tray at all the start-up
// probe logs why and posts a notification (to a fake notification service).
#include "testenv/Desktop.h"
#include "testenv/FakeDBusServices.h"

#include <gtest/gtest.h>
#include <QImage>
#include <QRegularExpression>

using namespace parlando::testing;
using namespace parlando::testenv;

namespace {

// Pixels that differ noticeably between two screenshots inside a rectangle.
int changedPixels(const QImage& a, const QImage& b, const QRect& r) {
    int n = 0;
    const QRect in = r & a.rect();
    for (int y = in.top(); y <= in.bottom(); ++y)
        for (int x = in.left(); x <= in.right(); ++x) {
            const QColor ca = a.pixelColor(x, y), cb = b.pixelColor(x, y);
            if (std::abs(ca.red() - cb.red()) + std::abs(ca.green() - cb.green()) + std::abs(ca.blue() - cb.blue()) >
                30)
                ++n;
        }
    return n;
}

class TrayXEmbedTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "trayer", "xdotool", "import", "dbus-daemon"})
            if (!haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
        // This process only serves fake D-Bus services; it needs no display.
        applyToProcess({{"QT_QPA_PLATFORM", "offscreen"}});
        qtApp();
    }
    void TearDown() override {
        app.stop();
        notifications.reset();
        QDBusConnection::disconnectFromBus("services");
    }

    // The app on a desktop with a tray host or without, a fake notification service on its bus.
    bool launch(bool tray, const std::string& settings = "") {
        desk.emplace("parlando-xembed", tray, false, false);
        desk->env["XDG_CURRENT_DESKTOP"] = "GNOME";
        desk->env["DBUS_SYSTEM_BUS_ADDRESS"] = desk->bus.address();  // no logind there: the hotkey always acts
        desk->configure(settings);
        notifications.emplace(QDBusConnection::connectToBus(QString::fromStdString(desk->bus.address()), "services"));
        app = desk->startApp();
        return pumpUntil([&] { return desk->logged("tray-probe: "); }, 30000);
    }
    // The exit status, waited for with the event loop turning (the app may call our services).
    static std::optional<int> exitOf(Process& p, int ms) {
        std::optional<int> status;
        pumpUntil([&] { return (status = p.wait(std::chrono::milliseconds(0))).has_value(); }, ms);
        return status;
    }
    QImage shot(const std::string& name) {
        const std::string p = (desk->dir.path() / (name + ".png")).string();
        EXPECT_TRUE(desk->x.screenshot(p));
        return QImage(QString::fromStdString(p)).convertToFormat(QImage::Format_RGB32);
    }

    std::optional<Desktop> desk;
    std::optional<FakeNotifications> notifications;
    Process app;
};

}  // namespace

TEST_F(TrayXEmbedTest, LaunchesOnceIconIsVisibleBothButtonsOpenTheMenuAndTheProbeStaysQuiet) {
    // A hotkey X11 sees: nothing to tell the user.
    ASSERT_TRUE(launch(true, "ParlandoHotkey=rightctrl\n")) << readFile(desk->file("app.err"));
    // Where the tray put the icon, from the probe's own line.
    QRegularExpression re(R"(tray-probe: tray icon visible at \((-?\d+), (-?\d+), (\d+)x(\d+)\))");
    const auto m = re.match(QString::fromStdString(desk->log()));
    ASSERT_TRUE(m.hasMatch()) << desk->log();
    const QRect icon(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(), m.captured(4).toInt());
    ASSERT_GT(icon.width(), 8);

    // The idle icon is a grey disc (0.66 grey) in the tray's slot.
    const QImage shown = shot("icon");
    QImage grey(shown.size(), QImage::Format_RGB32);
    grey.fill(QColor(168, 168, 168));
    EXPECT_LT(changedPixels(grey, shown, icon), icon.width() * icon.height() * 2 / 3)
        << "grey pixels in the icon's slot";

    // Both mouse buttons open the menu below the tray.
    const QRect below(icon.x() - 400, icon.bottom() + 2, 400 + icon.width(), 250);
    const std::string cx = std::to_string(icon.center().x()), cy = std::to_string(icon.center().y());
    const auto menuShown = [&](const std::string& name) {
        return pumpUntil([&] { return changedPixels(shown, shot(name), below) > 3000; }, 15000);
    };
    for (const char* button : {"1", "3"}) {
        run({"xdotool", "mousemove", cx, cy, "click", button}, desk->env);
        EXPECT_TRUE(menuShown(std::string("menu") + button)) << "button " << button;
        run({"xdotool", "key", "Escape"}, desk->env);
        pumpUntil([&] { return changedPixels(shown, shot("closed"), below) < 200; }, 10000);
    }

    pumpFor(500);
    EXPECT_TRUE(notifications->calls.empty()) << "a visible icon posts no notification";
    ASSERT_TRUE(app.running());
    // The launch went to the log file and to stderr; a second copy for the same user steps aside.
    EXPECT_EQ(
        desk->log().find("applicationWillFinishLaunching\napplicationDidFinishLaunching (main-thread sync setup)\n"),
        0u);
    EXPECT_NE(readFile(desk->file("app.err")).find("Parlando: applicationWillFinishLaunching\n"), std::string::npos);
    Process second = desk->startApp({}, "second");
    EXPECT_EQ(exitOf(second, 20000), 0);
    EXPECT_TRUE(desk->logged("app: another Parlando is already running for this user — exiting"));
    ASSERT_TRUE(app.running());

    // An item chosen in the real menu runs its action: the last one, "Выход", ends the app.
    run({"xdotool", "mousemove", cx, cy, "click", "1"}, desk->env);
    ASSERT_TRUE(menuShown("quit"));
    run({"xdotool", "key", "Up"}, desk->env);
    run({"xdotool", "key", "Return"}, desk->env);
    EXPECT_EQ(exitOf(app, 15000), 0) << "the app is still running, or failed";
}

TEST_F(TrayXEmbedTest, WithoutATrayTheProbeNotifies) {
    ASSERT_TRUE(launch(false)) << readFile(desk->file("app.err"));
    const auto notice = [&] {
        return std::find_if(notifications->calls.begin(), notifications->calls.end(),
                            [](const auto& c) { return c.summary == "Иконка Parlando не появилась в трее"; });
    };
    ASSERT_TRUE(pumpUntil([&] { return notice() != notifications->calls.end(); }, 10000)) << desk->log();
    EXPECT_EQ(notice()->appIcon, "parlando");
    EXPECT_TRUE(app.running()) << "no tray is no reason to quit";
}
