#include "core/adapters/QtHttpClient.h"

#include "core/adapters/QtNetworkThread.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <chrono>

namespace parlando {

namespace qthttp {

struct NetworkThread {
    explicit NetworkThread(const char* name) : thread(QString::fromUtf8(name)) {}
    QtNetworkThread thread;
    QNetworkAccessManager* manager = nullptr;  // made on the thread, a child of its context
};

namespace {

int toMillis(Duration d) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

void start(NetworkThread& nt, const HttpRequest& request, const HttpClient::Completion& completion) {
    if (nt.manager == nullptr) {
        nt.manager = new QNetworkAccessManager(nt.thread.context());
        // Straight to the server: the lamp lives on the local network, and the
        // update server is named by whoever built or started us.
        nt.manager->setProxy(QNetworkProxy::NoProxy);
    }
    const QUrl url(QString::fromStdString(request.url), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        HttpResponse r;
        r.error = "invalid URL " + request.url;
        QTimer::singleShot(0, nt.thread.context(), [completion, r] { completion(r); });
        return;
    }
    QNetworkRequest req(url);
    for (const auto& [name, value] : request.headers)
        req.setRawHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    if (request.idleTimeout.count() > 0) req.setTransferTimeout(std::max(1, toMillis(request.idleTimeout)));
    if (request.bypassCache) {
        req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        req.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    }
    QNetworkReply* reply = nt.manager->get(req);
    auto timedOut = std::make_shared<bool>(false);
    if (request.totalTimeout.count() > 0) {
        auto* deadline = new QTimer(reply);
        deadline->setSingleShot(true);
        QObject::connect(deadline, &QTimer::timeout, reply, [reply, timedOut] {
            *timedOut = true;
            reply->abort();
        });
        deadline->start(std::max(1, toMillis(request.totalTimeout)));
    }
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, completion, timedOut, request] {
        reply->deleteLater();
        HttpResponse r;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid() && !*timedOut) {
            r.status = status.toInt();
            r.body = reply->readAll().toStdString();
        } else if (*timedOut) {
            r.error = "The request timed out after " + std::to_string(toMillis(request.totalTimeout)) + " ms.";
        } else if (reply->error() == QNetworkReply::OperationCanceledError) {
            // Qt reports its own idle time-out as a cancellation.
            r.error = "The request timed out (no data for " + std::to_string(toMillis(request.idleTimeout)) + " ms).";
        } else {
            r.error = reply->errorString().toStdString();
        }
        completion(r);
    });
}

}  // namespace
}  // namespace qthttp

QtHttpClient::QtHttpClient(const char* threadName)
    : thread_(std::make_shared<qthttp::NetworkThread>(threadName)) {}

QtHttpClient::~QtHttpClient() {
    // Replies die with the manager, on their own thread, without completions.
    thread_->thread.stop([](QObject* context) {
        for (auto* reply : context->findChildren<QNetworkReply*>()) reply->disconnect();
    });
}

void QtHttpClient::get(const HttpRequest& request, Completion completion) {
    std::weak_ptr<qthttp::NetworkThread> weak = thread_;
    thread_->thread.post([weak, request, completion = std::move(completion)] {
        if (auto nt = weak.lock()) qthttp::start(*nt, request, completion);
    });
}

}  // namespace parlando
