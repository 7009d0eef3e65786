#pragma once
// D-Bus wire types of the StatusNotifierItem and com.canonical.dbusmenu
// interfaces, with their QtDBus marshalling.
#include <QByteArray>
#include <QDBusArgument>
#include <QDBusVariant>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace parlando {

// a(iiay): width, height, ARGB32 pixels in network byte order.
struct SniIconPixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
};
using SniIconPixmapList = QList<SniIconPixmap>;

// (sa(iiay)ss): icon name, icon pixmaps, title, description.
struct SniToolTip {
    QString iconName;
    SniIconPixmapList iconPixmap;
    QString title;
    QString description;
};

// (ia{sv}av): one menu node with its children (each child wrapped in a variant).
struct DBusMenuLayoutItem {
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuLayoutItem> children;
};

// (ia{sv})
struct DBusMenuItem {
    int id = 0;
    QVariantMap properties;
};
using DBusMenuItemList = QList<DBusMenuItem>;

// (ias)
struct DBusMenuItemKeys {
    int id = 0;
    QStringList properties;
};
using DBusMenuItemKeysList = QList<DBusMenuItemKeys>;

// (isvu)
struct DBusMenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using DBusMenuEventList = QList<DBusMenuEvent>;

// aas: key combinations such as [["Control", "q"]].
using DBusMenuShortcut = QList<QStringList>;

QDBusArgument& operator<<(QDBusArgument& a, const SniIconPixmap& v);
const QDBusArgument& operator>>(const QDBusArgument& a, SniIconPixmap& v);
QDBusArgument& operator<<(QDBusArgument& a, const SniToolTip& v);
const QDBusArgument& operator>>(const QDBusArgument& a, SniToolTip& v);
QDBusArgument& operator<<(QDBusArgument& a, const DBusMenuLayoutItem& v);
const QDBusArgument& operator>>(const QDBusArgument& a, DBusMenuLayoutItem& v);
QDBusArgument& operator<<(QDBusArgument& a, const DBusMenuItem& v);
const QDBusArgument& operator>>(const QDBusArgument& a, DBusMenuItem& v);
QDBusArgument& operator<<(QDBusArgument& a, const DBusMenuItemKeys& v);
const QDBusArgument& operator>>(const QDBusArgument& a, DBusMenuItemKeys& v);
QDBusArgument& operator<<(QDBusArgument& a, const DBusMenuEvent& v);
const QDBusArgument& operator>>(const QDBusArgument& a, DBusMenuEvent& v);

// Registers every type above with QtDBus (idempotent).
void registerDBusTrayTypes();

}  // namespace parlando

Q_DECLARE_METATYPE(parlando::SniIconPixmap)
Q_DECLARE_METATYPE(parlando::SniIconPixmapList)
Q_DECLARE_METATYPE(parlando::SniToolTip)
Q_DECLARE_METATYPE(parlando::DBusMenuLayoutItem)
Q_DECLARE_METATYPE(parlando::DBusMenuItem)
Q_DECLARE_METATYPE(parlando::DBusMenuItemList)
Q_DECLARE_METATYPE(parlando::DBusMenuItemKeys)
Q_DECLARE_METATYPE(parlando::DBusMenuItemKeysList)
Q_DECLARE_METATYPE(parlando::DBusMenuEvent)
Q_DECLARE_METATYPE(parlando::DBusMenuEventList)
