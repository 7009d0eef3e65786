#pragma once
// The About panel's behaviour: ten quick clicks on the version line switch
// developer mode (which shows the personal menu sections), and the restore
// button registers the tray icon with the panel again. The window itself is
// a view (adapters/QtAboutPanel) built on first show and kept.
#include "app/Alert.h"
#include "core/Log.h"
#include "core/MainLoop.h"
#include "core/Settings.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace parlando {

class AboutPanelView {
public:
    virtual ~AboutPanelView() = default;
    // Centres the window, raises it and gives it the focus.
    virtual void present() = 0;
    virtual void setDevStatus(const std::string& text) = 0;
};

struct AboutServices {
    MainLoop& loop;
    Settings& settings;
    Log& log;
    AlertPresenter& alerts;
    std::function<void()> activateApp;  // may be unset
    // Registers the tray item with the panel again; the reason when it cannot.
    std::function<std::optional<std::string>()> reattachTray;
};

class AboutPanelController {
public:
    static constexpr const char* devModeKey = "ParlandoDevMode";
    static constexpr int tapsToToggleDev = 10;
    static constexpr double tapResetWindow = 2.0;
    static constexpr const char* devStatusOn = "DEV-режим включён";
    static constexpr const char* restoreHint = "Если иконка пропала из трея (например, после перезапуска панели)";

    using ViewFactory = std::function<std::unique_ptr<AboutPanelView>(AboutPanelController&)>;

    AboutPanelController(AboutServices services, ViewFactory makeView);

    static bool isDevModeEnabled(const Settings& settings) { return settings.boolOr(devModeKey, false); }
    void setDevMode(bool enabled);

    void show();
    void handleVersionTap();
    void restoreTrayIcon();
    void refreshDevStatus();

    std::function<void(bool)> onDevModeChange;

    int tapCount() const { return tapCount_; }

private:
    void toggleDevMode();
    void alert(AlertSpec spec);

    AboutServices s_;
    ViewFactory makeView_;
    std::unique_ptr<AboutPanelView> panel_;
    int tapCount_ = 0;
    std::optional<MonoTime> lastTapAt_;
};

}  // namespace parlando
