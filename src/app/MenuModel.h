#pragma once
// Menus as data: built afresh for every opening, drawn by one presenter
// (Qt widgets for an XEmbed tray, com.canonical.dbusmenu for a
// StatusNotifierItem), and testable without a display.
#include "app/TrayIcon.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

struct MenuItem {
    enum class Kind { action, separator, submenu };
    Kind kind = Kind::action;
    std::string title;
    bool enabled = true;
    std::optional<bool> checked;        // none: not checkable
    std::optional<IconImage> image;
    std::string keyEquivalent;          // "q" for Quit (Ctrl+Q here); "" for none
    std::function<void()> action;       // runs on the main thread
    std::vector<MenuItem> submenu;

    static MenuItem separator() {
        MenuItem m;
        m.kind = Kind::separator;
        return m;
    }
    static MenuItem make(std::string title, std::function<void()> action) {
        MenuItem m;
        m.title = std::move(title);
        m.action = std::move(action);
        return m;
    }
    static MenuItem sub(std::string title, std::vector<MenuItem> items) {
        MenuItem m;
        m.kind = Kind::submenu;
        m.title = std::move(title);
        m.submenu = std::move(items);
        return m;
    }
};

struct MenuModel {
    std::vector<MenuItem> items;
    void add(MenuItem item) { items.push_back(std::move(item)); }
    void addSeparator() { items.push_back(MenuItem::separator()); }
};

}  // namespace parlando
