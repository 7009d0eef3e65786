#pragma once
// The "Клавиша диктовки" submenu: which key toggles a dictation. The choice is
// stored under "ParlandoHotkey"; onChange makes it take effect at once.
#include "app/MenuModel.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

class StatusBarController;

// One item per accepted key, the current one checked. A note (why the current
// key does not work) goes first, greyed, and marks the current key.
std::vector<MenuItem> buildHotkeySubmenu(const std::string& current,
                                         std::function<void(const std::string& name)> choose,
                                         const std::optional<std::string>& note = std::nullopt);

// The dictation key choice: stored under "ParlandoHotkey"; onChange makes it
// take effect at once.
class HotkeyMenu {
public:
    // problemNote: why the current key does not work right now, if it does not.
    HotkeyMenu(std::weak_ptr<StatusBarController> controller, std::function<void(const std::string&)> onChange,
               std::function<std::optional<std::string>()> problemNote = {});
    std::string currentHotkey() const;
    std::vector<MenuItem> buildSubmenu();
    void choose(const std::string& name);

private:
    std::weak_ptr<StatusBarController> controller_;
    std::function<void(const std::string&)> onChange_;
    std::function<std::optional<std::string>()> problemNote_;
};

}  // namespace parlando
