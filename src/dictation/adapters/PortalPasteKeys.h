#pragma once
// The paste shortcut through the desktop portal's RemoteDesktop session
// (org.freedesktop.portal.RemoteDesktop): GNOME and KDE on Wayland, where no
// client may make a keyboard of its own. A keyboard-only session; the user
// approves it once, and the portal's restore token, kept in our settings, lets
// later runs start without asking again.
#include "core/Log.h"
#include "core/Settings.h"
#include "dictation/PasteDelivery.h"

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>

#include <functional>

namespace parlando {

class PortalPasteKeys final : public QObject, public PasteKeys {
    Q_OBJECT
public:
    static constexpr const char* restoreTokenKey = "ParlandoPortalRestoreToken";

    PortalPasteKeys(Log& log, Settings& settings, QDBusConnection bus = QDBusConnection::sessionBus());
    ~PortalPasteKeys() override;

    // Asks for the session without blocking; onDone runs on the main thread
    // once it runs or has failed (the reason is then in unavailable()).
    void start(std::function<void()> onDone);
    // Ends the portal session (also on destruction).
    void close();

    std::optional<std::string> unavailable() override;
    // The portal does not say which window has the focus.
    std::optional<WindowClass> focusedWindowClass() override { return std::nullopt; }
    bool send(PasteShortcut shortcut, std::string& why) override;

private slots:
    void onResponse(uint response, const QVariantMap& results);

private:
    enum class Step { idle, creating, selecting, starting, running, failed };
    void request(const QString& method, const QList<QVariant>& arguments, const QString& token);
    void finish(const std::optional<std::string>& failure);
    QString requestPath(const QString& token) const;

    Log& log_;
    Settings& settings_;
    QDBusConnection bus_;
    Step step_ = Step::idle;
    std::string why_ = "the portal session is not set up yet";
    QString session_;
    QString pendingPath_;
    int tokenCounter_ = 0;
    std::function<void()> onDone_;
};

}  // namespace parlando
