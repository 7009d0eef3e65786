// A whole meeting on the real adapters: a private PulseAudio whose microphone
// speaks one sentence while its default output plays another, the local
// recognition service answering per channel, the files on disk, then the
// folder transcribed again. A second run, in a child process, is killed with
// SIGKILL in the middle of the meeting.
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

// The app's meeting parts, built as the composition root builds them.
struct RealMeeting {
    QtMainLoop loop;
    MemoryLog log;
    MemorySettings settings;
    bool listening = (settings.setBool(AudioCapture::mutedKey, false), true);
    PulseAudioBackend backend{loop, log};
    SoxrConverterFactory converters;
    AudioCapture audio{loop, settings, log, backend, converters};
    AudioCaptureMicrophone microphone{audio};
    QtWebSocketFactory sockets;
    DeepgramRecognitionFactory recognition{sockets, log};
    FakeKeySource keys;
    PulseSystemAudioCaptureFactory systemAudio{loop, log, converters};
    FileMeetingStorage storage;
    std::shared_ptr<MeetingSession> session =
        MeetingSession::create(MeetingServices{loop, log, keys, microphone, recognition, systemAudio, storage});

    // The engine knows the server's devices a moment after it connects, as at the app's start.
    void startWhenTheMicrophoneRuns() {
        auto running = [&] {
            try {
                return audio.ensureRunning(), audio.isAvailable();
            } catch (const std::exception&) { return false; }
        };
        ASSERT_TRUE(pumpUntil(running, 10s)) << log.lines().back();
        session->start();
    }
};

struct Servers {
    TempDir dir{"parlando-meeting-run"};
    std::optional<SoundServer> sound;
    std::optional<RecognitionService> service;
    std::vector<Process> keep;
    fs::path first, second;
    std::map<std::string, std::string> env;

    bool start() {
        for (const char* tool : {"pulseaudio", "pacat", "sox", "espeak-ng", "soxi"})
            if (!haveProgram(tool)) return false;
        sound.emplace(dir.path());
        for (const char* sub : {"1", "2"}) fs::create_directories(dir.path() / sub);
        first = speechRaw(dir.path() / "1", "Good afternoon, this is my side of the call");
        second = speechRaw(dir.path() / "2", "Hello everybody, the quarterly numbers look fine");
        std::ofstream(dir.path() / "script") << "after 200000 final ch=0 Добрый день\n"
                                                "after 300000 final ch=1 Здравствуйте, коллеги\n";
        service.emplace(dir.path(), std::vector<std::string>{"--key", "test-key", "--script", (dir.path() / "script").string()});
        env = isolatedEnv(dir.path(), {sound->env(), {{"PARLANDO_DEEPGRAM_URL", service->base()}, {"DEEPGRAM_API_KEY", "test-key"}}});
        // The documents folder as xdg-user-dirs names it.
        fs::create_directories(dir.path() / "home/.config");
        std::ofstream(dir.path() / "home/.config/user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n";
        applyToProcess(env);
        wakeNullSinks(*sound, keep, {"micfeed", "speakers"});
        return true;
    }
    void play(const fs::path& raw, const char* sink) {
        keep.push_back(Process::spawn(
            {"pacat", "-p", "-d", sink, "--format=s16le", "--rate=16000", "--channels=1", raw.string()}, sound->env()));
    }
};

std::vector<std::int16_t> wavSamples(const fs::path& wav, const fs::path& raw) {
    return run({"sox", wav.string(), "-t", "raw", "-e", "signed-integer", "-b", "16", "-L", raw.string()}), readRaw(raw);
}

::testing::Matcher<std::string> bothSides() {
    using ::testing::HasSubstr;
    return ::testing::AllOf(HasSubstr("] [Я] Добрый день\n"), HasSubstr("] [Собеседник] Здравствуйте, коллеги\n"));
}

TEST(MeetingRealRun, BothSidesRecordedTranscribedSavedAndTranscribedAgain) {
    qtApp();
    Servers servers;
    if (!servers.start()) GTEST_SKIP() << "sound tools missing";
    RealMeeting m;
    m.startWhenTheMicrophoneRuns();
    const auto startedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(pumpUntil([&] { return m.session->systemAudioPipelineUp(); }, 10s)) << m.log.lines().back();
    EXPECT_EQ(m.session->meetingFolderURL()->parent_path(), servers.dir.path() / "home/Dokumente/Parlando-Recordings");
    pumpFor(500ms);
    servers.play(servers.first, "micfeed");
    servers.play(servers.second, "speakers");
    pumpFor(8s);  // both sentences and both scripted results are through
    m.session->stop();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
    ASSERT_TRUE(pumpUntil([&] { return !m.session->tailPending(); }, 3s));

    const fs::path folder = *m.session->meetingFolderURL();
    const std::string transcript = readFile(folder / "transcript.md");
    EXPECT_THAT(transcript, bothSides());
    const auto self = wavSamples(folder / "self.wav", servers.dir.path() / "self.raw");
    const auto others = wavSamples(folder / "others.wav", servers.dir.path() / "others.raw");
    EXPECT_EQ(self.size(), others.size());
    EXPECT_NEAR(static_cast<double>(self.size()) / 16000, seconds, 0.3);
    const auto first = readRaw(servers.first), second = readRaw(servers.second);
    EXPECT_GT(bestCorrelation(first, self), 0.9);
    EXPECT_GT(bestCorrelation(second, others), 0.9);
    EXPECT_LT(bestCorrelation(second, self), 0.3);
    // The service heard the two sides interleaved, each in its own channel (0 the user).
    const std::string stream = servers.service->recorded();
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
                           servers.env, 60s);
    ASSERT_EQ(again.exitCode, 0) << again.out;
    EXPECT_THAT(readFile(folder / "transcript-full.md"), bothSides());
    EXPECT_EQ(readFile(folder / "self.wav") + readFile(folder / "others.wav") + readFile(folder / "transcript.md"),
              before + transcript);
}

// Run by the test below in a child process: a meeting that never ends.
TEST(MeetingRealRun, Child) {
    const char* marker = std::getenv("PARLANDO_MEETING_CHILD");
    if (marker == nullptr) GTEST_SKIP() << "only as the child of KilledMeetingLeavesReadableFiles";
    qtApp();
    RealMeeting m;
    m.startWhenTheMicrophoneRuns();
    std::ofstream(marker) << m.session->meetingFolderURL()->string();
    pumpFor(120s);
}

TEST(MeetingRealRun, KilledMeetingLeavesReadableFiles) {
    Servers servers;
    if (!servers.start()) GTEST_SKIP() << "sound tools missing";
    const auto marker = servers.dir.path() / "child-folder";
    servers.env["PARLANDO_MEETING_CHILD"] = marker.string();
    auto child = Process::spawn({"/proc/self/exe", "--gtest_filter=MeetingRealRun.Child"}, servers.env);
    ASSERT_TRUE(waitFor([&] { return !readFile(marker).empty(); }, 20s));
    const auto startedAt = std::chrono::steady_clock::now();
    const fs::path folder = readFile(marker);
    ASSERT_TRUE(waitFor([&] { return readFile(folder / "transcript.md").find("[Я] Добрый день\n") != std::string::npos; }, 20s));
    std::this_thread::sleep_for(1500ms);
    ::kill(child.pid(), SIGKILL);
    const double killedAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
    child.stop();
    for (const char* name : {"self.wav", "others.wav"}) {
        const auto info = run({"soxi", "-D", (folder / name).string()});
        EXPECT_NEAR(info.exitCode == 0 ? std::stod(info.out) : -9, killedAfter, 1.0) << name;
    }
}

}  // namespace
}  // namespace parlando::testing
