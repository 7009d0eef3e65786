#include "hotkey/adapters/LogindSession.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <unistd.h>

namespace parlando {

namespace {
constexpr const char* managerPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
constexpr int callTimeoutMs = 5000;
}  // namespace

LogindSession::LogindSession(Log& log)
    : LogindSession(log, QDBusConnection::systemBus(), qEnvironmentVariable("XDG_SESSION_ID").toStdString()) {}

LogindSession::LogindSession(Log& log, QDBusConnection bus, std::string sessionId)
    : log_(log), bus_(std::move(bus)), sessionId_(std::move(sessionId)) {
    if (!bus_.isConnected()) {
        unavailable("no system bus");
        return;
    }
    findSession(sessionId_.empty());
}

void LogindSession::unavailable(const QString& why) {
    log_.append("session: no systemd-logind session (" + why.toStdString() +
                ") — the hotkey acts whatever session is in front");
}

void LogindSession::findSession(bool byPid) {
    QDBusMessage call = QDBusMessage::createMethodCall(service, managerPath, managerInterface,
                                                       byPid ? "GetSessionByPID" : "GetSession");
    if (byPid)
        call << static_cast<uint>(::getpid());
    else
        call << QString::fromStdString(sessionId_);
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, callTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, byPid](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<QDBusObjectPath> reply = *w;
        w->deleteLater();
        if (!reply.isError()) {
            follow(reply.value().path());
        } else if (!byPid) {
            log_.append("session: logind does not know session " + sessionId_ + " — asking by process");
            findSession(true);
        } else {
            unavailable(reply.error().message());
        }
    });
}

void LogindSession::follow(const QString& path) {
    path_ = path;
    bus_.connect(service, path_, propertiesInterface, "PropertiesChanged", this,
                 SLOT(onPropertiesChanged(QString, QVariantMap, QStringList)));
    log_.append("session: following logind session " + path_.toStdString());
    fetch();
}

void LogindSession::fetch() {
    QDBusMessage call = QDBusMessage::createMethodCall(service, path_, propertiesInterface, "GetAll");
    call << QString(sessionInterface);
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, callTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<QVariantMap> reply = *w;
        w->deleteLater();
        if (reply.isError()) {
            log_.append("session: reading the session's state failed — " + reply.error().message().toStdString());
            return;
        }
        update(reply.value());
    });
}

void LogindSession::onPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                        const QStringList& invalidated) {
    if (interface != sessionInterface) return;
    update(changed);
    if (invalidated.contains("Active") || invalidated.contains("LockedHint")) fetch();
}

void LogindSession::update(const QVariantMap& properties) {
    const bool before = inFront();
    if (properties.contains("Active")) active_ = properties.value("Active").toBool();
    if (properties.contains("LockedHint")) locked_ = properties.value("LockedHint").toBool();
    if (inFront() == before) return;
    log_.append(std::string("session: ") + (inFront() ? "in front again" : active_ ? "locked" : "not in front"));
    if (onChange_) onChange_(inFront());
}

}  // namespace parlando
