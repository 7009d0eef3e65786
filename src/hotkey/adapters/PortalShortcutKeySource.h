#pragma once
// The hotkey as a global shortcut of the desktop portal
// (org.freedesktop.portal.GlobalShortcuts): Wayland sessions where the input
// devices cannot be read. One shortcut for the chosen key, bound with the
// user's approval; its Activated and Deactivated signals are the key's down
// and up. Every call is asynchronous; the outcome arrives through setOnLost()
// when the portal gives no shortcut.
#include "core/Log.h"
#include "hotkey/KeyEdgeSource.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

namespace parlando {

// One entry of the portal's shortcut lists: a(sa{sv}).
struct PortalShortcut {
    QString id;
    QVariantMap properties;  // description, preferred_trigger; trigger_description in answers
};
QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut);

}  // namespace parlando

Q_DECLARE_METATYPE(parlando::PortalShortcut)

namespace parlando {

struct PortalShortcutOptions {
    int answerTimeoutMs = 10000;     // CreateSession, ListShortcuts: no one is asked
    int approvalTimeoutMs = 180000;  // BindShortcuts: the desktop shows its dialog
};

class PortalShortcutKeySource final : public QObject, public KeyEdgeSource {
    Q_OBJECT
public:
    using Options = PortalShortcutOptions;
    static constexpr const char* description = "Диктовка Parlando: начать или закончить";

    explicit PortalShortcutKeySource(Log& log, QDBusConnection bus = QDBusConnection::sessionBus(),
                                     Options options = {});
    ~PortalShortcutKeySource() override;

    std::string name() const override { return "desktop portal"; }
    // Fails at once for a key no portal shortcut can be, else asks the portal
    // and returns nullopt: the answer comes later.
    std::optional<std::string> start(const HotkeyKey& key, Sink sink) override;
    // Closes the portal session.
    void stop() override;
    void setOnLost(LostSink onLost) override { onLost_ = std::move(onLost); }
    // What the portal says triggers the shortcut, once bound.
    const QString& boundTrigger() const { return bound_; }

private slots:
    void onResponse(uint response, const QVariantMap& results, const QDBusMessage& message);
    void onActivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp, const QVariantMap&);
    void onDeactivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp, const QVariantMap&);
    void onShortcutsChanged(const QDBusObjectPath& session, const QList<parlando::PortalShortcut>& shortcuts);

private:
    enum class Step { idle, creating, listing, binding, running, failed };
    void request(const QString& method, QList<QVariant> arguments, const QString& token, int timeoutMs);
    void listenTo(const QString& path);
    void watchSignals(bool on);
    void bound(const QString& trigger);
    void fail(const std::string& why, const std::string& userWhy);
    void closeSession();
    void edge(const QDBusObjectPath& session, const QString& id, KeyAction action);
    QString objectPath(const QString& kind, const QString& token) const;

    Log& log_;
    QDBusConnection bus_;
    Options options_;
    Step step_ = Step::idle;
    Sink sink_;
    LostSink onLost_;
    QString id_;
    QString trigger_;
    QString bound_;
    QString session_;
    QString pendingPath_;
    QString currentToken_;
    QTimer answerTimer_;
    int tokenCounter_ = 0;
};

}  // namespace parlando
