#pragma once
// Our login session as systemd-logind sees it, over the system bus
// (org.freedesktop.login1): its Active and LockedHint properties, followed
// through PropertiesChanged. The session is $XDG_SESSION_ID, else the one this
// process belongs to. GNOME and KDE set LockedHint when they lock; some
// lockers do not, and behind those the session counts as unlocked. Without
// logind (or a system bus) the session always counts as in front. Every call
// is asynchronous: the main thread never waits on the bus.
#include "core/Log.h"
#include "hotkey/LoginSession.h"

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <string>

namespace parlando {

class LogindSession : public QObject, public LoginSession {
    Q_OBJECT
public:
    static constexpr const char* service = "org.freedesktop.login1";

    // sessionId empty: the session this process belongs to.
    LogindSession(Log& log, QDBusConnection bus, std::string sessionId);
    // The system bus and $XDG_SESSION_ID.
    explicit LogindSession(Log& log);

    bool inFront() const override { return active_ && !locked_; }
    void setOnChange(std::function<void(bool inFront)> onChange) override { onChange_ = std::move(onChange); }

    // The session's object path once known (for log lines and tests).
    const QString& sessionPath() const { return path_; }

private Q_SLOTS:
    void onPropertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated);

private:
    void findSession(bool byPid);
    void follow(const QString& path);
    void fetch();
    void update(const QVariantMap& properties);
    void unavailable(const QString& why);

    Log& log_;
    QDBusConnection bus_;
    std::string sessionId_;
    QString path_;
    bool active_ = true;
    bool locked_ = false;
    std::function<void(bool)> onChange_;
};

}  // namespace parlando
