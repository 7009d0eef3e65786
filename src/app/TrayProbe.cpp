#include "app/TrayProbe.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace parlando {

namespace {

bool desktopIs(const std::string& desktop, const std::string& name) {
    // XDG_CURRENT_DESKTOP is a colon-separated list ("ubuntu:GNOME").
    std::string lower = desktop;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    std::size_t start = 0;
    while (start <= lower.size()) {
        const std::size_t end = std::min(lower.find(':', start), lower.size());
        if (lower.substr(start, end - start) == name) return true;
        start = end + 1;
    }
    return false;
}

std::string noTrayBody(const std::string& desktop) {
    if (desktopIs(desktop, "gnome") || desktopIs(desktop, "ubuntu"))
        return "В GNOME нет трея без расширения. Установи и включи «AppIndicator and KStatusNotifierItem Support» "
               "(пакет gnome-shell-extension-appindicator), перезайди в систему и снова запусти Parlando.";
    return "На этом рабочем столе нет трея: нет ни StatusNotifierWatcher на шине D-Bus, ни XEmbed-трея. "
           "Добавь на панель область уведомлений (трей) и снова запусти Parlando.";
}

std::string num(double v) { return std::to_string(static_cast<long long>(std::llround(v))); }

}  // namespace

std::string describeRect(const ScreenRect& r) {
    return "(" + num(r.x) + ", " + num(r.y) + ", " + num(r.width) + "x" + num(r.height) + ")";
}

TrayProbeVerdict judgeTrayPresence(bool haveButton, const TrayPresence& p) {
    TrayProbeVerdict v;
    if (!haveButton) {
        v.logLine = "tray-probe: no tray item after 3 s — the tray button could not be created";
        v.notificationBody = noTrayBody(p.desktop);
        return v;
    }
    switch (p.path) {
    case TrayPresence::Path::statusNotifier:
        if (p.answerPending) {
            // A slow watcher is not a missing one.
            v.pending = true;
            v.logLine = "tray-probe: waiting for StatusNotifierWatcher to answer";
        } else if (!p.itemRegistered) {
            v.logLine = "tray-probe: StatusNotifierItem " + p.serviceName + " is not registered with the watcher — " +
                        (p.registrationError.empty() ? std::string("no answer") : p.registrationError);
            v.notificationBody = noTrayBody(p.desktop);
        } else if (!p.hostRegistered) {
            v.logLine = "tray-probe: StatusNotifierWatcher has no host — no panel draws " + p.serviceName;
            v.notificationBody = noTrayBody(p.desktop);
        } else {
            v.visible = true;
            v.logLine = "tray-probe: tray icon visible as StatusNotifierItem " + p.serviceName;
        }
        return v;
    case TrayPresence::Path::xembed: {
        if (!p.xembedTrayAvailable) {
            v.logLine = "tray-probe: no system tray after 3 s — no StatusNotifierWatcher on the session bus and no "
                        "XEmbed tray on the display";
            v.notificationBody = noTrayBody(p.desktop);
            return v;
        }
        if (!p.frame) {
            v.logLine = "tray-probe: tray icon has no window after 3 s — the XEmbed tray did not take it";
            v.notificationBody = noTrayBody(p.desktop);
            return v;
        }
        const ScreenRect& f = *p.frame;
        const bool onScreen = f.width > 1.0 && std::any_of(p.screens.begin(), p.screens.end(),
                                                          [&](const ScreenRect& s) { return f.intersects(s); });
        if (onScreen) {
            v.visible = true;
            v.logLine = "tray-probe: tray icon visible at " + describeRect(f);
        } else {
            v.logLine = "tray-probe: tray icon frame " + describeRect(f) + " does not intersect any screen";
            v.notificationBody =
                "Трей принял иконку Parlando, но она не видна ни на одном экране. Проверь панель с областью "
                "уведомлений или перезапусти её, затем снова запусти Parlando.";
        }
        return v;
    }
    case TrayPresence::Path::none:
        break;
    }
    v.logLine = "tray-probe: no system tray after 3 s — no StatusNotifierWatcher on the session bus and no XEmbed "
                "tray on the display";
    v.notificationBody = noTrayBody(p.desktop);
    return v;
}

}  // namespace parlando
