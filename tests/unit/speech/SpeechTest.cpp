// The recognition client on a hand-driven socket, the result decoder and the endpoint.
#include "speech/DeepgramClient.h"
#include "speech/Endpoint.h"
#include "speech/ResultDecoder.h"

#include "fakes/FakeSpeech.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

namespace parlando {
namespace {

using State = DeepgramClient::State;
std::vector<std::uint8_t> chunk(std::size_t size, std::uint8_t fill = 0) { return std::vector<std::uint8_t>(size, fill); }
std::string result(const std::string& text) { return R"({"channel":{"alternatives":[{"transcript":")" + text + R"("}]}})"; }

struct ClientTest : ::testing::Test {
    std::shared_ptr<DeepgramClient> make() {
        auto c = DeepgramClient::create(factory, log, "secret-key");
        c->onTranscript = [this](const Transcript& t) { transcripts.push_back(t); };
        c->onError = [this](const std::string& e) { errors.push_back(e); };
        c->onClose = [this](int code, const std::string& reason) { closes.emplace_back(code, reason); };
        return c;
    }
    testing::FakeWebSocketFactory factory;
    testing::MemoryLog log;
    std::vector<Transcript> transcripts;
    std::vector<std::string> errors;
    std::vector<std::pair<int, std::string>> closes;
};

// Held audio is capped per chunk against the sum; a finish before the open
// keeps it, and the open sends it in one batch ahead of the close message.
TEST_F(ClientTest, HeldAudioIsCappedAndAFinishBeforeTheOpenSendsItFirst) {
    auto c = make();
    c->connect();
    for (int i = 0; i < 4194; ++i) c->sendAudio(chunk(1000));  // 4,194,000 held
    c->sendAudio(chunk(400, 1));  // would exceed 4 MiB: dropped
    c->sendAudio(chunk(304, 2));  // fits exactly: kept
    c->sendAudio(chunk(0));       // empty: would end the stream at the service
    c->finish();
    c->sendAudio(chunk(640, 3));  // after the finish: dropped
    auto s = factory.last();
    EXPECT_TRUE(s->sent.empty());
    s->open();
    ASSERT_EQ(s->sent.size(), 4196u);
    EXPECT_EQ(s->sent[4194], std::string(304, '\2'));
    EXPECT_EQ(s->sent.back(), DeepgramClient::closeStreamMessage());
    EXPECT_TRUE(s->batches == 1 && c->bytesSent() == DeepgramClient::pendingCap);
    s->text(result("bye"));
    s->closed(1011, "bad \xc3\x28 reason");  // a reason that is not UTF-8 is dropped
    EXPECT_EQ(transcripts, (std::vector<Transcript>{{"bye", false, std::nullopt}}));
    EXPECT_EQ(closes, (decltype(closes){{1011, ""}}));
}

// A torn-down or replaced socket's late events reach nobody. No lock is held
// while a callback runs: callbacks may call back in.
TEST_F(ClientTest, OldSocketsAreSilencedBadEndpointsReportedAndCallbacksMayCallBackIn) {
    auto c = make();
    c->connect();
    auto first = factory.last();
    c->connect();
    EXPECT_EQ(first->closeCode, 1001);
    first->open();
    first->text(result("late"));
    first->fail("cancelled");
    EXPECT_EQ(c->state(), State::connecting);
    factory.last()->open();
    factory.last()->fail("reset");
    c->sendAudio(chunk(640));  // failed: dropped
    EXPECT_EQ(c->chunksSent(), 0);
    EXPECT_TRUE(transcripts.empty());
    EXPECT_EQ(errors, std::vector<std::string>{"reset"});

    auto bad = make();
    bad->setEndpoint("http://localhost:9");
    bad->connect();
    EXPECT_TRUE(errors.back() == "Failed to decode Deepgram response: invalid url" && factory.sockets.size() == 2);

    auto reentered = make();
    reentered->onOpen = [&] { reentered->sendAudio(chunk(640)); };
    reentered->onTranscript = [&](const Transcript&) { reentered->finish(); };
    reentered->onClose = [&](int, const std::string&) { reentered->disconnect(); };
    reentered->connect();
    factory.last()->open();
    factory.last()->text(result("x"));
    factory.last()->closed(1000, "");
    EXPECT_TRUE(factory.last()->sent.size() == 2 && reentered->state() == State::closed);
}

// The wire format: results are read leniently and everything else ignored.
TEST(WireFormat, ResultsAndTheEndpoint) {
    EXPECT_EQ(decodeResultMessage(R"({"is_final":true,"channel":{"alternatives":[{"transcript":""}]}})"),
              (Transcript{"", true, std::nullopt}));
    EXPECT_EQ(decodeResultMessage(R"({"is_final":"true","channel_index":[0,"a"],)"
                                  R"("channel":{"alternatives":[{"transcript":"x"},{"transcript":"y"}]}})"),
              (Transcript{"x", false, std::nullopt}));
    for (const char* m : {R"({"is_final":false,"channel":{"alternatives":[{"transcript":""}]}})",
                          R"({"type":"Metadata","channel":{"alternatives":[{"transcript":"x"}]}})",
                          R"({"type":"SpeechStarted"})", "null", "{", R"({"channel":{"alternatives":[]}})",
                          R"({"channel":{"alternatives":[{"transcript":5}]}})",
                          "{\"channel\":{\"alternatives\":[{\"transcript\":\"\xff\"}]}}"})
        EXPECT_FALSE(decodeResultMessage(m)) << m;
    // The query is fixed; only scheme, host and port of the endpoint are overridden.
    EXPECT_EQ(*listenUrl("wss://api.deepgram.com", "nova-3", "multi", 2, true),
              "wss://api.deepgram.com/v1/listen?model=nova-3&language=multi&encoding=linear16&sample_rate=16000"
              "&channels=2&interim_results=true&smart_format=true&punctuate=true&endpointing=300&multichannel=true");
    EXPECT_EQ(normalizedStreamingBase("WSS://dg.example.org/some/path?x=1"), "wss://dg.example.org");
    for (const char* bad : {"127.0.0.1:8765", "http://host", "ws://host:65536", "ws://user@host", "ws://[::1"})
        EXPECT_FALSE(normalizedStreamingBase(bad)) << bad;
}

}  // namespace
}  // namespace parlando
