#include "app/AboutPanelController.h"

namespace parlando {

AboutPanelController::AboutPanelController(AboutServices services, ViewFactory makeView)
    : s_(std::move(services)), makeView_(std::move(makeView)) {}

void AboutPanelController::setDevMode(bool enabled) { s_.settings.setBool(devModeKey, enabled); }

void AboutPanelController::show() {
    if (!panel_ && makeView_) panel_ = makeView_(*this);
    if (!panel_) return;
    panel_->present();
    refreshDevStatus();
    if (s_.activateApp) s_.activateApp();
}

void AboutPanelController::refreshDevStatus() {
    if (panel_) panel_->setDevStatus(isDevModeEnabled(s_.settings) ? devStatusOn : "");
}

void AboutPanelController::handleVersionTap() {
    const MonoTime now = s_.loop.now();
    if (lastTapAt_ && now - *lastTapAt_ > seconds(tapResetWindow)) tapCount_ = 0;
    lastTapAt_ = now;
    if (++tapCount_ < tapsToToggleDev) return;
    tapCount_ = 0;
    lastTapAt_.reset();
    toggleDevMode();
}

void AboutPanelController::toggleDevMode() {
    const bool on = !isDevModeEnabled(s_.settings);
    setDevMode(on);
    refreshDevStatus();
    if (onDevModeChange) onDevModeChange(on);
    if (on)
        alert({devStatusOn, "Личные пункты меню (Telegram, Лампа) теперь видимы. Снова 10 тапов по версии — выключит.",
               {"OK"}, {}});
    else
        alert({"DEV-режим выключен", "Личные пункты меню снова скрыты.", {"OK"}, {}});
}

void AboutPanelController::restoreTrayIcon() {
    AlertSpec confirm;
    confirm.messageText = "Восстановить иконку Parlando в трее";
    confirm.informativeText =
        "Панель с треем иногда запускается позже приложений или перезапускается и теряет их иконки. "
        "Это заново регистрирует иконку Parlando:\n\n"
        "• снова отдаёт её панели (StatusNotifierItem) или заново встраивает в XEmbed-трей\n"
        "• другие приложения и сама панель не перезапускаются\n"
        "• иконка может появиться на другом месте в трее\n\n"
        "Parlando само НЕ перезагружается. Продолжить?";
    confirm.buttons = {"Восстановить", "Отмена"};
    if (s_.alerts.runModal(confirm).buttonIndex != 0) return;
    const std::optional<std::string> error =
        s_.reattachTray ? s_.reattachTray() : std::optional<std::string>("no tray icon to restore");
    if (!error) {
        s_.log.append("about: tray icon registered again");
        alert({"Готово",
               "Иконка Parlando заново зарегистрирована в трее. Если она так и не появилась — проверь, что на панели "
               "есть трей, или перезайди в систему.",
               {"OK"}, {}});
    } else {
        s_.log.append("about: tray icon restore failed — " + *error);
        alert({"Не получилось запустить восстановление",
               "Причина: " + *error +
                   ". Проверь, что панель с треем запущена (для GNOME — расширение AppIndicator), и перезапусти "
                   "Parlando: parlando из терминала или из меню приложений.",
               {"OK"}, {}});
    }
}

void AboutPanelController::alert(AlertSpec spec) {
    if (s_.activateApp) s_.activateApp();
    s_.alerts.runModal(spec);
}

}  // namespace parlando
