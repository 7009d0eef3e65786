#pragma once
// The tray item as the controller drives it. Adapters: a StatusNotifierItem
// over D-Bus, or Qt's XEmbed tray icon.
#include "app/TrayIcon.h"

#include <functional>
#include <optional>
#include <string>

namespace parlando {

class TrayButton {
public:
    virtual ~TrayButton() = default;
    virtual void setVisible(bool visible) = 0;
    virtual void setImage(const IconImage& image) = 0;
    // Text beside the icon ("" for none).
    virtual void setTitle(const std::string& title) = 0;
    virtual void setToolTip(const std::optional<std::string>& toolTip) = 0;
    virtual std::optional<std::string> toolTip() const = 0;
    // Left and right clicks both call this.
    virtual void setOnClick(std::function<void()> onClick) = 0;
};

}  // namespace parlando
