#include "SetApiKeyCommand.h"

#include "app/adapters/QtAlertPresenter.h"
#include "credentials/DeepgramKeyController.h"
#include "credentials/KeychainHelper.h"
#include "credentials/adapters/LibsecretStore.h"
#include "credentials/adapters/SystemSecureRandom.h"

namespace parlando {

int runSetApiKeyCommand(Log& log) {
    LibsecretStore store;
    SystemSecureRandom random;
    KeychainHelper keychain(store, random);
    QtAlertPresenter alerts;
    bool failed = false;
    // No tray button to carry the message here: the log line, which also
    // goes to standard error, is all there is.
    DeepgramKeyController keys(keychain, alerts, log, [&](const std::string& message) {
        log.append("error: " + message);
        failed = true;
    });
    keys.configureDeepgramKey();
    return failed ? 1 : 0;
}

}  // namespace parlando
