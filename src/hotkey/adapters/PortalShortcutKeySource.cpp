#include "hotkey/adapters/PortalShortcutKeySource.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>

namespace parlando {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString globalShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
constexpr int callTimeoutMs = 5000;

// Trigger descriptions are for people ("Scroll Lock", "Pause"); compare
// them loosely to our keysym names.
QString loose(QString text) {
    text.remove(' ');
    text.remove('_');
    return text.toLower();
}

std::optional<QString> triggerOf(const QList<PortalShortcut>& shortcuts, const QString& id) {
    for (const auto& s : shortcuts)
        if (s.id == id) return s.properties.value("trigger_description").toString();
    return std::nullopt;
}

}  // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

PortalShortcutKeySource::PortalShortcutKeySource(Log& log, QDBusConnection bus, Options options)
    : log_(log), bus_(std::move(bus)), options_(options) {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    answerTimer_.setSingleShot(true);
    connect(&answerTimer_, &QTimer::timeout, this, [this] {
        const int seconds = (step_ == Step::binding ? options_.approvalTimeoutMs : options_.answerTimeoutMs) / 1000;
        fail("the desktop portal did not answer within " + std::to_string(seconds) + " s",
             "портал рабочего стола не ответил");
    });
}

PortalShortcutKeySource::~PortalShortcutKeySource() { stop(); }

QString PortalShortcutKeySource::objectPath(const QString& kind, const QString& token) const {
    // The portal makes request and session objects at paths of our bus name
    // and our token, so we can listen for an answer before asking.
    QString sender = bus_.baseService().mid(1);
    sender.replace('.', '_');
    return portalPath + "/" + kind + "/" + sender + "/" + token;
}

std::optional<std::string> PortalShortcutKeySource::start(const HotkeyKey& key, Sink sink) {
    stop();
    if (key.portalTrigger.empty())
        return "a portal shortcut cannot be the " + key.name +
               " key (fn or a modifier alone); Pause, Scroll Lock, Insert or F13 can";
    if (!bus_.isConnected()) return std::string("no session bus");
    sink_ = std::move(sink);
    id_ = QString::fromStdString("dictation-" + key.name);
    trigger_ = QString::fromStdString(key.portalTrigger);
    bound_.clear();
    watchSignals(true);
    step_ = Step::creating;
    const QString token = QStringLiteral("parlando_hotkey%1").arg(++tokenCounter_);
    // Known before the portal answers, so a stop() meanwhile can still close it.
    session_ = objectPath("session", token);
    request("CreateSession", {QVariantMap{{"handle_token", token}, {"session_handle_token", token}}}, token,
            options_.answerTimeoutMs);
    return std::nullopt;
}

void PortalShortcutKeySource::listenTo(const QString& path) {
    if (!pendingPath_.isEmpty())
        bus_.disconnect(portalService, pendingPath_, requestInterface, "Response", this,
                        SLOT(onResponse(uint, QVariantMap, QDBusMessage)));
    pendingPath_ = path;
    if (!path.isEmpty())
        bus_.connect(portalService, path, requestInterface, "Response", this,
                     SLOT(onResponse(uint, QVariantMap, QDBusMessage)));
}

void PortalShortcutKeySource::request(const QString& method, QList<QVariant> arguments, const QString& token,
                                      int timeoutMs) {
    listenTo(objectPath("request", token));
    answerTimer_.start(timeoutMs);
    QDBusMessage call = QDBusMessage::createMethodCall(portalService, portalPath, globalShortcuts, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, callTimeoutMs), this);
    currentToken_ = token;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, method, token](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        // The answer to an earlier request, or to one before a restart.
        if (token != currentToken_ || (step_ != Step::creating && step_ != Step::listing && step_ != Step::binding))
            return;
        const QDBusMessage reply = w->reply();
        if (reply.type() != QDBusMessage::ErrorMessage) {
            // Portals older than the computed paths answer at a path of their own.
            const QString path = reply.arguments().value(0).value<QDBusObjectPath>().path();
            if (!path.isEmpty() && path != pendingPath_) listenTo(path);
            return;
        }
        const QString name = reply.errorName();
        if (name == "org.freedesktop.DBus.Error.ServiceUnknown")
            fail("no desktop portal on the session bus", "в системе нет портала рабочего стола (xdg-desktop-portal)");
        else if (name == "org.freedesktop.DBus.Error.UnknownInterface" ||
                 name == "org.freedesktop.DBus.Error.UnknownMethod")
            fail("the desktop portal has no GlobalShortcuts",
                 "портал рабочего стола этой системы не умеет глобальные клавиши");
        else if (name == "org.freedesktop.DBus.Error.NoReply")
            fail("the desktop portal did not answer " + method.toStdString(), "портал рабочего стола не ответил");
        else
            fail("the portal refused " + method.toStdString() + ": " + reply.errorMessage().toStdString(),
                 "портал рабочего стола отказал: " + reply.errorMessage().toStdString());
    });
}

void PortalShortcutKeySource::onResponse(uint response, const QVariantMap& results, const QDBusMessage& message) {
    // Answers already queued when we stopped listening still arrive here.
    if (message.path() != pendingPath_) return;
    if (step_ != Step::creating && step_ != Step::listing && step_ != Step::binding) return;
    answerTimer_.stop();
    if (response == 1) {
        fail("the user declined the shortcut", "ты отказался назначить клавишу в окне системы");
        return;
    }
    if (response != 0) {
        fail("the portal request ended with an error", "запрос к порталу рабочего стола закончился ошибкой");
        return;
    }
    const QString token = QStringLiteral("parlando_hotkey%1").arg(++tokenCounter_);
    const auto shortcuts = qdbus_cast<QList<PortalShortcut>>(results.value("shortcuts"));
    switch (step_) {
        case Step::creating: {
            // A string by the documentation; some portals send an object path.
            const QVariant handle = results.value("session_handle");
            session_ = handle.userType() == qMetaTypeId<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path()
                                                                            : handle.toString();
            if (session_.isEmpty()) {
                fail("the portal gave no session", "портал рабочего стола не открыл сеанс");
                return;
            }
            step_ = Step::listing;
            request("ListShortcuts",
                    {QVariant::fromValue(QDBusObjectPath(session_)), QVariantMap{{"handle_token", token}}}, token,
                    options_.answerTimeoutMs);
            return;
        }
        case Step::listing:
            // Bound in an earlier run: the portal keeps it, nobody is asked again.
            if (auto trigger = triggerOf(shortcuts, id_); trigger && !trigger->isEmpty()) {
                bound(*trigger);
                return;
            }
            step_ = Step::binding;
            request("BindShortcuts",
                    {QVariant::fromValue(QDBusObjectPath(session_)),
                     QVariant::fromValue(QList<PortalShortcut>{
                         {id_, {{"description", QString::fromUtf8(description)}, {"preferred_trigger", trigger_}}}}),
                     QString(), QVariantMap{{"handle_token", token}}},
                    token, options_.approvalTimeoutMs);
            return;
        case Step::binding:
            if (auto trigger = triggerOf(shortcuts, id_); trigger && !trigger->isEmpty()) {
                bound(*trigger);
            } else {
                fail("the portal bound no key to the shortcut", "система не назначила клавишу");
            }
            return;
        default: return;
    }
}

void PortalShortcutKeySource::bound(const QString& trigger) {
    listenTo({});
    step_ = Step::running;
    bound_ = trigger;
    log_.append("FN: desktop portal shortcut bound (" + trigger.toStdString() + ")");
    // The user may have picked another key in the desktop's dialog: that key
    // is the hotkey now, whatever our menu says.
    if (loose(trigger) != loose(trigger_))
        log_.append("FN: the desktop bound " + trigger.toStdString() + ", not " + trigger_.toStdString() +
                    " — that key starts a dictation");
}

void PortalShortcutKeySource::fail(const std::string& why, const std::string& userWhy) {
    if (step_ == Step::idle || step_ == Step::failed) return;
    answerTimer_.stop();
    listenTo({});
    step_ = Step::failed;
    log_.append("FN: desktop portal shortcut unavailable — " + why);
    closeSession();
    // Last: the listener may stop or restart us from inside.
    if (onLost_) onLost_(why, userWhy);
}

void PortalShortcutKeySource::onShortcutsChanged(const QDBusObjectPath& session,
                                                 const QList<PortalShortcut>& shortcuts) {
    if (step_ != Step::running || session.path() != session_) return;
    const auto trigger = triggerOf(shortcuts, id_);
    if (!trigger || trigger->isEmpty()) {
        fail("the shortcut lost its key in the desktop's settings", "клавишу сняли в настройках системы");
    } else if (*trigger != bound_) {
        bound_ = *trigger;
        log_.append("FN: desktop portal shortcut now " + trigger->toStdString());
    }
}

void PortalShortcutKeySource::edge(const QDBusObjectPath& session, const QString& id, KeyAction action) {
    if (step_ == Step::running && session.path() == session_ && id == id_ && sink_) sink_(KeyEvent{0, action});
}

void PortalShortcutKeySource::onActivated(const QDBusObjectPath& session, const QString& id, qulonglong,
                                          const QVariantMap&) {
    edge(session, id, KeyAction::down);
}

void PortalShortcutKeySource::onDeactivated(const QDBusObjectPath& session, const QString& id, qulonglong,
                                            const QVariantMap&) {
    edge(session, id, KeyAction::up);
}

void PortalShortcutKeySource::closeSession() {
    if (session_.isEmpty()) return;
    bus_.send(QDBusMessage::createMethodCall(portalService, session_, "org.freedesktop.portal.Session", "Close"));
    session_.clear();
}

void PortalShortcutKeySource::watchSignals(bool on) {
    const auto hook = [&](const char* signal, const char* slot) {
        if (on)
            bus_.connect(portalService, portalPath, globalShortcuts, signal, this, slot);
        else
            bus_.disconnect(portalService, portalPath, globalShortcuts, signal, this, slot);
    };
    hook("Activated", SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    hook("Deactivated", SLOT(onDeactivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    hook("ShortcutsChanged", SLOT(onShortcutsChanged(QDBusObjectPath, QList<parlando::PortalShortcut>)));
}

void PortalShortcutKeySource::stop() {
    if (step_ == Step::idle) return;
    answerTimer_.stop();
    listenTo({});
    watchSignals(false);
    closeSession();
    step_ = Step::idle;
    sink_ = nullptr;
}

}  // namespace parlando
