#include "app/StatusBarController.h"
#include "app/TrayProbe.h"
#include "core/VirtualMainLoop.h"
#include "fakes/Fakes.h"
#include "fakes/FakeTray.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace parlando;
using namespace parlando::testing;

namespace {
struct Rig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeTrayButton button;
    FakeNotifier notifier;
    bool meeting = false;
    double elapsed = 0;
    std::shared_ptr<StatusBarController> c;

    Rig() {
        StatusMenuHooks hooks;
        hooks.isMeetingRunning = [this] { return meeting; };
        hooks.meetingElapsedSeconds = [this] { return elapsed; };
        c = StatusBarController::create(AppServices{loop, settings, log, &button, &notifier, nullptr}, {}, hooks);
    }
};
}  // namespace

TEST(TrayBadge, ClockFormats) {
    EXPECT_EQ(StatusBarController::formatElapsedTimer(0), "00:00");
    EXPECT_EQ(StatusBarController::formatElapsedTimer(75.9), "01:15");
    EXPECT_EQ(StatusBarController::formatElapsedTimer(3599.99), "59:59");
    EXPECT_EQ(StatusBarController::formatElapsedTimer(3600), "1:00:00");
    EXPECT_EQ(StatusBarController::formatElapsedTimer(3725), "1:02:05");
    EXPECT_EQ(StatusBarController::formatElapsedTimer(36000), "10:00:00");
    // Out-of-contract input shows a zero clock rather than garbage.
    EXPECT_EQ(StatusBarController::formatElapsedTimer(-5), "00:00");
    EXPECT_EQ(StatusBarController::formatElapsedTimer(std::nan("")), "00:00");
    EXPECT_EQ(StatusBarController::formatElapsedTimer(std::numeric_limits<double>::infinity()), "00:00");
}

TEST(TrayBadge, MeetingRowsWithSideDictationAndSpinner) {
    Rig rig;
    rig.meeting = true;
    rig.elapsed = 75.4;
    rig.c->refreshTrayBadge();
    EXPECT_EQ(rig.button.title, " 01:15");
    EXPECT_EQ(rig.button.imagePosition, ImagePosition::imageLeft);
    EXPECT_EQ(rig.button.tip, "Идёт запись встречи — только мик");

    rig.c->trayState.systemAudioActive = true;
    rig.c->trayState.fnDictating = true;
    rig.c->trayState.processing = true;  // dictation mark wins over the spinner
    rig.c->refreshTrayBadge();
    EXPECT_EQ(rig.button.title, " 01:15 ▌");
    EXPECT_EQ(rig.button.tip, "Запись встречи (мик + система) + FN-диктовка в буфер");

    rig.c->trayState.fnDictating = false;
    rig.c->spinnerFrameIndex = 13;  // shown modulo ten
    rig.c->refreshTrayBadge();
    EXPECT_EQ(rig.button.title, " 01:15 ⠸");
    EXPECT_EQ(rig.button.tip, "Идёт запись встречи — мик + система");
}

TEST(TrayBadge, ProcessingBeatsNoMicAndNoMicReturnsAfterwards) {
    Rig rig;
    rig.c->allMicsFailed = true;
    rig.c->trayState.processing = true;
    rig.c->refreshTrayBadge();
    EXPECT_EQ(rig.button.title, " ⠋");
    EXPECT_EQ(rig.button.tip, "Собираем расшифровку в буфер обмена…");
    rig.c->trayState.processing = false;
    rig.c->refreshTrayBadge();
    EXPECT_EQ(rig.button.title, " MIC");
    EXPECT_EQ(rig.button.imagePosition, ImagePosition::imageLeft);
    EXPECT_EQ(rig.button.tip, "Нет рабочего микрофона — ни одно входное устройство не даёт звук. Подключи "
                              "микрофон или выбери его в меню.");
    rig.c->allMicsFailed = false;
    rig.c->refreshTrayBadge();
    EXPECT_EQ(rig.button.title, "");
    EXPECT_EQ(rig.button.imagePosition, ImagePosition::imageOnly);
    EXPECT_EQ(rig.button.tip, std::nullopt);
}

TEST(TrayBadge, SpinnerTicksEveryTenthOfASecondWrapsAndStops) {
    Rig rig;
    rig.c->trayState.processing = true;
    rig.c->spinnerFrameIndex = 7;
    rig.c->startSpinner();
    EXPECT_EQ(rig.button.title, " ⠋");
    rig.loop.advanceBy(seconds(0.1));
    EXPECT_EQ(rig.button.title, " ⠙");
    rig.loop.advanceBy(seconds(0.9));
    EXPECT_EQ(rig.c->spinnerFrameIndex, 0) << "ten ticks wrap around";
    rig.c->startSpinner();  // a restart replaces the running timer
    rig.loop.advanceBy(seconds(0.35));
    EXPECT_EQ(rig.c->spinnerFrameIndex, 3);
    rig.c->trayState.processing = false;
    rig.c->stopSpinner();
    EXPECT_FALSE(rig.c->spinnerRunning());
    EXPECT_EQ(rig.c->spinnerFrameIndex, 3) << "the index stays where it was";
    EXPECT_EQ(rig.button.title, "");
    rig.loop.advanceBy(seconds(1));
    EXPECT_EQ(rig.c->spinnerFrameIndex, 3);
}

TEST(TrayBadge, ShowErrorIsATipForThreeSecondsAndEachCallSchedulesItsOwnRemoval) {
    Rig rig;
    rig.c->showError("Ключ не задан");
    EXPECT_TRUE(rig.log.contains("error: Ключ не задан"));
    EXPECT_EQ(rig.button.tip, "Ключ не задан");
    rig.loop.advanceBy(seconds(2.0));
    rig.c->showError("второе");
    rig.loop.advanceBy(seconds(0.99));
    EXPECT_EQ(rig.button.tip, "второе");
    rig.loop.advanceBy(seconds(0.02));
    EXPECT_EQ(rig.button.tip, std::nullopt) << "the first removal clears whatever tip is showing";
    rig.c->refreshTrayBadge();
    rig.c->showError("x");
    rig.c.reset();
    rig.loop.advanceBy(seconds(4));
    EXPECT_EQ(rig.button.tip, "x") << "nothing runs once the controller is gone";

    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    auto noButton = StatusBarController::create(AppServices{loop, settings, log, nullptr});
    noButton->showError("boom");
    EXPECT_TRUE(log.contains("error: boom"));
}

TEST(TrayProbe, VisibleOnAScreenStaysQuiet) {
    Rig rig;
    rig.button.present.path = TrayPresence::Path::xembed;
    rig.button.present.xembedTrayAvailable = true;
    rig.button.present.frame = ScreenRect{1180, 0, 24, 24};
    rig.button.present.screens = {ScreenRect{0, 0, 1280, 800}};
    rig.loop.advanceBy(seconds(2.99));
    EXPECT_FALSE(rig.log.contains("tray-probe"));
    rig.loop.advanceBy(seconds(0.02));
    EXPECT_TRUE(rig.log.contains("tray-probe: tray icon visible at (1180, 0, 24x24)"));
    EXPECT_TRUE(rig.notifier.posted.empty());
    rig.loop.advanceBy(seconds(10));
    EXPECT_EQ(rig.log.count("tray-probe"), 1u) << "once per launch";
}

TEST(TrayProbe, OffScreenOrNoTrayNotifiesInRussian) {
    Rig rig;
    rig.button.present.path = TrayPresence::Path::xembed;
    rig.button.present.xembedTrayAvailable = true;
    rig.button.present.frame = ScreenRect{-100, -100, 24, 24};
    rig.button.present.screens = {ScreenRect{0, 0, 1280, 800}};
    rig.loop.advanceBy(seconds(3.01));
    EXPECT_TRUE(rig.log.contains("tray-probe: tray icon frame (-100, -100, 24x24) does not intersect any screen"));
    ASSERT_EQ(rig.notifier.posted.size(), 1u);
    EXPECT_EQ(rig.notifier.posted[0].title, "Иконка Parlando не появилась в трее");
    EXPECT_EQ(rig.notifier.posted[0].identifier, "parlando.tray-invisible");
    EXPECT_TRUE(rig.notifier.posted[0].sound);

    Rig noHost;
    noHost.button.present.path = TrayPresence::Path::xembed;
    noHost.button.present.desktop = "ubuntu:GNOME";
    noHost.notifier.failWith = "org.freedesktop.DBus.Error.ServiceUnknown";
    noHost.loop.advanceBy(seconds(3.01));
    EXPECT_TRUE(noHost.log.contains("tray-probe: no system tray after 3 s"));
    ASSERT_EQ(noHost.notifier.posted.size(), 1u);
    EXPECT_NE(noHost.notifier.posted[0].body.find("AppIndicator"), std::string::npos);
    EXPECT_TRUE(noHost.log.contains("tray-probe: notification post failed — org.freedesktop.DBus.Error.ServiceUnknown"));
}

TEST(TrayProbe, Verdicts) {
    TrayPresence sni;
    sni.path = TrayPresence::Path::statusNotifier;
    sni.serviceName = "org.kde.StatusNotifierItem-1-1";
    sni.itemRegistered = true;
    sni.hostRegistered = true;
    auto v = judgeTrayPresence(true, sni);
    EXPECT_TRUE(v.visible);
    EXPECT_EQ(v.logLine, "tray-probe: tray icon visible as StatusNotifierItem org.kde.StatusNotifierItem-1-1");

    sni.hostRegistered = false;
    v = judgeTrayPresence(true, sni);
    EXPECT_FALSE(v.visible);
    EXPECT_EQ(v.logLine.rfind("tray-probe: StatusNotifierWatcher has no host", 0), 0u);

    sni.itemRegistered = false;
    sni.registrationError = "timeout";
    v = judgeTrayPresence(true, sni);
    EXPECT_NE(v.logLine.find("is not registered with the watcher — timeout"), std::string::npos);

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

    v = judgeTrayPresence(false, TrayPresence{});
    EXPECT_FALSE(v.visible);
    EXPECT_EQ(v.logLine.rfind("tray-probe: no tray item after 3 s", 0), 0u);
    EXPECT_FALSE(v.notificationBody.empty());
}

TEST(TrayProbe, WithoutAButtonTheProbeStillTellsTheUser) {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeNotifier notifier;
    auto c = StatusBarController::create(AppServices{loop, settings, log, nullptr, &notifier, nullptr});
    loop.advanceBy(seconds(3.5));
    EXPECT_TRUE(log.contains("tray-probe: no tray item after 3 s"));
    EXPECT_EQ(notifier.posted.size(), 1u);
}
