#pragma once
// The tray item as a StatusNotifierItem of our own (org.kde.StatusNotifierItem
// on the session bus, registered with org.kde.StatusNotifierWatcher): icon
// pixmaps, tool tip, the title as the label beside the icon (XAyatanaLabel),
// and the menu over com.canonical.dbusmenu. Qt's tray class cannot show a
// label, which is why this is not QSystemTrayIcon.
#include "app/TrayButton.h"
#include "app/adapters/DBusMenuExporter.h"
#include "app/adapters/DBusTypes.h"
#include "app/adapters/QtMenuPresenter.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>
#include <QPoint>
#include <memory>

class QDBusServiceWatcher;

namespace parlando {

class StatusNotifierItem : public QObject, public TrayButton {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ emptyString)
    Q_PROPERTY(QString IconName READ emptyString)
    Q_PROPERTY(SniIconPixmapList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ emptyString)
    Q_PROPERTY(SniIconPixmapList OverlayIconPixmap READ emptyPixmaps)
    Q_PROPERTY(QString AttentionIconName READ emptyString)
    Q_PROPERTY(SniIconPixmapList AttentionIconPixmap READ emptyPixmaps)
    Q_PROPERTY(QString AttentionMovieName READ emptyString)
    Q_PROPERTY(SniToolTip ToolTip READ toolTipValue)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(QString XAyatanaLabel READ label)
    Q_PROPERTY(QString XAyatanaLabelGuide READ labelGuide)
    Q_PROPERTY(uint XAyatanaOrderingIndex READ orderingIndex)

public:
    static constexpr const char* watcherService = "org.kde.StatusNotifierWatcher";
    static constexpr const char* watcherPath = "/StatusNotifierWatcher";
    static constexpr const char* itemPath = "/StatusNotifierItem";
    static constexpr const char* menuPath = "/MenuBar";

    explicit StatusNotifierItem(QDBusConnection connection, QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // TrayButton
    void setVisible(bool visible) override;
    void setImage(const IconImage& image) override;
    void setTitle(const std::string& title) override;
    void setImagePosition(ImagePosition position) override;
    void setToolTip(const std::optional<std::string>& toolTip) override;
    std::optional<std::string> toolTip() const override;
    void setOnClick(std::function<void()> onClick) override;
    void setMenuProvider(std::function<MenuModel()> provider) override;
    void popUpMenu(const MenuModel& menu) override;
    TrayPresence presence() const override;
    std::optional<std::string> reattach() override;

    QString serviceName() const { return serviceName_; }
    DBusMenuExporter& menuExporter() { return menu_; }

    // D-Bus properties
    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("parlando"); }
    QString title() const { return QStringLiteral("Parlando"); }
    QString status() const { return visible_ ? QStringLiteral("Active") : QStringLiteral("Passive"); }
    int windowId() const { return 0; }
    QString emptyString() const { return {}; }
    SniIconPixmapList iconPixmap() const { return pixmaps_; }
    SniIconPixmapList emptyPixmaps() const { return {}; }
    SniToolTip toolTipValue() const;
    bool itemIsMenu() const { return true; }
    QDBusObjectPath menu() const { return QDBusObjectPath(menuPath); }
    QString label() const { return label_; }
    QString labelGuide() const;
    uint orderingIndex() const { return 0; }

public Q_SLOTS:
    void ContextMenu(int x, int y);
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void Scroll(int delta, const QString& orientation);
    void ProvideXdgActivationToken(const QString& token);

Q_SIGNALS:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);
    void NewMenu();
    void XAyatanaNewLabel(const QString& label, const QString& guide);

private Q_SLOTS:
    void onHostRegistered();

private:
    void registerWithWatcher();
    void refreshHostRegistered();
    void clicked(int x, int y);

    QDBusConnection bus_;
    QString serviceName_;
    DBusMenuExporter menu_;
    QtMenuPresenter presenter_;
    QDBusServiceWatcher* watcher_ = nullptr;
    bool visible_ = true;
    SniIconPixmapList pixmaps_;
    QString label_;
    std::optional<std::string> toolTip_;
    std::function<void()> onClick_;
    QPoint lastClick_;
    bool itemRegistered_ = false;
    bool hostRegistered_ = false;
    int unanswered_ = 0;  // calls to the watcher still waiting for a reply
    QString registrationError_;
};

// The icon as SNI pixmaps (ARGB32, network byte order) at the usual sizes,
// including the doubled ones a HiDPI panel asks for.
SniIconPixmapList sniPixmaps(const IconImage& image);

}  // namespace parlando
