// The recognition client over real sockets against tools/fake-deepgram.
#include "SpeechTestSupport.h"

#include "fakes/Fakes.h"
#include "speech/adapters/QtWebSocket.h"

#include <atomic>
#include <iostream>
#include <thread>

namespace parlando::speechtest {
namespace {

const auto* const qtApp = ::testing::AddGlobalTestEnvironment(new QtApp);

using State = DeepgramClient::State;

class SpeechIntegration : public ::testing::Test {
protected:
    std::shared_ptr<DeepgramClient> client(const FakeDeepgram& service, const std::string& key = "test-key",
                                           int channels = 1, bool multichannel = false) {
        auto c = DeepgramClient::create(factory, log, key, "multi", "nova-3", channels, multichannel);
        c->setEndpoint(service.base());
        reports.attach(*c);
        return c;
    }
    fs::path file(const std::string& name, const std::string& content) {
        const auto p = dir.path() / name;
        std::ofstream(p) << content;
        return p;
    }

    testenv::TempDir dir{"parlando-speech"};
    QtWebSocketFactory factory;
    testing::MemoryLog log;
    Reports reports;
};

TEST_F(SpeechIntegration, HandshakeCarriesTheExactQueryAndTokenHeader) {
    for (const bool meeting : {false, true}) {
        const auto sub = dir.path() / (meeting ? "meeting" : "mono");
        fs::create_directories(sub);
        const std::string query = meeting ? kMeetingQuery : kMonoQuery;
        FakeDeepgram service(sub, {"--key", "s3cr3t/+=", "--expect-query", query});
        Reports local;
        auto c = DeepgramClient::create(factory, log, "s3cr3t/+=", "multi", "nova-3", meeting ? 2 : 1, meeting);
        c->setEndpoint(service.base());
        local.attach(*c);
        c->connect();
        ASSERT_TRUE(local.waitOpen()) << (local.snapshot().errors.empty() ? "" : local.snapshot().errors[0]);
        EXPECT_EQ(c->state(), State::open);
        c->finish();
        ASSERT_TRUE(local.waitClosed());
        EXPECT_EQ(local.snapshot().closes.at(0).first, 1000);

        const auto lines = service.log();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "request GET /v1/listen?" + query + " HTTP/1.1");
        EXPECT_TRUE(service.logged("header Authorization: Token s3cr3t/+="));
        // Nothing beyond what a WebSocket handshake needs and our one header.
        for (const auto& l : lines) {
            if (l.rfind("header ", 0) != 0) continue;
            const std::string name = l.substr(7, l.find(':') - 7);
            EXPECT_TRUE(name == "Host" || name == "Upgrade" || name == "Connection" || name == "Sec-WebSocket-Key" ||
                        name == "Sec-WebSocket-Version" || name == "Authorization")
                << l;
        }
        EXPECT_TRUE(service.logged(R"(text {"type":"CloseStream"})"));
    }
}

// 2,000 chunks from an audio thread while the socket opens: the held ones and
// the direct ones reach the service complete and in call order, followed by
// the close message; the scripted results come back with their channels.
TEST_F(SpeechIntegration, AudioArrivesCompleteAndInOrderAcrossTheOpen) {
    const auto script = file("script", "after 6400 interim ch=0 hel\n"
                                       "after 12800 final ch=0 hello there\n"
                                       "after 12800 raw {\"type\":\"SpeechStarted\"}\n"
                                       "after 640000 binary {\"channel\":{\"alternatives\":[{\"transcript\":\"as bytes\"}]}}\n"
                                       "closestream final ch=1 last words\n");
    FakeDeepgram service(dir.path(), {"--delay-open", "400", "--script", script.string()});
    auto c = client(service);
    c->connect();
    constexpr std::uint32_t kChunks = 2000;
    std::atomic<bool> sawOpenMidway{false};
    std::thread audio([&] {
        bool before = false;
        for (std::uint32_t i = 0; i < kChunks; ++i) {
            const bool isOpen = c->state() == State::open;
            if (!isOpen) before = true;
            if (isOpen && before) sawOpenMidway = true;
            c->sendAudio(numberedChunk(i));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            if (i == 1500) {  // a slow machine: keep the open inside the stream
                testenv::waitFor([&] { return c->state() != State::connecting; }, 20s);
            }
        }
    });
    audio.join();
    c->finish();
    ASSERT_TRUE(reports.waitClosed());
    EXPECT_TRUE(sawOpenMidway) << "the open did not fall inside the stream; timing assumption broken";

    std::string expected;
    for (std::uint32_t i = 0; i < kChunks; ++i) {
        const auto chunk = numberedChunk(i);
        expected.append(chunk.begin(), chunk.end());
    }
    const std::string got = service.recorded();
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "audio reordered or corrupted";
    EXPECT_EQ(c->chunksSent(), kChunks);
    EXPECT_EQ(c->bytesSent(), kChunks * 640);

    const auto lines = service.log();
    std::size_t lastBinary = 0, closeStream = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("binary ", 0) == 0) lastBinary = i;
        if (lines[i] == R"(text {"type":"CloseStream"})") closeStream = i;
    }
    EXPECT_GT(closeStream, lastBinary);

    {
        const auto r = reports.snapshot();
        EXPECT_TRUE(r.errors.empty());
        EXPECT_EQ(r.opens, 1);
        EXPECT_EQ(r.closes, (std::vector<std::pair<int, std::string>>{{1000, ""}}));
        const std::vector<Transcript> want{{"hel", false, 0}, {"hello there", true, 0}, {"as bytes", false, std::nullopt},
                                           {"last words", true, 1}};
        EXPECT_EQ(r.transcripts, want);
    }
    EXPECT_EQ(c->state(), State::closed);
}

TEST_F(SpeechIntegration, RefusedKeyFailsNamingTheHttpStatus) {
    FakeDeepgram service(dir.path(), {"--key", "right"});
    auto c = client(service, "wrong");
    c->connect();
    c->sendAudio(numberedChunk(0));
    ASSERT_TRUE(reports.waitClosed());
    {
        const auto r = reports.snapshot();
        EXPECT_EQ(r.errors.size(), 1u);
        EXPECT_NE(r.errors.at(0).find("401"), std::string::npos) << r.errors.at(0);
        std::cout << "refusal reported as: " << r.errors.at(0) << "\n";
        EXPECT_NE(r.errors.at(0).find("Unauthorized"), std::string::npos) << r.errors.at(0);
        EXPECT_EQ(r.opens, 0);
    }
    EXPECT_TRUE(service.logged("refused 401 Invalid credentials."));
    EXPECT_EQ(c->state(), State::closed);
    EXPECT_TRUE(service.recorded().empty());
}

TEST_F(SpeechIntegration, UnreachableServiceFails) {
    testenv::TempDir unused;
    auto c = DeepgramClient::create(factory, log, "k");
    reports.attach(*c);
    c->setEndpoint("ws://127.0.0.1:1");  // nothing listens on port 1
    c->connect();
    ASSERT_TRUE(reports.waitClosed());
    {
        const auto r = reports.snapshot();
        EXPECT_EQ(r.errors.size(), 1u);
        EXPECT_NE(r.errors.at(0).find("refused"), std::string::npos) << r.errors.at(0);
        std::cout << "unreachable reported as: " << r.errors.at(0) << "\n";
    }
}

TEST_F(SpeechIntegration, AbruptDropIsAFailureNotANormalClose) {
    FakeDeepgram service(dir.path(), {"--drop-after", "6400"});
    auto c = client(service);
    c->connect();
    ASSERT_TRUE(reports.waitOpen());
    for (std::uint32_t i = 0; i < 20; ++i) c->sendAudio(numberedChunk(i));
    ASSERT_TRUE(reports.waitClosed());
    EXPECT_TRUE(service.logged("dropped"));
    {
        const auto r = reports.snapshot();
        EXPECT_EQ(r.errors.size(), 1u);
        EXPECT_EQ(r.closes.at(0).first, DeepgramClient::closeAbnormal);
    }
    c->sendAudio(numberedChunk(99));  // closed: dropped quietly
    EXPECT_EQ(c->state(), State::closed);
}

// The service may end a stream on its own (for example after a long silence):
// that is a close with its code and reason, not an error.
TEST_F(SpeechIntegration, ServiceInitiatedCloseIsReportedWithCodeAndReason) {
    FakeDeepgram service(dir.path(), {"--close-after", "1280", "--close-code", "1011", "--close-reason", "NET-0001 idle"});
    auto c = client(service);
    c->connect();
    ASSERT_TRUE(reports.waitOpen());
    for (std::uint32_t i = 0; i < 5; ++i) c->sendAudio(numberedChunk(i));
    ASSERT_TRUE(reports.waitClosed());
    const auto r = reports.snapshot();
    EXPECT_TRUE(r.errors.empty()) << r.errors.at(0);
    EXPECT_EQ(r.closes, (std::vector<std::pair<int, std::string>>{{1011, "NET-0001 idle"}}));
    EXPECT_EQ(c->state(), State::closed);
}

TEST_F(SpeechIntegration, FinishWhileConnectingNeverSendsTheHeldAudio) {
    FakeDeepgram service(dir.path(), {"--delay-open", "700"});
    auto c = client(service);
    c->connect();
    for (std::uint32_t i = 0; i < 10; ++i) c->sendAudio(numberedChunk(i));
    c->finish();
    EXPECT_EQ(c->state(), State::closing);
    ASSERT_TRUE(reports.waitClosed());
    EXPECT_TRUE(service.logged(R"(text {"type":"CloseStream"})"));
    EXPECT_TRUE(service.recorded().empty());
    EXPECT_EQ(c->chunksSent(), 0);
    {
        const auto r = reports.snapshot();
        EXPECT_EQ(r.opens, 0);
        EXPECT_TRUE(r.errors.empty());
        EXPECT_EQ(r.closes.at(0).first, 1000);
    }
}

TEST_F(SpeechIntegration, NeverOpeningServiceCanBeAbandonedQuietly) {
    FakeDeepgram service(dir.path(), {"--never-open"});
    auto c = client(service);
    c->connect();
    for (std::uint32_t i = 0; i < 10; ++i) c->sendAudio(numberedChunk(i));
    c->finish();
    ASSERT_TRUE(service.waitForLine("withholding the open"));
    c->disconnect();
    std::this_thread::sleep_for(300ms);  // give a wrong late report the chance to show
    EXPECT_TRUE(service.recorded().empty());
    {
        const auto r = reports.snapshot();
        EXPECT_TRUE(r.errors.empty());
        EXPECT_EQ(r.opens, 0);
    }
    EXPECT_EQ(c->state(), State::closed);
}

TEST_F(SpeechIntegration, DisconnectClosesWithGoingAway) {
    FakeDeepgram service(dir.path(), {"--never-close"});
    auto c = client(service);
    c->connect();
    ASSERT_TRUE(reports.waitOpen());
    c->sendAudio(numberedChunk(1));
    c->disconnect();
    ASSERT_TRUE(service.waitForLine("peer-closed 1001"));
    {
        const auto r = reports.snapshot();
        EXPECT_TRUE(r.errors.empty());
    }
}

// The service stops reading for several seconds; the audio thread keeps
// handing over chunks and is never held up. Everything arrives afterwards.
TEST_F(SpeechIntegration, StalledPeerNeverBlocksTheCaller) {
    FakeDeepgram service(dir.path(), {"--stall-after", "64000", "--stall-seconds", "6"});
    auto c = client(service);
    c->connect();
    ASSERT_TRUE(reports.waitOpen());
    for (std::uint32_t i = 0; i < 200; ++i) c->sendAudio(numberedChunk(i));
    ASSERT_TRUE(service.waitForLine("stall 6.000000") || service.waitForLine("stall 6"));
    // Far more than the kernel's socket buffers hold: 24 MB.
    constexpr std::uint32_t kMore = 37500;
    const auto started = std::chrono::steady_clock::now();
    for (std::uint32_t i = 200; i < 200 + kMore; ++i) c->sendAudio(numberedChunk(i));
    const auto spent = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(service.logged("stall-end")) << "sending waited for the stalled peer";
    EXPECT_LT(spent, 5s);
    c->finish();
    ASSERT_TRUE(reports.waitClosed(90s));
    EXPECT_EQ(service.recorded().size(), (200u + kMore) * 640u);
    {
        const auto r = reports.snapshot();
        EXPECT_TRUE(r.errors.empty());
    }
}

// The port itself: a handshake that never completes ends at the deadline as a
// failure followed by the close; messages sent meanwhile are never written.
TEST_F(SpeechIntegration, HandshakeDeadlineEndsAConnectionThatNeverOpens) {
    FakeDeepgram service(dir.path(), {"--never-open"});
    std::mutex m;
    std::vector<std::string> events;
    WebSocketEvents handlers;
    handlers.onOpen = [&] { std::lock_guard g(m); events.push_back("open"); };
    handlers.onFailure = [&](std::string d) { std::lock_guard g(m); events.push_back("failure " + d); };
    handlers.onClose = [&](int code, std::string) { std::lock_guard g(m); events.push_back("close " + std::to_string(code)); };
    auto socket = factory.create(handlers);
    socket->open({service.base() + "/v1/listen?channels=1", "Authorization", "Token x", 600ms});
    socket->sendBinary(std::vector<std::uint8_t>(640, 1));
    socket->sendText("{}");
    ASSERT_TRUE(testenv::waitFor([&] { std::lock_guard g(m); return events.size() >= 2; }, 20s));
    std::this_thread::sleep_for(100ms);
    std::lock_guard g(m);
    EXPECT_EQ(events, (std::vector<std::string>{"failure WebSocket handshake timed out after 600 ms", "close 1006"}));
    EXPECT_TRUE(service.recorded().empty());
}

}  // namespace
}  // namespace parlando::speechtest
