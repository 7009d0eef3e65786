#pragma once
// The small HTTP/1.1 server under the local test services: loopback only,
// one request per connection, answers written by the service's handler
// (at once, later, slowly, or never). Header-only, Qt Network.
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <map>
#include <string>

namespace testhttp {

struct Request {
    std::string method, path;
    std::map<std::string, std::string> headers;  // names in lower case
};

inline const char* reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 304: return "Not Modified";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

inline QByteArray response(int status, const std::string& body, const std::string& type = "text/plain") {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " " + reason(status) + "\r\n";
    if (status != 204 && status != 304) {
        out += "Content-Type: " + QByteArray::fromStdString(type) + "\r\n";
        out += "Content-Length: " + QByteArray::number(qsizetype(body.size())) + "\r\n";
    }
    out += "Connection: close\r\n\r\n";
    if (status != 204 && status != 304) out += QByteArray::fromStdString(body);
    return out;
}

// Answers: write() and close, after `delayMs`; or send the head at once and
// dribble the body one byte every `dribbleMs`; or never; or drop the connection.
struct Answer {
    enum class Kind { send, never, drop, dribble } kind = Kind::send;
    QByteArray bytes;
    int delayMs = 0;
    int dribbleMs = 500;
};

class Server {
public:
    using Handler = std::function<Answer(const Request&)>;

    Server(Handler handler) : handler_(std::move(handler)) {}

    // Listens on 127.0.0.1:port (0: any free one), prints the port and writes it to portFile.
    bool listen(quint16 port, const QString& portFile, const char* name) {
        if (!server_.listen(QHostAddress::LocalHost, port)) {
            std::fprintf(stderr, "%s: cannot listen: %s\n", name, server_.errorString().toLocal8Bit().constData());
            return false;
        }
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) accept(s);
        });
        std::printf("listening on 127.0.0.1:%u\n", unsigned(server_.serverPort()));
        std::fflush(stdout);
        if (!portFile.isEmpty()) {
            // Written whole, then renamed, so a reader never sees half a number.
            QFile f(portFile + ".tmp");
            if (f.open(QIODevice::WriteOnly)) {
                f.write(QByteArray::number(server_.serverPort()));
                f.close();
                QFile::remove(portFile);
                f.rename(portFile);
            }
        }
        return true;
    }

private:
    void accept(QTcpSocket* socket) {
        socket->setParent(&server_);
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            if (buffer->contains("\r\n\r\n")) return;  // one request per connection
            *buffer += socket->readAll();
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0) return;
            Request request;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0).toStdString();
            request.path = first.value(1).toStdString();
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    request.headers[lines[i].left(colon).trimmed().toLower().toStdString()] =
                        lines[i].mid(colon + 1).trimmed().toStdString();
            }
            answer(socket, handler_(request));
        });
    }

    static void answer(QTcpSocket* socket, Answer a) {
        QPointer<QTcpSocket> s = socket;
        switch (a.kind) {
        case Answer::Kind::never: return;
        case Answer::Kind::drop: socket->abort(); return;
        case Answer::Kind::send:
            QTimer::singleShot(a.delayMs, socket, [s, bytes = a.bytes] {
                if (QTcpSocket* live = s.data()) {
                    live->write(bytes);
                    live->disconnectFromHost();
                }
            });
            return;
        case Answer::Kind::dribble: {
            auto* timer = new QTimer(socket);
            const qsizetype head = a.bytes.indexOf("\r\n\r\n") + 4;
            socket->write(a.bytes.left(head));
            auto sent = std::make_shared<qsizetype>(head);
            QObject::connect(timer, &QTimer::timeout, socket, [s, sent, bytes = a.bytes] {
                if (!s || *sent >= bytes.size()) return;
                s->write(bytes.mid((*sent)++, 1));
            });
            timer->start(a.dribbleMs);
            return;
        }
        }
    }

    Handler handler_;
    QTcpServer server_;
};

// Appends one line per event to a file, flushed at once so tests can read it.
class EventLog {
public:
    explicit EventLog(const QString& path) {
        if (!path.isEmpty()) {
            file_.setFileName(path);
            if (!file_.open(QIODevice::Append | QIODevice::Text)) std::fprintf(stderr, "cannot open log %s\n", qPrintable(path));
        }
    }
    void line(const std::string& text) {
        if (file_.isOpen()) {
            file_.write(QByteArray::fromStdString(text) + "\n");
            file_.flush();
        }
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }

private:
    QFile file_;
};

}  // namespace testhttp
