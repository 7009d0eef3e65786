#include "app/adapters/StatusNotifierItem.h"

#include "app/adapters/IconPainter.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QTimer>
#include <QtEndian>
#include <atomic>

namespace parlando {

namespace {
std::atomic<int> instanceCounter{0};
constexpr const char* watcherInterface = "org.kde.StatusNotifierWatcher";
}  // namespace

SniIconPixmapList sniPixmaps(const IconImage& image) {
    SniIconPixmapList list;
    for (int px : {16, 22, 24, 32, 44, 48, 64}) {
        const QImage img = renderIcon(image, px, 1.0).convertToFormat(QImage::Format_ARGB32);
        SniIconPixmap p;
        p.width = img.width();
        p.height = img.height();
        p.bytes.resize(qsizetype(img.width()) * img.height() * 4);
        auto* out = reinterpret_cast<uchar*>(p.bytes.data());
        for (int y = 0; y < img.height(); ++y) {
            const auto* row = reinterpret_cast<const quint32*>(img.constScanLine(y));
            for (int x = 0; x < img.width(); ++x) {
                qToBigEndian<quint32>(row[x], out);
                out += 4;
            }
        }
        list.push_back(p);
    }
    return list;
}

StatusNotifierItem::StatusNotifierItem(QDBusConnection connection, QObject* parent)
    : QObject(parent), bus_(std::move(connection)) {
    registerDBusTrayTypes();
    serviceName_ = QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
                       .arg(QCoreApplication::applicationPid())
                       .arg(++instanceCounter);
    bus_.registerObject(itemPath, this,
                        QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                            QDBusConnection::ExportAllProperties);
    menu_.exportOn(bus_, menuPath);
    if (!bus_.registerService(serviceName_)) registrationError_ = bus_.lastError().message();

    // A tray that restarts (or comes up after us) gets the item again.
    watcher_ = new QDBusServiceWatcher(watcherService, bus_, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this, [this]() { registerWithWatcher(); });
    bus_.connect(watcherService, watcherPath, watcherInterface, "StatusNotifierHostRegistered", this,
                 SLOT(onHostRegistered()));
    registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem() {
    bus_.unregisterObject(menuPath);
    bus_.unregisterObject(itemPath);
    bus_.unregisterService(serviceName_);
}

void StatusNotifierItem::registerWithWatcher() {
    QDBusMessage call = QDBusMessage::createMethodCall(watcherService, watcherPath, watcherInterface,
                                                       "RegisterStatusNotifierItem");
    call << serviceName_;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, 5000), this);
    ++unanswered_;
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<> reply = *w;
        w->deleteLater();
        --unanswered_;
        if (reply.isError()) {
            itemRegistered_ = false;
            registrationError_ = reply.error().message();
            return;
        }
        itemRegistered_ = true;
        registrationError_.clear();
        refreshHostRegistered();
    });
}

void StatusNotifierItem::refreshHostRegistered() {
    QDBusMessage get = QDBusMessage::createMethodCall(watcherService, watcherPath, "org.freedesktop.DBus.Properties", "Get");
    get << QString(watcherInterface) << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(get, 5000), this);
    ++unanswered_;
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<QDBusVariant> reply = *w;
        w->deleteLater();
        --unanswered_;
        if (!reply.isError()) hostRegistered_ = reply.value().variant().toBool();
    });
}

void StatusNotifierItem::onHostRegistered() { hostRegistered_ = true; }

void StatusNotifierItem::setVisible(bool visible) {
    if (visible_ == visible) return;
    visible_ = visible;
    Q_EMIT NewStatus(status());
}

void StatusNotifierItem::setImage(const IconImage& image) {
    pixmaps_ = sniPixmaps(image);
    Q_EMIT NewIcon();
}

void StatusNotifierItem::setTitle(const std::string& title) {
    const QString text = QString::fromStdString(title);
    if (text == label_) return;
    label_ = text;
    Q_EMIT XAyatanaNewLabel(label_, labelGuide());
}

QString StatusNotifierItem::labelGuide() const {
    // The widest text the label takes (a clock past an hour with the
    // dictation mark), so the panel does not jump as the clock ticks.
    return label_.isEmpty() ? QString() : QStringLiteral(" 00:00:00 ▌");
}

void StatusNotifierItem::setImagePosition(ImagePosition) {
    // The label always sits beside the icon here; an empty label is no label.
}

void StatusNotifierItem::setToolTip(const std::optional<std::string>& toolTip) {
    toolTip_ = toolTip;
    Q_EMIT NewToolTip();
}

std::optional<std::string> StatusNotifierItem::toolTip() const { return toolTip_; }

SniToolTip StatusNotifierItem::toolTipValue() const {
    SniToolTip t;
    t.title = toolTip_ ? QString::fromStdString(*toolTip_) : QStringLiteral("Parlando");
    return t;
}

void StatusNotifierItem::setOnClick(std::function<void()> onClick) { onClick_ = std::move(onClick); }

void StatusNotifierItem::setMenuProvider(std::function<MenuModel()> provider) {
    menu_.setProvider(std::move(provider));
}

void StatusNotifierItem::popUpMenu(const MenuModel& menu) {
    // A host that does not draw the dbusmenu itself asked us to: show it where
    // the click was (hosts report the pointer position).
    QPoint at = lastClick_;
    if (at.isNull()) at = QCursor::pos();
    presenter_.popUp(menu, at);
}

void StatusNotifierItem::clicked(int x, int y) {
    lastClick_ = QPoint(x, y);
    // Answer the D-Bus call first; the menu opens right after.
    QTimer::singleShot(0, this, [this]() {
        if (onClick_) onClick_();
    });
}

void StatusNotifierItem::ContextMenu(int x, int y) { clicked(x, y); }
void StatusNotifierItem::Activate(int x, int y) { clicked(x, y); }
void StatusNotifierItem::SecondaryActivate(int x, int y) { clicked(x, y); }
void StatusNotifierItem::Scroll(int, const QString&) {}
void StatusNotifierItem::ProvideXdgActivationToken(const QString&) {}

std::optional<std::string> StatusNotifierItem::reattach() {
    if (!bus_.isConnected()) return "no session bus";
    if (!bus_.interface() || !bus_.interface()->isServiceRegistered(watcherService))
        return "no StatusNotifierWatcher on the session bus (the panel has no tray)";
    registerWithWatcher();
    // Hosts that kept a stale copy redraw everything.
    Q_EMIT NewIcon();
    Q_EMIT NewToolTip();
    Q_EMIT NewStatus(status());
    Q_EMIT NewMenu();
    return std::nullopt;
}

TrayPresence StatusNotifierItem::presence() const {
    TrayPresence p;
    p.path = TrayPresence::Path::statusNotifier;
    p.watcherPresent = bus_.interface() && bus_.interface()->isServiceRegistered(watcherService);
    p.itemRegistered = itemRegistered_;
    p.hostRegistered = hostRegistered_;
    p.registrationError = registrationError_.toStdString();
    p.answerPending = unanswered_ > 0;
    p.serviceName = serviceName_.toStdString();
    p.desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP").toStdString();
    return p;
}

}  // namespace parlando
