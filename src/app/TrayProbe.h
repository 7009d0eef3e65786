#pragma once
// The start-up check that the tray really shows our item, and what to tell
// the user when it does not.
#include "app/TrayButton.h"

#include <string>

namespace parlando {

struct TrayProbeVerdict {
    bool visible = false;
    // The tray has not answered yet: judge again once it has.
    bool pending = false;
    std::string logLine;           // "tray-probe: ..."
    std::string notificationBody;  // empty when visible
};

inline constexpr const char* trayInvisibleTitle = "Иконка Parlando не появилась в трее";
inline constexpr const char* trayInvisibleIdentifier = "parlando.tray-invisible";

// button: whether a tray item exists at all.
TrayProbeVerdict judgeTrayPresence(bool haveButton, const TrayPresence& presence);

std::string describeRect(const ScreenRect& r);

}  // namespace parlando
