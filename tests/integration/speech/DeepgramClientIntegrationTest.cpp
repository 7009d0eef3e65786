// The recognition client over real sockets against tools/fake-deepgram.
#include "SpeechTestSupport.h"

#include "fakes/Fakes.h"
#include "speech/adapters/QtWebSocket.h"

#include <algorithm>
#include <thread>

namespace parlando::speechtest {
namespace {

const auto* const qtApp = ::testing::AddGlobalTestEnvironment(new QtApp);

using State = DeepgramClient::State;
using Closes = std::vector<std::pair<int, std::string>>;
const std::string closeStreamLine = R"(text {"type":"CloseStream"})";

class SpeechIntegration : public ::testing::Test {
protected:
    std::shared_ptr<DeepgramClient> client(const std::string& base, const std::string& key = "test-key",
                                           Reports* to = nullptr, bool meeting = false) {
        auto c = DeepgramClient::create(factory, log, key, "multi", "nova-3", meeting ? 2 : 1, meeting);
        c->setEndpoint(base);
        (to ? *to : reports).attach(*c);
        return c;
    }
    // Opens, sends n chunks and waits for the end.
    std::shared_ptr<DeepgramClient> openAndSend(const FakeDeepgram& service, std::uint32_t n) {
        auto c = client(service.base());
        c->connect();
        EXPECT_TRUE(reports.waitOpen());
        for (std::uint32_t i = 0; i < n; ++i) c->sendAudio(numberedChunk(i));
        EXPECT_TRUE(reports.waitClosed());
        return c;
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
        auto c = client(service.base(), "s3cr3t/+=", &local, meeting);
        c->connect();
        ASSERT_TRUE(local.waitOpen()) << (local.snapshot().errors.empty() ? "" : local.snapshot().errors[0]);
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
        EXPECT_TRUE(service.logged(closeStreamLine));
    }
}

// 2,000 chunks from an audio thread while the socket opens: the held ones and
// the direct ones reach the service complete and in call order, followed by
// the close message; the scripted results come back with their channels.
TEST_F(SpeechIntegration, AudioArrivesCompleteAndInOrderAcrossTheOpen) {
    const auto script = dir.path() / "script";
    std::ofstream(script) << "after 6400 interim ch=0 hel\n"
                             "after 12800 final ch=0 hello there\n"
                             "after 12800 raw {\"type\":\"SpeechStarted\"}\n"
                             "after 640000 binary {\"channel\":{\"alternatives\":[{\"transcript\":\"as bytes\"}]}}\n"
                             "closestream final ch=1 last words\n";
    FakeDeepgram service(dir.path(), {"--delay-open", "400", "--script", script.string()});
    auto c = client(service.base());
    c->connect();
    constexpr std::uint32_t kChunks = 2000;
    bool sawOpenMidway = false;
    std::thread audio([&] {
        const bool openedEarly = c->state() == State::open;
        for (std::uint32_t i = 0; i < kChunks; ++i) {
            c->sendAudio(numberedChunk(i));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            if (i == 1500) testenv::waitFor([&] { return c->state() != State::connecting; }, 20s);  // a slow machine
        }
        sawOpenMidway = !openedEarly && c->state() == State::open;
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
    EXPECT_TRUE(service.recorded() == expected) << "audio lost, reordered or corrupted";
    EXPECT_EQ(c->bytesSent(), kChunks * 640);
    const auto lines = service.log();
    const auto lastBinary = std::find_if(lines.rbegin(), lines.rend(), [](const std::string& l) {
        return l.rfind("binary ", 0) == 0;
    });
    EXPECT_TRUE(std::find(lines.rbegin(), lastBinary, closeStreamLine) != lastBinary)
        << "CloseStream comes after the last chunk";

    const auto r = reports.snapshot();
    EXPECT_TRUE(r.errors.empty());
    EXPECT_EQ(r.opens, 1);
    EXPECT_EQ(r.closes, (Closes{{1000, ""}}));
    EXPECT_EQ(r.transcripts, (std::vector<Transcript>{{"hel", false, 0}, {"hello there", true, 0},
                                                      {"as bytes", false, std::nullopt}, {"last words", true, 1}}));
}

TEST_F(SpeechIntegration, RefusedKeyAndUnreachableServiceFailNamingTheCause) {
    FakeDeepgram service(dir.path(), {"--key", "right"});
    auto c = client(service.base(), "wrong");
    c->connect();
    c->sendAudio(numberedChunk(0));
    ASSERT_TRUE(reports.waitClosed());
    auto r = reports.snapshot();
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_NE(r.errors[0].find("401 (Unauthorized)"), std::string::npos) << r.errors[0];
    EXPECT_EQ(r.opens, 0);
    EXPECT_TRUE(service.logged("refused 401 Invalid credentials."));
    EXPECT_TRUE(service.recorded().empty());

    Reports unreachable;
    auto lost = client("ws://127.0.0.1:1", "k", &unreachable);  // nothing listens on port 1
    lost->connect();
    ASSERT_TRUE(unreachable.waitClosed());
    r = unreachable.snapshot();
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_NE(r.errors[0].find("refused"), std::string::npos) << r.errors[0];
}

TEST_F(SpeechIntegration, AbruptDropIsAFailureNotANormalClose) {
    FakeDeepgram service(dir.path(), {"--drop-after", "6400"});
    auto c = openAndSend(service, 20);
    EXPECT_TRUE(service.logged("dropped"));
    const auto r = reports.snapshot();
    EXPECT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.closes.at(0).first, DeepgramClient::closeAbnormal);
    EXPECT_EQ(c->state(), State::closed);
}

// The service may end a stream on its own (for example after a long silence):
// that is a close with its code and reason, not an error.
TEST_F(SpeechIntegration, ServiceInitiatedCloseIsReportedWithCodeAndReason) {
    FakeDeepgram service(dir.path(), {"--close-after", "1280", "--close-code", "1011", "--close-reason", "NET-0001 idle"});
    openAndSend(service, 5);
    const auto r = reports.snapshot();
    EXPECT_TRUE(r.errors.empty());
    EXPECT_EQ(r.closes, (Closes{{1011, "NET-0001 idle"}}));
}

TEST_F(SpeechIntegration, FinishWhileConnectingNeverSendsTheHeldAudio) {
    FakeDeepgram service(dir.path(), {"--delay-open", "700"});
    auto c = client(service.base());
    c->connect();
    for (std::uint32_t i = 0; i < 10; ++i) c->sendAudio(numberedChunk(i));
    c->finish();
    ASSERT_TRUE(reports.waitClosed());
    EXPECT_TRUE(service.logged(closeStreamLine));
    EXPECT_TRUE(service.recorded().empty());
    const auto r = reports.snapshot();
    EXPECT_EQ(r.opens, 0);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_EQ(r.closes.at(0).first, 1000);
}

// The service stops reading for several seconds; the audio thread keeps
// handing over chunks and is never held up. Everything arrives afterwards.
TEST_F(SpeechIntegration, StalledPeerNeverBlocksTheCaller) {
    FakeDeepgram service(dir.path(), {"--stall-after", "64000", "--stall-seconds", "6"});
    auto c = client(service.base());
    c->connect();
    ASSERT_TRUE(reports.waitOpen());
    for (std::uint32_t i = 0; i < 200; ++i) c->sendAudio(numberedChunk(i));
    ASSERT_TRUE(service.waitForLine("stall 6.000000") || service.waitForLine("stall 6"));
    constexpr std::uint32_t kMore = 37500;  // 24 MB: far more than the kernel's socket buffers hold
    const auto started = std::chrono::steady_clock::now();
    for (std::uint32_t i = 200; i < 200 + kMore; ++i) c->sendAudio(numberedChunk(i));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_FALSE(service.logged("stall-end")) << "sending waited for the stalled peer";
    c->finish();
    ASSERT_TRUE(reports.waitClosed(90s));
    EXPECT_EQ(service.recorded().size(), (200u + kMore) * 640u);
    EXPECT_TRUE(reports.snapshot().errors.empty());
}

// The port itself: a handshake that never completes ends at the deadline as a
// failure followed by the close; messages sent meanwhile are never written.
TEST_F(SpeechIntegration, HandshakeDeadlineEndsAConnectionThatNeverOpens) {
    FakeDeepgram service(dir.path(), {"--never-open"});
    std::mutex m;
    std::vector<std::string> events;
    const auto add = [&](std::string e) {
        std::lock_guard g(m);
        events.push_back(std::move(e));
    };
    WebSocketEvents handlers;
    handlers.onOpen = [&] { add("open"); };
    handlers.onFailure = [&](std::string d) { add("failure " + d); };
    handlers.onClose = [&](int code, std::string) { add("close " + std::to_string(code)); };
    auto socket = factory.create(handlers);
    socket->open({service.base() + "/v1/listen?channels=1", "Authorization", "Token x", 600ms});
    socket->sendBinary(std::vector<std::uint8_t>(640, 1));
    ASSERT_TRUE(testenv::waitFor([&] { std::lock_guard g(m); return events.size() >= 2; }, 20s));
    std::this_thread::sleep_for(100ms);
    std::lock_guard g(m);
    EXPECT_EQ(events, (std::vector<std::string>{"failure WebSocket handshake timed out after 600 ms", "close 1006"}));
    EXPECT_TRUE(service.recorded().empty());
}

}  // namespace
}  // namespace parlando::speechtest
