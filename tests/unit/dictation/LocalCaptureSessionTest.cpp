#include "DictationRig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace parlando::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class SessionTest : public ::testing::Test {
protected:
    // Callbacks point into this fixture: finish every drain before it goes.
    void TearDown() override { rig.loop.advanceBy(seconds(60)); }

    DictationRig rig;
    std::shared_ptr<LocalCaptureSession> session = LocalCaptureSession::create(rig.sessionServices());
    std::vector<std::string> finished;
    std::vector<bool> stallChanges;
    std::vector<std::string> errors;
    std::vector<std::pair<std::string, bool>> transcripts;

    void SetUp() override {
        session->onFinish = [this](const std::string& t) { finished.push_back(t); };
        session->onStallChange = [this](bool s) { stallChanges.push_back(s); };
        session->onError = [this](const RecognitionError& e) { errors.push_back(e.description); };
        session->onTranscript = [this](const std::string& t, bool f) { transcripts.emplace_back(t, f); };
    }

    // Starts, opens the socket and lets the open reach the session.
    void startOpen() {
        session->start();
        rig.client()->open();
        rig.loop.runPending();
    }
    void say(const std::string& text, bool isFinal) {
        rig.client()->transcript(text, isFinal);
        rig.loop.runPending();
    }
    // Stop, post-roll, close at once: the text is out.
    void stopAndClose() {
        session->stop();
        rig.loop.advanceBy(seconds(LocalCaptureSession::postRollSeconds));
        rig.client()->close(1000);
        rig.loop.runPending();
    }
};

// --- start failures -------------------------------------------------------

TEST_F(SessionTest, MissingKeyFailsWithTheStoresDescriptionAndConnectsNothing) {
    rig.keys.key.reset();
    try {
        session->start();
        FAIL() << "start() should throw";
    } catch (const SessionError& e) {
        EXPECT_EQ(e.kind(), SessionError::Kind::missingAPIKey);
        EXPECT_STREQ(e.what(),
                     "Deepgram API key unavailable: Keychain item not found: parlando.deepgram.api_key/deepgram");
    }
    EXPECT_EQ(rig.recognition.made(), 0u);
    EXPECT_EQ(rig.mic.ensureRunningCalls, 0);
    EXPECT_EQ(rig.mic.subscribers(), 0u);
    EXPECT_FALSE(session->running());
    EXPECT_TRUE(rig.lamp.calls.empty());
}

TEST_F(SessionTest, EngineErrorIsPassedOnUnchanged) {
    rig.mic.ensureRunningError = "Parlando muted — turn on Listening in the menu";
    EXPECT_THROW(
        {
            try {
                session->start();
            } catch (const MicrophoneError& e) {
                EXPECT_STREQ(e.what(), "Parlando muted — turn on Listening in the menu");
                throw;
            }
        },
        MicrophoneError);
    EXPECT_EQ(rig.recognition.made(), 0u);
    EXPECT_EQ(rig.mic.subscribers(), 0u);
}

TEST_F(SessionTest, SilentPreRollIsJudgedOnlyWhenAtLeastEightyPercentFull) {
    // 90 % of the samples at 10, the rest at 9: RMS 9.90.
    std::vector<std::int16_t> pattern(10, 10);
    pattern[9] = 9;
    auto quiet = [&](std::size_t samples) {
        AudioBytes out(samples * 2);
        for (std::size_t i = 0; i < samples; ++i) std::memcpy(out.data() + 2 * i, &pattern[i % 10], 2);
        return out;
    };

    rig.mic.preRoll = quiet(19200);  // 38,400 bytes: exactly 80 % of 48,000
    try {
        session->start();
        FAIL() << "a silent pre-roll must fail the start";
    } catch (const SessionError& e) {
        EXPECT_EQ(e.kind(), SessionError::Kind::silentMic);
        EXPECT_NEAR(e.rms(), 9.9045, 1e-3);
        EXPECT_STREQ(e.what(), "Mic produces silence (RMS=9.9) — check transmitter / mute / battery");
    }
    EXPECT_TRUE(rig.logged("local: mic silent — pre-roll RMS=9.9 over 38400 bytes — failing fast"));
    EXPECT_EQ(rig.recognition.made(), 0u);

    // RMS exactly 10.0 is loud enough.
    auto loud = LocalCaptureSession::create(rig.sessionServices());
    rig.mic.preRoll = pcm(19200, {10, -10});
    EXPECT_NO_THROW(loud->start());
    loud->stop();

    // One chunk short of 80 % is not judged, even at digital silence.
    auto young = LocalCaptureSession::create(rig.sessionServices());
    rig.mic.preRoll = AudioBytes(38400 - 640, 0);
    EXPECT_NO_THROW(young->start());
    young->stop();
    rig.loop.advanceBy(seconds(10));
}

TEST_F(SessionTest, SecondStartIsRefused) {
    session->start();
    try {
        session->start();
        FAIL();
    } catch (const SessionError& e) {
        EXPECT_EQ(e.kind(), SessionError::Kind::alreadyRunning);
        EXPECT_STREQ(e.what(), "Capture session already running");
    }
    EXPECT_EQ(rig.recognition.made(), 1u);
    session->stop();
    rig.loop.advanceBy(seconds(1));
    // A finished session does not carry a second dictation either.
    EXPECT_THROW(session->start(), SessionError);
    EXPECT_EQ(rig.recognition.made(), 1u);
}

// --- audio path -----------------------------------------------------------

TEST_F(SessionTest, EmptyPreRollSendsNothingAhead) {
    rig.mic.preRoll.clear();
    session->start();
    EXPECT_FALSE(rig.logged("local: pre-roll"));
    rig.mic.deliver(numberedChunk(7));
    EXPECT_THAT(rig.client()->sent(), ElementsAre(numberedChunk(7)));
}

TEST_F(SessionTest, PostRollKeepsStreamingForExactlyPointEightSeconds) {
    startOpen();
    auto client = rig.client();
    session->stop();
    EXPECT_THAT(rig.lamp.calls, ElementsAre("recording", "processing"));
    EXPECT_EQ(rig.mic.subscribers(), 1u);

    rig.loop.advanceBy(millis(799));
    rig.mic.deliver(numberedChunk(1));
    EXPECT_EQ(client->finishes(), 0);
    EXPECT_EQ(rig.mic.subscribers(), 1u);

    EXPECT_TRUE(rig.logged("local: stop — opened=true, chunks=1, bytes=48000, transcripts=0"));
    EXPECT_LT(rig.indexOf("local: audio level RMS=1000.0 over last 48000 bytes"),
              rig.indexOf("local: stop — opened=true"));

    rig.loop.advanceBy(millis(1));
    EXPECT_EQ(rig.mic.subscribers(), 0u);
    EXPECT_EQ(client->finishes(), 1);
    EXPECT_EQ(client->disconnects(), 0);  // waiting for the close
    rig.mic.deliver(numberedChunk(2));

    const auto sent = client->sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], numberedChunk(1));
    EXPECT_EQ(client->sentAfterEnd(), 0);
}

// --- flush wait -----------------------------------------------------------

TEST_F(SessionTest, CloseEndsTheWaitAtOnce) {
    startOpen();
    say("привет", true);
    session->stop();
    rig.loop.advanceBy(seconds(0.8));
    rig.loop.advanceBy(millis(300));
    EXPECT_TRUE(finished.empty());
    say("мир", true);  // arrives while draining: part of the text
    rig.client()->close(1000);
    rig.loop.runPending();

    EXPECT_THAT(finished, ElementsAre("привет мир"));
    EXPECT_THAT(rig.paste.pasted, ElementsAre("привет мир"));
    EXPECT_EQ(rig.client()->disconnects(), 1);
    EXPECT_TRUE(rig.logged("local: deepgram WS closed (code=1000)"));
    EXPECT_TRUE(rig.logged("local: pasting 10 chars (finals=2, lastInterim=0 chars)"));
    EXPECT_FALSE(rig.logged("close timeout"));
    EXPECT_LT(rig.indexOf("WS closed"), rig.indexOf("local: pasting"));
    EXPECT_THAT(rig.lamp.calls, ElementsAre("recording", "processing", "resting"));
    EXPECT_EQ(rig.loop.pendingTimers(), 0u);
    EXPECT_TRUE(session->finished());
}

TEST_F(SessionTest, NoCloseWithinFiveSecondsPastesWhatIsThere) {
    startOpen();
    say("текст", true);
    rig.mic.deliver(numberedChunk(1));
    session->stop();
    rig.loop.advanceBy(seconds(0.8));
    rig.loop.advanceBy(millis(4999));
    EXPECT_TRUE(finished.empty());
    EXPECT_EQ(rig.client()->disconnects(), 0);

    rig.loop.advanceBy(millis(1));
    EXPECT_TRUE(rig.logged("local: deepgram close timeout — pasting what we have (chunks=2, transcripts=1)"));
    EXPECT_THAT(rig.paste.pasted, ElementsAre("текст"));
    EXPECT_EQ(rig.client()->disconnects(), 1);

    // A close that limps in afterwards is only logged.
    rig.client()->close(1000);
    rig.loop.runPending();
    EXPECT_EQ(finished.size(), 1u);
}

TEST_F(SessionTest, SocketThatNeverOpenedIsNotWaitedFor) {
    session->start();
    session->stop();
    rig.loop.advanceBy(seconds(0.8));
    EXPECT_TRUE(rig.logged("local: stop — opened=false"));
    EXPECT_TRUE(rig.logged("local: deepgram WS never opened — skipping flush wait"));
    EXPECT_EQ(rig.client()->finishes(), 1);
    EXPECT_EQ(rig.client()->disconnects(), 1);
    EXPECT_THAT(finished, ElementsAre(""));
    EXPECT_TRUE(rig.paste.pasted.empty());
    EXPECT_TRUE(rig.logged("local: pasting 0 chars (finals=0, lastInterim=0 chars)"));
    EXPECT_THAT(rig.lamp.calls, ElementsAre("recording", "processing", "resting"));
}

TEST_F(SessionTest, SessionKeepsItselfAliveThroughTheDrainAndIsReleasedAfter) {
    startOpen();
    std::weak_ptr<LocalCaptureSession> weak = session;
    session->stop();
    session.reset();
    rig.loop.advanceBy(seconds(0.8));
    ASSERT_FALSE(weak.expired());
    rig.client()->close(1000);
    rig.loop.runPending();
    EXPECT_EQ(finished.size(), 1u);
    EXPECT_TRUE(weak.expired());
    // Late audio after the drain finds no client and is dropped.
    rig.mic.deliver(numberedChunk(9));
}

// --- text -----------------------------------------------------------------

TEST_F(SessionTest, FinalsAreTrimmedAndJoinedWithOneSpace) {
    startOpen();
    say("Привет,", true);
    say("  мир.  ", true);
    say("и ещё", false);  // a trailing interim after finals is not used
    stopAndClose();
    EXPECT_THAT(finished, ElementsAre("Привет, мир."));
    EXPECT_THAT(session->finalSegments(), ElementsAre("Привет,", "мир."));
    EXPECT_TRUE(rig.logged("local: pasting 12 chars (finals=2, lastInterim=5 chars)"));
}

TEST_F(SessionTest, WithoutFinalsTheLastInterimIsPastedTrimmed) {
    startOpen();
    say("раз", false);
    say(" раз два\n", false);
    stopAndClose();
    EXPECT_THAT(rig.paste.pasted, ElementsAre("раз два"));
    EXPECT_TRUE(rig.logged("local: pasting 7 chars (finals=0, lastInterim=9 chars)"));
}

TEST_F(SessionTest, WhitespaceFinalAddsNothingButClearsTheInterim) {
    startOpen();
    say("что-то", false);
    say(" \n\u00a0", true);  // no-break space counts as white space too
    stopAndClose();
    EXPECT_THAT(finished, ElementsAre(""));
    EXPECT_TRUE(rig.paste.pasted.empty());
    EXPECT_EQ(session->transcriptsReceived(), 2);
    EXPECT_THAT(transcripts, ElementsAre(std::pair<std::string, bool>("что-то", false),
                                         std::pair<std::string, bool>(" \n\u00a0", true)));
}

// --- watchdog -------------------------------------------------------------

TEST_F(SessionTest, StallAfterGraceWithoutResultsAndRecovery) {
    startOpen();
    rig.loop.advanceBy(seconds(4));  // tick at exactly 4.0 s: not yet (strictly greater)
    EXPECT_TRUE(stallChanges.empty());
    rig.loop.advanceBy(seconds(1));  // 5.0 s
    EXPECT_THAT(stallChanges, ElementsAre(true));
    EXPECT_TRUE(rig.logged("local: watchdog -> STALLED (elapsed=5.0s, transcripts=0)"));
    EXPECT_TRUE(session->isStalled());

    rig.loop.advanceBy(millis(500));
    say("наконец", false);
    EXPECT_THAT(stallChanges, ElementsAre(true, false));
    EXPECT_EQ(rig.log.count("local: watchdog"), 1u);  // cleared without a line
    rig.loop.advanceBy(seconds(1));                  // next tick finds nothing to say
    EXPECT_EQ(rig.log.count("local: watchdog"), 1u);

    // 4 s after the last result (at 5.5 s) the next tick past 9.5 s stalls again.
    rig.loop.advanceBy(seconds(3));  // 9.5 s: tick at 9.0
    EXPECT_EQ(stallChanges.size(), 2u);
    rig.loop.advanceBy(seconds(1));  // tick at 10.0: 4.5 s since the result
    EXPECT_THAT(stallChanges, ElementsAre(true, false, true));
    EXPECT_TRUE(rig.logged("local: watchdog -> STALLED (elapsed=10.0s, transcripts=1)"));

    // An empty result does not clear at once, but the next tick does, with a line.
    say("", true);
    EXPECT_EQ(stallChanges.size(), 3u);
    rig.loop.advanceBy(seconds(1));
    EXPECT_THAT(stallChanges, ElementsAre(true, false, true, false));
    EXPECT_TRUE(rig.logged("local: watchdog -> ok (elapsed=11.0s, transcripts=2)"));
}

TEST_F(SessionTest, StopWhileStalledClearsTheStallBeforeTheDrain) {
    startOpen();
    rig.loop.advanceBy(seconds(5));
    ASSERT_THAT(stallChanges, ElementsAre(true));
    session->stop();
    EXPECT_THAT(stallChanges, ElementsAre(true, false));
    EXPECT_FALSE(session->isStalled());
    EXPECT_FALSE(rig.logged("local: stop —"));  // the drain has not run yet
    // The watchdog is gone: no more ticks during the drain.
    rig.loop.advanceBy(seconds(0.8));
    rig.loop.advanceBy(seconds(3));
    EXPECT_EQ(stallChanges.size(), 2u);
    EXPECT_EQ(rig.log.count("local: watchdog"), 1u);
}

// --- errors and threads ---------------------------------------------------

TEST_F(SessionTest, NotConnectedErrorsAfterTheStopAreDropped) {
    startOpen();
    rig.client()->fail("Socket is not connected", ENOTCONN);
    rig.loop.runPending();
    EXPECT_THAT(errors, ElementsAre("Socket is not connected"));  // while running: reported

    session->stop();
    rig.client()->fail("Socket is not connected");
    rig.client()->fail("Transport endpoint is not connected");
    rig.client()->fail("write failed", ENOTCONN);
    rig.client()->fail("Connection reset by peer", ECONNRESET);
    rig.loop.runPending();
    EXPECT_THAT(errors, ElementsAre("Socket is not connected", "Connection reset by peer"));
    EXPECT_FALSE(session->running());
}

TEST_F(SessionTest, ErrorWhileRunningKeepsTheSessionStreaming) {
    startOpen();
    rig.client()->fail("Unhandled http status code: 401");
    rig.loop.runPending();
    EXPECT_THAT(errors, ElementsAre("Unhandled http status code: 401"));
    EXPECT_TRUE(session->running());
    rig.mic.deliver(numberedChunk(3));
    EXPECT_EQ(rig.client()->sent().size(), 2u);
}

TEST_F(SessionTest, ClientReportsFromOtherThreadsAreHandledOnTheMainLoop) {
    session->start();
    auto client = rig.client();
    std::atomic<bool> done{false};
    std::thread network([&]() {
        client->open();
        for (int i = 0; i < 100; ++i) client->transcript("слово " + std::to_string(i), true);
        done = true;
    });
    ASSERT_TRUE(rig.loop.runUntil([&]() { return done.load() && session->transcriptsReceived() == 100; }, seconds(60)));
    network.join();
    EXPECT_TRUE(session->deepgramOpened());
    EXPECT_EQ(session->finalSegments().front(), "слово 0");
    EXPECT_EQ(session->finalSegments().back(), "слово 99");
}

TEST_F(SessionTest, AudioThreadKeepsDeliveringThroughStopDrainAndRelease) {
    rig.mic.preRoll = pcm(24000, {-700, 700});
    startOpen();
    auto client = rig.client();
    std::atomic<bool> quit{false};
    std::atomic<int> emitted{0};
    std::thread audio([&]() {
        for (std::int16_t n = 1; !quit.load(); n = static_cast<std::int16_t>(n % 30000 + 1)) {
            rig.mic.deliver(numberedChunk(n));
            emitted.fetch_add(1);
            std::this_thread::yield();
        }
    });
    ASSERT_TRUE(rig.loop.runUntil([&]() { return emitted.load() > 50; }, seconds(600)));
    session->stop();
    rig.loop.advanceBy(seconds(0.8));
    client->close(1000);
    rig.loop.runPending();
    const auto sentAtDrainEnd = client->sent().size();
    session.reset();
    const int atRelease = emitted.load();
    ASSERT_TRUE(rig.loop.runUntil([&]() { return emitted.load() > atRelease + 50; }, seconds(600)));
    quit = true;
    audio.join();

    EXPECT_EQ(finished.size(), 1u);
    EXPECT_EQ(rig.mic.subscribers(), 0u);
    EXPECT_EQ(client->disconnects(), 1);
    // Nothing reached the client after the drain; what it got is the pre-roll
    // followed by an unbroken run of live chunks.
    const auto sent = client->sent();
    EXPECT_EQ(sent.size(), sentAtDrainEnd);
    ASSERT_GT(sent.size(), 50u);
    EXPECT_EQ(sent.front(), rig.mic.preRoll);
    for (std::size_t i = 1; i < sent.size(); ++i)
        ASSERT_EQ(sent[i], numberedChunk(static_cast<std::int16_t>((i - 1) % 30000 + 1))) << "chunk " << i;
}

TEST_F(SessionTest, LiveChunksFollowThePreRollWithoutGapsWhileTheMainThreadWorks) {
    rig.mic.preRoll = pcm(24000, {-700, 700});
    startOpen();
    auto client = rig.client();
    EXPECT_EQ(client->apiKey, "test-key");
    EXPECT_EQ(client->connects(), 1);
    EXPECT_TRUE(rig.logged("local: pre-roll 48000 bytes flushed"));
    EXPECT_THAT(rig.lamp.calls, ElementsAre("recording"));
    std::thread audio([&]() {
        for (std::int16_t n = 1; n <= 2000; ++n) rig.mic.deliver(numberedChunk(n));
    });
    // Main-thread work meanwhile: results and watchdog ticks.
    for (int i = 0; i < 200; ++i) {
        client->transcript("t", (i % 10) == 0);
        rig.loop.advanceBy(millis(20));
    }
    audio.join();
    session->stop();
    rig.loop.advanceBy(seconds(0.8));

    const auto sent = client->sent();
    ASSERT_EQ(sent.size(), 2001u);
    EXPECT_EQ(sent.front(), rig.mic.preRoll);
    for (std::size_t i = 1; i < sent.size(); ++i)
        ASSERT_EQ(sent[i], numberedChunk(static_cast<std::int16_t>(i))) << "chunk " << i;
}

TEST_F(SessionTest, ChunksDeliveredBeforeThePreRollIsSentWaitBehindIt) {
    rig.mic.preRoll = pcm(24000, {-700, 700});
    // The audio thread hands over two chunks the moment the subscription exists.
    rig.mic.whileSubscribing = [&] {
        std::thread([&] {
            rig.mic.deliver(numberedChunk(1));
            rig.mic.deliver(numberedChunk(2));
        }).join();
    };
    startOpen();
    rig.mic.deliver(numberedChunk(3));
    const auto sent = rig.client()->sent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], rig.mic.preRoll);
    EXPECT_EQ(sent[1], numberedChunk(1));
    EXPECT_EQ(sent[2], numberedChunk(2));
    EXPECT_EQ(sent[3], numberedChunk(3));
}

TEST_F(SessionTest, OpenAndCloseAreLoggedEvenWhenTheSessionIsGone) {
    session->start();
    auto client = rig.client();
    session.reset();  // dropped without a stop: nothing is left streaming
    EXPECT_EQ(client->disconnects(), 1);
    EXPECT_EQ(rig.mic.subscribers(), 0u);
    client->open();
    client->close(1006);
    client->transcript("x", true);
    rig.loop.runPending();
    EXPECT_TRUE(rig.logged("local: deepgram WS opened"));
    EXPECT_TRUE(rig.logged("local: deepgram WS closed (code=1006)"));
}

}  // namespace
}  // namespace parlando::testing
