// The tray item: start-up order, the badge and tool tip, the probe, the
// animator that fades the icon between idle and recording, and the log.
#include "AppRig.h"
#include "app/TrayLog.h"
#include "app/TrayProbe.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <thread>

using namespace parlando;
using namespace parlando::testing;
namespace fs = std::filesystem;

TEST(Startup, StatusItemIsDrawnFirstThenStepsRunInOrderAndAFailureDoesNotStopTheRest) {
    std::vector<std::string> ran;
    AppRig rig({}, {{"setupFNListener",
                     [&](StatusBarController& c) {
                         EXPECT_GE(dynamic_cast<FakeTrayButton&>(*c.trayButton()).imageSets, 1)
                             << "the tray is drawn before any feature starts";
                         ran.push_back("fn");
                     }},
                    {"setupAudio",
                     [&](StatusBarController&) {
                         ran.push_back("audio");
                         throw std::runtime_error("no sound server");
                     }},
                    {"setupMeetingSession", [&](StatusBarController&) { ran.push_back("meeting"); }}});
    EXPECT_EQ(ran, (std::vector<std::string>{"fn", "audio", "meeting"}));
    EXPECT_TRUE(rig.log.contains("setupAudio failed: no sound server"));
    EXPECT_EQ(rig.button.image, TrayIcon::idleImage());

    // The item blinks once half a second in, and not after the controller is gone.
    EXPECT_EQ(rig.button.visibilityChanges, std::vector<bool>{true});
    rig.advance(0.49);
    EXPECT_EQ(rig.button.visibilityChanges.size(), 1u);
    rig.advance(0.07);
    EXPECT_EQ(rig.button.visibilityChanges, (std::vector<bool>{true, false, true}));
    AppRig gone;
    gone.c.reset();
    gone.advance(2);
    EXPECT_EQ(gone.button.visibilityChanges, std::vector<bool>{true});
}

TEST(Startup, WithoutATrayButtonTheAppLogsAndCarriesOnAndTheProbeStillTellsTheUser) {
    bool laterStepRan = false;
    AppRig rig({},
               {{"later",
                 [&](StatusBarController& c) {
                     c.renderUI();  // harmless without a button
                     c.showError("boom");
                     laterStepRan = true;
                 }}},
               nullptr, false);
    EXPECT_TRUE(rig.log.contains("ERROR: button nil"));
    EXPECT_TRUE(laterStepRan);
    EXPECT_TRUE(rig.log.contains("error: boom"));
    rig.advance(3.5);
    EXPECT_TRUE(rig.log.contains("tray-probe: no tray item after 3 s"));
    EXPECT_EQ(rig.notifier.posted.size(), 1u);
}

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

namespace {
const Duration frame = seconds(1.0 / 30.0);

bool hasDot(const IconImage& img) {
    return std::any_of(img.ops.begin(), img.ops.end(),
                       [](const IconOp& op) { return op.w == 5.0 && op.color == TrayIcon::green; });
}

struct Recording : AppRig {
    explicit Recording(bool signal = true) {
        c->trayState.hasMicSignal = signal;
        c->trayState.fnDictating = true;
    }
};
}  // namespace

TEST(TrayAnimator, FadeTakesElevenStepsAStallPulsesAReversalDoesNotJumpAndTheTimerDiesWithTheController) {
    Recording rig;
    const int before = rig.button.imageSets;
    rig.c->renderUI();  // draws once, then the first step runs at once
    rig.loop.advanceBy(frame * 4);
    EXPECT_NEAR(rig.c->iconBlend, 5.0 / 10.5, 1e-9);
    EXPECT_FALSE(hasDot(rig.button.image));
    rig.loop.advanceBy(frame);
    EXPECT_TRUE(hasDot(rig.button.image)) << "the dot from the sixth step";
    rig.advance(1);
    EXPECT_EQ(rig.c->iconBlend, 1.0);
    EXPECT_FALSE(rig.c->iconAnimatorRunning());
    EXPECT_EQ(rig.button.image.ops[1].color, TrayIcon::red);
    EXPECT_EQ(rig.button.imageSets - before, 1 + 11) << "no redraws once the fade is done";

    rig.c->sessionStalled = true;  // a stall pulses between 0.3 and 1 while recording
    rig.c->renderUI();
    double lo = 2, hi = -1;
    for (int i = 0; i < 60; ++i) {
        rig.loop.advanceBy(frame);
        lo = std::min(lo, rig.c->iconBlend);
        hi = std::max(hi, rig.c->iconBlend);
    }
    EXPECT_TRUE(lo >= 0.30 - 1e-9 && lo < 0.40 && hi > 0.90 && hi <= 1.0 + 1e-9) << lo << " to " << hi;
    rig.c->sessionStalled = false;
    rig.c->renderUI();
    rig.advance(1);
    EXPECT_EQ(rig.c->iconBlend, 1.0);
    EXPECT_FALSE(rig.c->iconAnimatorRunning());

    for (bool recording : {false, true}) {  // half-way back, then on again: one step from where it was
        rig.c->trayState.fnDictating = recording;
        rig.c->renderUI();
        rig.loop.advanceBy(frame * 4);
    }
    EXPECT_NEAR(rig.c->iconBlend, 1.0 - 1.0 / 10.5, 1e-9);
    rig.c->trayState.fnDictating = rig.c->trayState.hasMicSignal = false;
    rig.c->renderUI();
    rig.advance(1);
    EXPECT_EQ(rig.button.image, TrayIcon::idleImage());
    rig.c->trayState.fnDictating = true;
    rig.c->renderUI();
    const int sets = rig.button.imageSets;
    rig.c.reset();
    rig.advance(1);
    EXPECT_EQ(rig.button.imageSets, sets);
}

TEST(TrayAnimator, MutedShowsTheSlashWithoutRedAMeetingWithDictationIsOrangeAndIdleDoesNotPulse) {
    AppRig idle;
    idle.c->sessionStalled = true;
    idle.c->renderUI();
    EXPECT_FALSE(idle.c->iconAnimatorRunning()) << "a stall pulses only while recording";
    Recording muted;
    muted.c->trayState.muted = true;
    muted.c->renderUI();
    muted.loop.advanceBy(frame * 3);
    EXPECT_TRUE(muted.c->iconAnimatorRunning());
    for (const IconOp& op : muted.button.image.ops) EXPECT_NE(op.color, TrayIcon::red);
    EXPECT_EQ(muted.button.image.ops.back().kind, IconOp::Kind::strokeLine);

    Recording meeting(false);
    meeting.c->trayState.meetingRecording = true;
    meeting.c->trayState.systemAudioActive = true;  // lights the dot too
    meeting.c->renderUI();
    meeting.advance(1);
    EXPECT_EQ(meeting.button.image.ops[1].color, TrayIcon::orange);
    EXPECT_TRUE(hasDot(meeting.button.image));
    EXPECT_DOUBLE_EQ(TrayIcon::crossfadeImage(7.0, false, false, true, false).ops[0].color.a, 0.0) << "clamped";
}

TEST(TrayLog, AFileInTheWayOrNoFolderAtAllOnlyReachTheSystemLog) {
    ScratchDir dir;
    std::ofstream(dir.path / "Parlando") << "not a folder";
    FakeSystemLog sys;
    TrayLog(sys, dir.path / "Parlando", nullptr).append("hello");  // returns normally, written on the way out
    EXPECT_EQ(sys.errors().size(), 1u);
    EXPECT_EQ(readText(dir.path / "Parlando"), "not a folder");

    FakeSystemLog quiet;
    TrayLog none(quiet, std::nullopt, nullptr);
    none.append("x");
    none.flush();
    EXPECT_EQ(quiet.infos(), std::vector<std::string>{"x"});
    EXPECT_TRUE(quiet.errors().empty());
}

TEST(TrayLog, LinesFromManyThreadsStayWholeAndInPerThreadOrder) {
    ScratchDir dir;
    FakeSystemLog sys;
    TrayLog log(sys, dir.path, nullptr);
    constexpr int threads = 6, perThread = 3000;
    // Long-ish lines make torn writes visible.
    auto line = [](int t, int i) {
        return "t" + std::to_string(t) + " " + std::to_string(i) + " " +
               std::string(std::size_t(40 + t * 25), char('a' + t));
    };
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) log.append(line(t, i));
        });
    for (auto& w : workers) w.join();
    log.flush();

    std::ifstream in(dir.path / "parlando-tray.txt");
    std::map<int, int> next;
    int total = 0;
    for (std::string got; std::getline(in, got); ++total) {
        const int t = got.size() > 1 ? got[1] - '0' : 0;
        ASSERT_EQ(got, line(t, next[t]++)) << "torn, or thread " << t << " out of order";
    }
    EXPECT_EQ(total, threads * perThread);
}

TEST(TrayLog, AStderrNobodyReadsNeitherKillsNorStallsAndAMovedFileIsReplaced) {
    ScratchDir dir;
    FakeSystemLog sys;
    int full[2], gone[2];
    ASSERT_EQ(::pipe(full), 0);
    ASSERT_EQ(::pipe(gone), 0);
    ::close(gone[0]);  // the reader of this one has ended: writing raises SIGPIPE
    std::FILE* fullErr = ::fdopen(full[1], "w");
    std::FILE* goneErr = ::fdopen(gone[1], "w");
    {
        TrayLog log(sys, dir.path, fullErr);
        // Far more than a pipe holds; nobody reads it.
        const std::string line(1000, 'x');
        for (int i = 0; i < 500; ++i) log.append(line);
        log.flush();
        fs::rename(dir.path / "parlando-tray.txt", dir.path / "old.txt");
        log.append("after the move");
        log.flush();
        EXPECT_EQ(readText(dir.path / "parlando-tray.txt"), "after the move\n");
        EXPECT_EQ(readText(dir.path / "old.txt").size(), 500u * 1001u);
    }
    TrayLog gonePipe(sys, std::nullopt, goneErr);
    gonePipe.append("to a closed pipe");
    gonePipe.flush();
    EXPECT_EQ(sys.infos().back(), "to a closed pipe");  // still alive to check
    std::fclose(fullErr);
    std::fclose(goneErr);
    ::close(full[0]);
}
