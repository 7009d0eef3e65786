#pragma once
// The user's side of the recognition API key: whether one is stored (for the
// title of the menu item) and the dialog that saves a new one. Main thread.
#include "app/Alert.h"
#include "core/Log.h"
#include "credentials/KeychainHelper.h"

#include <functional>
#include <string>

namespace parlando {

class DeepgramKeyController {
public:
    using ShowError = std::function<void(const std::string&)>;

    static constexpr const char* messageText = "Deepgram API key";
    static constexpr const char* informativeText =
        "Сохранится в login keyring (service parlando.deepgram.api_key, account deepgram).";
    static constexpr const char* placeholderWhenPresent = "•••••••• (уже сохранён — введи новый, чтобы перезаписать)";
    static constexpr const char* placeholderWhenAbsent = "сюда вставь ключ";
    static constexpr const char* saveButton = "Сохранить";
    static constexpr const char* cancelButton = "Отмена";

    DeepgramKeyController(const KeychainHelper& keychain, AlertPresenter& alerts, Log& log, ShowError showError)
        : keychain_(keychain), alerts_(alerts), log_(log), showError_(std::move(showError)) {}

    // True when a non-empty key can be read; any error counts as no key.
    bool isDeepgramKeyPresent() const;
    // Asks for a new key and stores it. The stored key is never shown, and an
    // empty answer leaves it as it is.
    void configureDeepgramKey();

    // The dialog, as data (the stored key is never part of it).
    static AlertSpec keyAlert(bool keyPresent);

private:
    const KeychainHelper& keychain_;
    AlertPresenter& alerts_;
    Log& log_;
    ShowError showError_;
};

}  // namespace parlando
