#pragma once
// The tray item as the controller drives it. Adapters: a StatusNotifierItem
// over D-Bus, or Qt's XEmbed tray icon.
#include "app/MenuModel.h"
#include "app/TrayIcon.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

// Whether the icon stands alone or sits left of the title text.
enum class ImagePosition { imageOnly, imageLeft };

struct ScreenRect {
    double x = 0, y = 0, width = 0, height = 0;
    bool intersects(const ScreenRect& o) const {
        return width > 0 && height > 0 && o.width > 0 && o.height > 0 && x < o.x + o.width && o.x < x + width &&
               y < o.y + o.height && o.y < y + height;
    }
    bool operator==(const ScreenRect&) const = default;
};

// What the tray host tells us about our item, for the start-up visibility check.
struct TrayPresence {
    enum class Path { none, statusNotifier, xembed };
    Path path = Path::none;
    // StatusNotifierItem path: a StatusNotifierWatcher owns its name on the
    // session bus, our item registered with it, and a host (a panel) is
    // registered with the watcher to draw it.
    bool watcherPresent = false;
    bool itemRegistered = false;
    bool hostRegistered = false;
    std::string registrationError;
    // A question to the watcher (registration, host) is still unanswered.
    bool answerPending = false;
    std::string serviceName;
    // XEmbed path: a tray manager owns the selection, and the icon's window.
    bool xembedTrayAvailable = false;
    std::optional<ScreenRect> frame;
    std::vector<ScreenRect> screens;
    // $XDG_CURRENT_DESKTOP, to tell the user what their desktop lacks.
    std::string desktop;
};

class TrayButton {
public:
    virtual ~TrayButton() = default;
    virtual void setVisible(bool visible) = 0;
    virtual void setImage(const IconImage& image) = 0;
    // Text beside the icon ("" for none).
    virtual void setTitle(const std::string& title) = 0;
    virtual void setImagePosition(ImagePosition position) = 0;
    virtual void setToolTip(const std::optional<std::string>& toolTip) = 0;
    virtual std::optional<std::string> toolTip() const = 0;
    // Left and right clicks both call this.
    virtual void setOnClick(std::function<void()> onClick) = 0;
    // Trays that draw the menu themselves (dbusmenu) ask for a fresh one
    // whenever they are about to show it.
    virtual void setMenuProvider(std::function<MenuModel()> provider) = 0;
    // Shows the menu under the icon now (the answer to a click).
    virtual void popUpMenu(const MenuModel& menu) = 0;
    virtual TrayPresence presence() const = 0;
    // Registers the item with the tray again, for a panel that came up late
    // or restarted and lost it. Returns the reason when there is no tray to
    // register with; the registration itself completes later.
    virtual std::optional<std::string> reattach() { return std::string("this tray cannot register its icon again"); }
};

}  // namespace parlando
