#include "telegram/TelegramMenu.h"

#include "credentials/TextCoding.h"

namespace parlando {

using Kind = TelegramClient::Status::Kind;

std::shared_ptr<TelegramMenu> TelegramMenu::create(MainLoop& loop, Log& log, TelegramClient& client,
                                                   const KeychainHelper& keychain, AlertPresenter& alerts,
                                                   ShowError showError) {
    return std::shared_ptr<TelegramMenu>(
        new TelegramMenu(loop, log, client, keychain, alerts, std::move(showError)));
}

TelegramMenu::TelegramMenu(MainLoop& loop, Log& log, TelegramClient& client, const KeychainHelper& keychain,
                           AlertPresenter& alerts, ShowError showError)
    : loop_(loop),
      log_(log),
      client_(client),
      keychain_(keychain),
      alerts_(alerts),
      showError_(std::move(showError)) {}

std::function<void()> TelegramMenu::weakAction(void (TelegramMenu::*method)()) {
    return [weak = weak_from_this(), method] {
        if (auto self = weak.lock()) ((*self).*method)();
    };
}

void TelegramMenu::setupTelegramClient() {
    // The reaction always runs on a later turn of the main loop, never inside
    // the client's own handling of an event.
    client_.onStatusChange = [weak = weak_from_this(), &loop = loop_](const TelegramClient::Status&) {
        loop.post([weak] {
            if (auto self = weak.lock()) self->handleTelegramStatusChange();
        });
    };
    client_.start();
}

void TelegramMenu::handleTelegramStatusChange() {
    const TelegramClient::Status status = client_.status();
    if (connectInFlight && status != lastTelegramAuthStage) {
        switch (status.kind) {
        case Kind::waitingPhone: promptPhone(); break;
        case Kind::waitingCode: promptCode(); break;
        case Kind::waitingPassword: promptPassword(); break;
        case Kind::ready:
        case Kind::error:
        case Kind::idle: connectInFlight = false; break;
        case Kind::needCredentials: break;
        }
    }
    lastTelegramAuthStage = status;
}

void TelegramMenu::addTelegramMenuItems(MenuModel& menu) {
    const TelegramClient::Status status = client_.status();
    MenuItem line = MenuItem::make("Telegram: " + status.menuText(), {});
    line.enabled = false;
    menu.add(std::move(line));

    const auto logout = [this] { return MenuItem::make("Telegram: выйти", weakAction(&TelegramMenu::logoutTelegram)); };
    const auto connect = [this] {
        return MenuItem::make("Telegram: подключить…", weakAction(&TelegramMenu::connectTelegram));
    };
    switch (status.kind) {
    case Kind::ready: menu.add(logout()); break;
    case Kind::idle:
    case Kind::needCredentials:
    case Kind::error: {
        const bool stored = keychain_.telegramCredentials().has_value();
        menu.add(MenuItem::make(stored ? "Параметры Telegram… (заданы)" : "Параметры Telegram…",
                                weakAction(&TelegramMenu::configureTelegramCredentials)));
        if (stored) menu.add(connect());
        // A database TDLib cannot open (its key lost with a reset keyring)
        // stays broken until the local session is wiped.
        if (status.kind == Kind::error && client_.parametersRejected()) menu.add(logout());
        break;
    }
    case Kind::waitingPhone:
    case Kind::waitingCode:
    case Kind::waitingPassword: menu.add(connect()); break;
    }
}

void TelegramMenu::configureTelegramCredentials() {
    AlertSpec spec;
    spec.messageText = "Параметры Telegram приложения";
    spec.informativeText = std::string("Получить на ") + developerPortalHost +
                           " → API Development Tools. Сохранятся в login keyring "
                           "(parlando.telegram.api_id / api_hash).";
    spec.buttons = {"Сохранить", "Отмена"};
    spec.fields = {AlertField{"api_id (целое число)", "", false}, AlertField{"api_hash", "", false}};
    const AlertResult answer = alerts_.runModal(spec);
    if (answer.buttonIndex != 0) return;
    const auto field = [&answer](std::size_t i) {
        return i < answer.fieldTexts.size() ? textcoding::trimWhitespaceAndNewlines(answer.fieldTexts[i]) : "";
    };
    const auto apiID = textcoding::parseInt32(field(0));
    const std::string apiHash = field(1);
    if (!apiID || apiHash.empty()) {
        if (showError_) showError_(credentialsInvalid);
        return;
    }
    try {
        keychain_.setTelegramCredentials(*apiID, apiHash);
    } catch (const KeychainHelper::Error& e) {
        if (showError_) showError_(e.description());
        return;
    }
    log_.append("tg: credentials saved, restarting client");
    client_.start();
}

void TelegramMenu::connectTelegram() {
    connectInFlight = true;
    const TelegramClient::Status status = client_.status();
    switch (status.kind) {
    case Kind::waitingPhone:
    case Kind::waitingCode:
    case Kind::waitingPassword: promptForStage(status); break;
    case Kind::error:
        // A refused answer (a wrong code) leaves TDLib waiting at the same
        // question, which it will not report again: ask it once more.
        if (client_.authStage().kind != Kind::idle) {
            promptForStage(client_.authStage());
        } else {
            client_.start();
        }
        break;
    default: client_.start(); break;
    }
}

void TelegramMenu::promptForStage(const TelegramClient::Status& stage) {
    if (stage.kind == Kind::waitingPhone) promptPhone();
    if (stage.kind == Kind::waitingCode) promptCode();
    if (stage.kind == Kind::waitingPassword) promptPassword();
}

void TelegramMenu::logoutTelegram() {
    AlertSpec spec;
    spec.messageText = "Выйти из Telegram?";
    spec.informativeText = "Сессия и ключ базы будут удалены. Для повторного подключения придётся снова ввести код.";
    spec.buttons = {"Выйти", "Отмена"};
    if (alerts_.runModal(spec).buttonIndex == 0) client_.logoutAndWipe();
}

void TelegramMenu::promptPhone() {
    if (auto v = prompt("Номер телефона Telegram", "В международном формате, напр. +70001234567.", "+1234567890",
                        false)) {
        client_.submitPhone(*v);
    } else {
        connectInFlight = false;
    }
}

void TelegramMenu::promptCode() {
    if (auto v = prompt("Код подтверждения", "Код из Telegram (в мессенджере) или SMS.", "12345", false)) {
        client_.submitCode(*v);
    } else {
        connectInFlight = false;
    }
}

void TelegramMenu::promptPassword() {
    if (auto v = prompt("Облачный пароль (2FA)", "Пароль облачного Telegram.", "", true)) {
        client_.submitPassword(*v);
    } else {
        connectInFlight = false;
    }
}

std::optional<std::string> TelegramMenu::prompt(const std::string& title, const std::string& info,
                                                const std::string& placeholder, bool secure) {
    AlertSpec spec;
    spec.messageText = title;
    spec.informativeText = info;
    spec.buttons = {"OK", "Отмена"};
    spec.fields = {AlertField{placeholder, "", secure}};
    const AlertResult answer = alerts_.runModal(spec);
    if (answer.buttonIndex != 0 || answer.fieldTexts.empty()) return std::nullopt;
    std::string value = textcoding::trimWhitespaceAndNewlines(answer.fieldTexts.front());
    if (value.empty()) return std::nullopt;
    return value;
}

}  // namespace parlando
