#include "hotkey/HotkeyMenu.h"

#include "app/StatusBarController.h"
#include "hotkey/HotkeyNames.h"

namespace parlando {

std::vector<MenuItem> buildHotkeySubmenu(const std::string& current, std::function<void(const std::string&)> choose) {
    std::vector<MenuItem> items;
    for (const auto& key : hotkeyNames()) {
        const std::string name(key.name);
        MenuItem item = MenuItem::make(std::string(key.label), [choose, name]() {
            if (choose) choose(name);
        });
        item.checked = name == current;
        items.push_back(std::move(item));
    }
    return items;
}

HotkeyMenu::HotkeyMenu(std::weak_ptr<StatusBarController> controller, std::function<void(const std::string&)> onChange)
    : controller_(std::move(controller)), onChange_(std::move(onChange)) {}

std::string HotkeyMenu::currentHotkey() const {
    auto c = controller_.lock();
    if (!c) return std::string(defaultHotkeyName);
    const std::string stored = c->services().settings.stringOr(hotkeySettingKey, "");
    for (const auto& key : hotkeyNames())
        if (key.name == stored) return stored;
    return std::string(defaultHotkeyName);
}

std::vector<MenuItem> HotkeyMenu::buildSubmenu() {
    auto weakController = controller_;
    auto onChange = onChange_;
    return buildHotkeySubmenu(currentHotkey(), [weakController, onChange](const std::string& name) {
        HotkeyMenu(weakController, onChange).choose(name);
    });
}

void HotkeyMenu::choose(const std::string& name) {
    auto c = controller_.lock();
    if (!c) return;
    c->services().settings.setString(hotkeySettingKey, name);
    c->services().log.append("ui: hotkey -> " + name);
    if (onChange_) onChange_(name);
}

}  // namespace parlando
