// fake-deepgram: speaks the recognition service's streaming protocol on
// loopback. It checks the handshake (path, query, Authorization header),
// records every binary frame in arrival order, answers with scripted results,
// sends a Metadata message and closes with 1000 after CloseStream; on request
// it delays or withholds the open, never closes, drops the connection, or
// stops reading for a while.
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>
#include <QWebSocketServer>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* kUsage = R"(Usage: fake-deepgram [options]

A local stand-in for the Deepgram streaming endpoint (GET /v1/listen over
WebSocket), listening on 127.0.0.1. Prints "listening on 127.0.0.1:PORT" on
standard output once it accepts connections.

Handshake:
  --port N               port to listen on; 0 picks a free one (default 0)
  --port-file FILE       also write the bound port number to FILE
  --key KEY              accept only "Authorization: Token KEY"; anything else
                         is refused with HTTP 401 (default: any "Token ..." header)
  --expect-query QUERY   refuse with HTTP 400 unless the query string is QUERY
  --delay-open MS        answer the handshake only after MS milliseconds
  --never-open           accept the TCP connection but never answer the handshake

Recording:
  --record FILE          append the bytes of every binary frame, in arrival order
  --log FILE             one line per event: "request GET /v1/listen?...",
                         "header Name: value", "binary N", "text ...",
                         "sent ...", "close CODE", "peer-closed CODE", "dropped"

Replies:
  --script FILE          scripted replies, one per line (see below)
  --final-on-close TEXT  on CloseStream, send one final result with TEXT
  --never-close          after CloseStream send the replies and the Metadata
                         message but keep the connection open
  --close-after BYTES    close the connection (with a close frame) once BYTES
                         of audio have arrived, without waiting for CloseStream
  --close-code N         the code for --close-after (default 1011)
  --close-reason TEXT    the reason for --close-after (default "NET-0001")
  --drop-after BYTES     drop the TCP connection abruptly (no close frame) once
                         BYTES of audio have arrived
  --stall-after BYTES    once BYTES of audio have arrived, stop reading...
  --stall-seconds S      ...for S seconds (default 5)
  --once                 exit after the first connection has ended
  -h, --help             show this text

Script lines ('#' starts a comment):
  after BYTES final|interim [ch=N] TEXT   a result once BYTES of audio arrived
  after BYTES raw MESSAGE                  any text message, sent as is
  after BYTES binary MESSAGE               the same, sent as a binary frame
  closestream final|interim [ch=N] TEXT    a result when CloseStream arrives
  closestream raw MESSAGE
With ch=N the result carries "channel_index":[N, channels]; without it the
field is absent. Results sent on CloseStream go out before the Metadata
message; the connection then closes with code 1000.
)";

struct Reply {
    bool onCloseStream = false;
    qint64 afterBytes = 0;
    bool binary = false;
    std::string message;  // raw message, or empty when built from the fields below
    bool result = false;
    bool isFinal = false;
    std::optional<int> channel;
    std::string text;
};

struct Options {
    quint16 port = 0;
    QString portFile, record, log, script;
    std::optional<std::string> key, expectQuery;
    int delayOpenMs = 0;
    bool neverOpen = false, neverClose = false, once = false;
    std::optional<qint64> dropAfter, stallAfter, closeAfter;
    int closeCode = 1011;
    std::string closeReason = "NET-0001";
    double stallSeconds = 5.0;
    std::vector<Reply> replies;
};

[[noreturn]] void usageError(const std::string& message) {
    std::cerr << "fake-deepgram: " << message << "\n(see fake-deepgram --help)\n";
    std::exit(2);
}

Reply parseReplyFields(Reply r, std::istringstream& in, const std::string& line) {
    std::string kind;
    in >> kind;
    std::string rest;
    std::getline(in, rest);
    if (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
    if (kind == "raw" || kind == "binary") {
        r.binary = kind == "binary";
        r.message = rest;
        return r;
    }
    if (kind != "final" && kind != "interim") usageError("bad script line: " + line);
    r.result = true;
    r.isFinal = kind == "final";
    if (rest.rfind("ch=", 0) == 0) {
        const auto space = rest.find(' ');
        try {
            r.channel = std::stoi(rest.substr(3, space == std::string::npos ? std::string::npos : space - 3));
        } catch (...) {
            usageError("bad channel in script line: " + line);
        }
        rest = space == std::string::npos ? std::string() : rest.substr(space + 1);
    }
    r.text = rest;
    return r;
}

std::vector<Reply> readScript(const QString& path) {
    std::ifstream in(path.toStdString());
    if (!in) usageError("cannot read script " + path.toStdString());
    std::vector<Reply> replies;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        std::istringstream words(line.substr(first));
        std::string trigger;
        words >> trigger;
        Reply r;
        if (trigger == "after") {
            if (!(words >> r.afterBytes)) usageError("bad script line: " + line);
        } else if (trigger == "closestream") {
            r.onCloseStream = true;
        } else {
            usageError("bad script line: " + line);
        }
        replies.push_back(parseReplyFields(r, words, line));
    }
    return replies;
}

Options parseOptions(const QStringList& args) {
    Options o;
    auto value = [&](int& i) -> QString {
        if (i + 1 >= args.size()) usageError(args[i].toStdString() + " needs a value");
        return args[++i];
    };
    auto number = [&](int& i) -> qint64 {
        const QString name = args[i];
        bool ok = false;
        const qint64 v = value(i).toLongLong(&ok);
        if (!ok || v < 0) usageError(name.toStdString() + " needs a non-negative number");
        return v;
    };
    std::optional<std::string> finalOnClose;
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args[i];
        if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            std::exit(0);
        } else if (a == "--port") {
            const qint64 p = number(i);
            if (p > 65535) usageError("--port out of range");
            o.port = static_cast<quint16>(p);
        } else if (a == "--port-file") o.portFile = value(i);
        else if (a == "--key") o.key = value(i).toStdString();
        else if (a == "--expect-query") o.expectQuery = value(i).toStdString();
        else if (a == "--delay-open") o.delayOpenMs = static_cast<int>(number(i));
        else if (a == "--never-open") o.neverOpen = true;
        else if (a == "--record") o.record = value(i);
        else if (a == "--log") o.log = value(i);
        else if (a == "--script") o.script = value(i);
        else if (a == "--final-on-close") finalOnClose = value(i).toStdString();
        else if (a == "--never-close") o.neverClose = true;
        else if (a == "--drop-after") o.dropAfter = number(i);
        else if (a == "--close-after") o.closeAfter = number(i);
        else if (a == "--close-code") o.closeCode = static_cast<int>(number(i));
        else if (a == "--close-reason") o.closeReason = value(i).toStdString();
        else if (a == "--stall-after") o.stallAfter = number(i);
        else if (a == "--stall-seconds") o.stallSeconds = value(i).toDouble();
        else if (a == "--once") o.once = true;
        else usageError("unknown option " + a.toStdString());
    }
    if (!o.script.isEmpty()) o.replies = readScript(o.script);
    if (finalOnClose) {
        Reply r;
        r.onCloseStream = true;
        r.result = true;
        r.isFinal = true;
        r.text = *finalOnClose;
        o.replies.push_back(r);
    }
    return o;
}

class EventLog {
public:
    explicit EventLog(const QString& path) {
        if (!path.isEmpty()) out_.open(path.toStdString(), std::ios::app);
    }
    void line(const std::string& l) {
        if (!out_.is_open()) return;
        out_ << l << '\n';
        out_.flush();
    }

private:
    std::ofstream out_;
};

std::string printable(const std::string& s, std::size_t max = 200) {
    std::string out;
    for (char c : s.substr(0, max)) out += (c == '\n' || c == '\r') ? ' ' : c;
    if (s.size() > max) out += "...";
    return out;
}

class Connection;

class Server : public QObject {
public:
    explicit Server(Options options)
        : options_(std::move(options)),
          log_(options_.log),
          ws_(QStringLiteral("fake-deepgram"), QWebSocketServer::NonSecureMode) {
        if (!options_.record.isEmpty()) {
            record_.setFileName(options_.record);
            if (!record_.open(QIODevice::WriteOnly | QIODevice::Append)) usageError("cannot write " + options_.record.toStdString());
        }
        connect(&tcp_, &QTcpServer::newConnection, this, &Server::onTcpConnection);
        connect(&ws_, &QWebSocketServer::newConnection, this, &Server::onWebSocket);
    }

    bool listen() {
        if (!tcp_.listen(QHostAddress::LocalHost, options_.port)) {
            std::cerr << "fake-deepgram: cannot listen on port " << options_.port << ": "
                      << tcp_.errorString().toStdString() << "\n";
            return false;
        }
        const quint16 port = tcp_.serverPort();
        if (!options_.portFile.isEmpty()) {
            std::ofstream(options_.portFile.toStdString()) << port << '\n';
        }
        std::cout << "listening on 127.0.0.1:" << port << std::endl;
        return true;
    }

    const Options& options() const { return options_; }
    EventLog& log() { return log_; }
    void record(const QByteArray& bytes) {
        if (record_.isOpen()) {
            record_.write(bytes);
            record_.flush();
        }
    }
    void connectionEnded() {
        if (options_.once) QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }

private:
    void onTcpConnection();
    void onWebSocket();
    void checkHandshake(QTcpSocket* socket);
    void refuse(QTcpSocket* socket, int status, const std::string& reason, const std::string& message);

    Options options_;
    EventLog log_;
    QFile record_;
    QTcpServer tcp_;
    QWebSocketServer ws_;
    int channelsOfNext_ = 1;
};

class Connection : public QObject {
public:
    Connection(Server& server, QWebSocket* socket, int channels)
        : server_(server), socket_(socket), channels_(channels) {
        socket_->setParent(this);
        connect(socket_, &QWebSocket::binaryMessageReceived, this, &Connection::onBinary);
        connect(socket_, &QWebSocket::textMessageReceived, this, &Connection::onText);
        connect(socket_, &QWebSocket::disconnected, this, &Connection::onDisconnected);
        fire();  // "after 0" replies
    }

private:
    void onBinary(const QByteArray& bytes) {
        if (dropped_ || closing_) return;
        server_.record(bytes);
        server_.log().line("binary " + std::to_string(bytes.size()));
        audioBytes_ += bytes.size();
        fire();
        const auto& o = server_.options();
        if (o.dropAfter && audioBytes_ >= *o.dropAfter) {
            dropped_ = true;
            server_.log().line("dropped");
            socket_->abort();
            return;
        }
        if (o.closeAfter && !closing_ && audioBytes_ >= *o.closeAfter) {
            closing_ = true;
            server_.log().line("close " + std::to_string(o.closeCode));
            socket_->close(static_cast<QWebSocketProtocol::CloseCode>(o.closeCode), QString::fromStdString(o.closeReason));
            return;
        }
        if (o.stallAfter && !stalled_ && audioBytes_ >= *o.stallAfter) {
            stalled_ = true;
            server_.log().line("stall " + std::to_string(o.stallSeconds));
            // Blocks the whole event loop: nothing is read from any socket.
            QThread::msleep(static_cast<unsigned long>(o.stallSeconds * 1000));
            server_.log().line("stall-end");
        }
    }

    void onText(const QString& message) {
        const std::string text = message.toStdString();
        server_.log().line("text " + printable(text));
        const auto parsed = nlohmann::json::parse(text, nullptr, false);
        if (!parsed.is_object() || parsed.value("type", std::string()) != "CloseStream") return;
        if (closeStreamSeen_) return;
        closeStreamSeen_ = true;
        for (const auto& r : server_.options().replies) {
            if (r.onCloseStream) send(r);
        }
        nlohmann::ordered_json metadata = {{"type", "Metadata"},
                                   {"transaction_key", "deprecated"},
                                   {"request_id", "00000000-0000-4000-8000-000000000000"},
                                   {"sha256", ""},
                                   {"created", "2024-01-01T00:00:00.000Z"},
                                   {"duration", static_cast<double>(audioBytes_) / (32000.0 * channels_)},
                                   {"channels", channels_}};
        sendText(metadata.dump());
        if (server_.options().neverClose) return;
        server_.log().line("close 1000");
        socket_->close(QWebSocketProtocol::CloseCodeNormal);
    }

    void onDisconnected() {
        if (!dropped_) server_.log().line("peer-closed " + std::to_string(socket_->closeCode()));
        server_.connectionEnded();
        deleteLater();
    }

    void fire() {
        const auto& replies = server_.options().replies;
        for (std::size_t i = 0; i < replies.size(); ++i) {
            if (replies[i].onCloseStream || (i < fired_.size() && fired_[i])) continue;
            if (audioBytes_ >= replies[i].afterBytes) {
                fired_.resize(replies.size(), false);
                fired_[i] = true;
                send(replies[i]);
            }
        }
    }

    void send(const Reply& r) {
        if (!r.result) {
            if (r.binary) {
                server_.log().line("sent-binary " + printable(r.message));
                socket_->sendBinaryMessage(QByteArray::fromStdString(r.message));
            } else {
                sendText(r.message);
            }
            return;
        }
        const double start = static_cast<double>(audioBytes_) / (32000.0 * channels_);
        nlohmann::ordered_json message = {
            {"type", "Results"},
            {"duration", 0.5},
            {"start", start},
            {"is_final", r.isFinal},
            {"speech_final", r.isFinal},
            {"channel", {{"alternatives", {{{"transcript", r.text}, {"confidence", 0.99}, {"words", nlohmann::ordered_json::array()}}}}}},
            {"metadata", {{"request_id", "00000000-0000-4000-8000-000000000000"}}},
        };
        if (r.channel) message["channel_index"] = {*r.channel, channels_};
        sendText(message.dump());
    }

    void sendText(const std::string& text) {
        server_.log().line("sent " + printable(text));
        socket_->sendTextMessage(QString::fromStdString(text));
    }

    Server& server_;
    QWebSocket* socket_;
    int channels_;
    qint64 audioBytes_ = 0;
    std::vector<bool> fired_;
    bool closeStreamSeen_ = false, dropped_ = false, stalled_ = false, closing_ = false;
};

void Server::onTcpConnection() {
    while (QTcpSocket* socket = tcp_.nextPendingConnection()) {
        // Read the request without consuming it, so that the WebSocket server
        // can still answer it when we accept.
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { checkHandshake(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void Server::refuse(QTcpSocket* socket, int status, const std::string& reason, const std::string& message) {
    log_.line("refused " + std::to_string(status) + " " + message);
    const std::string body = nlohmann::json{{"err_code", status == 401 ? "INVALID_AUTH" : "BAD_REQUEST"},
                                            {"err_msg", message}}
                                 .dump();
    const std::string response = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                                 "\r\nContent-Type: application/json\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    socket->readAll();
    socket->write(response.data(), static_cast<qint64>(response.size()));
    socket->disconnectFromHost();
    connectionEnded();
}

void Server::checkHandshake(QTcpSocket* socket) {
    const QByteArray head = socket->peek(socket->bytesAvailable());
    const qsizetype end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (head.size() > 64 * 1024) refuse(socket, 400, "Bad Request", "request too large");
        return;
    }
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);

    const QList<QByteArray> lines = head.left(end).split('\n');
    const std::string requestLine = lines.value(0).trimmed().toStdString();
    log_.line("request " + requestLine);
    std::optional<std::string> authorization;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        log_.line("header " + line.toStdString());
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "authorization") {
            authorization = line.mid(colon + 1).trimmed().toStdString();
        }
    }

    std::istringstream words(requestLine);
    std::string method, target;
    words >> method >> target;
    const auto q = target.find('?');
    const std::string path = target.substr(0, q);
    const std::string query = q == std::string::npos ? std::string() : target.substr(q + 1);
    if (method != "GET" || path != "/v1/listen") {
        refuse(socket, 404, "Not Found", "unknown path " + path);
        return;
    }
    if (options_.expectQuery && query != *options_.expectQuery) {
        refuse(socket, 400, "Bad Request", "unexpected query " + query);
        return;
    }
    const bool keyOk = options_.key ? authorization == "Token " + *options_.key
                                    : authorization && authorization->rfind("Token ", 0) == 0;
    if (!keyOk) {
        refuse(socket, 401, "Unauthorized", "Invalid credentials.");
        return;
    }
    const QUrlQuery items(QString::fromStdString(query));
    channelsOfNext_ = std::max(1, items.queryItemValue(QStringLiteral("channels")).toInt());

    if (options_.neverOpen) {
        log_.line("withholding the open");
        return;
    }
    QPointer<QTcpSocket> guarded(socket);
    auto accept = [this, guarded] {
        if (!guarded || guarded->state() != QAbstractSocket::ConnectedState) return;
        disconnect(guarded, &QTcpSocket::disconnected, guarded, &QObject::deleteLater);
        ws_.handleConnection(guarded);
    };
    if (options_.delayOpenMs > 0) {
        log_.line("delaying the open by " + std::to_string(options_.delayOpenMs) + " ms");
        QTimer::singleShot(options_.delayOpenMs, this, accept);
    } else {
        accept();
    }
}

void Server::onWebSocket() {
    while (QWebSocket* socket = ws_.nextPendingConnection()) {
        log_.line("open");
        new Connection(*this, socket, channelsOfNext_);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Options options = parseOptions(app.arguments());
    Server server(std::move(options));
    if (!server.listen()) return 1;
    return app.exec();
}
