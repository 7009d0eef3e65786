#pragma once
// The "Клавиша диктовки" submenu: which key toggles a dictation. The choice is
// stored under "ParlandoHotkey"; onChange makes it take effect at once.
#include "app/MenuModel.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace parlando {

class StatusBarController;

// One item per accepted key, the current one checked.
std::vector<MenuItem> buildHotkeySubmenu(const std::string& current,
                                         std::function<void(const std::string& name)> choose);

// The dictation key choice: stored under "ParlandoHotkey"; onChange makes it
// take effect at once.
class HotkeyMenu {
public:
    HotkeyMenu(std::weak_ptr<StatusBarController> controller, std::function<void(const std::string&)> onChange);
    std::string currentHotkey() const;
    std::vector<MenuItem> buildSubmenu();
    void choose(const std::string& name);

private:
    std::weak_ptr<StatusBarController> controller_;
    std::function<void(const std::string&)> onChange_;
};

}  // namespace parlando
