#include "app/adapters/QtMenuPresenter.h"

#include "app/adapters/IconPainter.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QTimer>

namespace parlando {

namespace {
QString qs(const std::string& s) {
    QString t = QString::fromStdString(s);
    // '&' marks a mnemonic in Qt; our titles are literal.
    t.replace('&', "&&");
    return t;
}
}  // namespace

QtMenuPresenter::~QtMenuPresenter() {
    if (open_) open_->deleteLater();
}

QMenu* QtMenuPresenter::buildMenu(const std::vector<MenuItem>& items, QMenu* into) {
    for (const MenuItem& item : items) {
        switch (item.kind) {
        case MenuItem::Kind::separator:
            into->addSeparator();
            break;
        case MenuItem::Kind::submenu: {
            QMenu* sub = into->addMenu(qs(item.title));
            sub->setEnabled(item.enabled);
            buildMenu(item.submenu, sub);
            break;
        }
        case MenuItem::Kind::action: {
            QAction* action = into->addAction(qs(item.title));
            action->setEnabled(item.enabled);
            if (item.checked) {
                action->setCheckable(true);
                action->setChecked(*item.checked);
            }
            if (item.image) action->setIcon(iconForTray(*item.image));
            if (!item.keyEquivalent.empty())
                action->setShortcut(QKeySequence(QString("Ctrl+") + QString::fromStdString(item.keyEquivalent).toUpper()));
            if (item.action) {
                auto run = item.action;
                QObject::connect(action, &QAction::triggered, action, [run]() {
                    // Let the menu close first: an action may open a modal dialog.
                    QTimer::singleShot(0, [run]() { run(); });
                });
            }
            break;
        }
        }
    }
    return into;
}

void QtMenuPresenter::popUp(const MenuModel& model, QPoint at) {
    if (open_) {
        open_->close();
        open_->deleteLater();
    }
    auto* menu = new QMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    buildMenu(model.items, menu);
    QObject::connect(menu, &QMenu::aboutToHide, menu, [menu]() { menu->deleteLater(); });
    open_ = menu;
    menu->popup(at);
}

bool QtMenuPresenter::isOpen() const {
    const QMenu* menu = open_.data();
    return menu != nullptr && menu->isVisible();
}

}  // namespace parlando
