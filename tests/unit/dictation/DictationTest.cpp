// Hotkey dictations on fakes of every port and virtual time: the controller,
// its sessions from the press to the paste, and quitting at any moment.
#include "core/VirtualMainLoop.h"
#include "dictation/DictationController.h"
#include "fakes/FakeDictation.h"
#include "fakes/Fakes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <tuple>

namespace parlando::testing {
namespace {

using ::testing::ElementsAre;

// n samples of the given values, repeated, as native 16-bit PCM.
AudioBytes pcm(std::size_t samples, std::initializer_list<std::int16_t> pattern) {
    AudioBytes out(samples * 2);
    const std::vector<std::int16_t> p(pattern);
    for (std::size_t i = 0; i < samples; ++i) std::memcpy(out.data() + 2 * i, &p[i % p.size()], 2);
    return out;
}
AudioBytes chunk(std::int16_t n) { return pcm(320, {n}); }
using Results = std::vector<std::pair<std::string, bool>>;  // each with whether it is final

struct Rig {
    VirtualMainLoop loop;
    MemoryLog log;
    FakeMicrophone mic;
    FakeRecognitionFactory recognition;
    FakeKeySource keys;
    FakePaste paste;
    FakeLamp lamp;
    FakeDictationTray tray;
    FakeAlertPresenter alerts;
    bool meeting = false;
    int meetingStops = 0;
    std::shared_ptr<DictationController> c =
        DictationController::create(DictationServices{loop, log, mic, recognition, keys, paste, lamp, tray, alerts,
                                                      [this] { return meeting; }, [this] { ++meetingStops; }});

    Rig() { mic.preRoll = pcm(24000, {1000, -1000}); }  // a full, audible pre-roll
    // Drains still under way use the fakes: let them end while the fakes live.
    ~Rig() { loop.advanceBy(seconds(60)); }
    void pressAt(double t) {
        if (seconds(t) > loop.now()) loop.advanceBy(seconds(t) - loop.now());
        c->handleFNPress();
    }
    std::shared_ptr<FakeRecognitionClient> client() { return recognition.last(); }
    void say(const std::string& text, bool isFinal = true) {
        client()->transcript(text, isFinal);
        loop.runPending();
    }
    // One whole dictation: the results said while recording, then the stop
    // (the second press unless given), the post-roll and the close.
    void dictate(double at, const Results& results, const std::function<void()>& stop = {}) {
        pressAt(at);
        client()->open();
        for (const auto& [said, isFinal] : results) say(said, isFinal);
        stop ? stop() : pressAt(at + 1);
        loop.advanceBy(seconds(0.8));
        client()->close(1000);
        loop.runPending();
    }
};
struct Dictation : ::testing::Test, Rig {};

// The whole path: pre-roll first (a chunk the audio thread hands over the
// moment the subscription exists waits behind it), live audio through the
// 0.8 s post-roll and not a chunk after it, results arriving while draining
// kept, the close ending the wait at once, the tray, the badge during a
// meeting, the lamp.
TEST_F(Dictation, PressSpeakPressPastesAfterThePostRollAndTheClose) {
    tray.state.meetingRecording = true;
    mic.whileSubscribing = [&] { std::thread([&] { mic.deliver(chunk(0)); }).join(); };
    pressAt(1.0);
    EXPECT_TRUE(tray.state.fnDictating);
    client()->open();
    say("Привет,");
    mic.deliver(chunk(1));
    pressAt(3.0);
    EXPECT_TRUE(tray.state.processing && tray.spinning && !tray.state.fnDictating && tray.badgeRefreshes == 2);
    loop.advanceBy(millis(799));
    mic.deliver(chunk(2));
    EXPECT_EQ(client()->finishes(), 0);
    loop.advanceBy(millis(1));
    EXPECT_TRUE(client()->finishes() == 1 && mic.subscribers() == 0);
    mic.deliver(chunk(3));
    say("  мир.  ");
    EXPECT_TRUE(paste.pasted.empty());
    client()->close(1000);
    loop.runPending();

    EXPECT_THAT(paste.pasted, ElementsAre("Привет, мир."));
    EXPECT_THAT(client()->sent(), ElementsAre(mic.preRoll, chunk(0), chunk(1), chunk(2)));
    EXPECT_THAT(lamp.calls, ElementsAre("recording", "processing", "resting"));
    EXPECT_TRUE(client()->disconnects() == 1 && loop.pendingTimers() == 0 && tray.errors.empty());
    EXPECT_FALSE(tray.state.processing || tray.spinning);
}

// No close within 5 s: paste what is there, a close that limps in later is
// only logged; a second dictation while the first drains keeps the spinner
// until the last text.
TEST_F(Dictation, TheCloseIsAwaitedFiveSecondsAndALateOpenFiveMore) {
    pressAt(1.0);
    auto first = client();
    first->open();
    say("текст");
    pressAt(2.0);
    dictate(2.2, {{"второй", true}});
    EXPECT_TRUE(tray.spinning);
    loop.advanceBy(millis(2000 + 800 + 4999) - loop.now());
    EXPECT_THAT(paste.pasted, ElementsAre("второй"));
    loop.advanceBy(millis(1));
    EXPECT_THAT(paste.pasted, ElementsAre("второй", "текст"));
    EXPECT_FALSE(tray.spinning || tray.state.processing);
    first->close(1000);
    loop.runPending();

    // A handshake slower than the stop plus the post-roll: the open is awaited
    // up to 5 s, and once open the close gets its own 5 s (the audio kept
    // meanwhile is the end-to-end test's).
    pressAt(20.0);
    pressAt(21.0);
    loop.advanceBy(seconds(0.8 + 4.9));
    client()->open();
    loop.advanceBy(seconds(4.9));
    say("поздно, но целиком");
    client()->close(1000);
    loop.runPending();
    EXPECT_EQ(paste.pasted.back(), "поздно, но целиком");

    pressAt(40.0);  // never opens: the dictation ends 5 s after the post-roll, empty
    pressAt(41.0);
    loop.advanceBy(seconds(0.8 + 4.99));
    EXPECT_EQ(client()->disconnects(), 0);
    loop.advanceBy(millis(10));
    EXPECT_TRUE(client()->disconnects() == 1 && paste.pasted.size() == 3 && !tray.state.processing);
}

// The text is the trimmed finals, else the last interim; a screen lock during
// a dictation stops it, and its text only reaches the clipboard.
TEST_F(Dictation, TheTextIsTheTrimmedFinalsOrElseTheLastInterimAndALockOnlyCopiesIt) {
    const std::vector<Results> cases = {
        {{"Привет,", true}, {"  мир.  ", true}, {"и ещё", false}},
        {{"раз", false}, {" раз два\n", false}},
        // A white-space final (no-break space included) adds nothing but clears the interim.
        {{"что-то", false}, {" \n\u00a0", true}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) dictate(1.0 + 10 * i, cases[i]);
    dictate(40.0, {{"секрет", true}}, [&] { c->stopKeepingTextOnClipboard(); });
    // An empty text is not pasted.
    EXPECT_THAT(paste.pasted, ElementsAre("Привет, мир.", "раз два", "(clipboard only) секрет"));
}

// Start failures: the key before the microphone, the engine's refusal, a
// silent pre-roll judged only when 80 % full; the next press tries again.
TEST_F(Dictation, StartFailuresShowTheirTextLeaveTheTrayIdleAndTheNextPressRetries) {
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { keys.key.reset(); mic.ensureRunningError = "the microphone must not be asked"; },
         "Deepgram API key unavailable: Keychain item not found: parlando.deepgram.api_key/deepgram"},
        {[&] { mic.ensureRunningError = "No audio input device available"; }, "No audio input device available"},
        // 38,400 bytes (80 %), 90 % of the samples at 10 and the rest at 9: RMS 9.90.
        {[&] { mic.preRoll = pcm(19200, {10, 10, 10, 10, 10, 10, 10, 10, 10, 9}); },
         "Mic produces silence (RMS=9.9) — check transmitter / mute / battery"},
    };
    double t = 1;
    for (const auto& [arrange, text] : cases) {
        arrange();
        pressAt(t++);
        EXPECT_EQ(tray.errors.back(), text);
        EXPECT_FALSE(tray.state.fnDictating || c->captureInFlight || recognition.made() || mic.subscribers()) << text;
        keys.key = "k";
        mic.ensureRunningError.reset();
    }
    EXPECT_TRUE(lamp.calls.empty());
    // RMS exactly 10.0 is loud enough; one chunk short of 80 % is not judged, even at digital silence.
    for (const AudioBytes& preRoll : {pcm(19200, {10, -10}), AudioBytes(38400 - 640, 0)}) {
        mic.preRoll = preRoll;
        pressAt(t++);
        EXPECT_TRUE(tray.state.fnDictating);
        pressAt(t++);
    }
}

// A muted press; "Слушать": on unmutes, off stops a dictation first, and
// during a meeting asks, stopping the meeting and muting only when confirmed;
// debounce from the last accepted press, a press during a start (in flight),
// the release.
TEST_F(Dictation, PressesThatDoNothingAndTheListeningSwitch) {
    mic.muted = true;
    pressAt(1.0);
    EXPECT_THAT(tray.errors, ElementsAre("Parlando заглушён — включи «Слушать» в меню"));
    c->toggleListening();
    for (double t : {10.0, 10.1, 10.14}) pressAt(t);
    c->fnReleased();
    loop.runPending();
    EXPECT_TRUE(tray.state.fnDictating);
    pressAt(10.15);  // exactly one debounce after the accepted press: stops
    EXPECT_FALSE(tray.state.fnDictating);

    keys.whileReading = [&] {  // a press while the start is in flight is taken but ignored
        loop.advanceBy(seconds(0.5));
        c->handleFNPress();
    };
    pressAt(20.0);
    EXPECT_EQ(*c->lastFNPressAt, seconds(20.5));
    EXPECT_TRUE(tray.state.fnDictating && c->localSession);

    meeting = true;
    alerts.answer = 1;
    c->toggleListening();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].messageText, "Идёт запись встречи");
    EXPECT_EQ(alerts.shown[0].informativeText,
              "Чтобы выключить «Слушать», нужно остановить запись. Остановить встречу и заглушить Parlando?");
    EXPECT_THAT(alerts.shown[0].buttons, ElementsAre("Остановить и заглушить", "Отмена"));
    EXPECT_EQ(c->localSession, nullptr) << "the dictation stops even when the mute is cancelled";
    EXPECT_THAT(mic.mutedWrites, ElementsAre(false));
    alerts.answer = 0;
    c->toggleListening();
    EXPECT_TRUE(meetingStops == 1 && mic.mutedWrites == std::vector<bool>({false, true}));
}

// Stall after 4 s without results (strictly), cleared by a result without a
// line, again 4 s after the last; errors shown while running, the socket's
// "not connected" after the stop dropped.
TEST_F(Dictation, StallsAndErrorsAreShownAndTheDictationGoesOn) {
    pressAt(0.0);
    client()->open();
    // Each step: a wait, then a result said (an interim; "" a final), then whether the tray shows a stall. The
    // tick at 9.0 s is 3.5 s after the result: quiet; an empty result clears only at the next tick, with a line.
    const std::vector<std::tuple<double, const char*, bool>> steps = {
        {4, nullptr, false},  {1, nullptr, true}, {0.5, "наконец", false}, {4, nullptr, false},
        {0.5, nullptr, true}, {0, "", true},      {1, nullptr, false}};
    for (const auto& [wait, said, stalled] : steps) {
        loop.advanceBy(seconds(wait));
        if (said) say(said, *said == '\0');
        EXPECT_EQ(tray.stalled, stalled) << toSeconds(loop.now());
    }

    client()->fail("Unhandled http status code: 401");
    client()->fail("Socket is not connected", ENOTCONN);
    loop.runPending();
    loop.advanceBy(seconds(4.6));
    EXPECT_TRUE(c->localSession->running() && tray.stalled);
    c->handleFNPress();  // stopped while stalled: the stall clears first
    EXPECT_FALSE(tray.stalled);
    client()->fail("Transport endpoint is not connected");
    client()->fail("write failed", ENOTCONN);
    client()->fail("Connection reset by peer", ECONNRESET);
    loop.runPending();
    EXPECT_THAT(tray.errors, ElementsAre("Unhandled http status code: 401", "Socket is not connected",
                                         "Connection reset by peer"));
}

// Quitting at any moment: the controller ends its sessions, then the
// microphone and the loop go (ASan sees any use after that), and a press
// still queued finds nobody.
TEST(DictationQuit, EndingTheSessionsAtEachPhaseLeavesNothingThatReachesTheMicrophone) {
    for (double at : {0.5, 1.2, 3.0}) {  // recording, post-roll, waiting for the close
        auto r = std::make_unique<Rig>();
        r->c->handleFNPress();
        const auto client = r->client();
        client->open();
        r->loop.advanceBy(seconds(0.5));
        if (at > 0.5) r->c->handleFNPress();
        r->loop.advanceBy(seconds(at - 0.5));
        r->c->endSessions();
        r->c->fnPressed();  // queued for a controller about to go
        r->c.reset();
        EXPECT_TRUE(r->mic.subscribers() == 0 && client->disconnects() == 1 && r->loop.pendingTimers() == 0) << at;
        client->transcript("late", true);  // the network's last words find nobody
        r->loop.runPending();
        EXPECT_TRUE(r->paste.pasted.empty() && r->recognition.made() == 1) << at;
    }
}

}  // namespace
}  // namespace parlando::testing
