// Cost of DeepgramClient::sendAudio on the caller's (audio) thread for one
// 20 ms chunk (640 bytes), while the socket is open and while it is still
// connecting, over the real Qt WebSocket adapter and a loopback peer.
#include "core/Log.h"
#include "speech/DeepgramClient.h"
#include "speech/adapters/QtWebSocket.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QThread>
#include <QWebSocket>
#include <QWebSocketServer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using namespace parlando;

class NullLog final : public Log {
public:
    void append(std::string_view) override {}
};

// A peer on its own thread: a WebSocket server that reads and discards, and a
// TCP listener that accepts and never answers (a handshake that stays open).
class Peer {
public:
    Peer() {
        thread_.start();
        QObject* context = new QObject;
        context->moveToThread(&thread_);
        context_ = context;
        QMetaObject::invokeMethod(
            context,
            [this, context] {
                ws_ = new QWebSocketServer(QStringLiteral("bench"), QWebSocketServer::NonSecureMode, context);
                ws_->listen(QHostAddress::LocalHost, 0);
                QObject::connect(ws_, &QWebSocketServer::newConnection, context, [this] {
                    while (QWebSocket* s = ws_->nextPendingConnection()) {
                        QObject::connect(s, &QWebSocket::binaryMessageReceived, s, [](const QByteArray&) {});
                    }
                });
                silent_ = new QTcpServer(context);
                silent_->listen(QHostAddress::LocalHost, 0);
                wsPort_ = ws_->serverPort();
                silentPort_ = silent_->serverPort();
            },
            Qt::BlockingQueuedConnection);
    }
    ~Peer() {
        QObject* context = context_;
        QMetaObject::invokeMethod(context, [context] { delete context; }, Qt::BlockingQueuedConnection);
        thread_.quit();
        thread_.wait();
    }
    std::string openBase() const { return "ws://127.0.0.1:" + std::to_string(wsPort_); }
    std::string silentBase() const { return "ws://127.0.0.1:" + std::to_string(silentPort_); }

private:
    QThread thread_;
    QObject* context_ = nullptr;
    QWebSocketServer* ws_ = nullptr;
    QTcpServer* silent_ = nullptr;
    quint16 wsPort_ = 0, silentPort_ = 0;
};

struct World {
    World() : app(argc, argv) {}
    int argc = 1;
    char name[16] = "bench";
    char* argv[2] = {name, nullptr};
    QCoreApplication app;
    QtWebSocketFactory sockets;
    NullLog log;
    Peer peer;
};

World& world() {
    static World* w = new World;  // lives until exit; Qt threads stop with the process
    return *w;
}

std::shared_ptr<DeepgramClient> connectedClient(const std::string& base, DeepgramClient::State want) {
    auto client = DeepgramClient::create(world().sockets, world().log, "bench-key");
    client->setEndpoint(base);
    client->connect();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (client->state() != want && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return client;
}

const std::vector<std::uint8_t> kChunk(640, 0x11);

// 50,000 chunks per run (1,000 s of audio); the network thread drains in parallel.
void BM_SendAudioOpen(benchmark::State& state) {
    auto client = connectedClient(world().peer.openBase(), DeepgramClient::State::open);
    if (client->state() != DeepgramClient::State::open) {
        state.SkipWithError("socket did not open");
        return;
    }
    for (auto _ : state) client->sendAudio(std::vector<std::uint8_t>(kChunk));
    state.SetBytesProcessed(state.iterations() * 640);
    client->disconnect();
}
BENCHMARK(BM_SendAudioOpen)->Iterations(50000)->Repetitions(10)->ReportAggregatesOnly(true);

// The same with each call timed on its own: the tail shows whether the audio
// thread is ever held up (lock contention with the network thread, a wake-up).
void BM_SendAudioOpenTail(benchmark::State& state) {
    auto client = connectedClient(world().peer.openBase(), DeepgramClient::State::open);
    if (client->state() != DeepgramClient::State::open) {
        state.SkipWithError("socket did not open");
        return;
    }
    std::vector<double> ns;
    ns.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        client->sendAudio(std::vector<std::uint8_t>(kChunk));
        ns.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(ns.begin(), ns.end());
    state.counters["p50_ns"] = ns[ns.size() / 2];
    state.counters["p99_ns"] = ns[ns.size() * 99 / 100];
    state.counters["p999_ns"] = ns[ns.size() * 999 / 1000];
    state.counters["max_ns"] = ns.back();
    client->disconnect();
}
BENCHMARK(BM_SendAudioOpenTail)->Iterations(50000)->Repetitions(3);

// 6,000 chunks per run: held in the pending buffer, below the 4 MiB cap.
void BM_SendAudioConnecting(benchmark::State& state) {
    auto client = connectedClient(world().peer.silentBase(), DeepgramClient::State::connecting);
    for (auto _ : state) client->sendAudio(std::vector<std::uint8_t>(kChunk));
    if (client->state() != DeepgramClient::State::connecting) state.SkipWithError("left connecting");
    client->disconnect();
}
BENCHMARK(BM_SendAudioConnecting)->Iterations(6000)->Repetitions(20)->ReportAggregatesOnly(true);

// Past the cap every chunk is dropped: the cheapest path.
void BM_SendAudioConnectingCapReached(benchmark::State& state) {
    auto client = connectedClient(world().peer.silentBase(), DeepgramClient::State::connecting);
    for (int i = 0; i < 6554; ++i) client->sendAudio(std::vector<std::uint8_t>(kChunk));
    for (auto _ : state) client->sendAudio(std::vector<std::uint8_t>(kChunk));
    client->disconnect();
}
BENCHMARK(BM_SendAudioConnectingCapReached)->Iterations(50000)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
