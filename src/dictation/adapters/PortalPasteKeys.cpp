#include "dictation/adapters/PortalPasteKeys.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <linux/input-event-codes.h>

#include <vector>

namespace parlando {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString remoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
constexpr uint keyboardDevice = 1;
constexpr uint persistUntilRevoked = 2;
constexpr int callTimeoutMs = 5000;

}  // namespace

PortalPasteKeys::PortalPasteKeys(Log& log, Settings& settings, QDBusConnection bus)
    : log_(log), settings_(settings), bus_(std::move(bus)) {}

PortalPasteKeys::~PortalPasteKeys() { close(); }

QString PortalPasteKeys::requestPath(const QString& token) const {
    // The portal puts each request's object at a path made of our bus name and
    // our token, so we can listen for its answer before asking.
    QString sender = bus_.baseService().mid(1);
    sender.replace('.', '_');
    return portalPath + "/request/" + sender + "/" + token;
}

void PortalPasteKeys::start(std::function<void()> onDone) {
    if (step_ != Step::idle) return;
    onDone_ = std::move(onDone);
    if (!bus_.isConnected()) {
        finish(std::string("no session bus"));
        return;
    }
    step_ = Step::creating;
    const QString token = QStringLiteral("parlando%1").arg(++tokenCounter_);
    QVariantMap options{{"handle_token", token}, {"session_handle_token", QStringLiteral("parlando_session")}};
    request("CreateSession", {options}, token);
}

void PortalPasteKeys::request(const QString& method, const QList<QVariant>& arguments, const QString& token) {
    if (!pendingPath_.isEmpty())
        bus_.disconnect(portalService, pendingPath_, "org.freedesktop.portal.Request", "Response", this,
                        SLOT(onResponse(uint, QVariantMap)));
    pendingPath_ = requestPath(token);
    bus_.connect(portalService, pendingPath_, "org.freedesktop.portal.Request", "Response", this,
                 SLOT(onResponse(uint, QVariantMap)));
    QDBusMessage call = QDBusMessage::createMethodCall(portalService, portalPath, remoteDesktop, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, method](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusMessage reply = w->reply();
        if (reply.type() != QDBusMessage::ErrorMessage) return;
        const QString name = reply.errorName();
        if (name == "org.freedesktop.DBus.Error.ServiceUnknown")
            finish(std::string("no desktop portal on the session bus"));
        else if (name == "org.freedesktop.DBus.Error.UnknownInterface" ||
                 name == "org.freedesktop.DBus.Error.UnknownMethod")
            finish(std::string("the desktop portal has no RemoteDesktop"));
        else
            finish("the portal refused " + method.toStdString() + ": " + reply.errorMessage().toStdString());
    });
}

void PortalPasteKeys::onResponse(uint response, const QVariantMap& results) {
    if (step_ == Step::failed || step_ == Step::running || step_ == Step::idle) return;
    if (response != 0) {
        finish(response == 1 ? std::string("the user did not allow Parlando to type (portal request cancelled)")
                             : std::string("the portal request ended with an error"));
        return;
    }
    const QString token = QStringLiteral("parlando%1").arg(++tokenCounter_);
    switch (step_) {
        case Step::creating: {
            session_ = results.value("session_handle").toString();
            if (session_.isEmpty()) {
                finish(std::string("the portal gave no session"));
                return;
            }
            step_ = Step::selecting;
            QVariantMap options{{"handle_token", token},
                                {"types", QVariant::fromValue(keyboardDevice)},
                                {"persist_mode", QVariant::fromValue(persistUntilRevoked)}};
            if (auto saved = settings_.getString(restoreTokenKey); saved && !saved->empty())
                options.insert("restore_token", QString::fromStdString(*saved));
            request("SelectDevices", {QVariant::fromValue(QDBusObjectPath(session_)), options}, token);
            return;
        }
        case Step::selecting:
            step_ = Step::starting;
            request("Start", {QVariant::fromValue(QDBusObjectPath(session_)), QString(), QVariantMap{{"handle_token", token}}},
                    token);
            return;
        case Step::starting: {
            const uint devices = results.value("devices").toUInt();
            if ((devices & keyboardDevice) == 0) {
                finish(std::string("the portal session has no keyboard"));
                return;
            }
            const QString restore = results.value("restore_token").toString();
            if (!restore.isEmpty()) settings_.setString(restoreTokenKey, restore.toStdString());
            finish(std::nullopt);
            return;
        }
        default: return;
    }
}

void PortalPasteKeys::finish(const std::optional<std::string>& failure) {
    if (step_ == Step::running || step_ == Step::failed) return;
    if (!pendingPath_.isEmpty()) {
        bus_.disconnect(portalService, pendingPath_, "org.freedesktop.portal.Request", "Response", this,
                        SLOT(onResponse(uint, QVariantMap)));
        pendingPath_.clear();
    }
    if (failure) {
        step_ = Step::failed;
        why_ = *failure;
        log_.append("paste: portal keyboard unavailable — " + why_);
        // A session the portal made before failing is ours to end.
        close();
    } else {
        step_ = Step::running;
        why_.clear();
        log_.append("paste: portal keyboard session started");
    }
    if (auto done = std::move(onDone_)) done();
}

void PortalPasteKeys::close() {
    if (session_.isEmpty()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(portalService, session_, "org.freedesktop.portal.Session",
                                                       "Close");
    bus_.send(call);
    session_.clear();
    if (step_ == Step::running) {
        step_ = Step::failed;
        why_ = "the portal session was closed";
    }
}

std::optional<std::string> PortalPasteKeys::unavailable() {
    if (step_ == Step::running) return std::nullopt;
    return why_;
}

bool PortalPasteKeys::send(PasteShortcut shortcut, std::string& why) {
    if (auto reason = unavailable()) {
        why = *reason;
        return false;
    }
    std::vector<int> keys;
    switch (shortcut) {
        case PasteShortcut::ctrlV: keys = {KEY_LEFTCTRL, KEY_V}; break;
        case PasteShortcut::ctrlShiftV: keys = {KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_V}; break;
        case PasteShortcut::shiftInsert: keys = {KEY_LEFTSHIFT, KEY_INSERT}; break;
    }
    // One message each, sent in order on one connection: the portal sees them
    // as typed. Key codes are the kernel's, as the portal expects.
    auto notify = [&](int key, uint state) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(portalService, portalPath, remoteDesktop, "NotifyKeyboardKeycode");
        call.setArguments({QVariant::fromValue(QDBusObjectPath(session_)), QVariantMap{}, key, state});
        bus_.send(call);
    };
    for (int key : keys) notify(key, 1);
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) notify(*it, 0);
    return true;
}

}  // namespace parlando
