#include "speech/DeepgramClient.h"

#include "fakes/FakeSpeech.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace parlando {
namespace {

using testing::FakeWebSocketFactory;
using testing::MemoryLog;
using State = DeepgramClient::State;
using Closes = std::vector<std::pair<int, std::string>>;

std::vector<std::uint8_t> chunk(std::size_t size, std::uint8_t fill = 0) { return std::vector<std::uint8_t>(size, fill); }

// A chunk that carries its sequence number, so order on the wire can be checked.
std::vector<std::uint8_t> numbered(std::uint32_t n, std::size_t size = 640) {
    std::vector<std::uint8_t> c(size, 0);
    std::memcpy(c.data(), &n, sizeof n);
    return c;
}
std::uint32_t numberOf(const std::string& bytes) {
    std::uint32_t n = 0;
    std::memcpy(&n, bytes.data(), sizeof n);
    return n;
}

const char* const closeStream = R"({"type":"CloseStream"})";
std::string result(const std::string& text) { return R"({"channel":{"alternatives":[{"transcript":")" + text + R"("}]}})"; }

class DeepgramClientTest : public ::testing::Test {
protected:
    void SetUp() override { ::unsetenv("PARLANDO_DEEPGRAM_URL"); }

    std::shared_ptr<DeepgramClient> make(int channels = 1, bool multichannel = false) {
        auto c = DeepgramClient::create(factory, log, "secret-key", "multi", "nova-3", channels, multichannel);
        c->onTranscript = [this](const Transcript& t) { transcripts.push_back(t); };
        c->onError = [this](const std::string& e) { errors.push_back(e); };
        c->onClose = [this](int code, const std::string& reason) { closes.emplace_back(code, reason); };
        c->onOpen = [this] { ++opens; };
        return c;
    }
    std::shared_ptr<DeepgramClient> openClient() {
        auto c = make();
        c->connect();
        factory.last()->open();
        return c;
    }

    FakeWebSocketFactory factory;
    MemoryLog log;
    std::vector<Transcript> transcripts;
    std::vector<std::string> errors;
    Closes closes;
    int opens = 0;
};

TEST_F(DeepgramClientTest, ConnectAsksForTheListenUrlWithTokenHeader) {
    auto c = make();
    EXPECT_EQ(factory.created(), 0u);  // constructing opens nothing
    c->connect();
    EXPECT_EQ(c->state(), State::connecting);
    const auto request = factory.last()->request();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->url,
              "wss://api.deepgram.com/v1/listen?model=nova-3&language=multi&encoding=linear16&sample_rate=16000"
              "&channels=1&interim_results=true&smart_format=true&punctuate=true&endpointing=300");
    EXPECT_EQ(request->headerName, "Authorization");
    EXPECT_EQ(request->headerValue, "Token secret-key");
    EXPECT_EQ(request->timeout, std::chrono::seconds(15));
    EXPECT_FALSE(log.contains("secret-key"));

    auto meeting = make(2, true);
    meeting->setEndpoint("ws://127.0.0.1:8765");
    meeting->connect();
    EXPECT_EQ(factory.last()->request()->url.substr(0, 40), "ws://127.0.0.1:8765/v1/listen?model=nova");
    EXPECT_NE(factory.last()->request()->url.find("&channels=2&"), std::string::npos);
}

TEST_F(DeepgramClientTest, EnvironmentOverridesTheEndpointAndAnUnusableOneIsReported) {
    ::setenv("PARLANDO_DEEPGRAM_URL", "ws://localhost:9/ignored", 1);
    make()->connect();
    EXPECT_EQ(factory.last()->request()->url.substr(0, 31), "ws://localhost:9/v1/listen?mode");

    ::setenv("PARLANDO_DEEPGRAM_URL", "http://localhost:9", 1);
    auto bad = make();
    bad->connect();
    ::unsetenv("PARLANDO_DEEPGRAM_URL");
    EXPECT_EQ(bad->state(), State::closed);
    EXPECT_EQ(errors, std::vector<std::string>{"Failed to decode Deepgram response: invalid url"});
    EXPECT_EQ(factory.created(), 1u);  // no socket for the bad one
}

TEST_F(DeepgramClientTest, OpenFlushesHeldAudioInOrderAndCountsIt) {
    auto c = make();
    c->connect();
    for (std::uint32_t i = 0; i < 5; ++i) c->sendAudio(numbered(i));
    EXPECT_EQ(c->chunksSent(), 0);
    EXPECT_TRUE(factory.last()->sent().empty());
    factory.last()->open();
    EXPECT_EQ(c->state(), State::open);
    c->sendAudio(numbered(5, 100));
    const auto sent = factory.last()->sentBinary();
    ASSERT_EQ(sent.size(), 6u);
    for (std::uint32_t i = 0; i < 6; ++i) EXPECT_EQ(numberOf(sent[i].bytes), i);
    EXPECT_EQ(factory.last()->batches(), 1u);
    EXPECT_EQ(c->chunksSent(), 6);
    EXPECT_EQ(c->bytesSent(), 5 * 640 + 100);
    factory.last()->open();  // a second open event changes nothing
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(factory.last()->sentBinary().size(), 6u);
}

TEST_F(DeepgramClientTest, PendingCapIsCheckedPerChunkAgainstTheSum) {
    auto c = make();
    c->connect();
    for (int i = 0; i < 4194; ++i) c->sendAudio(chunk(1000));  // 4,194,000 held
    c->sendAudio(chunk(400, 1));  // would exceed 4,194,304: dropped
    c->sendAudio(chunk(304, 2));  // fits exactly: kept
    c->sendAudio(chunk(1, 3));    // full: dropped
    factory.last()->open();
    const auto sent = factory.last()->sentBinary();
    ASSERT_EQ(sent.size(), 4195u);
    EXPECT_EQ(sent.back().bytes, std::string(304, '\2'));
    EXPECT_EQ(c->bytesSent(), DeepgramClient::pendingCap);
}

TEST_F(DeepgramClientTest, AudioOutsideConnectingAndOpenIsDroppedSilently) {
    auto c = make();
    c->sendAudio(chunk(640));  // idle
    c->connect();
    factory.last()->open();
    c->sendAudio(chunk(0));  // empty chunk: would end the stream on the service side
    c->finish();             // closing
    c->sendAudio(chunk(640));
    factory.last()->closed(1000, "");
    c->sendAudio(chunk(640));  // closed
    EXPECT_EQ(c->bytesSent(), 0);
    EXPECT_TRUE(factory.last()->sentBinary().empty());

    auto f = openClient();
    factory.last()->fail("dropped");
    f->sendAudio(chunk(640));  // failed
    EXPECT_EQ(f->chunksSent(), 0);
    EXPECT_EQ(errors, std::vector<std::string>{"dropped"});
}

TEST_F(DeepgramClientTest, FinishSendsOneCloseMessageAfterTheAudioAndResultsKeepComingUntilTheClose) {
    auto c = openClient();
    c->sendAudio(chunk(640));
    c->finish();
    c->finish();
    EXPECT_EQ(c->state(), State::closing);
    const auto sent = factory.last()->sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_TRUE(sent[0].binary);
    EXPECT_FALSE(sent[1].binary);
    EXPECT_EQ(sent[1].bytes, closeStream);

    factory.last()->text(R"({"is_final":true,"channel":{"alternatives":[{"transcript":"bye"}]}})");
    factory.last()->fail("connection reset after close");  // silent while closing
    factory.last()->closed(1000, "done");
    EXPECT_EQ(c->state(), State::closed);
    EXPECT_EQ(transcripts, (std::vector<Transcript>{{"bye", true, std::nullopt}}));
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(closes, (Closes{{1000, "done"}}));

    make()->finish();  // idle: nothing to close
    auto failed = make();
    failed->connect();
    factory.last()->fail("x");
    failed->finish();
    EXPECT_TRUE(factory.last()->sentText().empty());
    EXPECT_EQ(failed->state(), State::failed);
}

TEST_F(DeepgramClientTest, FinishWhileConnectingSendsCloseAndNeverTheHeldAudio) {
    auto c = make();
    c->connect();
    c->sendAudio(chunk(640));
    c->finish();
    EXPECT_EQ(c->state(), State::closing);
    factory.last()->open();  // late open: not flushed, no onOpen
    EXPECT_EQ(c->state(), State::closing);
    EXPECT_EQ(opens, 0);
    const auto sent = factory.last()->sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, closeStream);
}

TEST_F(DeepgramClientTest, FailuresAreReportedOnlyWhileConnectingOrOpen) {
    auto c = make();
    c->connect();
    factory.last()->fail("WebSocket handshake refused: HTTP 401 Unauthorized");
    EXPECT_EQ(c->state(), State::failed);
    factory.last()->fail("again");  // already failed: silent
    factory.last()->closed(1006, "");
    EXPECT_EQ(c->state(), State::closed);
    factory.last()->fail("after close");
    EXPECT_EQ(errors, std::vector<std::string>{"WebSocket handshake refused: HTTP 401 Unauthorized"});
    EXPECT_EQ(closes.size(), 1u);

    // Send failures are reported each time and leave the state alone.
    auto o = openClient();
    factory.last()->sendFailed("write failed");
    factory.last()->sendFailed("write failed");
    EXPECT_EQ(o->state(), State::open);
    EXPECT_EQ(errors.size(), 3u);
}

TEST_F(DeepgramClientTest, DisconnectAndReconnectSilenceTheOldSocket) {
    auto c = make();
    c->connect();
    c->sendAudio(chunk(640));
    auto first = factory.last();
    c->disconnect();
    EXPECT_EQ(c->state(), State::closed);
    EXPECT_EQ(first->closeCode(), 1001);
    EXPECT_TRUE(first->destroyed());
    first->fail("cancelled");
    first->open();
    first->text(result("late"));
    EXPECT_TRUE(errors.empty() && transcripts.empty());
    EXPECT_EQ(opens, 0);
    EXPECT_TRUE(first->sentBinary().empty());  // held audio dropped

    c->connect();
    auto second = factory.last();
    c->connect();
    auto third = factory.last();
    EXPECT_EQ(second->closeCode(), 1001);
    second->closed(1001, "");
    second->open();
    EXPECT_EQ(c->state(), State::connecting);
    EXPECT_TRUE(closes.empty());
    third->open();
    EXPECT_EQ(c->state(), State::open);

    c.reset();  // dropping the client closes its socket too
    EXPECT_EQ(third->closeCode(), 1001);
    third->text(result("late"));
    EXPECT_TRUE(transcripts.empty());
}

TEST_F(DeepgramClientTest, DeliversDecodedResultsFromTextAndBinaryMessagesAndCleansTheCloseReason) {
    auto c = openClient();
    auto s = factory.last();
    s->text(R"({"type":"Results","channel_index":[1,2],"is_final":true,"channel":{"alternatives":[{"transcript":"one"}]}})");
    s->text(R"({"type":"Metadata","request_id":"x"})");
    s->text("garbage");
    s->binary(result("two"));
    s->binary(result("\xff"));
    EXPECT_EQ(transcripts, (std::vector<Transcript>{{"one", true, 1}, {"two", false, std::nullopt}}));
    EXPECT_TRUE(errors.empty());
    s->closed(1011, "bad \xc3\x28 reason");
    EXPECT_EQ(closes, (Closes{{1011, ""}}));
}

TEST_F(DeepgramClientTest, CallbacksMayCallBackIntoTheClient) {
    auto c = make();
    c->onOpen = [&] { c->sendAudio(chunk(640)); };
    c->onTranscript = [&](const Transcript&) { c->finish(); };
    c->onClose = [&](int, const std::string&) { c->disconnect(); };
    c->connect();
    factory.last()->open();
    factory.last()->text(result("x"));
    factory.last()->closed(1000, "");
    EXPECT_EQ(c->chunksSent(), 1);
    EXPECT_EQ(factory.last()->sentText().size(), 1u);
    EXPECT_EQ(c->state(), State::closed);
}

// The audio thread keeps sending while the socket opens: every chunk reaches
// the socket once, in call order, whether it was held or sent directly.
TEST_F(DeepgramClientTest, ChunksStayInCallOrderAcrossTheOpenEvent) {
    constexpr std::uint32_t kChunks = 2000;
    for (int round = 0; round < 20; ++round) {
        auto c = make();
        c->connect();
        auto s = factory.last();
        std::atomic<std::uint32_t> progress{0};
        std::thread audio([&] {
            for (std::uint32_t i = 0; i < kChunks; ++i, ++progress) c->sendAudio(numbered(i));
        });
        while (progress.load() < 300) std::this_thread::yield();
        s->open();
        audio.join();
        c->finish();
        const auto sent = s->sent();
        ASSERT_EQ(sent.size(), kChunks + 1);
        for (std::uint32_t i = 0; i < kChunks; ++i) ASSERT_EQ(numberOf(sent[i].bytes), i) << "round " << round;
        EXPECT_EQ(sent.back().bytes, closeStream);
    }
}

}  // namespace
}  // namespace parlando
