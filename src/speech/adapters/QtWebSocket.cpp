#include "speech/adapters/QtWebSocket.h"

#include "core/adapters/QtNetworkThread.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <deque>
#include <mutex>
#include <regex>

namespace parlando {

namespace qtws {

namespace {

constexpr int kCloseAbnormal = 1006;
constexpr int kClosingHandshakeGraceMs = 2000;

struct Outgoing {
    bool text = false;
    std::vector<std::uint8_t> bytes;
};

const char* reasonPhrase(int status) {
    switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return nullptr;
    }
}

// One connection. The handle (QtWebSocket) may be dropped on any thread; the
// Qt objects are only touched on the network thread.
class SocketCore : public std::enable_shared_from_this<SocketCore> {
public:
    SocketCore(std::shared_ptr<QtNetworkThread> loop, WebSocketEvents events)
        : loop_(std::move(loop)), events_(std::move(events)) {}

    void open(const WebSocketRequest& request) {
        auto self = shared_from_this();
        loop_->post([self, request] { self->startOnThread(request); });
    }

    void enqueue(Outgoing message) {
        std::lock_guard guard(mutex_);
        if (ownerClosed_) return;
        out_.push_back(std::move(message));
        wakeLocked();
    }

    void enqueueBatch(std::vector<std::vector<std::uint8_t>> chunks) {
        std::lock_guard guard(mutex_);
        if (ownerClosed_) return;
        for (auto& c : chunks) out_.push_back(Outgoing{false, std::move(c)});
        wakeLocked();
    }

    void close(int code) {
        {
            std::lock_guard guard(mutex_);
            if (ownerClosed_) return;
            ownerClosed_ = true;
            std::deque<Outgoing>().swap(out_);
        }
        auto self = shared_from_this();
        loop_->post([self, code] { self->closeOnThread(code); });
    }

private:
    void wakeLocked() {
        if (drainPosted_) return;
        drainPosted_ = true;
        auto self = shared_from_this();
        loop_->post([self] { self->drain(); });
    }

    bool ownerClosed() {
        std::lock_guard guard(mutex_);
        return ownerClosed_;
    }

    void startOnThread(const WebSocketRequest& request) {
        if (ownerClosed()) return;
        ws_ = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, loop_->context());
        receiver_ = new QObject(loop_->context());
        auto self = shared_from_this();
        QObject::connect(ws_, &QWebSocket::connected, receiver_, [self] { self->onConnected(); });
        QObject::connect(ws_, &QWebSocket::disconnected, receiver_, [self] { self->onDisconnected(); });
        QObject::connect(ws_, &QWebSocket::aboutToClose, receiver_, [self] { self->closingHandshake_ = true; });
        QObject::connect(ws_, &QWebSocket::textMessageReceived, receiver_, [self](const QString& message) {
            if (self->events_.onText && !self->finished_) self->events_.onText(message.toStdString());
        });
        QObject::connect(ws_, &QWebSocket::binaryMessageReceived, receiver_, [self](const QByteArray& message) {
            if (self->events_.onBinary && !self->finished_)
                self->events_.onBinary(std::string(message.constData(), static_cast<std::size_t>(message.size())));
        });
        // Qt 6.4 has no errorOccurred yet.
        QObject::connect(ws_, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), receiver_,
                         [self](QAbstractSocket::SocketError) { self->onError(); });

        deadline_ = new QTimer(receiver_);
        deadline_->setSingleShot(true);
        const auto ms = request.timeout.count();
        const std::string limit = ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
        QObject::connect(deadline_, &QTimer::timeout, receiver_, [self, limit] {
            if (self->connected_ || self->finished_) return;
            self->fail("WebSocket handshake timed out after " + limit);
        });
        deadline_->start(request.timeout);

        QNetworkRequest networkRequest{QUrl(QString::fromStdString(request.url))};
        if (!request.headerName.empty()) {
            networkRequest.setRawHeader(QByteArray::fromStdString(request.headerName),
                                        QByteArray::fromStdString(request.headerValue));
        }
        ws_->open(networkRequest);
    }

    void onConnected() {
        if (finished_) return;
        connected_ = true;
        if (deadline_) deadline_->stop();
        if (events_.onOpen) events_.onOpen();
        drain();  // what was sent before the open goes out now, in order
    }

    void onError() {
        if (finished_ || !ws_) return;
        if (closingHandshake_) return;  // the peer's close frame came first: a normal end
        fail(describeWebSocketError(ws_->errorString().toStdString(), connected_));
    }

    void onDisconnected() {
        if (finished_ || !ws_) return;
        if (closingHandshake_) {
            finish(ws_->closeCode(), ws_->closeReason().toStdString());
        } else {
            // No close frame: Qt still says 1000, but the connection dropped.
            fail(describeWebSocketError(ws_->errorString().toStdString(), connected_));
        }
    }

    void fail(const std::string& description) {
        if (finished_) return;
        if (events_.onFailure) events_.onFailure(description);
        finish(kCloseAbnormal, {});
    }

    // Reports the end once and lets go of the Qt objects.
    void finish(int code, const std::string& reason) {
        if (finished_) return;
        finished_ = true;
        release(true);
        if (events_.onClose) events_.onClose(code, reason);
    }

    void release(bool abort) {
        {
            std::lock_guard guard(mutex_);
            std::deque<Outgoing>().swap(out_);
        }
        if (receiver_) receiver_->deleteLater();  // drops our connections and the deadline
        receiver_ = nullptr;
        deadline_ = nullptr;
        if (ws_) {
            if (abort) ws_->abort();
            ws_->deleteLater();
        }
        ws_ = nullptr;
    }

    void closeOnThread(int code) {
        finished_ = true;  // the owner has let go: no more events
        if (receiver_) receiver_->deleteLater();
        receiver_ = nullptr;
        deadline_ = nullptr;
        QPointer<QWebSocket> ws = ws_;
        ws_ = nullptr;
        if (!ws) return;
        if (connected_ && ws->state() == QAbstractSocket::ConnectedState) {
            // Let the closing handshake run; give up after a grace period.
            QObject::connect(ws, &QWebSocket::disconnected, ws, &QObject::deleteLater);
            QTimer::singleShot(kClosingHandshakeGraceMs, ws, [ws] {
                ws->abort();
                ws->deleteLater();
            });
            ws->close(static_cast<QWebSocketProtocol::CloseCode>(code));
        } else {
            ws->abort();
            ws->deleteLater();
        }
    }

    void drain() {
        std::deque<Outgoing> batch;
        {
            std::lock_guard guard(mutex_);
            drainPosted_ = false;
            if (finished_ || !connected_ || !ws_) return;  // held until the open
            batch.swap(out_);
        }
        for (auto& m : batch) {
            const auto size = static_cast<qint64>(m.bytes.size());
            const auto raw = QByteArray::fromRawData(reinterpret_cast<const char*>(m.bytes.data()), size);
            const qint64 written = m.text ? ws_->sendTextMessage(QString::fromUtf8(raw)) : ws_->sendBinaryMessage(raw);
            if (written < size && events_.onSendFailed) {
                events_.onSendFailed("WebSocket send failed: " + ws_->errorString().toStdString());
            }
            if (finished_ || !ws_) return;  // a send callback may have ended it
        }
    }

    std::shared_ptr<QtNetworkThread> loop_;
    const WebSocketEvents events_;

    std::mutex mutex_;
    std::deque<Outgoing> out_;
    bool drainPosted_ = false;
    bool ownerClosed_ = false;

    // Network thread only (read under mutex_ in drain for a consistent view).
    QPointer<QWebSocket> ws_;
    QPointer<QObject> receiver_;
    QPointer<QTimer> deadline_;
    bool connected_ = false;
    bool closingHandshake_ = false;
    bool finished_ = false;
};

class QtWebSocket final : public WebSocket {
public:
    explicit QtWebSocket(std::shared_ptr<SocketCore> core) : core_(std::move(core)) {}
    ~QtWebSocket() override { core_->close(1001); }
    void open(const WebSocketRequest& request) override { core_->open(request); }
    void sendBinary(std::vector<std::uint8_t> data) override { core_->enqueue(Outgoing{false, std::move(data)}); }
    void sendBinaryBatch(std::vector<std::vector<std::uint8_t>> chunks) override {
        core_->enqueueBatch(std::move(chunks));
    }
    void sendText(std::string text) override {
        core_->enqueue(Outgoing{true, std::vector<std::uint8_t>(text.begin(), text.end())});
    }
    void close(int code) override { core_->close(code); }

private:
    std::shared_ptr<SocketCore> core_;
};

}  // namespace
}  // namespace qtws

QtWebSocketFactory::QtWebSocketFactory()
    : loop_(std::make_shared<QtNetworkThread>(QStringLiteral("parlando-network"))) {}

// Deletes every socket still alive, on its own thread, then stops it.
QtWebSocketFactory::~QtWebSocketFactory() { loop_->stop(); }

std::unique_ptr<WebSocket> QtWebSocketFactory::create(WebSocketEvents events) {
    return std::make_unique<qtws::QtWebSocket>(std::make_shared<qtws::SocketCore>(loop_, std::move(events)));
}

std::string describeWebSocketError(const std::string& qtErrorString, bool wasOpen) {
    static const std::regex status(R"(status code:?\s*(\d{3}))", std::regex::icase);
    std::smatch m;
    if (std::regex_search(qtErrorString, m, status)) {
        const int code = std::stoi(m[1].str());
        std::string text = "WebSocket handshake refused with HTTP status " + std::to_string(code);
        if (const char* phrase = qtws::reasonPhrase(code)) text += std::string(" (") + phrase + ")";
        return text;
    }
    const std::string detail = qtErrorString.empty() ? std::string("closed without a close frame") : qtErrorString;
    return (wasOpen ? "WebSocket connection lost: " : "WebSocket connection failed: ") + detail;
}

}  // namespace parlando
