#include "AppRig.h"
#include "app/TrayProbe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace parlando;
using namespace parlando::testing;

TEST(TrayBadge, ClockFormats) {
    const std::pair<double, const char*> cases[] = {
        {0, "00:00"},      {75.9, "01:15"},         {3599.99, "59:59"},
        {3600, "1:00:00"}, {3725, "1:02:05"},       {36000, "10:00:00"},
        {-5, "00:00"},     {std::nan(""), "00:00"}, {std::numeric_limits<double>::infinity(), "00:00"}};
    for (const auto& [s, text] : cases) EXPECT_EQ(StatusBarController::formatElapsedTimer(s), text) << s;
}

TEST(TrayBadge, RowsAndPrecedence) {
    bool meeting = true;
    StatusMenuHooks hooks;
    hooks.isMeetingRunning = [&] { return meeting; };
    hooks.meetingElapsedSeconds = [] { return 75.4; };
    AppRig rig(hooks);
    auto& s = rig.c->trayState;
    const auto expectBadge = [&](const std::string& title, std::optional<std::string> tip) {
        rig.c->refreshTrayBadge();
        EXPECT_EQ(rig.button.title, title);
        EXPECT_EQ(rig.button.tip, tip);
        EXPECT_EQ(rig.button.imagePosition, title.empty() ? ImagePosition::imageOnly : ImagePosition::imageLeft);
    };
    expectBadge(" 01:15", "Идёт запись встречи — только мик");
    s.systemAudioActive = s.fnDictating = s.processing = true;  // the dictation mark wins over the spinner
    expectBadge(" 01:15 ▌", "Запись встречи (мик + система) + FN-диктовка в буфер");
    s.fnDictating = false;
    rig.c->spinnerFrameIndex = 13;  // shown modulo ten
    expectBadge(" 01:15 ⠸", "Идёт запись встречи — мик + система");

    meeting = false;
    rig.c->spinnerFrameIndex = 0;
    rig.c->allMicsFailed = true;  // processing beats the missing microphone
    expectBadge(" ⠋", "Собираем расшифровку в буфер обмена…");
    s.processing = false;
    expectBadge(" MIC",
                "Нет рабочего микрофона — ни одно входное устройство не даёт звук. Подключи микрофон или выбери "
                "его в меню.");
    rig.c->allMicsFailed = false;
    expectBadge("", std::nullopt);
}

TEST(TrayBadge, SpinnerTicksEveryTenthOfASecondAndAnErrorTipStaysThreeSecondsUntilTheControllerGoes) {
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

    rig.c->showError("Ключ не задан");
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

TEST(TrayProbe, Verdicts) {
    TrayPresence unregistered, tiny;
    unregistered.path = TrayPresence::Path::statusNotifier;
    unregistered.serviceName = "org.kde.StatusNotifierItem-1-1";
    unregistered.hostRegistered = true;
    tiny.path = TrayPresence::Path::xembed;
    tiny.xembedTrayAvailable = true;
    tiny.screens = {ScreenRect{0, 0, 1280, 800}};
    TrayPresence offScreen = tiny;
    tiny.frame = ScreenRect{10, 10, 1, 1};          // a 1-pixel window is not a shown icon
    offScreen.frame = ScreenRect{1280, 0, 24, 24};  // nor is one just right of the only screen
    for (const auto& [presence, line] :
         {std::pair{unregistered, "is not registered with the watcher — no answer"},
          std::pair{tiny, "does not intersect any screen"}, std::pair{offScreen, "does not intersect any screen"}}) {
        const auto v = judgeTrayPresence(true, presence);
        EXPECT_FALSE(v.visible) << line;
        EXPECT_NE(v.logLine.find(line), std::string::npos) << v.logLine;
        EXPECT_FALSE(v.notificationBody.empty()) << line;
    }
}

TEST(TrayProbe, AWatcherThatNeverAnswersIsJudgedOnceAfterABoundedWait) {
    AppRig silent;
    silent.button.present.path = TrayPresence::Path::statusNotifier;
    silent.button.present.answerPending = true;
    silent.button.present.desktop = "ubuntu:GNOME";
    silent.notifier.failWith = "org.freedesktop.DBus.Error.ServiceUnknown";
    silent.advance(3 + StatusBarController::trayProbeMaxWait + 1);
    ASSERT_EQ(silent.notifier.posted.size(), 1u);
    EXPECT_EQ(silent.notifier.posted[0].identifier, "parlando.tray-invisible");
    EXPECT_NE(silent.notifier.posted[0].body.find("AppIndicator"), std::string::npos);
    EXPECT_TRUE(
        silent.log.contains("tray-probe: notification post failed — org.freedesktop.DBus.Error.ServiceUnknown"));
    const auto lines = silent.log.count("tray-probe");
    silent.advance(30);
    EXPECT_EQ(silent.log.count("tray-probe"), lines) << "the probe runs once";
}
