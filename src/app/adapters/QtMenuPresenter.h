#pragma once
// Draws a MenuModel as a QMenu and pops it up. Used by the XEmbed tray and by
// a StatusNotifierItem host that asks us to open the menu ourselves.
#include "app/MenuModel.h"

#include <QPoint>
#include <QPointer>

class QMenu;

namespace parlando {

class QtMenuPresenter {
public:
    QtMenuPresenter() = default;
    ~QtMenuPresenter();
    QtMenuPresenter(const QtMenuPresenter&) = delete;
    QtMenuPresenter& operator=(const QtMenuPresenter&) = delete;

    // Shows the menu with its top-left corner at `at` (global coordinates).
    // The menu is deleted once it closes; an open one is replaced.
    void popUp(const MenuModel& model, QPoint at);
    bool isOpen() const;

    // Builds the widget tree; actions run after the menu has closed.
    static QMenu* buildMenu(const std::vector<MenuItem>& items, QMenu* into);

private:
    QPointer<QMenu> open_;
};

}  // namespace parlando
