// A whole dictation on the real Qt main loop and real threads: the audio
// thread feeding chunks at real-time pace, a "network" thread reporting the
// socket's events, a real timer for the post-roll.
#include "../DictationRig.h"
#include "core/adapters/QtMainLoop.h"

#include <QCoreApplication>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace parlando::testing {
namespace {

using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

bool spinUntil(const std::function<bool()>& pred, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (!pred() && Clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}
double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

class QtLoopDictation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "unit_dictation_adapters";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
    }
    void SetUp() override { mic.preRoll = pcm(24000, {-900, 900}); }
    void TearDown() override { stopAudio(); }
    void stopAudio() {
        quit = true;
        if (audio.joinable()) audio.join();
    }

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
    audio = std::thread([this]() {
        auto next = Clock::now();
        for (std::int16_t n = 1; !quit.load(); ++n) {
            mic.deliver(numberedChunk(n));
            std::this_thread::sleep_until(next += std::chrono::milliseconds(20));
        }
    });

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
    const double elapsed = secondsSince(stoppedAt);
    network.join();
    stopAudio();

    EXPECT_THAT(paste.pasted, ElementsAre("Один, два. три"));
    EXPECT_GE(elapsed, 0.8);  // the post-roll ran, the close ended the wait well before the deadline
    EXPECT_LT(elapsed, 5.5);
    EXPECT_FALSE(log.contains("close timeout"));
    EXPECT_FALSE(tray.state.processing);
    EXPECT_THAT(lamp.calls, ElementsAre("recording", "processing", "resting"));

    // Pre-roll first, then live chunks without a gap or a repeat up to the post-roll's end.
    const auto sent = client->sent();
    ASSERT_GT(sent.size(), 50u);
    EXPECT_EQ(sent.front(), mic.preRoll);
    std::int16_t first;
    std::memcpy(&first, sent[1].data(), 2);
    for (std::size_t i = 1; i < sent.size(); ++i)
        ASSERT_EQ(sent[i], numberedChunk(static_cast<std::int16_t>(first + static_cast<std::int16_t>(i - 1)))) << i;
}

}  // namespace
}  // namespace parlando::testing
