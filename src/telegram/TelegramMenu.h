#pragma once
// The user's side of the Telegram link: the status menu section (developer
// mode only), the application-credentials dialog, the login questions and the
// logout confirmation. The questions open by themselves only while a
// connection attempt the user started is in flight. Main thread.
#include "app/Alert.h"
#include "app/MenuModel.h"
#include "core/Log.h"
#include "core/MainLoop.h"
#include "credentials/KeychainHelper.h"
#include "telegram/TelegramClient.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace parlando {

class TelegramMenu : public std::enable_shared_from_this<TelegramMenu> {
public:
    using ShowError = std::function<void(const std::string&)>;

    static constexpr const char* developerPortalHost = "my.telegram.org";
    static constexpr const char* credentialsInvalid = "api_id должен быть целым числом, api_hash не пустым";

    static std::shared_ptr<TelegramMenu> create(MainLoop& loop, Log& log, TelegramClient& client,
                                                const KeychainHelper& keychain, AlertPresenter& alerts,
                                                ShowError showError);

    // Start-up: follows the client's status and starts it (at every launch).
    void setupTelegramClient();
    void handleTelegramStatusChange();
    void addTelegramMenuItems(MenuModel& menu);
    void configureTelegramCredentials();
    void connectTelegram();
    void logoutTelegram();
    void promptPhone();
    void promptCode();
    void promptPassword();
    // One trimmed, non-empty answer, or none (cancelled or empty).
    std::optional<std::string> prompt(const std::string& title, const std::string& info,
                                      const std::string& placeholder, bool secure);

    TelegramClient::Status lastTelegramAuthStage;
    bool connectInFlight = false;

private:
    TelegramMenu(MainLoop& loop, Log& log, TelegramClient& client, const KeychainHelper& keychain,
                 AlertPresenter& alerts, ShowError showError);
    std::function<void()> weakAction(void (TelegramMenu::*method)());
    void promptForStage(const TelegramClient::Status& stage);

    MainLoop& loop_;
    Log& log_;
    TelegramClient& client_;
    const KeychainHelper& keychain_;
    AlertPresenter& alerts_;
    ShowError showError_;
};

}  // namespace parlando
