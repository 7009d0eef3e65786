#include "DictationRig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace parlando::testing {
namespace {

using ::testing::ElementsAre;

class SessionTest : public ::testing::Test {
protected:
    // Callbacks point into this fixture: finish every drain before it goes.
    void TearDown() override { rig.loop.advanceBy(seconds(60)); }

    DictationRig rig;
    std::shared_ptr<LocalCaptureSession> session = LocalCaptureSession::create(rig.sessionServices());
    std::vector<std::string> finished;
    std::vector<bool> stallChanges;
    std::vector<std::string> errors;

    void SetUp() override {
        session->onFinish = [this](const std::string& t) { finished.push_back(t); };
        session->onStallChange = [this](bool s) { stallChanges.push_back(s); };
        session->onError = [this](const RecognitionError& e) { errors.push_back(e.description); };
    }
    // Starts, expecting the start to fail with E.
    template <typename E>
    E startError() {
        try {
            session->start();
        } catch (const E& e) {
            return e;
        }
        ADD_FAILURE() << "start() did not throw";
        throw std::logic_error("start() did not throw");
    }
    void startOpen() {
        session->start();
        rig.client()->open();
        rig.loop.runPending();
    }
    void say(const std::string& text, bool isFinal) {
        rig.client()->transcript(text, isFinal);
        rig.loop.runPending();
    }
    void stopAndClose() {
        session->stop();
        rig.loop.advanceBy(seconds(LocalCaptureSession::postRollSeconds));
        rig.client()->close(1000);
        rig.loop.runPending();
    }
};

TEST_F(SessionTest, SilentPreRollIsJudgedOnlyWhenAtLeastEightyPercentFull) {
    // 38,400 bytes (exactly 80 % of 48,000), 90 % of the samples at 10 and the rest at 9: RMS 9.90.
    rig.mic.preRoll = pcm(19200, {10, 10, 10, 10, 10, 10, 10, 10, 10, 9});
    const auto silent = startError<SessionError>();
    EXPECT_EQ(silent.kind(), SessionError::Kind::silentMic);
    EXPECT_NEAR(silent.rms(), 9.9045, 1e-3);
    EXPECT_STREQ(silent.what(), "Mic produces silence (RMS=9.9) — check transmitter / mute / battery");
    EXPECT_TRUE(rig.logged("local: mic silent — pre-roll RMS=9.9 over 38400 bytes — failing fast"));
    EXPECT_EQ(rig.recognition.made(), 0u);

    // RMS exactly 10.0 is loud enough; one chunk short of 80 % is not judged, even at digital silence.
    for (const AudioBytes& preRoll : {pcm(19200, {10, -10}), AudioBytes(38400 - 640, 0)}) {
        rig.mic.preRoll = preRoll;
        auto other = LocalCaptureSession::create(rig.sessionServices());
        EXPECT_NO_THROW(other->start());
        other->stop();
    }
}

TEST_F(SessionTest, SecondStartIsRefusedAndAnEmptyPreRollSendsNothingAhead) {
    rig.mic.preRoll.clear();
    session->start();
    EXPECT_STREQ(startError<SessionError>().what(), "Capture session already running");
    EXPECT_FALSE(rig.logged("local: pre-roll"));
    rig.mic.deliver(numberedChunk(7));
    EXPECT_THAT(rig.client()->sent(), ElementsAre(numberedChunk(7)));
    session->stop();
    rig.loop.advanceBy(seconds(1));
    // A finished session does not carry a second dictation either.
    EXPECT_THROW(session->start(), SessionError);
    EXPECT_EQ(rig.recognition.made(), 1u);
}

TEST_F(SessionTest, PostRollKeepsStreamingForExactlyPointEightSeconds) {
    startOpen();
    auto client = rig.client();
    EXPECT_EQ(client->apiKey, "test-key");
    EXPECT_EQ(client->connects(), 1);
    session->stop();
    EXPECT_THAT(rig.lamp.calls, ElementsAre("recording", "processing"));

    rig.loop.advanceBy(millis(799));
    rig.mic.deliver(numberedChunk(1));
    EXPECT_EQ(client->finishes(), 0);
    EXPECT_TRUE(rig.logged("local: stop — opened=true, chunks=1, bytes=48000, transcripts=0"));
    EXPECT_LT(rig.indexOf("local: audio level RMS=1000.0 over last 48000 bytes"),
              rig.indexOf("local: stop — opened=true"));

    rig.loop.advanceBy(millis(1));
    EXPECT_EQ(rig.mic.subscribers(), 0u);
    EXPECT_EQ(client->finishes(), 1);
    EXPECT_EQ(client->disconnects(), 0);  // waiting for the close
    rig.mic.deliver(numberedChunk(2));
    EXPECT_THAT(client->sent(), ElementsAre(rig.mic.preRoll, numberedChunk(1)));
    EXPECT_EQ(client->sentAfterEnd(), 0);
}

// --- flush wait -----------------------------------------------------------

TEST_F(SessionTest, CloseEndsTheWaitAtOnce) {
    startOpen();
    say("привет", true);
    session->stop();
    rig.loop.advanceBy(millis(1100));
    EXPECT_TRUE(finished.empty());
    say("мир", true);  // arrives while draining: part of the text
    rig.client()->close(1000);
    rig.loop.runPending();

    EXPECT_THAT(rig.paste.pasted, ElementsAre("привет мир"));
    EXPECT_EQ(rig.client()->disconnects(), 1);
    EXPECT_LT(rig.indexOf("local: deepgram WS closed (code=1000)"),
              rig.indexOf("local: pasting 10 chars (finals=2, lastInterim=0 chars)"));
    EXPECT_FALSE(rig.logged("close timeout"));
    EXPECT_THAT(rig.lamp.calls, ElementsAre("recording", "processing", "resting"));
    EXPECT_EQ(rig.loop.pendingTimers(), 0u);
    EXPECT_TRUE(session->finished());
}

TEST_F(SessionTest, NoCloseWithinFiveSecondsPastesWhatIsThere) {
    startOpen();
    say("текст", true);
    rig.mic.deliver(numberedChunk(1));
    session->stop();
    rig.loop.advanceBy(millis(800 + 4999));
    EXPECT_TRUE(finished.empty());
    EXPECT_EQ(rig.client()->disconnects(), 0);

    rig.loop.advanceBy(millis(1));
    EXPECT_TRUE(rig.logged("local: deepgram close timeout — pasting what we have (chunks=2, transcripts=1)"));
    EXPECT_THAT(rig.paste.pasted, ElementsAre("текст"));
    EXPECT_EQ(rig.client()->disconnects(), 1);
    rig.client()->close(1000);  // a close that limps in afterwards is only logged
    rig.loop.runPending();
    EXPECT_EQ(finished.size(), 1u);
}

// A handshake slower than the stop plus the post-roll: the audio is kept and
// the open awaited up to 5 s; once open, the close gets its own 5 s.
TEST_F(SessionTest, ALateOpenIsAwaitedAndTheDictationFinishesAsUsual) {
    session->start();
    rig.mic.deliver(numberedChunk(1));
    session->stop();
    rig.loop.advanceBy(seconds(0.8));
    EXPECT_EQ(rig.mic.subscribers(), 0u);
    EXPECT_EQ(rig.client()->finishes(), 1);
    EXPECT_EQ(rig.client()->disconnects(), 0);
    rig.loop.advanceBy(seconds(4.9));
    rig.client()->open();
    rig.loop.advanceBy(seconds(4.9));
    say("поздно, но целиком", true);
    EXPECT_TRUE(finished.empty());
    rig.client()->close(1000);
    rig.loop.runPending();
    EXPECT_THAT(rig.paste.pasted, ElementsAre("поздно, но целиком"));
    EXPECT_THAT(rig.client()->sent(), ElementsAre(rig.mic.preRoll, numberedChunk(1)));

    auto never = LocalCaptureSession::create(rig.sessionServices());
    never->start();
    never->stop();
    rig.loop.advanceBy(seconds(0.8 + 4.99));
    EXPECT_EQ(rig.client()->disconnects(), 0);
    rig.loop.advanceBy(millis(10));
    EXPECT_TRUE(rig.logged("local: deepgram WS never opened — skipping flush wait"));
    EXPECT_EQ(rig.client()->disconnects(), 1);
    EXPECT_EQ(rig.paste.pasted.size(), 1u);
}

// Quitting at any moment of a dictation: the controller ends its sessions,
// then the microphone and the loop go (ASan sees any use after that).
TEST(SessionQuit, EndingTheSessionsAtEachPhaseLeavesNothingThatReachesTheMicrophone) {
    for (double at : {0.5, 1.2, 3.0}) {  // recording, post-roll, waiting for the close
        auto rig = std::make_unique<DictationRig>();
        auto controller = rig->controller();
        controller->handleFNPress();
        rig->client()->open();
        rig->loop.advanceBy(seconds(0.5));
        if (at > 0.5) {
            controller->handleFNPress();
            rig->loop.advanceBy(seconds(at - 0.5));
        }
        auto client = rig->client();
        controller->endSessions();
        controller.reset();
        EXPECT_EQ(rig->mic.subscribers(), 0u) << at;
        EXPECT_EQ(client->disconnects(), 1) << at;
        EXPECT_EQ(rig->loop.pendingTimers(), 0u) << at;
        EXPECT_TRUE(rig->paste.pasted.empty()) << at;
        client->transcript("late", true);  // the network's last words find nobody
        rig->loop.runPending();
    }
}

// --- text -----------------------------------------------------------------

TEST(SessionText, TheTrimmedFinalsOrElseTheLastInterim) {
    const std::vector<std::tuple<std::vector<std::pair<std::string, bool>>, std::string, std::string>> cases = {
        // A trailing interim after finals is not used.
        {{{"Привет,", true}, {"  мир.  ", true}, {"и ещё", false}}, "Привет, мир.", "12 chars (finals=2, lastInterim=5"},
        {{{"раз", false}, {" раз два\n", false}}, "раз два", "7 chars (finals=0, lastInterim=9"},
        // A white-space final (no-break space included) adds nothing but clears the interim.
        {{{"что-то", false}, {" \n\u00a0", true}}, "", "0 chars (finals=0, lastInterim=0"},
    };
    for (const auto& [results, text, logged] : cases) {
        DictationRig r;
        auto s = LocalCaptureSession::create(r.sessionServices());
        s->start();
        r.client()->open();
        for (const auto& [t, isFinal] : results) r.client()->transcript(t, isFinal);
        s->stop();
        r.loop.advanceBy(seconds(0.8));
        r.client()->close(1000);
        r.loop.runPending();
        EXPECT_EQ(r.paste.pasted, text.empty() ? std::vector<std::string>{} : std::vector<std::string>{text});
        EXPECT_TRUE(r.logged("local: pasting " + logged)) << text;
    }
}

// --- watchdog -------------------------------------------------------------

TEST_F(SessionTest, StallAfterGraceWithoutResultsAndRecovery) {
    startOpen();
    rig.loop.advanceBy(seconds(4));  // tick at exactly 4.0 s: not yet (strictly greater)
    EXPECT_TRUE(stallChanges.empty());
    rig.loop.advanceBy(seconds(1));
    EXPECT_THAT(stallChanges, ElementsAre(true));
    EXPECT_TRUE(rig.logged("local: watchdog -> STALLED (elapsed=5.0s, transcripts=0)"));
    EXPECT_TRUE(session->isStalled());

    rig.loop.advanceBy(millis(500));
    say("наконец", false);
    EXPECT_THAT(stallChanges, ElementsAre(true, false));
    rig.loop.advanceBy(seconds(1));
    EXPECT_EQ(rig.log.count("local: watchdog"), 1u);  // cleared without a line

    // 4 s after the last result (at 5.5 s): the tick at 9.0 is quiet, the one at 10.0 stalls.
    rig.loop.advanceBy(seconds(3));
    EXPECT_EQ(stallChanges.size(), 2u);
    rig.loop.advanceBy(seconds(1));
    EXPECT_THAT(stallChanges, ElementsAre(true, false, true));
    EXPECT_TRUE(rig.logged("local: watchdog -> STALLED (elapsed=10.0s, transcripts=1)"));

    // An empty result does not clear at once, but the next tick does, with a line.
    say("", true);
    EXPECT_EQ(stallChanges.size(), 3u);
    rig.loop.advanceBy(seconds(1));
    EXPECT_THAT(stallChanges, ElementsAre(true, false, true, false));
    EXPECT_TRUE(rig.logged("local: watchdog -> ok (elapsed=11.0s, transcripts=2)"));
}

// --- errors and threads ---------------------------------------------------

TEST_F(SessionTest, ErrorsAreReportedWhileRunningAndNotConnectedOnesAfterTheStopAreDropped) {
    startOpen();
    rig.client()->fail("Unhandled http status code: 401");
    rig.client()->fail("Socket is not connected", ENOTCONN);
    rig.loop.runPending();
    EXPECT_TRUE(session->running());
    rig.mic.deliver(numberedChunk(3));
    EXPECT_EQ(rig.client()->sent().size(), 2u);

    session->stop();
    rig.client()->fail("Socket is not connected");
    rig.client()->fail("Transport endpoint is not connected");
    rig.client()->fail("write failed", ENOTCONN);
    rig.client()->fail("Connection reset by peer", ECONNRESET);
    rig.loop.runPending();
    EXPECT_THAT(errors, ElementsAre("Unhandled http status code: 401", "Socket is not connected",
                                    "Connection reset by peer"));
}

TEST_F(SessionTest, ChunksDeliveredBeforeThePreRollIsSentWaitBehindIt) {
    // The audio thread hands over two chunks the moment the subscription exists.
    rig.mic.whileSubscribing = [&] {
        std::thread([&] {
            rig.mic.deliver(numberedChunk(1));
            rig.mic.deliver(numberedChunk(2));
        }).join();
    };
    startOpen();
    rig.mic.deliver(numberedChunk(3));
    EXPECT_THAT(rig.client()->sent(),
                ElementsAre(rig.mic.preRoll, numberedChunk(1), numberedChunk(2), numberedChunk(3)));
}

}  // namespace
}  // namespace parlando::testing
