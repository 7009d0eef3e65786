#pragma once
// The link to the user's Telegram account through TDLib: drives TDLib's
// authorization (parameters, phone number, code, two-factor password),
// reports a small Status for the menu, learns the account's user name, and
// logs out with a complete local wipe. One per process, started at every launch.
//
// Threads: everything here runs on the main thread, except the receive
// loop, which only waits for TDLib's events and posts each one to the main
// thread (see TdJson::startReceiving).
#include "core/Log.h"
#include "core/MainLoop.h"
#include "credentials/KeychainHelper.h"
#include "telegram/TdJson.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace parlando {

class TelegramClient : public std::enable_shared_from_this<TelegramClient> {
public:
    struct Status {
        enum class Kind { idle, needCredentials, waitingPhone, waitingCode, waitingPassword, ready, error };
        Kind kind = Kind::idle;
        std::string text;  // the user name when ready, the message on error

        static Status idle() { return {}; }
        static Status needCredentials() { return {Kind::needCredentials, {}}; }
        static Status waitingPhone() { return {Kind::waitingPhone, {}}; }
        static Status waitingCode() { return {Kind::waitingCode, {}}; }
        static Status waitingPassword() { return {Kind::waitingPassword, {}}; }
        static Status ready(std::string username) { return {Kind::ready, std::move(username)}; }
        static Status error(std::string message) { return {Kind::error, std::move(message)}; }

        std::string menuText() const;
        bool operator==(const Status&) const = default;
    };

    // TDLib's database and files; created readable by the user only.
    struct Folders {
        std::filesystem::path databaseDir;  // the data folder + "Parlando/tdlib"
        std::filesystem::path filesDir;     // the data folder + "Parlando/tdlib-files"
    };
    // How this installation introduces itself to Telegram (its session list shows it).
    struct Device {
        std::string model;
        std::string systemVersion;
        std::string applicationVersion;
    };

    static constexpr double receiveTimeout = 1.0;
    static constexpr const char* waitParametersState = "authorizationStateWaitTdlibParameters";

    static std::shared_ptr<TelegramClient> create(MainLoop& loop, Log& log, const KeychainHelper& keychain,
                                                  TdJson& tdjson, Folders folders, Device device);
    ~TelegramClient();
    TelegramClient(const TelegramClient&) = delete;
    TelegramClient& operator=(const TelegramClient&) = delete;

    // Boots TDLib unless it runs. Without stored credentials only sets needCredentials.
    void start();
    void submitPhone(const std::string& phone);        // trimmed first
    void submitCode(const std::string& code);          // trimmed first
    void submitPassword(const std::string& password);  // sent as it is
    // Logs out and deletes the database, the files and the database key; the
    // application credentials stay.
    void logoutAndWipe();
    // For quitting: asks TDLib to close so its database is left consistent and
    // waits up to `limit` for it. Returns whether TDLib closed in time. The
    // login is kept. Blocks the main thread; nothing is posted afterwards.
    bool closeForQuit(Duration limit);

    const Status& status() const { return status_; }
    // Called with every assignment of the status, also an unchanged one.
    std::function<void(const Status&)> onStatusChange;

    bool running() const;
    std::int32_t clientId() const { return clientId_; }
    const Folders& folders() const { return folders_; }
    // TDLib refused the parameters, typically because the database cannot be
    // opened with the stored key: only logging out (a wipe) gets past that.
    bool parametersRejected() const { return parametersRejected_; }
    // The question TDLib waits to have answered (waitingPhone, waitingCode,
    // waitingPassword), also while an error is shown; idle for any other state.
    Status authStage() const;

    // One event's text, on the main thread (the receive loop posts here).
    void handleEvent(const std::string& text);

private:
    struct ReceiveState;

    TelegramClient(MainLoop& loop, Log& log, const KeychainHelper& keychain, TdJson& tdjson, Folders folders,
                   Device device);
    void setStatus(Status status);
    void send(const nlohmann::json& request);
    void handleAuthState(const std::string& type);
    void sendTdlibParameters();
    void makeFolders() const;
    void wipeOnDisk();
    void setRunning(bool running);

    Log& log_;
    const KeychainHelper& keychain_;
    TdJson& tdjson_;
    const Folders folders_;
    const Device device_;
    Status status_;
    std::int32_t clientId_ = 0;
    std::optional<KeychainHelper::TelegramCredentials> pendingCredentials_;
    bool libraryReady_ = false;
    std::string authState_;             // the last authorization state TDLib reported
    bool parametersSent_ = false;       // since the last time TDLib asked for them
    bool parametersRejected_ = false;
    bool logoutRequested_ = false;      // ours: the next closed state wipes
    bool loggingOut_ = false;           // TDLib's (also a session ended elsewhere)
    std::shared_ptr<ReceiveState> receive_;
};

}  // namespace parlando
