#pragma once
// Serves a MenuModel over com.canonical.dbusmenu, the menu protocol of
// StatusNotifierItem hosts. The model is rebuilt from the provider whenever
// the host is about to show the menu, so every opening shows the state of
// that moment. Item ids are the items' positions in a depth-first walk
// (root 0); a rebuild that changes the layout bumps the revision and emits
// LayoutUpdated.
#include "app/MenuModel.h"
#include "app/adapters/DBusTypes.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <functional>
#include <map>
#include <string>

namespace parlando {

class DBusMenuExporter : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    explicit DBusMenuExporter(QObject* parent = nullptr);

    void setProvider(std::function<MenuModel()> provider) { provider_ = std::move(provider); }
    // Registers the object at `path` on the connection.
    bool exportOn(QDBusConnection connection, const QString& path);
    // Takes a fresh model from the provider; returns whether the layout changed.
    bool rebuild();
    uint revision() const { return revision_; }

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public Q_SLOTS:
    // Types are spelled out in full: QtDBus looks slot parameter types up by name.
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   parlando::DBusMenuLayoutItem& layout);
    QList<parlando::DBusMenuItem> GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames);
    QDBusVariant GetProperty(int id, const QString& name);
    void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    QList<int> EventGroup(const QList<parlando::DBusMenuEvent>& events);
    bool AboutToShow(int id);
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

Q_SIGNALS:
    void ItemsPropertiesUpdated(const QList<parlando::DBusMenuItem>& updatedProps,
                                const QList<parlando::DBusMenuItemKeys>& removedProps);
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

private:
    struct Node {
        const MenuItem* item = nullptr;  // none for the root
        std::vector<int> children;
    };
    void index(const std::vector<MenuItem>& items, int parent, int& nextId);
    QVariantMap properties(int id, const QStringList& names) const;
    DBusMenuLayoutItem layoutOf(int id, int depth, const QStringList& names) const;
    bool activate(int id);
    std::string signature() const;

    std::function<MenuModel()> provider_;
    MenuModel model_;
    std::map<int, Node> nodes_;
    std::string signature_;
    uint revision_ = 1;
};

// The dbusmenu properties of one item (the full set, unfiltered).
QVariantMap dbusMenuProperties(const MenuItem& item);

}  // namespace parlando
