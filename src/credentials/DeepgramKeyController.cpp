#include "credentials/DeepgramKeyController.h"

#include "credentials/TextCoding.h"

namespace parlando {

bool DeepgramKeyController::isDeepgramKeyPresent() const {
    try {
        return !keychain_.deepgramAPIKey().empty();
    } catch (...) {
        return false;
    }
}

AlertSpec DeepgramKeyController::keyAlert(bool keyPresent) {
    AlertSpec spec;
    spec.messageText = messageText;
    spec.informativeText = informativeText;
    spec.buttons = {saveButton, cancelButton};
    AlertField field;
    field.placeholder = keyPresent ? placeholderWhenPresent : placeholderWhenAbsent;
    field.secure = true;
    spec.fields = {field};
    return spec;
}

void DeepgramKeyController::configureDeepgramKey() {
    const AlertResult answer = alerts_.runModal(keyAlert(isDeepgramKeyPresent()));
    if (answer.buttonIndex != 0 || answer.fieldTexts.empty()) return;
    const std::string key = textcoding::trimWhitespaceAndNewlines(answer.fieldTexts.front());
    // Nothing typed: the stored key stays (this dialog cannot erase it).
    if (key.empty()) return;
    try {
        keychain_.setDeepgramAPIKey(key);
        log_.append("deepgram key saved to keychain");
    } catch (const KeychainHelper::Error& e) {
        if (showError_) showError_(e.description());
        log_.append("deepgram key save failed: " + e.description());
    }
}

}  // namespace parlando
