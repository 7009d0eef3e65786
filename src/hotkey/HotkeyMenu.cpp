#include "hotkey/HotkeyMenu.h"

#include "app/StatusBarController.h"
#include "hotkey/HotkeyNames.h"

namespace parlando {

std::vector<MenuItem> buildHotkeySubmenu(const std::string& current, std::function<void(const std::string&)> choose,
                                         const std::optional<std::string>& note) {
    std::vector<MenuItem> items;
    if (note) {
        MenuItem line = MenuItem::make("⚠ " + *note, {});
        line.enabled = false;
        items.push_back(std::move(line));
        items.push_back(MenuItem::separator());
    }
    for (const auto& key : hotkeyNames()) {
        const std::string name(key.name);
        const bool broken = note && name == current;
        MenuItem item = MenuItem::make(std::string(key.label) + (broken ? " — не работает" : ""), [choose, name]() {
            if (choose) choose(name);
        });
        item.checked = name == current;
        items.push_back(std::move(item));
    }
    return items;
}

HotkeyMenu::HotkeyMenu(std::weak_ptr<StatusBarController> controller, std::function<void(const std::string&)> onChange,
                       std::function<std::optional<std::string>()> problemNote)
    : controller_(std::move(controller)), onChange_(std::move(onChange)), problemNote_(std::move(problemNote)) {}

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
    return buildHotkeySubmenu(
        currentHotkey(),
        [weakController, onChange](const std::string& name) { HotkeyMenu(weakController, onChange).choose(name); },
        problemNote_ ? problemNote_() : std::nullopt);
}

void HotkeyMenu::choose(const std::string& name) {
    auto c = controller_.lock();
    if (!c) return;
    c->services().settings.setString(hotkeySettingKey, name);
    c->services().log.append("ui: hotkey -> " + name);
    if (onChange_) onChange_(name);
}

}  // namespace parlando
