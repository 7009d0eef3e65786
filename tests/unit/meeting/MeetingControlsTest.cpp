#include "meeting/MeetingControls.h"
#include "meeting/PanelFrame.h"

#include "../app/AppRig.h"
#include "fakes/FakeDictation.h"

#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;
using Strings = std::vector<std::string>;

namespace {

struct FakeSession final : MeetingSessionControl {
    bool isRunning() const override { return running; }
    double elapsedSeconds() const override { return running ? elapsed : 0; }
    std::optional<std::filesystem::path> transcriptURL() const override {
        return running ? std::optional<std::filesystem::path>("/m/transcript.md") : std::nullopt;
    }
    void start() override { startError ? throw std::runtime_error(*startError) : (running = true, h.onStateChange(true)); }
    void stop() override { running = false, h.onStateChange(false); }
    void restartSystemAudio(RestartCompletion c) override { c(restartFailure); }
    void setHandlers(MeetingHandlers handlers) override { h = std::move(handlers); }
    bool running = false;
    double elapsed = 0;
    std::optional<std::string> startError, restartFailure;
    MeetingHandlers h;
};

// The panel and the desktop, recording what they were asked in one list.
struct FakeUi final : TranscriptPanel, MeetingDesktop {
    void showForNewMeeting() override { calls.push_back("new"); }
    void append(const std::string& line) override { calls.push_back(line); }
    void hide() override { calls.push_back("hide"); }
    void reopen() override { calls.push_back("reopen"); }
    bool openPath(const std::filesystem::path& p) override { return calls.push_back("open " + p.filename().string()), true; }
    bool hasProgram(const std::string& name) override { return name == "pavucontrol"; }
    bool launch(const Strings& argv) override { return calls.push_back("launch " + argv[0]), true; }
    Strings calls;
};

struct Rig : AppRig {
    FakeAlertPresenter alerts;
    FakeLamp lamp;
    FakeUi ui;
    FakeSession session;
    ScratchDir docs;
    bool muted = false;
    std::shared_ptr<MeetingControls> m = MeetingControls::create(
        c->weak(), {loop, log, settings, alerts, lamp, ui, ui, session, [this] { return muted; },
                    [this] { return docs.path / "Parlando-Recordings"; }, [](const char*) { return std::nullopt; }});
    Rig() {
        m->setupMeetingSession();
        c->hooks.isMeetingRunning = [this] { return m->isMeetingRunning(); };
        c->hooks.meetingElapsedSeconds = [this] { return m->meetingElapsedSeconds(); };
    }
    MenuModel menu() {
        MenuModel model;
        m->addMeetingMenuItems(model);
        return model;
    }
    void click(const std::string& title) { find(menu(), title).action(); }
};

}  // namespace

TEST(MeetingControls, MenuFormsClockPanelAndLampFollowTheMeeting) {
    Rig r;
    EXPECT_EQ(titles(r.menu().items), (Strings{"Начать встречу", "Открыть папку с записями…"}));
    r.click("Начать встречу");
    EXPECT_EQ(titles(r.menu().items), (Strings{"Идёт встреча — 00:00", "Остановить встречу", "Показать панель расшифровки",
                                               "Открыть файл расшифровки…", "Открыть папку с записями…"}));
    EXPECT_FALSE(r.menu().items[0].enabled);
    r.session.elapsed = 3600;  // the clock's forms: TrayBadge.ClockFormats
    EXPECT_EQ(r.menu().items[0].title, "Идёт встреча — 1:00:00");
    r.advance(1.0);  // the tray clock follows within a second
    EXPECT_EQ(r.button.title, " 1:00:00");
    r.session.h.onTranscriptLine("[10:00:01] [Я] привет");
    for (const char* item : {"Показать панель расшифровки", "Открыть файл расшифровки…", "Открыть папку с записями…"})
        r.click(item);
    EXPECT_TRUE(std::filesystem::is_directory(r.docs.path / "Parlando-Recordings"));
    r.click("Остановить встречу");
    EXPECT_EQ(r.ui.calls, (Strings{"new", "[10:00:01] [Я] привет", "reopen", "open transcript.md",
                                   "open Parlando-Recordings", "hide"}));
    EXPECT_FALSE(r.m->titleTimerRunning());
    EXPECT_EQ(r.button.title, "");
    r.m->startMeeting();
    r.session.h.onSystemAudioStateChange(true);
    r.c->trayState.fnDictating = true;  // a stop during a dictation leaves the lamp to it
    r.m->stopMeeting();
    EXPECT_EQ(r.lamp.calls, (Strings{"recording", "idle", "recording"}));
    EXPECT_FALSE(r.c->trayState.meetingRecording || r.c->trayState.systemAudioActive);
}

TEST(MeetingControls, GuardsAndAFailingStartLeaveMenuAndTrayAsTheyWere) {
    struct Case { bool muted, dictating; const char* hotkey; std::optional<std::string> startError; std::string shown; };
    for (const auto& t : std::vector<Case>{
             {true, false, nullptr, {}, "Parlando заглушён — включи «Слушать» чтобы начать встречу"},
             {false, true, nullptr, {}, "Идёт FN-диктовка — отпусти FN прежде чем начать встречу"},
             {false, true, "rightctrl", {}, "Идёт Правый Ctrl-диктовка — отпусти Правый Ctrl прежде чем начать встречу"},
             {false, false, nullptr, "Deepgram API key unavailable: x", "Deepgram API key unavailable: x"}}) {
        Rig r;
        r.muted = t.muted;
        r.c->trayState.fnDictating = t.dictating;
        if (t.hotkey) r.settings.setString("ParlandoHotkey", t.hotkey);
        r.session.startError = t.startError;
        const TrayState before = r.c->trayState;
        r.click("Начать встречу");
        EXPECT_EQ(r.button.tip, t.shown);
        EXPECT_EQ(r.c->trayState, before);
        EXPECT_TRUE(r.menu().items[0].title == "Начать встречу" && r.ui.calls.empty() && r.lamp.calls.empty());
    }
}

// The warning comes 3 s after a start without system audio, once per meeting;
// its buttons retry in the meeting, open the sound settings or carry on.
TEST(MeetingControls, SystemAudioWatchdogAndItsWarning) {
    struct Case { std::optional<double> systemAudioAt, stopAt; int answer; std::optional<std::string> retryFailure; Strings alerts, calls; };
    const std::string warning = "Митинг идёт в режиме «только мой микрофон»";
    for (const auto& t : std::vector<Case>{
             {2.9, {}, 2, {}, {}, {}},
             {{}, 2.9, 2, {}, {}, {"hide"}},
             {3.1, {}, 2, {}, {warning}, {}},
             {{}, {}, 0, {}, {warning, "Системный звук подключён"}, {}},
             {{}, {}, 0, "no monitor", {warning, "Системный звук снова не подключился"}, {"launch pavucontrol"}},
             {{}, {}, 1, {}, {warning}, {"launch pavucontrol"}}}) {
        Rig r;
        r.alerts.answer = t.answer;
        r.session.restartFailure = t.retryFailure;
        r.m->startMeeting();
        r.ui.calls.clear();
        if (t.systemAudioAt) r.loop.after(seconds(*t.systemAudioAt), [&] { r.session.h.onSystemAudioStateChange(true); });
        if (t.stopAt) r.loop.after(seconds(*t.stopAt), [&] { r.m->stopMeeting(); });
        r.advance(10);
        Strings shown;
        for (const auto& a : r.alerts.shown) shown.push_back(a.messageText);
        EXPECT_EQ(shown, t.alerts);
        EXPECT_EQ(r.ui.calls, t.calls);
        if (shown.empty()) continue;
        EXPECT_EQ(r.alerts.shown[0].buttons, (Strings{"Подключить снова", "Открыть настройки звука", "Продолжить запись"}));
        r.m->stopMeeting();
        r.alerts.answer = 2;
        r.m->startMeeting();  // the next meeting may warn again
        r.advance(3.1);
        EXPECT_EQ(r.alerts.shown.size(), t.alerts.size() + 1);
    }
}

// The panel's saved frame: its text form, the bottom-left origin and a frame kept on screen.
TEST(PanelFrame, TextFormBottomLeftOriginOfThePrimaryScreenAndAFrameKeptOnScreen) {
    EXPECT_EQ(PanelFrame::format({100, 200, 420, 302}), "{{100, 200}, {420, 302}}");
    EXPECT_EQ(PanelFrame::parse(" {{-10.6,5},{300.4, 200}} "), (PanelRect{-11, 5, 300, 200}));
    EXPECT_EQ(PanelFrame::parse("{{0, 0}, {10, 10}}"), (PanelRect{0, 0, 280, 160})) << "never below the minimum";
    for (const char* bad : {"", "garbage", "{{1, 2}, {3}}", "{{1, 2}, {0, 300}}", "{{1, 2}, {300, 200}} x", "{{1e99, 2}, {3, 2}}"})
        EXPECT_EQ(PanelFrame::parse(bad), std::nullopt) << bad;
    const PanelRect primary{1280, 0, 1920, 1080};  // right of another screen
    EXPECT_EQ(PanelFrame::toDesktop({100, 200, 420, 302}, primary), (PanelRect{1380, 578, 420, 302}));
    EXPECT_EQ(PanelFrame::fromDesktop({1380, 578, 420, 302}, primary), (PanelRect{100, 200, 420, 302}));
    // A frame off every screen moves onto the nearest one.
    const std::vector<PanelRect> screens{{0, 0, 1280, 800}, primary};
    for (const auto& [frame, expected] : std::vector<std::pair<PanelRect, PanelRect>>{
             {{1260, 700, 420, 300}, {1260, 700, 420, 300}},     // across two screens: untouched
             {{3500, 500, 420, 300}, {2780, 500, 420, 300}},     // right of the right screen
             {{-2000, -900, 420, 300}, {0, 0, 420, 300}},        // a screen that was left of both
             {{100, 790, 420, 300}, {100, 500, 420, 300}},       // only 10 px showing
             {{5000, 0, 4000, 3000}, {1280, 0, 1920, 1080}}})    // larger than any screen
        EXPECT_EQ(PanelFrame::keepOnScreen(frame, screens), expected);
}
