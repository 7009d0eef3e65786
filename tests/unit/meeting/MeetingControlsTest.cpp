#include "meeting/MeetingControls.h"

#include "../app/AppRig.h"
#include "fakes/FakeDictation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace parlando;
using namespace parlando::testing;

namespace {

struct FakeSession final : MeetingSessionControl {
    bool isRunning() const override { return running; }
    double elapsedSeconds() const override { return running ? elapsed : 0; }
    std::optional<std::filesystem::path> transcriptURL() const override { return transcript; }
    void start() override {
        ++starts;
        if (startError) throw std::runtime_error(*startError);
        running = true;
        transcript = "/docs/Parlando-Recordings/m/transcript.md";
        h.onStateChange(true);
    }
    void stop() override {
        running = false;
        h.onStateChange(false);
    }
    void restartSystemAudio(RestartCompletion c) override { c(restartFailure); }
    void setHandlers(MeetingHandlers handlers) override { h = std::move(handlers); }
    bool running = false;
    double elapsed = 0;
    int starts = 0;
    std::optional<std::string> startError, restartFailure;
    std::optional<std::filesystem::path> transcript;
    MeetingHandlers h;
};

struct FakePanel final : TranscriptPanel {
    void showForNewMeeting() override { calls.push_back("new"); }
    void append(const std::string& line) override { calls.push_back(line); }
    void hide() override { calls.push_back("hide"); }
    void reopen() override { calls.push_back("reopen"); }
    std::vector<std::string> calls;
};

struct FakeDesktop final : MeetingDesktop {
    bool openPath(const std::filesystem::path& p) override { return opened.push_back(p), true; }
    bool hasProgram(const std::string& name) override { return installed.count(name) != 0; }
    bool launch(const std::vector<std::string>& argv) override { return launched.push_back(argv), true; }
    std::vector<std::filesystem::path> opened;
    std::set<std::string> installed;
    std::vector<std::vector<std::string>> launched;
};

struct Rig : AppRig {
    FakeAlertPresenter alerts;
    FakeLamp lamp;
    FakePanel panel;
    FakeDesktop desktop;
    FakeSession session;
    ScratchDir docs;
    bool muted = false;
    std::shared_ptr<MeetingControls> m;
    Rig() {
        m = MeetingControls::create(c->weak(), {loop, log, settings, alerts, lamp, panel, desktop, session,
                                                [this] { return muted; }, [this] { return docs.path / "Parlando-Recordings"; },
                                                [](const char*) { return std::optional<std::string>("GNOME"); }});
        m->setupMeetingSession();
        c->hooks.isMeetingRunning = [this] { return m->isMeetingRunning(); };
        c->hooks.meetingElapsedSeconds = [this] { return m->meetingElapsedSeconds(); };
    }
    std::vector<std::string> menu() {
        MenuModel model;
        m->addMeetingMenuItems(model);
        return titles(model.items);
    }
    void click(const std::string& title) {
        MenuModel model;
        m->addMeetingMenuItems(model);
        find(model, title).action();
    }
};

}  // namespace

TEST(MeetingControls, MenuFormsClockAndPanelFollowTheMeeting) {
    Rig r;
    EXPECT_EQ(r.menu(), (std::vector<std::string>{"Начать встречу", "Открыть папку с записями…"}));
    r.click("Начать встречу");
    EXPECT_TRUE(r.c->trayState.meetingRecording);
    EXPECT_EQ(r.menu(), (std::vector<std::string>{"Идёт встреча — 00:00", "Остановить встречу",
                                                  "Показать панель расшифровки", "Открыть файл расшифровки…",
                                                  "Открыть папку с записями…"}));
    MenuModel model;
    r.m->addMeetingMenuItems(model);
    EXPECT_FALSE(model.items[0].enabled);
    EXPECT_EQ(r.button.title, " 00:00");
    for (auto [elapsed, text] : std::vector<std::pair<double, std::string>>{
             {59.9, "00:59"}, {3599, "59:59"}, {3600, "1:00:00"}, {36000, "10:00:00"}}) {
        r.session.elapsed = elapsed;
        EXPECT_EQ(r.menu()[0], "Идёт встреча — " + text);
        r.advance(1.0);  // the tray clock follows within a second
        EXPECT_EQ(r.button.title, " " + text);
    }
    r.session.h.onTranscriptLine("[10:00:01] [Я] привет");
    r.click("Показать панель расшифровки");
    r.click("Открыть файл расшифровки…");
    r.click("Открыть папку с записями…");
    EXPECT_TRUE(std::filesystem::is_directory(r.docs.path / "Parlando-Recordings"));
    EXPECT_EQ(r.desktop.opened, (std::vector<std::filesystem::path>{*r.session.transcript,
                                                                    r.docs.path / "Parlando-Recordings"}));
    r.click("Остановить встречу");
    EXPECT_EQ(r.panel.calls, (std::vector<std::string>{"new", "[10:00:01] [Я] привет", "reopen", "hide"}));
    EXPECT_EQ(r.lamp.calls, (std::vector<std::string>{"recording", "idle"}));
    EXPECT_FALSE(r.m->titleTimerRunning());
    EXPECT_EQ(r.button.title, "");
    EXPECT_EQ(r.menu().size(), 2u);
}

TEST(MeetingControls, GuardsAndAFailingStartLeaveMenuAndTrayAsTheyWere) {
    struct Case { bool muted, dictating; const char* hotkey; std::optional<std::string> startError; std::string shown; };
    for (const auto& t : std::vector<Case>{
             {true, false, nullptr, {}, "Parlando заглушён — включи «Слушать» чтобы начать встречу"},
             {false, true, nullptr, {}, "Идёт FN-диктовка — отпусти FN прежде чем начать встречу"},
             {false, true, "rightctrl", {}, "Идёт Правый Ctrl-диктовка — отпусти Правый Ctrl прежде чем начать встречу"},
             {false, false, nullptr, "Deepgram API key unavailable: not found", "Deepgram API key unavailable: not found"}}) {
        Rig r;
        r.muted = t.muted;
        r.c->trayState.fnDictating = t.dictating;
        if (t.hotkey) r.settings.setString("ParlandoHotkey", t.hotkey);
        r.session.startError = t.startError;
        const TrayState before = r.c->trayState;
        r.click("Начать встречу");
        EXPECT_EQ(r.button.tip, t.shown);
        EXPECT_EQ(r.session.starts, t.startError ? 1 : 0);
        EXPECT_EQ(r.log.contains("meeting: start failed — " + t.shown), t.startError.has_value());
        EXPECT_EQ(r.c->trayState, before);
        EXPECT_EQ(r.menu()[0], "Начать встречу");
        EXPECT_TRUE(r.panel.calls.empty() && r.lamp.calls.empty());
    }
}

TEST(MeetingControls, WatchdogWarnsOncePerMeetingOnlyWhenSystemAudioIsLate) {
    struct Case { std::optional<double> systemAudioAt, stopAt; int warnings; };
    for (const auto& t : std::vector<Case>{{2.9, {}, 0}, {3.1, {}, 1}, {{}, {}, 1}, {{}, 2.9, 0}}) {
        Rig r;
        r.alerts.answer = 2;  // "Продолжить запись"
        r.m->startMeeting();
        if (t.systemAudioAt) r.loop.after(seconds(*t.systemAudioAt), [&] { r.session.h.onSystemAudioStateChange(true); });
        if (t.stopAt) r.loop.after(seconds(*t.stopAt), [&] { r.m->stopMeeting(); });
        r.advance(10);
        EXPECT_EQ(r.alerts.shown.size(), static_cast<std::size_t>(t.warnings)) << t.systemAudioAt.value_or(-1);
        if (t.warnings == 0) continue;
        const auto& warning = r.alerts.shown[0];
        EXPECT_EQ(warning.messageText, "Митинг идёт в режиме «только мой микрофон»");
        EXPECT_EQ(std::count(warning.informativeText.begin(), warning.informativeText.end(), '\n'), 7);
        EXPECT_NE(warning.informativeText.find("\n\n"), std::string::npos);
        EXPECT_EQ(warning.buttons, (std::vector<std::string>{"Подключить снова", "Открыть настройки звука",
                                                             "Продолжить запись"}));
        r.m->stopMeeting();
        r.m->startMeeting();  // the next meeting may warn again
        r.advance(3.1);
        EXPECT_EQ(r.alerts.shown.size(), 2u);
    }
}

TEST(MeetingControls, StoppingDuringADictationLeavesTheLampAlone) {
    Rig r;
    r.m->startMeeting();
    r.c->trayState.fnDictating = true;
    r.m->stopMeeting();
    EXPECT_EQ(r.lamp.calls, (std::vector<std::string>{"recording"}));
    EXPECT_FALSE(r.c->trayState.meetingRecording || r.c->trayState.systemAudioActive);
}

TEST(MeetingControls, WarningButtonsRetryInTheMeetingOrOpenTheSoundSettings) {
    struct Case { int button; std::optional<std::string> restartFailure; std::set<std::string> installed;
                  std::vector<std::string> alerts; std::vector<std::string> launched; };
    for (const auto& t : std::vector<Case>{
             {0, {}, {}, {"Системный звук подключён"}, {}},
             {0, "no monitor source", {"pavucontrol"}, {"Системный звук снова не подключился"}, {"pavucontrol"}},
             {1, {}, {"pwvucontrol", "gnome-control-center"}, {}, {"gnome-control-center", "sound"}},
             {1, {}, {"pwvucontrol", "systemsettings"}, {}, {"pwvucontrol"}},
             {1, {}, {}, {"Не нашлось настроек звука"}, {}}}) {
        Rig r;
        r.desktop.installed = t.installed;
        r.session.restartFailure = t.restartFailure;
        r.m->startMeeting();
        r.alerts.answer = t.button;
        r.m->showSystemAudioWarning();
        std::vector<std::string> follow;
        for (std::size_t i = 1; i < r.alerts.shown.size(); ++i) follow.push_back(r.alerts.shown[i].messageText);
        EXPECT_EQ(follow, t.alerts);
        EXPECT_EQ(r.desktop.launched.empty() ? std::vector<std::string>{} : r.desktop.launched[0], t.launched);
        if (t.restartFailure) EXPECT_NE(r.alerts.shown[1].informativeText.find(*t.restartFailure), std::string::npos);
        EXPECT_EQ(r.log.contains("screen-access: restartSystemAudio -> "), t.button == 0);
    }
}
