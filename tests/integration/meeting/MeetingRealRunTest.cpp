// A whole meeting on the real adapters, in a child process: a private
// PulseAudio whose microphone speaks one sentence while its default output
// plays another, the local recognition service answering per channel. The
// child is killed with SIGKILL in the middle of the meeting; the files it
// leaves are read, and the folder is transcribed again.
#include "../audio/AudioTestSupport.h"
#include "testenv/TestEnv.h"
#include "audio/AudioCapture.h"
#include "audio/adapters/PulseAudioBackend.h"
#include "audio/adapters/PulseSystemAudioCapture.h"
#include "audio/adapters/SoxrConverter.h"
#include "core/adapters/QtMainLoop.h"
#include "dictation/DictationWiring.h"
#include "fakes/FakeDictation.h"
#include "fakes/Fakes.h"
#include "meeting/MeetingSession.h"
#include "meeting/adapters/FileMeetingStorage.h"
#include "speech/adapters/QtWebSocket.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

namespace parlando::testing {
namespace {

namespace fs = std::filesystem;

std::vector<std::int16_t> wavSamples(const fs::path& wav, const fs::path& raw) {
    return run({"sox", wav.string(), "-t", "raw", "-e", "signed-integer", "-b", "16", "-L", raw.string()}),
           readRaw(raw);
}

::testing::Matcher<std::string> bothSides() {
    using ::testing::HasSubstr;
    return ::testing::AllOf(HasSubstr("] [Я] Добрый день\n"), HasSubstr("] [Собеседник] Здравствуйте, коллеги\n"));
}

// Run by the test below in a child process: a meeting that never ends.
TEST(MeetingRealRun, Child) {
    const char* marker = std::getenv("PARLANDO_MEETING_CHILD");
    if (marker == nullptr)
        GTEST_SKIP() << "only as the child of KilledMeetingRecordedBothSidesReadablyAndIsTranscribedAgain";
    qtApp();
    // The app's meeting parts, built as the composition root builds them.
    QtMainLoop loop;
    MemoryLog log;
    MemorySettings settings;
    settings.setBool(AudioCapture::mutedKey, false);
    PulseAudioBackend backend{loop, log};
    SoxrConverterFactory converters;
    AudioCapture audio{loop, settings, log, backend, converters};
    AudioCaptureMicrophone microphone{audio};
    QtWebSocketFactory sockets;
    DeepgramRecognitionFactory recognition{sockets, log};
    FakeKeySource keys;
    PulseSystemAudioCaptureFactory systemAudio{loop, log, converters};
    FileMeetingStorage storage;
    auto session =
        MeetingSession::create(MeetingServices{loop, log, keys, microphone, recognition, systemAudio, storage});
    // The engine knows the server's devices a moment after it connects, as at the app's start.
    auto running = [&] {
        try {
            return audio.ensureRunning(), audio.isAvailable();
        } catch (const std::exception&) {
            return false;
        }
    };
    ASSERT_TRUE(pumpUntil(running, 10s)) << log.lines().back();
    session->start();
    std::ofstream out(marker);
    out << session->meetingFolderURL()->string() << std::endl;
    ASSERT_TRUE(pumpUntil([&] { return session->systemAudioPipelineUp(); }, 10s)) << log.lines().back();
    out << "system audio up" << std::endl;
    pumpFor(120s);
}

TEST(MeetingRealRun, KilledMeetingRecordedBothSidesReadablyAndIsTranscribedAgain) {
    for (const char* tool : {"pulseaudio", "pacat", "sox", "espeak-ng", "soxi"})
        if (!haveProgram(tool)) GTEST_SKIP() << tool << " missing";
    TempDir tmp{"parlando-meeting-run"};
    const fs::path dir = tmp.path();
    SoundServer sound(dir);
    for (const char* sub : {"1", "2"}) fs::create_directories(dir / sub);
    const fs::path firstRaw = speechRaw(dir / "1", "Good afternoon, this is my side of the call");
    const fs::path secondRaw = speechRaw(dir / "2", "Hello everybody, the quarterly numbers look fine");
    std::ofstream(dir / "script") << "after 200000 final ch=0 Добрый день\n"
                                     "after 300000 final ch=1 Здравствуйте, коллеги\n";
    RecognitionService service(dir, {"--key", "test-key", "--script", (dir / "script").string()});
    auto env =
        isolatedEnv(dir, {sound.env(), {{"PARLANDO_DEEPGRAM_URL", service.base()}, {"DEEPGRAM_API_KEY", "test-key"}}});
    // The documents folder as xdg-user-dirs names it.
    fs::create_directories(dir / "home/.config");
    std::ofstream(dir / "home/.config/user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n";
    std::vector<Process> keep;
    wakeNullSinks(sound, keep, {"micfeed", "speakers"});
    auto play = [&](const fs::path& raw, const char* sink) {
        return Process::spawn(
            {"pacat", "-p", "-d", sink, "--format=s16le", "--rate=16000", "--channels=1", raw.string()}, sound.env());
    };
    const auto marker = dir / "child-folder";
    env["PARLANDO_MEETING_CHILD"] = marker.string();
    auto child = Process::spawn({"/proc/self/exe", "--gtest_filter=MeetingRealRun.Child"}, env);
    ASSERT_TRUE(waitFor([&] { return !readFile(marker).empty(); }, 20s));
    const auto startedAt = std::chrono::steady_clock::now();
    const fs::path folder = readFile(marker).substr(0, readFile(marker).find('\n'));
    ASSERT_TRUE(waitFor([&] { return readFile(marker).find("system audio up") != std::string::npos; }, 20s));
    EXPECT_EQ(folder.parent_path(), dir / "home/Dokumente/Parlando-Recordings");
    std::this_thread::sleep_for(500ms);
    Process mine = play(firstRaw, "micfeed"), theirs = play(secondRaw, "speakers");
    EXPECT_TRUE(mine.wait(20s) == 0 && theirs.wait(20s) == 0);
    ASSERT_TRUE(waitFor([&] { return ::testing::Matches(bothSides())(readFile(folder / "transcript.md")); }, 20s));
    std::this_thread::sleep_for(1500ms);
    ::kill(child.pid(), SIGKILL);
    const double killedAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
    child.stop();

    const std::string transcript = readFile(folder / "transcript.md");
    for (const char* name : {"self.wav", "others.wav"}) {
        const auto info = run({"soxi", "-D", (folder / name).string()});
        EXPECT_NEAR(info.exitCode == 0 ? std::stod(info.out) : -9, killedAfter, 1.0) << name;
    }
    const auto self = wavSamples(folder / "self.wav", dir / "self.raw");
    const auto others = wavSamples(folder / "others.wav", dir / "others.raw");
    const auto first = readRaw(firstRaw), second = readRaw(secondRaw);
    EXPECT_GT(bestCorrelation(first, self), 0.9);
    EXPECT_GT(bestCorrelation(second, others), 0.9);
    EXPECT_LT(bestCorrelation(second, self), 0.3);
    // The service heard the two sides interleaved, each in its own channel (0 the user).
    const std::string stream = service.recorded();
    std::vector<std::int16_t> channel[2];
    for (std::size_t i = 0; i + 4 <= stream.size(); i += 4)
        for (int c = 0; c < 2; ++c) channel[c].push_back(static_cast<std::int16_t>(
                                       static_cast<std::uint8_t>(stream[i + 2 * c]) | (stream[i + 2 * c + 1] << 8)));
    EXPECT_GT(bestCorrelation(first, channel[0]), 0.9);
    EXPECT_GT(bestCorrelation(second, channel[1]), 0.9);

    // Transcribed again: the same lines, timed from the recorded start; originals untouched.
    const std::string before = readFile(folder / "self.wav") + readFile(folder / "others.wav");
    const auto again = run({std::string(PARLANDO_BINARY_DIR) + "/apps/parlando-transcribe/parlando-transcribe",
                            "--fast", "--meeting", folder.string()},
                           env, 60s);
    ASSERT_EQ(again.exitCode, 0) << again.out;
    EXPECT_THAT(readFile(folder / "transcript-full.md"), bothSides());
    EXPECT_EQ(readFile(folder / "self.wav") + readFile(folder / "others.wav") + readFile(folder / "transcript.md"),
              before + transcript);
}

}  // namespace
}  // namespace parlando::testing
