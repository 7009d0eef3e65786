#include "DictationRig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <utility>

namespace parlando::testing {
namespace {

using ::testing::ElementsAre;

class ControllerTest : public ::testing::Test {
protected:
    // Callbacks point into this fixture: finish every drain before it goes.
    void TearDown() override { rig.loop.advanceBy(seconds(60)); }

    DictationRig rig;
    std::shared_ptr<DictationController> c = rig.controller();
    TrayState& tray = rig.tray.state;

    void pressAt(double t) {
        const auto target = seconds(t);
        if (target > rig.loop.now()) rig.loop.advanceBy(target - rig.loop.now());
        c->handleFNPress();
    }
    // Lets the current session's socket open and produce a final.
    void speak(const std::string& text) {
        auto client = rig.client();
        client->open();
        client->transcript(text, true);
        rig.loop.runPending();
    }
    void finishDrain() {
        rig.loop.advanceBy(seconds(0.8));
        rig.client()->close(1000);
        rig.loop.runPending();
    }
};

TEST_F(ControllerTest, PressStartsPressStopsTextIsPasted) {
    tray.meetingRecording = true;
    pressAt(1.0);
    EXPECT_TRUE(tray.fnDictating);
    ASSERT_NE(c->localSession, nullptr);
    EXPECT_TRUE(c->localSession->running());
    EXPECT_EQ(rig.tray.badgeRefreshes, 1);
    speak("Привет, мир.");

    pressAt(3.0);
    EXPECT_FALSE(tray.fnDictating);
    EXPECT_TRUE(tray.processing);
    EXPECT_TRUE(rig.tray.spinning);
    EXPECT_EQ(c->localSession, nullptr);
    EXPECT_EQ(rig.tray.badgeRefreshes, 2);

    finishDrain();
    EXPECT_THAT(rig.paste.pasted, ElementsAre("Привет, мир."));
    EXPECT_TRUE(rig.logged("local: finished, pasted 12 chars"));
    EXPECT_FALSE(tray.processing);
    EXPECT_FALSE(rig.tray.spinning);
    EXPECT_TRUE(rig.tray.errors.empty());

    // The screen locks during the next one: it stops, and its text only reaches the clipboard.
    pressAt(5.0);
    speak("секрет");
    c->stopKeepingTextOnClipboard();
    EXPECT_FALSE(tray.fnDictating);
    finishDrain();
    EXPECT_THAT(rig.paste.copied, ElementsAre("секрет"));
    EXPECT_EQ(rig.paste.pasted.size(), 1u);
}

TEST_F(ControllerTest, DebounceCountsFromTheLastAcceptedPress) {
    pressAt(10.0);
    pressAt(10.1);
    pressAt(10.14);
    EXPECT_EQ(rig.log.count("FN ignored (debounce)"), 2u);
    EXPECT_TRUE(tray.fnDictating);

    rig.loop.advanceBy(seconds(10.0) + seconds(DictationController::fnDebounce) - rig.loop.now());
    c->handleFNPress();  // exactly one debounce after the accepted press: stops
    EXPECT_EQ(rig.log.count("FN ignored (debounce)"), 2u);
    EXPECT_FALSE(tray.fnDictating);
    EXPECT_TRUE(tray.processing);
}

TEST_F(ControllerTest, PressDuringAStartIsIgnoredAsInFlightButStillCountsForDebounce) {
    // A press that sneaks in while the start is under way (a nested event loop
    // inside the key read, for instance).
    struct NestingKeys : DictationKeySource {
        std::function<void()> during;
        APIKeyResult deepgramAPIKey() override {
            if (auto f = std::exchange(during, nullptr)) f();
            return {std::string("k"), {}};
        }
    } keys;
    auto ctl = DictationController::create(DictationServices{
        rig.loop, rig.log, rig.mic, rig.recognition, keys, rig.paste, rig.lamp, rig.tray, rig.alerts, {}, {}});
    keys.during = [&]() {
        rig.loop.advanceBy(seconds(0.5));
        ctl->handleFNPress();
    };
    rig.loop.advanceBy(seconds(1));
    ctl->handleFNPress();
    EXPECT_TRUE(rig.logged("FN ignored: capture in flight"));
    EXPECT_EQ(*ctl->lastFNPressAt, seconds(1.5));
    EXPECT_TRUE(tray.fnDictating);
    EXPECT_NE(ctl->localSession, nullptr);
    EXPECT_FALSE(ctl->captureInFlight);
}

TEST_F(ControllerTest, StartFailuresShowTheirTextAndLeaveTheTrayIdle) {
    struct Case {
        std::function<void(DictationRig&)> arrange;
        std::string text;
    };
    const std::vector<Case> cases = {
        // The key is read before the microphone is touched.
        {[](DictationRig& r) {
             r.keys.key.reset();
             r.mic.ensureRunningError = "the microphone must not be asked";
         },
         "Deepgram API key unavailable: Keychain item not found: parlando.deepgram.api_key/deepgram"},
        {[](DictationRig& r) { r.mic.ensureRunningError = "No audio input device available"; },
         "No audio input device available"},
        {[](DictationRig& r) { r.mic.preRoll = AudioBytes(48000, 0); },
         "Mic produces silence (RMS=0.0) — check transmitter / mute / battery"},
    };
    for (const auto& tc : cases) {
        DictationRig r;
        tc.arrange(r);
        auto ctl = r.controller();
        ctl->handleFNPress();
        SCOPED_TRACE(tc.text);
        EXPECT_FALSE(r.tray.state.fnDictating);
        EXPECT_EQ(ctl->localSession, nullptr);
        EXPECT_FALSE(ctl->captureInFlight);
        EXPECT_THAT(r.tray.errors, ElementsAre(tc.text));
        EXPECT_TRUE(r.logged("local: start failed — " + tc.text));
        EXPECT_GE(r.tray.renders, 2);
        EXPECT_EQ(r.recognition.made(), 0u) << "nothing is connected";
        EXPECT_EQ(r.mic.subscribers(), 0u);
        EXPECT_TRUE(r.lamp.calls.empty());

        // The next press tries again rather than "stopping".
        r.keys.key = "k";
        r.mic.ensureRunningError.reset();
        r.mic.preRoll = pcm(24000, {500, -500});
        r.loop.advanceBy(seconds(1));
        ctl->handleFNPress();
        EXPECT_TRUE(r.tray.state.fnDictating);
    }
}

TEST_F(ControllerTest, OverlappingDictationsKeepTheSpinnerUntilTheLastText) {
    pressAt(1.0);
    auto firstClient = rig.client();
    speak("первый");
    pressAt(2.0);  // first stops, drains
    pressAt(2.2);  // second starts while the first is finishing
    auto secondClient = rig.client();
    ASSERT_NE(firstClient, secondClient);
    speak("второй");
    pressAt(2.4);
    EXPECT_EQ(c->sessionsFinishing(), 2);

    rig.loop.advanceBy(seconds(0.8));  // both post-rolls over
    firstClient->close(1000);
    rig.loop.runPending();
    EXPECT_THAT(rig.paste.pasted, ElementsAre("первый"));
    EXPECT_TRUE(rig.tray.spinning);  // the second text is still awaited

    secondClient->close(1000);
    rig.loop.runPending();
    EXPECT_THAT(rig.paste.pasted, ElementsAre("первый", "второй"));
    EXPECT_FALSE(tray.processing);
    EXPECT_FALSE(rig.tray.spinning);
}

TEST_F(ControllerTest, ErrorsAndStallsAreShownAndTheDictationGoesOn) {
    pressAt(1.0);
    rig.client()->open();
    rig.client()->fail("Unhandled http status code: 401");
    rig.loop.runPending();
    EXPECT_THAT(rig.tray.errors, ElementsAre("Unhandled http status code: 401"));
    EXPECT_TRUE(rig.logged("local: error — Unhandled http status code: 401"));
    EXPECT_TRUE(c->localSession->running());

    const int rendersBefore = rig.tray.renders;
    rig.loop.advanceBy(seconds(5));
    EXPECT_TRUE(rig.tray.stalled);
    EXPECT_GT(rig.tray.renders, rendersBefore);
    rig.client()->transcript("ага", false);
    rig.loop.runPending();
    EXPECT_FALSE(rig.tray.stalled);
}

TEST_F(ControllerTest, QueuedPressRunsOnTheLoopOnlyWhileTheControllerExistsAndReleaseChangesNothing) {
    c->fnPressed();
    EXPECT_FALSE(tray.fnDictating);
    rig.loop.runPending();
    EXPECT_TRUE(tray.fnDictating);

    const TrayState state = tray;
    c->handleFNRelease();
    c->fnReleased();
    rig.loop.runPending();
    EXPECT_EQ(tray, state);
    EXPECT_TRUE(c->localSession->running());

    auto other = rig.controller();
    other->fnPressed();
    other.reset();
    rig.loop.runPending();  // nothing to call, nothing crashes
    EXPECT_EQ(rig.recognition.made(), 1u);
}

// --- "Слушать" -------------------------------------------------------------

TEST_F(ControllerTest, MutedPressOnlySaysSoListeningOnUnmutesAndOffStopsADictationFirst) {
    rig.mic.muted = true;
    pressAt(100.0);
    EXPECT_TRUE(rig.logged("FN ignored: Parlando muted"));
    EXPECT_THAT(rig.tray.errors, ElementsAre("Parlando заглушён — включи «Слушать» в меню"));
    EXPECT_FALSE(c->lastFNPressAt.has_value());
    EXPECT_EQ(rig.mic.ensureRunningCalls, 0);

    c->toggleListening();
    EXPECT_THAT(rig.mic.mutedWrites, ElementsAre(false));

    pressAt(101.0);
    speak("успел");
    c->toggleListening();
    EXPECT_TRUE(rig.logged("listening: off during FN dictation — stopping session first"));
    EXPECT_THAT(rig.mic.mutedWrites, ElementsAre(false, true));
    EXPECT_FALSE(tray.fnDictating);
    finishDrain();
    EXPECT_THAT(rig.paste.pasted, ElementsAre("успел"));
    EXPECT_TRUE(rig.alerts.shown.empty());
}

TEST_F(ControllerTest, ListeningOffDuringMeetingAsksAndOnlyConfirmationStopsItAndMutes) {
    rig.meetingRunning = true;
    pressAt(1.0);
    rig.alerts.answer = 1;
    c->toggleListening();
    ASSERT_EQ(rig.alerts.shown.size(), 1u);
    const AlertSpec& a = rig.alerts.shown[0];
    EXPECT_EQ(a.messageText, "Идёт запись встречи");
    EXPECT_EQ(a.informativeText,
              "Чтобы выключить «Слушать», нужно остановить запись. Остановить встречу и заглушить Parlando?");
    EXPECT_THAT(a.buttons, ElementsAre("Остановить и заглушить", "Отмена"));
    EXPECT_EQ(rig.tray.activations, 1);
    // The dictation is stopped even when the mute is cancelled.
    EXPECT_FALSE(tray.fnDictating);
    EXPECT_EQ(c->localSession, nullptr);

    rig.alerts.answer = -1;  // closed some other way: same as cancel
    c->toggleListening();
    EXPECT_EQ(rig.meetingStops, 0);
    EXPECT_TRUE(rig.mic.mutedWrites.empty());

    rig.alerts.answer = 0;
    c->toggleListening();
    EXPECT_EQ(rig.meetingStops, 1);
    EXPECT_THAT(rig.mic.mutedWrites, ElementsAre(true));
}

}  // namespace
}  // namespace parlando::testing
