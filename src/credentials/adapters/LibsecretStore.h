#pragma once
// The secret store on the freedesktop Secret Service (gnome-keyring, KeePassXC,
// KWallet's Secret Service interface), through libsecret.
//
// Items carry two attributes, "service" and "account", and are matched by
// these alone, whoever created them: `secret-tool lookup service S account A`
// finds what this store wrote, and `secret-tool store` can set what it reads.
// New items go to the default collection (the login keyring).
//
// Threads: every call is synchronous. libsecret runs each one on a private
// GLib main context of the calling thread, so the Qt event loop does not run
// meanwhile (an unlock prompt, which is another process, blocks the caller
// until answered). Calls are serialised by one process-wide lock and may
// come from any thread; no callback of ours runs under it.
//
// Errors are GLib's: the code is the GError code, the description says what
// failed and, when no Secret Service or no session bus can be reached, what to
// do. Nothing is ever written anywhere else, and values are never logged.
#include "credentials/SecretStore.h"

#include <mutex>

namespace parlando {

class LibsecretStore final : public SecretStore {
public:
    SecretReadResult read(const std::string& service, const std::string& account) override;
    SecretStoreStatus update(const std::string& service, const std::string& account,
                             const std::string& value) override;
    SecretStoreStatus add(const std::string& service, const std::string& account, const std::string& value) override;
    SecretStoreStatus remove(const std::string& service, const std::string& account) override;

    // Forgets the process-wide connection to the Secret Service, so the next
    // call connects anew (to whatever DBUS_SESSION_BUS_ADDRESS then names).
    // A connection the bus has closed is dropped without this.
    static void disconnect();

private:
    // libsecret's proxy is one per process, so the lock is too.
    static inline std::mutex mutex_;
};

}  // namespace parlando
