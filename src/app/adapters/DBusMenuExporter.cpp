#include "app/adapters/DBusMenuExporter.h"

#include "app/adapters/IconPainter.h"

#include <QBuffer>
#include <QDBusMessage>
#include <QTimer>

namespace parlando {

namespace {
constexpr const char* unknownIdError = "com.canonical.dbusmenu.Error.UnknownId";

QString label(const std::string& title) {
    // '_' marks a mnemonic in dbusmenu labels; ours are literal.
    QString t = QString::fromStdString(title);
    t.replace('_', "__");
    return t;
}

QByteArray pngOf(const IconImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    renderIcon(image, 16, 2.0).save(&buffer, "PNG");
    return bytes;
}
}  // namespace

QVariantMap dbusMenuProperties(const MenuItem& item) {
    QVariantMap p;
    if (item.kind == MenuItem::Kind::separator) {
        p.insert("type", QStringLiteral("separator"));
        return p;
    }
    p.insert("label", label(item.title));
    p.insert("enabled", item.enabled);
    p.insert("visible", true);
    if (item.kind == MenuItem::Kind::submenu) p.insert("children-display", QStringLiteral("submenu"));
    if (item.checked) {
        p.insert("toggle-type", QStringLiteral("checkmark"));
        p.insert("toggle-state", *item.checked ? 1 : 0);
    }
    if (item.image) p.insert("icon-data", pngOf(*item.image));
    if (!item.keyEquivalent.empty()) {
        DBusMenuShortcut shortcut{{QStringLiteral("Control"), QString::fromStdString(item.keyEquivalent)}};
        p.insert("shortcut", QVariant::fromValue(shortcut));
    }
    return p;
}

DBusMenuExporter::DBusMenuExporter(QObject* parent) : QObject(parent) {
    registerDBusTrayTypes();
    nodes_[0] = Node{};
}

bool DBusMenuExporter::exportOn(QDBusConnection connection, const QString& path) {
    return connection.registerObject(path, this,
                                     QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                         QDBusConnection::ExportAllProperties);
}

void DBusMenuExporter::index(const std::vector<MenuItem>& items, int parent, int& nextId) {
    for (const MenuItem& item : items) {
        const int id = nextId++;
        nodes_[id] = Node{&item, {}};
        nodes_[parent].children.push_back(id);
        if (item.kind == MenuItem::Kind::submenu) index(item.submenu, id, nextId);
    }
}

std::string DBusMenuExporter::signature() const {
    // Everything a host can see of the layout; closures are not part of it.
    std::string s;
    for (const auto& [id, node] : nodes_) {
        s += std::to_string(id) + ":";
        for (int c : node.children) s += std::to_string(c) + ",";
        if (node.item) {
            const MenuItem& m = *node.item;
            s += std::to_string(static_cast<int>(m.kind)) + "|" + m.title + "|" + (m.enabled ? "e" : "d") + "|" +
                 (m.checked ? (*m.checked ? "1" : "0") : "-") + "|" + m.keyEquivalent + "|" + (m.image ? "i" : "");
        }
        s += ";";
    }
    return s;
}

bool DBusMenuExporter::rebuild() {
    if (!provider_) return false;
    model_ = provider_();
    nodes_.clear();
    nodes_[0] = Node{};
    int nextId = 1;
    index(model_.items, 0, nextId);
    std::string sig = signature();
    if (sig == signature_) return false;
    signature_ = std::move(sig);
    ++revision_;
    Q_EMIT LayoutUpdated(revision_, 0);
    return true;
}

QVariantMap DBusMenuExporter::properties(int id, const QStringList& names) const {
    auto it = nodes_.find(id);
    if (it == nodes_.end()) return {};
    QVariantMap all;
    if (it->second.item) {
        all = dbusMenuProperties(*it->second.item);
    } else {
        all.insert("children-display", QStringLiteral("submenu"));
    }
    if (names.isEmpty()) return all;
    QVariantMap filtered;
    for (const QString& n : names)
        if (all.contains(n)) filtered.insert(n, all.value(n));
    return filtered;
}

DBusMenuLayoutItem DBusMenuExporter::layoutOf(int id, int depth, const QStringList& names) const {
    DBusMenuLayoutItem out;
    out.id = id;
    out.properties = properties(id, names);
    if (depth == 0) return out;
    const auto it = nodes_.find(id);
    if (it == nodes_.end()) return out;
    for (int child : it->second.children) out.children.push_back(layoutOf(child, depth < 0 ? -1 : depth - 1, names));
    return out;
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                 parlando::DBusMenuLayoutItem& layout) {
    // The host asks for the whole menu when it is about to open it.
    if (parentId == 0) rebuild();
    if (nodes_.find(parentId) == nodes_.end()) {
        if (calledFromDBus()) sendErrorReply(unknownIdError, QStringLiteral("no menu item %1").arg(parentId));
        return revision_;
    }
    layout = layoutOf(parentId, recursionDepth, propertyNames);
    return revision_;
}

QList<parlando::DBusMenuItem> DBusMenuExporter::GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames) {
    DBusMenuItemList out;
    if (ids.isEmpty()) {
        for (const auto& [id, node] : nodes_) out.push_back(DBusMenuItem{id, properties(id, propertyNames)});
        return out;
    }
    for (int id : ids)
        if (nodes_.count(id)) out.push_back(DBusMenuItem{id, properties(id, propertyNames)});
    return out;
}

QDBusVariant DBusMenuExporter::GetProperty(int id, const QString& name) {
    if (!nodes_.count(id)) {
        if (calledFromDBus()) sendErrorReply(unknownIdError, QStringLiteral("no menu item %1").arg(id));
        return QDBusVariant(QVariant(0));
    }
    const QVariantMap p = properties(id, {name});
    return QDBusVariant(p.value(name, QVariant(QString())));
}

bool DBusMenuExporter::activate(int id) {
    auto it = nodes_.find(id);
    if (it == nodes_.end()) return false;
    const MenuItem* item = it->second.item;
    if (item == nullptr || item->kind != MenuItem::Kind::action || !item->enabled || !item->action) return true;
    // Run after the D-Bus reply has gone out: an action may open a modal dialog.
    auto run = item->action;
    QTimer::singleShot(0, this, [run]() { run(); });
    return true;
}

void DBusMenuExporter::Event(int id, const QString& eventId, const QDBusVariant&, uint) {
    if (!nodes_.count(id)) {
        if (calledFromDBus()) sendErrorReply(unknownIdError, QStringLiteral("no menu item %1").arg(id));
        return;
    }
    if (eventId == QLatin1String("clicked")) activate(id);
}

QList<int> DBusMenuExporter::EventGroup(const QList<parlando::DBusMenuEvent>& events) {
    QList<int> errors;
    for (const DBusMenuEvent& e : events) {
        if (!nodes_.count(e.id)) {
            errors.push_back(e.id);
            continue;
        }
        if (e.eventId == QLatin1String("clicked")) activate(e.id);
    }
    return errors;
}

bool DBusMenuExporter::AboutToShow(int id) {
    if (id == 0) return rebuild();
    return false;
}

QList<int> DBusMenuExporter::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
    QList<int> updates;
    for (int id : ids) {
        if (id == 0) {
            if (rebuild()) updates.push_back(0);
        } else if (!nodes_.count(id)) {
            idErrors.push_back(id);
        }
    }
    return updates;
}

}  // namespace parlando
