#include "speech/Endpoint.h"
#include "speech/ResultDecoder.h"

#include <gtest/gtest.h>

namespace parlando {
namespace {

TEST(ResultDecoder, ReadsTextFinalFlagAndFirstChannelAndKeepsEmptyFinalsOnly) {
    EXPECT_EQ(decodeResultMessage(R"({"channel":{"alternatives":[{"transcript":"hi"}]}})"),
              (Transcript{"hi", false, std::nullopt}));
    EXPECT_EQ(decodeResultMessage(R"({"type":"Results","channel_index":[1,2],"is_final":true,"channel":)"
                                  R"({"alternatives":[{"transcript":"Привет, мир."},{"transcript":"x"}]}})"),
              (Transcript{"Привет, мир.", true, 1}));
    // A "type" that is not a string counts as a result.
    EXPECT_EQ(decodeResultMessage(R"({"type":7,"channel":{"alternatives":[{"transcript":"a"}]}})")->text, "a");
    EXPECT_FALSE(decodeResultMessage(R"({"is_final":false,"channel":{"alternatives":[{"transcript":""}]}})"));
    EXPECT_EQ(decodeResultMessage(R"({"is_final":true,"channel":{"alternatives":[{"transcript":""}]}})"),
              (Transcript{"", true, std::nullopt}));
}

TEST(ResultDecoder, LenientFieldsFallBackToDefaults) {
    const char* alt = R"("channel":{"alternatives":[{"transcript":"x"}]})";
    auto with = [&](const std::string& extra) { return decodeResultMessage("{" + extra + std::string(alt) + "}"); };
    EXPECT_FALSE(with(R"("is_final":"true",)")->isFinal);
    EXPECT_FALSE(with(R"("is_final":1,)")->isFinal);
    EXPECT_FALSE(with(R"("channel_index":[],)")->channelIndex);
    EXPECT_FALSE(with(R"("channel_index":[1.5],)")->channelIndex);
    EXPECT_FALSE(with(R"("channel_index":[0,"a"],)")->channelIndex);
    EXPECT_FALSE(with(R"("channel_index":1,)")->channelIndex);
    EXPECT_FALSE(with(R"("channel_index":[99999999999],)")->channelIndex);
    EXPECT_EQ(with(R"("channel_index":[0],)")->channelIndex, 0);
}

TEST(ResultDecoder, IgnoresEverythingElseWithoutComplaint) {
    for (const char* m : {
             R"({"type":"Metadata","channel":{"alternatives":[{"transcript":"x"}]}})",
             R"({"type":"results","channel":{"alternatives":[{"transcript":"x"}]}})",
             R"({"type":"SpeechStarted"})", R"({"type":"UtteranceEnd"})",
             R"([{"channel":{"alternatives":[{"transcript":"x"}]}}])", R"("text")", "42", "null", "", "{",
             "not json at all", R"({"channel":{}})", R"({"channel":[]})", R"({"channel":{"alternatives":[]}})",
             R"({"channel":{"alternatives":{}}})", R"({"channel":{"alternatives":[1]}})",
             R"({"channel":{"alternatives":[{"transcript":"x"},3]}})",
             R"({"channel":{"alternatives":[{"transcript":5}]}})", R"({"channel":{"alternatives":[{}]}})",
             "{\"channel\":{\"alternatives\":[{\"transcript\":\"\xff\"}]}}",
             R"({"channel":{"alternatives":[{"transcript":"x"}]}} trailing)",
         }) {
        EXPECT_FALSE(decodeResultMessage(m)) << m;
    }
}

TEST(Utf8, AcceptsWellFormedAndRejectsTheRest) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("plain"));
    EXPECT_TRUE(isValidUtf8("Собеседник €𝄞"));
    for (const char* bad : {"\xff", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82",
                            "a\x80", "\xf0\x9d\x84"}) {
        EXPECT_FALSE(isValidUtf8(bad)) << bad;
    }
}

TEST(Endpoint, QueryItemsAreFixedAndOrdered) {
    EXPECT_EQ(listenQuery("nova-3", "multi", 1, false),
              "model=nova-3&language=multi&encoding=linear16&sample_rate=16000&channels=1&interim_results=true"
              "&smart_format=true&punctuate=true&endpointing=300");
    EXPECT_EQ(*listenUrl("wss://api.deepgram.com", "nova-3", "multi", 2, true),
              "wss://api.deepgram.com/v1/listen?model=nova-3&language=multi&encoding=linear16&sample_rate=16000"
              "&channels=2&interim_results=true&smart_format=true&punctuate=true&endpointing=300&multichannel=true");
    EXPECT_EQ(listenQuery("a b&c=d", "ru/RU+x", 1, false).substr(0, 40), "model=a%20b%26c%3Dd&language=ru%2FRU%2Bx");
}

TEST(Endpoint, OverrideReplacesSchemeHostAndPortOnly) {
    EXPECT_EQ(normalizedStreamingBase("ws://127.0.0.1:8765"), "ws://127.0.0.1:8765");
    EXPECT_EQ(normalizedStreamingBase("WSS://dg.example.org/some/path?x=1"), "wss://dg.example.org");
    EXPECT_EQ(normalizedStreamingBase("ws://[::1]:9000/"), "ws://[::1]:9000");
    for (const char* bad : {"", "127.0.0.1:8765", "http://host", "ws://", "ws://:80", "ws://host:", "ws://host:0",
                            "ws://host:65536", "ws://host:8x", "ws://us er@host", "ws://user@host", "ws://[::1",
                            "ws://a]b"}) {
        EXPECT_FALSE(normalizedStreamingBase(bad)) << bad;
    }
}

}  // namespace
}  // namespace parlando
