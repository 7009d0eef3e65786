#include "core/VirtualMainLoop.h"
#include "fakes/FakeDictation.h"
#include "fakes/FakeMeeting.h"
#include "fakes/Fakes.h"
#include "meeting/MeetingSession.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace parlando::testing {
namespace {

// Repeating timers that fire `late(n)` after they were due, late firings not
// made up: a busy desktop. Everything else is the virtual loop underneath.
struct JitteryLoop final : MainLoop {
    static constexpr TimerId mixer = 1'000'000;  // the one repeating timer; apart from the base's ids
    JitteryLoop(VirtualMainLoop& b, std::function<Duration(int)> l) : base(b), late(std::move(l)) {}
    void post(std::function<void()> fn) override { base.post(std::move(fn)); }
    TimerId after(Duration d, std::function<void()> fn) override { return base.after(d, std::move(fn)); }
    TimerId every(Duration interval, std::function<void()> fn) override {
        chain = base.after(interval + late(firings++), [this, interval, fn] { fn(), every(interval, fn); });
        return mixer;
    }
    void cancel(TimerId id) override { base.cancel(id == mixer ? chain : id); }
    MonoTime now() const override { return base.now(); }
    WallTime wallNow() const override { return base.wallNow(); }
    bool isMainThread() const override { return true; }
    VirtualMainLoop& base;
    std::function<Duration(int)> late;
    TimerId chain = 0;
    int firings = 0;
};

struct MeetingRig {
    // 09:30:00 on 14 March 2026, UTC.
    VirtualMainLoop loop{WallTime(std::chrono::seconds(1'773'480'600))};
    MemoryLog log;
    FakeKeySource keys;
    FakeMicrophone mic;
    FakeRecognitionFactory recognition;
    FakeSystemAudioCapture systemAudio;
    MemoryStorage storage;
    std::shared_ptr<MeetingSession> session;
    std::vector<std::string> lines, errors;

    explicit MeetingRig(MainLoop* other = nullptr) {
        setenv("TZ", "UTC", 1);
        tzset();
        auto env = [](const char* name) { return std::string(name) == "HOME" ? std::optional<std::string>("/h") : std::nullopt; };
        session = MeetingSession::create(
            MeetingServices{other ? *other : loop, log, keys, mic, recognition, systemAudio, storage, env});
        session->onTranscriptLine = [this](const std::string& l) { lines.push_back(l); };
        session->onError = [this](const std::string& e) { errors.push_back(e); };
    }
    FakeRecognitionClient& client() { return *recognition.last(); }
    MemoryFile& file(const std::string& name) { return storage.files.at(*session->meetingFolderURL() / name); }
};

const std::filesystem::path root = "/h/Documents/Parlando-Recordings";

TEST(MeetingSession, FilesLinesLabelsTailsAndRefusals) {
    MeetingRig rig;
    rig.session->start();
    EXPECT_EQ(*rig.session->meetingFolderURL(), root / "2026-03-14-0930-meeting");
    EXPECT_EQ(rig.recognition.meetingClients, 1);
    rig.loop.advanceBy(seconds(27));
    for (auto [text, isFinal, channel] : std::vector<std::tuple<const char*, bool, std::optional<int>>>{
             {"  hello \n", true, 1}, {"Добрый день", true, 0}, {"x", true, {}}, {"y", true, 2}, {"z", false, 0}, {" \n", true, 0}})
        rig.client().transcript(text, isFinal, channel);
    rig.loop.runPending();
    const std::vector<std::string> expected{"[09:30:27] [Собеседник] hello", "[09:30:27] [Я] Добрый день",
                                            "[09:30:27] x", "[09:30:27] y"};
    EXPECT_EQ(rig.lines, expected);
    EXPECT_THROW(rig.session->start(), MeetingSession::SessionError);
    EXPECT_EQ(rig.recognition.made(), 1u);

    // The next meeting, started within the old one's tail in the same minute, gets a folder of its own;
    // the old tail's late lines and its end keep to the old meeting.
    auto& old = rig.client();
    const auto oldFolder = *rig.session->meetingFolderURL();
    rig.session->stop();
    EXPECT_EQ(old.finishes(), 1);
    rig.loop.advanceBy(seconds(0.5));
    rig.session->start();
    EXPECT_EQ(*rig.session->meetingFolderURL(), root / "2026-03-14-0930-meeting-2");
    old.transcript("late words", true, 0);
    rig.loop.runPending();
    EXPECT_NE(rig.storage.files.at(oldFolder / "transcript.md").text.find("[Я] late words"), std::string::npos);
    EXPECT_EQ(rig.file("transcript.md").text.find("late words"), std::string::npos);
    EXPECT_EQ(rig.lines, expected) << "the panel shows the new meeting";
    rig.loop.advanceBy(seconds(1.1));
    EXPECT_EQ(old.disconnects(), 1);
    EXPECT_TRUE(rig.storage.files.at(oldFolder / "self.wav").closed);
    EXPECT_FALSE(rig.file("transcript.md").closed);
    // A tail ends once the service has closed; quitting ends it at once.
    rig.session->stop();
    rig.client().close(1000);
    rig.loop.runPending();
    EXPECT_TRUE(rig.file("others.wav").closed);
    rig.session->start();
    rig.session->shutdown();
    EXPECT_TRUE(rig.file("transcript.md").closed && !rig.session->tailPending());

    rig.storage.failCreate = true;
    EXPECT_THROW(rig.session->start(), MeetingSession::SessionError);
    EXPECT_EQ(rig.recognition.made(), 3u);
}

// System audio that fails, a full disk and lost connections: each told once,
// and the meeting goes on.
TEST(MeetingSession, FailuresAreToldOnceAndEachLostConnectionReconnectsOnceWithGrowingDelays) {
    MeetingRig rig;
    rig.session->start();
    rig.systemAudio.last().pendingStart(SystemAudioError{SystemAudioError::Kind::streamStart, "refused"});
    EXPECT_TRUE(rig.log.contains("meeting: system audio failed to start — Failed to start system-audio stream: refused. Continuing mic-only."));
    std::optional<std::string> failure = "none yet";
    rig.session->restartSystemAudio([&](const std::optional<std::string>& f) { failure = f; });
    rig.systemAudio.last().pendingStart(std::nullopt);
    EXPECT_TRUE(!failure && rig.session->systemAudioPipelineUp());
    rig.systemAudio.last().onError("the sound server went away");
    rig.storage.diskFull = true;
    rig.loop.advanceBy(seconds(3));
    rig.client().transcript("still here", true, 0);
    rig.loop.runPending();
    EXPECT_EQ(rig.lines.size(), 1u);
    ASSERT_EQ(rig.errors.size(), 2u);
    EXPECT_EQ(rig.errors[0], "System audio capture failed: the sound server went away");
    EXPECT_EQ(rig.log.count("meeting: audio write failed — No space left on device"), 2u);  // one per file
    EXPECT_EQ(rig.client().sent().size(), 140u);  // 3 s less the mixer's allowance

    for (int attempt = 1; attempt <= 17; ++attempt) {
        auto& c = rig.client();
        c.fail("connection reset");  // a lost connection: an error, then its close
        c.close(1006);
        rig.loop.runPending();
        const int delay = std::min(attempt * 2, 30);
        rig.loop.advanceBy(seconds(delay - 0.1));
        EXPECT_EQ(rig.recognition.made(), static_cast<std::size_t>(attempt));
        rig.loop.advanceBy(seconds(0.1));
        EXPECT_EQ(rig.recognition.made(), static_cast<std::size_t>(attempt + 1)) << "after " << delay << " s";
        c.close(1001);  // the replaced client's late close starts nothing
        rig.loop.runPending();
    }
    rig.client().open();
    rig.client().close(1011);
    rig.loop.runPending();
    EXPECT_EQ(rig.log.lines().back(), "meeting: reconnecting in 2s (attempt 1)");
    rig.session->stop();
    EXPECT_TRUE(rig.systemAudio.last().stops == 1 && !rig.session->systemAudioPipelineUp());
    rig.loop.advanceBy(seconds(60));
    EXPECT_EQ(rig.recognition.made(), 18u);
    EXPECT_EQ(rig.errors.size(), 2u);
}

// Ticks late by up to 200 ms with a 1.5 s stall every five minutes lose
// nothing; a 3 s stall becomes 1 s of silence, logged once. Either way the
// recordings are as long as the meeting. Audio that comes in bursts up to
// 160 ms late is recorded whole, with no silence between its chunks.
TEST(MeetingSession, MixerKeepsToTheClockOnABusyLoop) {
    struct Case {
        double minutes;
        std::function<Duration(int)> late;
        std::size_t silentBlocks;
        bool stall = false;
        Duration burst = millis(20), lag = millis(0);
    };
    for (const Case& tc : {Case{60, [](int n) { return millis(n % 1500 == 777 ? 1500 : (n * 7919) % 201); }, 0},
                           Case{1, [](int n) { return millis(n == 100 ? 3000 : n % 3 * 30); }, 50, true},
                           Case{10.0 / 60, [](int) { return millis(0); }, 9, false, millis(180), millis(70)}}) {
        VirtualMainLoop base{WallTime(std::chrono::seconds(1'773'480'600))};
        JitteryLoop jittery(base, tc.late);
        MeetingRig rig(&jittery);
        std::int64_t sent = 0;
        // The audio threads deliver every 20 ms (or in bursts), 10 ms ahead of the mixer's clock.
        base.every(tc.burst, [&] {
            for (; sent < (base.now() - tc.lag) / millis(20); ++sent) {
                const std::vector<std::int16_t> samples(320, static_cast<std::int16_t>(sent % 30000 + 1));
                const AudioBytes chunk(reinterpret_cast<const std::uint8_t*>(samples.data()),
                                       reinterpret_cast<const std::uint8_t*>(samples.data() + 320));
                rig.mic.deliver(chunk);
                if (!rig.systemAudio.made.empty()) rig.systemAudio.last().onAudioChunk(chunk);
            }
        });
        base.advanceBy(millis(10));
        rig.session->start();
        rig.client().keepSent = false;
        base.advanceBy(seconds(tc.minutes * 60));
        rig.session->stop();
        const std::size_t due = static_cast<std::size_t>((base.now() - millis(10)) / millis(20)) * 320;
        for (const char* name : {"self.wav", "others.wav"}) {
            const auto& f = rig.file(name);
            const auto& b = f.blocks;
            EXPECT_LE(f.frames > due ? f.frames - due : due - f.frames, 320u) << name;
            EXPECT_NEAR(std::count(b.begin(), b.end(), 0), tc.silentBlocks, 1.0) << name;
            std::size_t lead = 0, end = b.size();
            while (lead < end && b[lead] == 0) ++lead;
            while (end > lead && b[end - 1] == 0) --end;
            for (std::size_t i = lead; i < end && !tc.stall; ++i)
                ASSERT_EQ(b[i], static_cast<std::int16_t>((i - lead) % 30000 + 1)) << name << " " << i;
        }
        EXPECT_EQ(rig.log.count("meeting: mixer stalled"), tc.stall ? 1u : 0u);
    }
}

}  // namespace
}  // namespace parlando::testing
