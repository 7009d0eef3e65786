#pragma once
// A stand-in for the desktop portal (org.freedesktop.portal.Desktop) on a
// private session bus: RemoteDesktop for the paste keys and GlobalShortcuts
// for the hotkey, answering as the portal's documentation describes (each
// request's object path made of the caller's name and handle_token, the
// answer as its Response signal) and recording every call.
#include "hotkey/adapters/PortalShortcutKeySource.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>

#include <utility>
#include <vector>

namespace parlando::testenv {

class StandInPortal : public QDBusVirtualObject {
public:
    // Shortcut lists go out as PortalShortcutKeySource registered them.
    explicit StandInPortal(QDBusConnection bus) : bus_(bus) {
        bus_.registerVirtualObject("/org/freedesktop/portal/desktop", this, QDBusConnection::SubPath);
        bus_.registerService("org.freedesktop.portal.Desktop");
    }
    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        const QString member = message.member();
        const QList<QVariant> args = message.arguments();
        const QString sender = message.service().mid(1).replace('.', '_');
        if (message.interface() == "org.freedesktop.portal.GlobalShortcuts") calls << member;
        if (member == "NotifyKeyboardKeycode") keys.push_back({args.value(2).toInt(), args.value(3).toUInt()});
        if (member == "Close") closed << message.path();
        // Every request takes its options last.
        const QVariantMap o = qdbus_cast<QVariantMap>(args.value(args.size() - 1));
        if (!o.contains("handle_token")) return bus_.send(message.createReply());
        const QString request = "/org/freedesktop/portal/desktop/request/" + sender + "/" + o["handle_token"].toString();
        bus_.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        if (silent) return true;
        QVariantMap results;
        const uint response = (member == "Start" && refuseStart) || (member == "BindShortcuts" && declineBind) ? 1 : 0;
        if (member == "CreateSession") {
            results["session_handle"] = "/org/freedesktop/portal/desktop/session/" + sender + "/" +
                                        o["session_handle_token"].toString();
            sessions << results["session_handle"].toString();
        }
        if (member == "SelectDevices") selected = o;
        if (member == "Start") {
            results["devices"] = QVariant::fromValue(1U);
            results["restore_token"] = QStringLiteral("token-%1").arg(++starts);
        }
        // The desktop remembers what the user approved, per application.
        if (member == "BindShortcuts") asked = qdbus_cast<QList<PortalShortcut>>(args.value(1));
        for (const auto& s : member == "BindShortcuts" && !declineBind ? asked : QList<PortalShortcut>{})
            bound << PortalShortcut{s.id, {{"trigger_description", s.properties.value("preferred_trigger")}}};
        if (member.endsWith("Shortcuts")) results["shortcuts"] = QVariant::fromValue(bound);
        return bus_.send(QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response") << response
                                                                                                           << results);
    }

    // The desktop saw the shortcut's key go down (Activated) or up.
    void press(const QString& session, const QString& id, bool down) {
        bus_.send(QDBusMessage::createSignal("/org/freedesktop/portal/desktop", "org.freedesktop.portal.GlobalShortcuts",
                                             down ? "Activated" : "Deactivated")
                  << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1) << QVariantMap{});
    }

    QStringList sessions;
    QStringList closed;
    // RemoteDesktop
    std::vector<std::pair<int, uint>> keys;
    QVariantMap selected;
    bool refuseStart = false;
    int starts = 0;
    // GlobalShortcuts
    QStringList calls;
    QList<PortalShortcut> asked;           // the last BindShortcuts
    QList<PortalShortcut> bound;           // with their triggers, kept across sessions
    bool declineBind = false;
    bool silent = false;                   // calls get their request object, never a Response

private:
    QDBusConnection bus_;
};

}  // namespace parlando::testenv
