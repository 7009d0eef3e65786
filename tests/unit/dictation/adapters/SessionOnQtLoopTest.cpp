// A whole dictation on the real Qt main loop and real threads: the audio
// thread feeding chunks at real-time pace, a "network" thread reporting the
// socket's events, real timers for the post-roll and the flush deadline.
#include "core/adapters/QtMainLoop.h"
#include "dictation/DictationController.h"
#include "fakes/FakeDictation.h"
#include "fakes/Fakes.h"

#include <QCoreApplication>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace parlando::testing {
namespace {

using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

AudioBytes chunkNumbered(std::int16_t n) {
    AudioBytes out(640);
    for (std::size_t i = 0; i < 320; ++i) std::memcpy(out.data() + 2 * i, &n, 2);
    return out;
}

bool spinUntil(const std::function<bool()>& pred, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (!pred() && Clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

class QtLoopDictation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "unit_dictation_adapters";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr) app_ = new QCoreApplication(argc, argv);
    }
    void SetUp() override {
        AudioBytes preRoll(48000);
        for (std::size_t i = 0; i + 1 < preRoll.size(); i += 2) {
            const std::int16_t v = (i / 2) % 2 ? 900 : -900;
            std::memcpy(preRoll.data() + i, &v, 2);
        }
        mic.preRoll = preRoll;
    }
    void TearDown() override {
        stopAudio();
        spinUntil([] { return false; }, std::chrono::seconds(0));
    }
    void startAudio() {
        audio = std::thread([this]() {
            auto next = Clock::now();
            for (std::int16_t n = 1; !quit.load(); ++n) {
                mic.deliver(chunkNumbered(n));
                next += std::chrono::milliseconds(20);
                std::this_thread::sleep_until(next);
            }
        });
    }
    void stopAudio() {
        quit = true;
        if (audio.joinable()) audio.join();
    }

    static inline QCoreApplication* app_ = nullptr;
    QtMainLoop loop;
    MemoryLog log;
    FakeMicrophone mic;
    FakeRecognitionFactory recognition;
    FakeKeySource keys;
    FakePaste paste;
    FakeLamp lamp;
    FakeDictationTray tray;
    FakeAlertPresenter alerts;
    std::atomic<bool> quit{false};
    std::thread audio;
};

TEST_F(QtLoopDictation, PressSpeakPressPastesAfterThePostRollAndTheClose) {
    auto controller = DictationController::create(
        DictationServices{loop, log, mic, recognition, keys, paste, lamp, tray, alerts, {}, {}});
    startAudio();

    controller->fnPressed();
    ASSERT_TRUE(spinUntil([&] { return recognition.made() == 1; }, std::chrono::seconds(10)));
    auto client = recognition.last();

    // The service: opens, says something, and closes right after the close message.
    std::thread network([&]() {
        client->open();
        client->transcript("один", false);
        client->transcript("Один, два.", true);
        while (client->finishes() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        client->transcript("три", true);
        client->close(1000);
    });

    ASSERT_TRUE(spinUntil([&] { return log.contains("local: final segment — Один, два."); }, std::chrono::seconds(10)));
    spinUntil([] { return false; }, std::chrono::seconds(1));  // a second of live audio
    const auto stoppedAt = Clock::now();
    controller->fnPressed();
    ASSERT_TRUE(spinUntil([&] { return !paste.pasted.empty(); }, std::chrono::seconds(20)));
    const double elapsed = std::chrono::duration<double>(Clock::now() - stoppedAt).count();
    network.join();
    stopAudio();

    EXPECT_THAT(paste.pasted, ElementsAre("Один, два. три"));
    // Post-roll done, close waited for, no deadline reached.
    EXPECT_GE(elapsed, 0.8);
    EXPECT_LT(elapsed, 5.5);  // well short of the 5 s flush deadline after the post-roll
    EXPECT_FALSE(log.contains("close timeout"));
    EXPECT_FALSE(tray.state.processing);

    // Pre-roll first, then live chunks without a gap or a repeat up to the post-roll's end.
    const auto sent = client->sent();
    ASSERT_GT(sent.size(), 50u);  // about a second of audio plus the post-roll
    EXPECT_EQ(sent.front(), mic.preRoll);
    const std::int16_t first = [&] {
        std::int16_t v;
        std::memcpy(&v, sent[1].data(), 2);
        return v;
    }();
    for (std::size_t i = 1; i < sent.size(); ++i)
        ASSERT_EQ(sent[i], chunkNumbered(static_cast<std::int16_t>(first + static_cast<std::int16_t>(i - 1)))) << i;
    EXPECT_THAT(lamp.calls, ElementsAre("recording", "processing", "resting"));
}

TEST_F(QtLoopDictation, SilentServiceIsGivenUpOnAfterTheFlushDeadline) {
    auto session = LocalCaptureSession::create(SessionServices{loop, log, mic, recognition, keys, paste, lamp});
    std::vector<std::string> finished;
    session->onFinish = [&](const std::string& t) { finished.push_back(t); };
    session->start();
    auto client = recognition.last();
    std::thread network([&]() {
        client->open();
        client->transcript("почти", false);
    });
    network.join();
    ASSERT_TRUE(spinUntil([&] { return session->deepgramOpened() && session->transcriptsReceived() == 1; },
                          std::chrono::seconds(10)));
    const auto stoppedAt = Clock::now();
    session->stop();
    session.reset();
    ASSERT_TRUE(spinUntil([&] { return !finished.empty(); }, std::chrono::seconds(30)));
    const double elapsed = std::chrono::duration<double>(Clock::now() - stoppedAt).count();
    EXPECT_GE(elapsed, 5.8);
    EXPECT_TRUE(log.contains("local: deepgram close timeout — pasting what we have (chunks=1, transcripts=1)"));
    EXPECT_THAT(paste.pasted, ElementsAre("почти"));
    EXPECT_EQ(client->disconnects(), 1);
}

}  // namespace
}  // namespace parlando::testing
