#include "core/VirtualMainLoop.h"
#include "fakes/FakeDictation.h"
#include "fakes/FakeMeeting.h"
#include "fakes/Fakes.h"
#include "meeting/MeetingSession.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

namespace parlando::testing {
namespace {

AudioBytes chunkOf(std::size_t bytes, std::int16_t value) {
    AudioBytes out(bytes);
    for (std::size_t i = 0; i + 1 < bytes; i += 2) std::memcpy(out.data() + i, &value, 2);
    return out;
}

// A main loop whose repeating timers fire late like a busy desktop's: each
// firing comes `late(n)` after it was due, and late firings are not made up.
class JitteryLoop final : public MainLoop {
public:
    JitteryLoop(VirtualMainLoop& base, std::function<Duration(int)> late) : base_(base), late_(std::move(late)) {}
    void post(std::function<void()> fn) override { base_.post(std::move(fn)); }
    TimerId after(Duration d, std::function<void()> fn) override { return base_.after(d, std::move(fn)); }
    TimerId every(Duration interval, std::function<void()> fn) override {
        const TimerId id = ++next_;
        arm(id, interval, std::make_shared<std::function<void()>>(std::move(fn)));
        return id;
    }
    void cancel(TimerId id) override {
        if (auto it = chains_.find(id); it != chains_.end()) base_.cancel(it->second), chains_.erase(it);
        base_.cancel(id);
    }
    MonoTime now() const override { return base_.now(); }
    WallTime wallNow() const override { return base_.wallNow(); }
    bool isMainThread() const override { return true; }

private:
    void arm(TimerId id, Duration interval, std::shared_ptr<std::function<void()>> fn) {
        chains_[id] = base_.after(interval + late_(firings_++), [this, id, interval, fn] {
            (*fn)();
            if (chains_.count(id)) arm(id, interval, fn);
        });
    }
    VirtualMainLoop& base_;
    std::function<Duration(int)> late_;
    std::map<TimerId, TimerId> chains_;
    TimerId next_ = 1'000'000'000;
    int firings_ = 0;
};

struct MeetingRig {
    // 09:30:00 on 14 March 2026, UTC.
    VirtualMainLoop loop{WallTime(std::chrono::seconds(1'773'480'600))};
    MemoryLog log;
    FakeKeySource keys;
    FakeMicrophone mic;
    FakeRecognitionFactory recognition;
    FakeSystemAudioFactory systemAudio;
    MemoryStorage storage;
    std::shared_ptr<MeetingSession> session;
    std::vector<std::string> lines, errors;
    std::vector<bool> states, systemStates;

    explicit MeetingRig(MainLoop* over = nullptr) {
        setenv("TZ", "UTC", 1);
        tzset();
        auto env = [](const char* name) -> std::optional<std::string> {
            if (std::string(name) == "HOME") return std::string("/home/u");
            return std::nullopt;
        };
        session = MeetingSession::create(
            MeetingServices{over ? *over : loop, log, keys, mic, recognition, systemAudio, storage, env});
        session->onTranscriptLine = [this](const std::string& l) { lines.push_back(l); };
        session->onError = [this](const std::string& e) { errors.push_back(e); };
        session->onStateChange = [this](bool r) { states.push_back(r); };
        session->onSystemAudioStateChange = [this](bool up) { systemStates.push_back(up); };
    }
    std::shared_ptr<FakeRecognitionClient> client() {
        auto c = recognition.last();
        if (!c) throw std::runtime_error("no client");
        return c;
    }
    FakeSystemAudioCapture& capture() {
        if (systemAudio.made.empty()) throw std::runtime_error("no capture");
        return *systemAudio.made.back();
    }
    std::shared_ptr<MemoryFile> file(const std::string& name) { return storage.file(*session->meetingFolderURL() / name); }
    void tick() { loop.advanceBy(millis(20)); }
};

const std::string root = "/home/u/Documents/Parlando-Recordings/";

TEST(MeetingSession, StartsFilesLabelsLinesAndRefusals) {
    MeetingRig rig;
    rig.session->start();
    EXPECT_EQ(rig.session->meetingFolderURL()->string(), root + "2026-03-14-0930-meeting");
    EXPECT_EQ(rig.recognition.meetingClients, 1);
    EXPECT_TRUE(rig.log.contains("meeting: started -> " + root + "2026-03-14-0930-meeting"));
    EXPECT_EQ(rig.states, std::vector<bool>{true});

    rig.loop.advanceBy(seconds(27));
    auto c = rig.client();
    struct Result { std::string text; bool isFinal; std::optional<int> channel; };
    for (const Result& r : std::vector<Result>{{"  hello \n", true, 1}, {"Добрый день", true, 0}, {"no channel", true, {}},
                                               {"third", true, 2}, {"interim", false, 0}, {" \n ", true, 0}})
        c->transcript(r.text, r.isFinal, r.channel);
    rig.loop.runPending();
    const std::vector<std::string> expected{"[09:30:27] [Собеседник] hello", "[09:30:27] [Я] Добрый день",
                                            "[09:30:27] no channel", "[09:30:27] third"};
    EXPECT_EQ(rig.lines, expected);
    std::string text = "# Meeting 2026-03-14-0930-meeting\n\n";
    for (const auto& l : expected) text += l + "\n";
    EXPECT_EQ(rig.file("transcript.md")->text, text);

    try {
        rig.session->start();
        ADD_FAILURE() << "a second start went through";
    } catch (const MeetingSession::SessionError& e) {
        EXPECT_STREQ(e.what(), "Meeting already in progress");
    }
    EXPECT_EQ(rig.recognition.made(), 1u);

    // Another meeting in the same minute gets its own folder.
    MeetingRig again;
    again.storage.dirs.insert(root + "2026-03-14-0930-meeting");
    again.storage.dirs.insert(root + "2026-03-14-0930-meeting-2");
    again.session->start();
    EXPECT_EQ(again.session->meetingFolderURL()->string(), root + "2026-03-14-0930-meeting-3");

    MeetingRig noKey;
    noKey.keys.key.reset();
    EXPECT_THROW(noKey.session->start(), MeetingSession::SessionError);
    MeetingRig readOnly;
    readOnly.storage.failCreate = true;
    try {
        readOnly.session->start();
    } catch (const MeetingSession::SessionError& e) {
        EXPECT_EQ(e.description(), "Failed to create transcript file: " + root + "2026-03-14-0930-meeting/transcript.md");
    }
    EXPECT_FALSE(readOnly.session->isRunning());
    EXPECT_EQ(readOnly.recognition.made(), 0u);
}

TEST(MeetingSession, MixerBlocksQueuesAndCap) {
    MeetingRig rig;
    rig.session->start();
    auto c = rig.client();
    // A partial block waits; silence goes out meanwhile.
    rig.mic.deliver(chunkOf(500, 7));
    rig.tick();
    EXPECT_EQ(rig.file("self.wav")->blocks.back(), 0);
    rig.mic.deliver(chunkOf(640, 7));
    rig.tick();
    EXPECT_EQ(rig.file("self.wav")->blocks.back(), 7);
    // 70 000 bytes: the oldest 6 000 go; the newest 64 000 (100 blocks) are mixed in order.
    rig.mic.deliver(chunkOf(6000 - 500, 1));
    for (int i = 0; i < 100; ++i) rig.mic.deliver(chunkOf(640, static_cast<std::int16_t>(100 + i)));
    rig.tick();
    for (int i = 1; i < 100; ++i) rig.tick();
    const auto& blocks = rig.file("self.wav")->blocks;
    EXPECT_EQ(blocks[2], 100);
    EXPECT_EQ(blocks[101], 199);
    EXPECT_EQ(rig.file("others.wav")->frames, rig.file("self.wav")->frames);
    EXPECT_EQ(rig.file("others.wav")->frames, 102u * 320);
    // Without system audio every odd sample of the stereo stream is zero.
    const auto sent = c->sent();
    ASSERT_EQ(sent.size(), 102u);
    std::int16_t s[640];
    std::memcpy(s, sent[1].data(), 1280);
    for (int i = 0; i < 320; ++i) ASSERT_TRUE(s[2 * i] == 7 && s[2 * i + 1] == 0) << i;
    // The files are committed about once a second.
    EXPECT_EQ(rig.file("self.wav")->committedFrames, 100u * 320);
}

TEST(MeetingSession, ReconnectDelaysOneReconnectPerLostConnection) {
    MeetingRig rig;
    rig.session->start();
    std::vector<std::string> expected;
    for (int attempt = 1; attempt <= 17; ++attempt) {
        auto c = rig.client();
        // A lost connection reports an error and then its close.
        c->fail("connection reset");
        c->close(1006);
        rig.loop.runPending();
        const int delay = std::min(attempt * 2, 30);
        expected.push_back("meeting: reconnecting in " + std::to_string(delay) + "s (attempt " + std::to_string(attempt) + ")");
        rig.loop.advanceBy(seconds(delay - 0.1));
        EXPECT_EQ(rig.recognition.made(), static_cast<std::size_t>(attempt)) << attempt;
        rig.loop.advanceBy(seconds(0.1));
        EXPECT_EQ(rig.recognition.made(), static_cast<std::size_t>(attempt + 1)) << attempt;
        c->close(1001);  // the replaced client's late close starts nothing
        rig.loop.runPending();
    }
    std::vector<std::string> logged;
    for (const auto& l : rig.log.lines())
        if (l.rfind("meeting: reconnecting", 0) == 0) logged.push_back(l);
    EXPECT_EQ(logged, expected);
    rig.client()->open();
    rig.client()->close(1011);
    rig.loop.runPending();
    EXPECT_EQ(rig.log.lines().back(), "meeting: reconnecting in 2s (attempt 1)");

    rig.session->stop();
    rig.client()->close(1000);
    rig.loop.advanceBy(seconds(60));
    EXPECT_EQ(rig.recognition.made(), 18u);
}

TEST(MeetingSession, TailsKeepToTheirOwnMeeting) {
    MeetingRig rig;
    rig.session->start();
    auto oldClient = rig.client();
    const auto oldFolder = *rig.session->meetingFolderURL();
    rig.loop.advanceBy(seconds(1));
    rig.session->stop();
    EXPECT_EQ(oldClient->finishes(), 1);
    EXPECT_TRUE(rig.log.contains("meeting: stopped (flushing tail)"));
    rig.loop.advanceBy(seconds(0.5));
    rig.session->start();  // within the old tail
    auto oldTranscript = rig.storage.file(oldFolder / "transcript.md");
    oldClient->transcript("late words", true, 0);
    rig.loop.runPending();
    EXPECT_NE(oldTranscript->text.find("[Я] late words"), std::string::npos);
    EXPECT_EQ(rig.file("transcript.md")->text.find("late words"), std::string::npos);
    EXPECT_TRUE(rig.lines.empty());  // the panel shows the new meeting

    rig.loop.advanceBy(seconds(1.1));
    EXPECT_EQ(oldClient->disconnects(), 1);
    EXPECT_TRUE(oldTranscript->closed && rig.storage.files.at(oldFolder / "self.wav")->closed);
    EXPECT_FALSE(rig.file("transcript.md")->closed);
    rig.client()->transcript("new words", true, 1);
    rig.loop.runPending();
    EXPECT_EQ(rig.lines, std::vector<std::string>{"[09:30:02] [Собеседник] new words"});

    // A tail ends as soon as the service has closed; quitting ends any tail at once.
    rig.session->stop();
    rig.client()->close(1000);
    rig.loop.runPending();
    EXPECT_TRUE(rig.file("self.wav")->closed);
    EXPECT_FALSE(rig.session->tailPending());
    rig.session->start();
    rig.session->shutdown();
    EXPECT_TRUE(rig.file("transcript.md")->closed);
    EXPECT_EQ(rig.states, (std::vector<bool>{true, false, true, false, true, false}));
}

TEST(MeetingSession, SystemAudioStatesErrorsAndRestart) {
    MeetingRig rig;
    rig.session->start();
    rig.capture().finishStart(SystemAudioError{SystemAudioError::Kind::streamStart, "refused"});
    EXPECT_TRUE(rig.log.contains(
        "meeting: system audio failed to start — Failed to start system-audio stream: refused. Continuing mic-only."));
    EXPECT_TRUE(rig.systemStates.empty());
    std::optional<std::optional<std::string>> result;
    rig.session->restartSystemAudio([&](const std::optional<std::string>& f) { result = f; });
    auto& capture = rig.capture();
    capture.finishStart();
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(result->has_value());
    EXPECT_EQ(rig.systemStates, std::vector<bool>{true});
    capture.deliver(chunkOf(640, 9));
    rig.tick();
    EXPECT_EQ(rig.file("others.wav")->blocks.back(), 9);
    capture.onError("the sound server went away");
    EXPECT_EQ(rig.errors, std::vector<std::string>{"System audio capture failed: the sound server went away"});
    rig.session->stop();
    EXPECT_EQ(capture.stops, 1);
    EXPECT_EQ(rig.systemStates, (std::vector<bool>{true, false}));
}

TEST(MeetingSession, FullDiskToldOnceAndTheMeetingGoesOn) {
    MeetingRig rig;
    rig.session->start();
    rig.storage.diskFull = true;
    rig.loop.advanceBy(seconds(3));
    rig.client()->transcript("still here", true, 0);
    rig.client()->transcript("and here", true, 1);
    rig.loop.runPending();
    EXPECT_EQ(rig.lines.size(), 2u);
    EXPECT_EQ(rig.errors.size(), 1u);
    EXPECT_EQ(rig.log.count("meeting: audio write failed — No space left on device"), 2u);  // one per file
    EXPECT_EQ(rig.log.count("meeting: write failed — No space left on device"), 1u);
    EXPECT_EQ(rig.client()->sent().size(), 150u);
}

// Ticks late by up to 200 ms with a 1.5 s stall every five minutes lose
// nothing; a 3 s stall becomes 1 s of silence, logged once. Either way the
// recordings are as long as the meeting.
TEST(MeetingSession, MixerKeepsToTheClockOnABusyLoop) {
    struct Case { double minutes; std::function<Duration(int)> late; std::size_t silentBlocks; };
    const std::vector<Case> cases{
        {60, [](int n) { return n % 1500 == 777 ? millis(1500) : millis((n * 7919) % 201); }, 0},
        {1, [](int n) { return n == 100 ? millis(3000) : millis(n % 3 * 30); }, 50},
    };
    for (const auto& tc : cases) {
        VirtualMainLoop base{WallTime(std::chrono::seconds(1'773'480'600))};
        JitteryLoop jittery(base, tc.late);
        MeetingRig rig(&jittery);
        std::int16_t n = 0;
        // The audio threads deliver every 20 ms, 10 ms ahead of the mixer's clock.
        base.every(millis(20), [&] {
            n = static_cast<std::int16_t>(n % 30000 + 1);
            rig.mic.deliver(chunkOf(640, n));
            if (!rig.systemAudio.made.empty()) rig.capture().deliver(chunkOf(640, n));
        });
        base.advanceBy(millis(10));
        rig.session->start();
        rig.client()->keepSent = false;
        const MonoTime started = base.now();
        base.advanceBy(seconds(tc.minutes * 60));
        rig.session->stop();
        const auto due = static_cast<std::size_t>((base.now() - started) / millis(20)) * 320;
        for (const char* name : {"self.wav", "others.wav"}) {
            const auto f = rig.file(name);
            EXPECT_LE(f->frames > due ? f->frames - due : due - f->frames, 320u) << name;
            std::size_t silent = 0;
            for (std::size_t i = 0; i < f->blocks.size(); ++i) {
                if (f->blocks[i] == 0) {
                    ++silent;
                } else if (tc.silentBlocks == 0) {
                    ASSERT_EQ(f->blocks[i], static_cast<std::int16_t>(i % 30000 + 1)) << i;
                }
            }
            EXPECT_NEAR(static_cast<double>(silent), static_cast<double>(tc.silentBlocks), 1.0) << name;
        }
        EXPECT_EQ(rig.log.count("meeting: mixer stalled"), tc.silentBlocks ? 1u : 0u);
    }
}

}  // namespace
}  // namespace parlando::testing
