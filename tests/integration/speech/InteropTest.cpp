// The client against a WebSocket server that is not Qt's (Python websockets),
// so that two Qt ends cannot agree on something non-standard.
#include "SpeechTestSupport.h"

#include "fakes/Fakes.h"
#include "speech/adapters/QtWebSocket.h"

#include <QSslConfiguration>

namespace parlando::speechtest {
namespace {

const auto* const qtApp = ::testing::AddGlobalTestEnvironment(new QtApp);

class PythonService {
public:
    explicit PythonService(const fs::path& dir, std::vector<std::string> tlsFiles = {}) : dir_(dir) {
        std::vector<std::string> argv{"/usr/bin/python3",
                                      std::string(PARLANDO_SOURCE_DIR) + "/tests/integration/speech/interop_server.py",
                                      (dir / "port").string(), (dir / "audio.raw").string(),
                                      (dir / "events.log").string(), "py-key"};
        argv.insert(argv.end(), tlsFiles.begin(), tlsFiles.end());
        tls_ = !tlsFiles.empty();
        process_ = testenv::Process::spawn(argv, {}, std::nullopt, dir / "stderr");
        ready_ = testenv::waitFor([&] { return !readFile(dir / "port").empty(); }, 30s);
        if (ready_) port_ = std::stoi(readFile(dir / "port"));
    }
    bool ready() const { return ready_; }
    std::string stderrText() const { return readFile(dir_ / "stderr"); }
    std::string base() const { return (tls_ ? "wss://localhost:" : "ws://127.0.0.1:") + std::to_string(port_); }
    std::vector<std::string> events() const { return readLines(dir_ / "events.log"); }
    std::string recorded() const { return readFile(dir_ / "audio.raw"); }
    bool waitFor(const std::string& line) const {
        return testenv::waitFor(
            [&] {
                for (const auto& l : events())
                    if (l == line) return true;
                return false;
            },
            20s);
    }

private:
    fs::path dir_;
    testenv::Process process_;
    bool ready_ = false;
    bool tls_ = false;
    int port_ = 0;
};

class Interop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists("/usr/bin/python3") ||
            testenv::run({"/usr/bin/python3", "-c", "import websockets"}).exitCode != 0) {
            GTEST_SKIP() << "python3-websockets is not installed";
        }
        service = std::make_unique<PythonService>(dir.path(), tlsFiles());
        ASSERT_TRUE(service->ready()) << service->stderrText();
    }
    virtual std::vector<std::string> tlsFiles() { return {}; }
    std::shared_ptr<DeepgramClient> client(const std::string& key, Reports& to) {
        auto c = DeepgramClient::create(factory, log, key, "multi", "nova-3", 2, true);
        c->setEndpoint(service->base());
        to.attach(*c);
        return c;
    }
    // Streams n chunks, partly held before the open and partly sent after it, and finishes.
    void stream(std::uint32_t n, std::size_t size) {
        auto c = client("py-key", reports);
        c->connect();
        std::string expected;
        for (std::uint32_t i = 0; i < n; ++i) {
            const auto chunk = numberedChunk(i, size);
            expected.append(chunk.begin(), chunk.end());
            c->sendAudio(chunk);
            if (i == n / 2) {
                ASSERT_TRUE(reports.waitOpen()) << (reports.snapshot().errors.empty() ? "" : reports.snapshot().errors[0]);
            }
        }
        c->finish();
        ASSERT_TRUE(reports.waitClosed());
        const auto r = reports.snapshot();
        EXPECT_TRUE(r.errors.empty()) << r.errors.at(0);
        EXPECT_EQ(r.closes, (std::vector<std::pair<int, std::string>>{{1000, "done"}}));
        EXPECT_EQ(r.transcripts, (std::vector<Transcript>{{"first words", true, 0}, {"closing words", true, std::nullopt}}));
        EXPECT_EQ(service->recorded(), expected);
        EXPECT_TRUE(service->waitFor(R"(text {"type":"CloseStream"})"));
    }

    testenv::TempDir dir{"parlando-interop"};
    std::unique_ptr<PythonService> service;
    QtWebSocketFactory factory;
    testing::MemoryLog log;
    Reports reports;
};

TEST_F(Interop, StreamsAudioAndReadsResultsFromAnIndependentServer) {
    stream(50, 1280);
    const auto events = service->events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0], "request /v1/listen?" + kMeetingQuery);
}

TEST_F(Interop, RefusalAndGoingAwayAreUnderstoodBothWays) {
    auto refused = client("wrong", reports);
    refused->connect();
    ASSERT_TRUE(reports.waitClosed());
    const auto r = reports.snapshot();
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_NE(r.errors[0].find("HTTP status 401"), std::string::npos) << r.errors[0];

    Reports second;
    auto c = client("py-key", second);
    c->connect();
    ASSERT_TRUE(second.waitOpen());
    c->sendAudio(numberedChunk(1));
    c->disconnect();
    EXPECT_TRUE(service->waitFor("peer-closed 1001"));
    EXPECT_TRUE(second.snapshot().errors.empty());
}

// The public endpoint is wss: the same exchange over TLS, with a certificate
// made for the test and trusted by this process only.
class InteropTls : public Interop {
protected:
    std::vector<std::string> tlsFiles() override {
        if (!testenv::haveProgram("openssl")) return {};
        const auto cert = dir.path() / "cert.pem", key = dir.path() / "key.pem";
        const auto made = testenv::run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key.string(),
                                        "-out", cert.string(), "-days", "1", "-subj", "/CN=localhost", "-addext",
                                        "subjectAltName=DNS:localhost"});
        if (made.exitCode != 0) return {};
        auto config = QSslConfiguration::defaultConfiguration();
        config.addCaCertificates(QString::fromStdString(cert.string()));
        QSslConfiguration::setDefaultConfiguration(config);
        return {cert.string(), key.string()};
    }
};

TEST_F(InteropTls, StreamsOverTls) {
    ASSERT_EQ(service->base().rfind("wss://", 0), 0u) << "could not make a test certificate";
    stream(10, 640);
}

}  // namespace
}  // namespace parlando::speechtest
