// A whole meeting on the real adapters: a private PulseAudio whose microphone
// speaks one sentence while its default output plays another, the local
// recognition service answering per channel, the files on disk. A second run
// in a child process is killed with SIGKILL in the middle of the meeting.
#include "../speech/SpeechTestSupport.h"
#include "audio/AudioCapture.h"
#include "audio/adapters/PulseAudioBackend.h"
#include "audio/adapters/PulseSystemAudioCapture.h"
#include "audio/adapters/SoxrConverter.h"
#include "speech/adapters/QtWebSocket.h"
#include "core/adapters/QtMainLoop.h"
#include "dictation/DictationWiring.h"
#include "fakes/FakeDictation.h"
#include "fakes/Fakes.h"
#include "meeting/MeetingSession.h"
#include "meeting/adapters/FileMeetingStorage.h"

#include <QThread>
#include <sndfile.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>

namespace parlando::speechtest {
namespace {

using testenv::Process;
using testing::FakeKeySource;
using testing::MemoryLog;

bool pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

std::vector<std::int16_t> samples(const std::string& bytes, int channels = 1, int channel = 0) {
    std::vector<std::int16_t> out(bytes.size() / 2 / static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < out.size(); ++i)
        std::memcpy(&out[i], bytes.data() + (i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel)) * 2, 2);
    return out;
}

std::vector<std::int16_t> readWav(const fs::path& p, SF_INFO* info) {
    SNDFILE* f = sf_open(p.c_str(), SFM_READ, info);
    if (!f) return {};
    std::vector<std::int16_t> out(static_cast<std::size_t>(info->frames));
    sf_readf_short(f, out.data(), info->frames);
    sf_close(f);
    return out;
}

// How well `got` holds `speech`: the best normalised correlation near the
// offset of their first loud samples.
double match(const std::vector<std::int16_t>& speech, const std::vector<std::int16_t>& got) {
    auto firstLoud = [](const std::vector<std::int16_t>& s) {
        return std::find_if(s.begin(), s.end(), [](std::int16_t v) { return std::abs(v) > 2000; }) - s.begin();
    };
    const long a = firstLoud(speech), b = firstLoud(got);
    double best = 0;
    for (long lag = b - a - 400; lag <= b - a + 400; lag += 1) {
        double xy = 0, xx = 0, yy = 0;
        for (std::size_t i = 0; i < speech.size(); ++i) {
            const long j = static_cast<long>(i) + lag;
            if (j < 0 || j >= static_cast<long>(got.size())) continue;
            const double x = speech[i], y = got[static_cast<std::size_t>(j)];
            xy += x * y, xx += x * x, yy += y * y;
        }
        best = std::max(best, xy / std::sqrt(xx * yy + 1e-9));
    }
    return best;
}

std::string speechRaw(const fs::path& dir, const std::string& name, const std::string& words) {
    const auto wav = dir / (name + ".wav"), raw = dir / (name + ".raw");
    testenv::run({"espeak-ng", "-w", wav.string(), words});
    testenv::run({"sox", wav.string(), "-t", "raw", "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer", "-L",
                  raw.string()});
    return raw.string();
}

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
    std::shared_ptr<MeetingSession> session;
    std::vector<std::string> lines;

    RealMeeting() {
        keys.key = "k";
        session = MeetingSession::create(MeetingServices{loop, log, keys, microphone, recognition, systemAudio, storage});
        session->onTranscriptLine = [this](const std::string& l) { lines.push_back(l); };
    }
};

struct Servers {
    testenv::TempDir dir{"parlando-meeting-run"};
    std::unique_ptr<testenv::SoundServer> sound;
    std::unique_ptr<FakeDeepgram> service;
    std::vector<Process> keep;
    std::string first, second;

    bool start() {
        for (const char* tool : {"pulseaudio", "pacat", "sox", "espeak-ng", "soxi"})
            if (!testenv::haveProgram(tool)) return false;
        sound = std::make_unique<testenv::SoundServer>(dir.path());
        first = speechRaw(dir.path(), "first", "Good afternoon, this is my side of the call");
        second = speechRaw(dir.path(), "second", "Hello everybody, the quarterly numbers look fine");
        std::ofstream(dir.path() / "script") << "after 200000 final ch=0 Добрый день\n"
                                                "after 300000 final ch=1 Здравствуйте, коллеги\n";
        service = std::make_unique<FakeDeepgram>(dir.path(), std::vector<std::string>{
                                                                 "--key", "k", "--script", (dir.path() / "script").string()});
        auto env = testenv::isolatedEnv(dir.path(), {sound->env(), {{"PARLANDO_DEEPGRAM_URL", service->base()}}});
        testenv::applyToProcess(env);
        // Null sinks idle on a long timer; a 20 ms reader and a suspend cycle wake them.
        for (const char* sink : {"micfeed", "speakers"}) {
            keep.push_back(Process::spawn({"pacat", "-r", "--latency-msec=20", "-d", std::string(sink) + ".monitor",
                                           "--format=s16le"},
                                          sound->env(), "/dev/null"));
            sound->pactl({"suspend-sink", sink, "1"});
            sound->pactl({"suspend-sink", sink, "0"});
        }
        return true;
    }
    void play(const std::string& raw, const char* sink) {
        keep.push_back(Process::spawn({"pacat", "-p", "-d", sink, "--format=s16le", "--rate=16000", "--channels=1", raw},
                                      sound->env()));
    }
};

QCoreApplication& qtApp() {
    static int argc = 1;
    static char name[] = "integration_meeting";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

TEST(MeetingRealRun, BothSidesRecordedTranscribedAndSaved) {
    qtApp();
    Servers servers;
    if (!servers.start()) GTEST_SKIP() << "sound tools missing";
    RealMeeting m;
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto startedAt = std::chrono::steady_clock::now();
    m.session->start();
    ASSERT_TRUE(pumpUntil([&] { return m.session->systemAudioPipelineUp(); }, 10s)) << m.log.lines().back();
    pumpUntil([] { return false; }, 500ms);
    servers.play(servers.first, "micfeed");
    servers.play(servers.second, "speakers");
    ASSERT_TRUE(pumpUntil([&] { return m.lines.size() == 2; }, 20s));
    pumpUntil([] { return false; }, 4000ms);  // both sentences are over
    m.session->stop();
    const double meetingSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
    ASSERT_TRUE(pumpUntil([&] { return !m.session->tailPending(); }, 3s));
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const double cpu = static_cast<double>(after.ru_utime.tv_sec - before.ru_utime.tv_sec + after.ru_stime.tv_sec -
                                           before.ru_stime.tv_sec) +
                       static_cast<double>(after.ru_utime.tv_usec - before.ru_utime.tv_usec + after.ru_stime.tv_usec -
                                           before.ru_stime.tv_usec) / 1e6;
    std::fprintf(stderr, "meeting: %.1f s, process CPU %.2f %% of one core\n", meetingSeconds, 100 * cpu / meetingSeconds);

    const std::string transcript = readFile(*m.session->transcriptURL());
    EXPECT_NE(transcript.find("] [Я] Добрый день\n"), std::string::npos) << transcript;
    EXPECT_NE(transcript.find("] [Собеседник] Здравствуйте, коллеги\n"), std::string::npos) << transcript;
    SF_INFO selfInfo{}, othersInfo{};
    const auto self = readWav(*m.session->micAudioURL(), &selfInfo);
    const auto others = readWav(*m.session->systemAudioURL(), &othersInfo);
    EXPECT_EQ(selfInfo.frames, othersInfo.frames);
    EXPECT_NEAR(static_cast<double>(selfInfo.frames) / 16000, meetingSeconds, 0.3);
    const auto first = samples(readFile(servers.first)), second = samples(readFile(servers.second));
    EXPECT_GT(match(first, self), 0.9);
    EXPECT_GT(match(second, others), 0.9);
    EXPECT_LT(match(second, self), 0.3);
    // The service heard the two sides interleaved, each in its own channel.
    const std::string stream = servers.service->recorded();
    EXPECT_GT(match(first, samples(stream, 2, 0)), 0.9);
    EXPECT_GT(match(second, samples(stream, 2, 1)), 0.9);
    EXPECT_TRUE(m.log.contains("meeting: tail flushed, files closed"));
}

// Run by the test below in a child process: a meeting that never ends.
TEST(MeetingRealRun, Child) {
    const char* marker = std::getenv("PARLANDO_MEETING_CHILD");
    if (marker == nullptr) GTEST_SKIP() << "only as the child of KilledMeetingLeavesReadableFiles";
    qtApp();
    RealMeeting m;
    m.session->start();
    std::ofstream(marker) << m.session->meetingFolderURL()->string();
    pumpUntil([] { return false; }, 120s);
}

TEST(MeetingRealRun, KilledMeetingLeavesReadableFiles) {
    Servers servers;
    if (!servers.start()) GTEST_SKIP() << "sound tools missing";
    const auto marker = servers.dir.path() / "child-folder";
    auto env = testenv::isolatedEnv(servers.dir.path(), {servers.sound->env(),
                                                         {{"PARLANDO_DEEPGRAM_URL", servers.service->base()},
                                                          {"PARLANDO_MEETING_CHILD", marker.string()}}});
    auto child = Process::spawn({"/proc/self/exe", "--gtest_filter=MeetingRealRun.Child"}, env,
                                servers.dir.path() / "child.out", servers.dir.path() / "child.err");
    ASSERT_TRUE(testenv::waitFor([&] { return !readFile(marker).empty(); }, 20s)) << readFile(servers.dir.path() / "child.err");
    const auto startedAt = std::chrono::steady_clock::now();
    const fs::path folder = readFile(marker);
    servers.play(servers.first, "micfeed");
    ASSERT_TRUE(testenv::waitFor([&] { return readFile(folder / "transcript.md").find("[Я] Добрый день") != std::string::npos; }, 20s));
    std::this_thread::sleep_for(1500ms);
    ::kill(child.pid(), SIGKILL);
    const double killedAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
    child.stop();
    for (const char* name : {"self.wav", "others.wav"}) {
        const auto info = testenv::run({"soxi", "-D", (folder / name).string()});
        ASSERT_EQ(info.exitCode, 0) << name;
        EXPECT_NEAR(std::stod(info.out), killedAfter, 1.0) << name;
    }
    EXPECT_NE(readFile(folder / "transcript.md").find("[Я] Добрый день\n"), std::string::npos);
}

}  // namespace
}  // namespace parlando::speechtest
