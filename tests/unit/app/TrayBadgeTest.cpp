#include "AppRig.h"
#include "app/TrayProbe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace parlando;
using namespace parlando::testing;

namespace {
struct BadgeRig {
    bool meeting = false;
    double elapsed = 0;
    AppRig app{hooks()};
    StatusMenuHooks hooks() {
        StatusMenuHooks h;
        h.isMeetingRunning = [this] { return meeting; };
        h.meetingElapsedSeconds = [this] { return elapsed; };
        return h;
    }
    void expectBadge(const std::string& title, std::optional<std::string> tip) {
        app.c->refreshTrayBadge();
        EXPECT_EQ(app.button.title, title);
        EXPECT_EQ(app.button.tip, tip);
        EXPECT_EQ(app.button.imagePosition, title.empty() ? ImagePosition::imageOnly : ImagePosition::imageLeft);
    }
};

void placeIcon(FakeTrayButton& b, ScreenRect frame) {
    b.present.path = TrayPresence::Path::xembed;
    b.present.xembedTrayAvailable = true;
    b.present.frame = frame;
    b.present.screens = {ScreenRect{0, 0, 1280, 800}};
}
}  // namespace

TEST(TrayBadge, ClockFormats) {
    const std::pair<double, const char*> cases[] = {
        {0, "00:00"},     {75.9, "01:15"},    {3599.99, "59:59"}, {3600, "1:00:00"}, {3725, "1:02:05"},
        {36000, "10:00:00"}, {-5, "00:00"}, {std::nan(""), "00:00"}, {std::numeric_limits<double>::infinity(), "00:00"}};
    for (const auto& [s, text] : cases) EXPECT_EQ(StatusBarController::formatElapsedTimer(s), text) << s;
}

TEST(TrayBadge, RowsAndPrecedence) {
    BadgeRig rig;
    auto& s = rig.app.c->trayState;
    rig.meeting = true;
    rig.elapsed = 75.4;
    rig.expectBadge(" 01:15", "Идёт запись встречи — только мик");
    s.systemAudioActive = s.fnDictating = s.processing = true;  // the dictation mark wins over the spinner
    rig.expectBadge(" 01:15 ▌", "Запись встречи (мик + система) + FN-диктовка в буфер");
    s.fnDictating = false;
    rig.app.c->spinnerFrameIndex = 13;  // shown modulo ten
    rig.expectBadge(" 01:15 ⠸", "Идёт запись встречи — мик + система");

    rig.meeting = false;
    rig.app.c->spinnerFrameIndex = 0;
    rig.app.c->allMicsFailed = true;  // processing beats the missing microphone
    rig.expectBadge(" ⠋", "Собираем расшифровку в буфер обмена…");
    s.processing = false;
    rig.expectBadge(" MIC", "Нет рабочего микрофона — ни одно входное устройство не даёт звук. Подключи микрофон или "
                            "выбери его в меню.");
    rig.app.c->allMicsFailed = false;
    rig.expectBadge("", std::nullopt);
}

TEST(TrayBadge, SpinnerTicksEveryTenthOfASecondWrapsAndStops) {
    AppRig rig;
    rig.c->trayState.processing = true;
    rig.c->spinnerFrameIndex = 7;
    rig.c->startSpinner();
    EXPECT_EQ(rig.button.title, " ⠋");
    rig.advance(0.1);
    EXPECT_EQ(rig.button.title, " ⠙");
    rig.advance(0.9);
    EXPECT_EQ(rig.c->spinnerFrameIndex, 0) << "ten ticks wrap around";
    rig.c->startSpinner();  // a restart replaces the running timer
    rig.advance(0.35);
    EXPECT_EQ(rig.c->spinnerFrameIndex, 3);
    rig.c->trayState.processing = false;
    rig.c->stopSpinner();
    EXPECT_EQ(rig.button.title, "");
    rig.advance(1);
    EXPECT_EQ(rig.c->spinnerFrameIndex, 3) << "stopped, and the index stays where it was";
}

TEST(TrayBadge, ShowErrorIsATipForThreeSecondsAndEachCallSchedulesItsOwnRemoval) {
    AppRig rig;
    rig.c->showError("Ключ не задан");
    EXPECT_TRUE(rig.log.contains("error: Ключ не задан"));
    EXPECT_EQ(rig.button.tip, "Ключ не задан");
    rig.advance(2.0);
    rig.c->showError("второе");
    rig.advance(0.99);
    EXPECT_EQ(rig.button.tip, "второе");
    rig.advance(0.02);
    EXPECT_EQ(rig.button.tip, std::nullopt) << "the first removal clears whatever tip is showing";
    rig.c->showError("x");
    rig.c.reset();
    rig.advance(4);
    EXPECT_EQ(rig.button.tip, "x") << "nothing runs once the controller is gone";
}

TEST(TrayProbe, VisibleOnAScreenStaysQuietAndRunsOnce) {
    AppRig rig;
    placeIcon(rig.button, ScreenRect{1180, 0, 24, 24});
    rig.advance(2.99);
    EXPECT_FALSE(rig.log.contains("tray-probe"));
    rig.advance(0.02);
    EXPECT_TRUE(rig.log.contains("tray-probe: tray icon visible at (1180, 0, 24x24)"));
    rig.advance(10);
    EXPECT_EQ(rig.log.count("tray-probe"), 1u);
    EXPECT_TRUE(rig.notifier.posted.empty());
}

TEST(TrayProbe, OffScreenOrNoTrayNotifiesInRussian) {
    AppRig rig;
    placeIcon(rig.button, ScreenRect{-100, -100, 24, 24});
    rig.advance(3.01);
    EXPECT_TRUE(rig.log.contains("tray-probe: tray icon frame (-100, -100, 24x24) does not intersect any screen"));
    ASSERT_EQ(rig.notifier.posted.size(), 1u);
    EXPECT_EQ(rig.notifier.posted[0].title, "Иконка Parlando не появилась в трее");
    EXPECT_EQ(rig.notifier.posted[0].identifier, "parlando.tray-invisible");

    AppRig noHost;
    noHost.button.present.path = TrayPresence::Path::xembed;
    noHost.button.present.desktop = "ubuntu:GNOME";
    noHost.notifier.failWith = "org.freedesktop.DBus.Error.ServiceUnknown";
    noHost.advance(3.01);
    EXPECT_TRUE(noHost.log.contains("tray-probe: no system tray after 3 s"));
    ASSERT_EQ(noHost.notifier.posted.size(), 1u);
    EXPECT_NE(noHost.notifier.posted[0].body.find("AppIndicator"), std::string::npos);
    EXPECT_TRUE(noHost.log.contains("tray-probe: notification post failed — org.freedesktop.DBus.Error.ServiceUnknown"));
}

TEST(TrayProbe, Verdicts) {
    TrayPresence sni;
    sni.path = TrayPresence::Path::statusNotifier;
    sni.serviceName = "org.kde.StatusNotifierItem-1-1";
    sni.itemRegistered = sni.hostRegistered = true;
    EXPECT_EQ(judgeTrayPresence(true, sni).logLine,
              "tray-probe: tray icon visible as StatusNotifierItem org.kde.StatusNotifierItem-1-1");
    sni.hostRegistered = false;
    EXPECT_FALSE(judgeTrayPresence(true, sni).visible);

    TrayPresence x;
    x.path = TrayPresence::Path::xembed;
    x.xembedTrayAvailable = true;
    x.frame = ScreenRect{10, 10, 1, 1};  // a 1-pixel window is not a shown icon
    x.screens = {ScreenRect{0, 0, 100, 100}};
    EXPECT_FALSE(judgeTrayPresence(true, x).visible);
    x.frame = ScreenRect{1280, 0, 24, 24};  // just right of the only screen
    x.screens = {ScreenRect{0, 0, 1280, 800}};
    EXPECT_FALSE(judgeTrayPresence(true, x).visible);
    x.screens.push_back(ScreenRect{1280, 0, 1920, 1080});
    EXPECT_TRUE(judgeTrayPresence(true, x).visible);
}
