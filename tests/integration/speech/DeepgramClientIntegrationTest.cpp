// The recognition client over real sockets against tools/fake-deepgram.
#include "speech/DeepgramClient.h"
#include "speech/adapters/QtWebSocket.h"

#include "fakes/Fakes.h"
#include "testenv/TestEnv.h"

#include <QCoreApplication>
#include <QSslSocket>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

namespace parlando {
namespace {

using namespace std::chrono_literals;
using testenv::RecognitionService;
using State = DeepgramClient::State;
using Closes = std::vector<std::pair<int, std::string>>;
const std::string closeStreamLine = R"(text {"type":"CloseStream"})";
const std::string monoQuery =
    "model=nova-3&language=multi&encoding=linear16&sample_rate=16000&channels=1&interim_results=true"
    "&smart_format=true&punctuate=true&endpointing=300";

std::vector<std::uint8_t> numberedChunk(std::uint32_t n) {
    std::vector<std::uint8_t> c(640);
    for (std::size_t i = 0; i < c.size(); ++i) c[i] = static_cast<std::uint8_t>((n * 7 + i) & 0xFF);
    std::memcpy(c.data(), &n, sizeof n);
    return c;
}

// What a client told its owner, from whichever thread.
struct Reported {
    std::vector<Transcript> transcripts;
    std::vector<std::string> errors;
    Closes closes;
};

class SpeechIntegration : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char* argv[] = {const_cast<char*>("integration_speech"), nullptr};
        if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
    }
    std::shared_ptr<DeepgramClient> client(const std::string& base, const std::string& key = "test-key") {
        auto c = DeepgramClient::create(factory, log, key);
        c->setEndpoint(base);
        c->onTranscript = [this](const Transcript& t) { locked([&](Reported& r) { r.transcripts.push_back(t); }); };
        c->onError = [this](const std::string& e) { locked([&](Reported& r) { r.errors.push_back(e); }); };
        c->onClose = [this](int code, const std::string& why) { locked([&](Reported& r) { r.closes.emplace_back(code, why); }); };
        return c;
    }
    Reported locked(const std::function<void(Reported&)>& f = {}) {
        std::lock_guard g(mutex);
        if (f) f(data);
        return data;
    }
    bool closed() { return !locked().closes.empty(); }
    RecognitionService service(std::vector<std::string> options) { return RecognitionService(dir.path(), std::move(options)); }

    testenv::TempDir dir{"parlando-speech"};
    QtWebSocketFactory factory;
    testing::MemoryLog log;
    std::mutex mutex;
    Reported data;
};

// 2,000 chunks while the socket opens, then 24 MB at once (far more than the
// kernel's socket buffers hold) while the service stops reading for seconds:
// the caller, the audio thread, is never held up; held and direct chunks reach
// the service complete and in call order, the close message last; the
// handshake carries the exact query and the token (the service refuses any
// other); results come back.
TEST_F(SpeechIntegration, AudioArrivesCompleteAndInOrderAcrossTheOpenAndAStall) {
    const auto script = dir.path() / "script";
    std::ofstream(script) << "after 6400 interim ch=0 hel\n"
                             "after 12800 final ch=0 hello there\n"
                             "after 640000 binary {\"channel\":{\"alternatives\":[{\"transcript\":\"as bytes\"}]}}\n"
                             "closestream final ch=1 last words\n";
    auto svc = service({"--delay-open", "400", "--stall-after", "64000", "--stall-seconds", "6", "--script",
                        script.string(), "--key", "s3cr3t/+=", "--expect-query", monoQuery});
    auto c = client(svc.base(), "s3cr3t/+=");
    c->connect();
    const bool openedEarly = c->state() == State::open;
    std::string sent;
    auto send = [&](std::uint32_t i) {
        const auto chunk = numberedChunk(i);
        sent.append(chunk.begin(), chunk.end());
        c->sendAudio(chunk);
    };
    for (std::uint32_t i = 0; i < 2000; ++i) {
        send(i);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        if (i == 1500) testenv::waitFor([&] { return c->state() != State::connecting; }, 20s);  // a slow machine
    }
    EXPECT_TRUE(!openedEarly && c->state() == State::open) << "the open did not fall inside the stream";
    const auto started = std::chrono::steady_clock::now();
    for (std::uint32_t i = 2000; i < 2000 + 37700; ++i) send(i);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    c->finish();
    ASSERT_TRUE(testenv::waitFor([&] { return closed(); }, 90s));
    EXPECT_TRUE(svc.recorded() == sent) << "audio lost, reordered or corrupted";
    const auto lines = svc.log();
    const auto lastBinary = std::find_if(lines.rbegin(), lines.rend(), [](const auto& l) { return l.rfind("binary ", 0) == 0; });
    EXPECT_TRUE(std::find(lines.rbegin(), lastBinary, closeStreamLine) != lastBinary) << "CloseStream after the audio";
    const auto r = locked();
    EXPECT_TRUE(r.errors.empty() && (r.closes == Closes{{1000, ""}}));
    EXPECT_EQ(r.transcripts, (std::vector<Transcript>{{"hel", false, 0, 0.2},
                                                      {"hello there", true, 0, 0.4},
                                                      {"as bytes", false, std::nullopt},
                                                      {"last words", true, 1, 794.0}}));
    // The public endpoint is wss: the TLS backend must be there.
    EXPECT_TRUE(QSslSocket::supportsSsl());
}

// An abrupt drop, a handshake that never completes (ended at its deadline),
// the service's own close. A refused key and nothing listening are the
// transcription tool's failures, through this same client.
TEST_F(SpeechIntegration, FailuresNameTheirCauseAndAServiceCloseIsNoError) {
    // Each: the service's options, what the one error says (none: the service's own close).
    for (const auto& [args, needle] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--drop-after", "6400"}, "WebSocket connection"},
             {{"--never-open"}, "handshake timed out after 15 s"},
             {{"--close-after", "1280", "--close-reason", "NET-0001 idle"}, ""}}) {
        data = {};
        auto svc = service(args);
        auto c = client(svc.base());
        c->connect();
        for (std::uint32_t i = 0; i < 20; ++i) c->sendAudio(numberedChunk(i));
        ASSERT_TRUE(testenv::waitFor([&] { return closed(); }, 30s)) << needle;
        const auto r = locked();
        EXPECT_EQ(r.closes, (needle.empty() ? Closes{{1011, "NET-0001 idle"}} : Closes{{1006, ""}})) << needle;
        EXPECT_EQ(r.errors.size(), needle.empty() ? 0u : 1u) << needle;
        for (const auto& e : r.errors) EXPECT_NE(e.find(needle), std::string::npos) << e;
    }
}

}  // namespace
}  // namespace parlando
