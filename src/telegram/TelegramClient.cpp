#include "telegram/TelegramClient.h"

#include "credentials/TextCoding.h"
#include "telegram/TelegramEvents.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <mutex>
#include <system_error>

namespace parlando {

using nlohmann::json;
namespace fs = std::filesystem;

// What the receive thread shares with the client. The thread holds it weakly
// and reads it under the lock; the client outlives nothing it posts.
struct TelegramClient::ReceiveState {
    explicit ReceiveState(MainLoop& l) : loop(l) {}
    MainLoop& loop;
    std::weak_ptr<TelegramClient> client;
    std::mutex mutex;
    std::condition_variable closedSignal;
    bool alive = true;  // false once the client is gone: nothing is posted any more
    bool running = false;
    bool quitting = false;  // events are not posted, only watched for the closed state
    bool closedSeen = false;
    std::int64_t clientId = 0;
};

std::string TelegramClient::Status::menuText() const {
    switch (kind) {
    case Kind::idle: return "not connected";
    case Kind::needCredentials: return "app credentials missing";
    case Kind::waitingPhone: return "waiting for phone…";
    case Kind::waitingCode: return "waiting for code…";
    case Kind::waitingPassword: return "waiting for 2FA password…";
    case Kind::ready: return "@" + text + " ✓";
    case Kind::error: return "error: " + text;
    }
    return {};
}

std::shared_ptr<TelegramClient> TelegramClient::create(MainLoop& loop, Log& log, const KeychainHelper& keychain,
                                                       TdJson& tdjson, Folders folders, Device device) {
    std::shared_ptr<TelegramClient> client(
        new TelegramClient(loop, log, keychain, tdjson, std::move(folders), std::move(device)));
    client->receive_->client = client;
    return client;
}

TelegramClient::TelegramClient(MainLoop& loop, Log& log, const KeychainHelper& keychain, TdJson& tdjson,
                               Folders folders, Device device)
    : log_(log),
      keychain_(keychain),
      tdjson_(tdjson),
      folders_(std::move(folders)),
      device_(std::move(device)),
      receive_(std::make_shared<ReceiveState>(loop)) {}

TelegramClient::~TelegramClient() {
    // The receive loop ends at its next turn; nothing it still receives is posted.
    std::lock_guard lock(receive_->mutex);
    receive_->alive = false;
    receive_->running = false;
}

bool TelegramClient::running() const {
    std::lock_guard lock(receive_->mutex);
    return receive_->running;
}

void TelegramClient::setRunning(bool running) {
    std::lock_guard lock(receive_->mutex);
    receive_->running = running;
    receive_->clientId = clientId_;
}

void TelegramClient::setStatus(Status status) {
    status_ = std::move(status);
    if (onStatusChange) onStatusChange(status_);
}

void TelegramClient::start() {
    if (running()) {
        // TDLib still waits for parameters we could not send (the key store
        // failed to answer): a new attempt tries again.
        if (authState_ == waitParametersState && !parametersSent_) sendTdlibParameters();
        return;
    }
    const auto credentials = keychain_.telegramCredentials();
    if (!credentials) {
        setStatus(Status::needCredentials());
        return;
    }
    if (!libraryReady_) {
        if (auto failure = tdjson_.load()) {
            log_.append("tg: cannot load libtdjson: " + failure->detail);
            setStatus(Status::error(failure->userText));
            return;
        }
        libraryReady_ = true;
        // TDLib's own log goes to standard error; errors only.
        tdjson_.execute(R"({"@type":"setLogVerbosityLevel","new_verbosity_level":1})");
    }
    makeFolders();
    clientId_ = tdjson_.createClientId();
    authState_.clear();
    parametersSent_ = parametersRejected_ = logoutRequested_ = loggingOut_ = false;
    setRunning(true);

    tdjson_.startReceiving([weakState = std::weak_ptr<ReceiveState>(receive_)](const char* text) {
        const auto state = weakState.lock();
        if (!state) return false;
        std::lock_guard lock(state->mutex);
        if (!state->alive || !state->running) return false;
        if (text == nullptr) return true;
        if (state->quitting) {
            // The main loop no longer runs: only the closed state matters now.
            const auto event = decodeTelegramEvent(text);
            if (event && event->kind == TelegramEvent::Kind::authorizationState &&
                event->text == "authorizationStateClosed" && event->clientId.value_or(state->clientId) == state->clientId) {
                state->closedSeen = true;
                state->running = false;
                state->closedSignal.notify_all();
                return false;
            }
            return true;
        }
        state->loop.post([client = state->client, copy = std::string(text)] {
            if (auto c = client.lock()) c->handleEvent(copy);
        });
        return true;
    });
    log_.append("tg: client " + std::to_string(clientId_) + " booted");
    send({{"@type", "getAuthorizationState"}});
    pendingCredentials_ = credentials;
}

void TelegramClient::makeFolders() const {
    // TDLib's database and downloads are the account's: the user's eyes only,
    // also when an older folder was made with wider rights.
    for (const fs::path& dir : {folders_.databaseDir, folders_.filesDir}) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
    }
}

void TelegramClient::send(const json& request) {
    std::string text;
    try {
        text = request.dump();
    } catch (const json::exception&) {
        return;  // not UTF-8: nothing TDLib could read
    }
    tdjson_.send(clientId_, text);
}

void TelegramClient::submitPhone(const std::string& phone) {
    if (!running()) return;
    send({{"@type", "setAuthenticationPhoneNumber"}, {"phone_number", textcoding::trimWhitespaceAndNewlines(phone)}});
}

void TelegramClient::submitCode(const std::string& code) {
    if (!running()) return;
    send({{"@type", "checkAuthenticationCode"}, {"code", textcoding::trimWhitespaceAndNewlines(code)}});
}

void TelegramClient::submitPassword(const std::string& password) {
    if (!running()) return;
    send({{"@type", "checkAuthenticationPassword"}, {"password", password}});
}

void TelegramClient::logoutAndWipe() {
    if (!running()) {
        wipeOnDisk();
        return;
    }
    logoutRequested_ = true;
    // Before its parameters are accepted (a database it cannot open) TDLib
    // refuses to log out; closing it is all there is, and the wipe follows.
    send({{"@type", authState_ == waitParametersState ? "close" : "logOut"}});
}

bool TelegramClient::closeForQuit(Duration limit) {
    if (!running()) return true;
    {
        std::lock_guard lock(receive_->mutex);
        receive_->quitting = true;
        receive_->closedSeen = false;
    }
    send({{"@type", "close"}});
    std::unique_lock lock(receive_->mutex);
    const bool closed = receive_->closedSignal.wait_for(lock, limit, [this] { return receive_->closedSeen; });
    receive_->running = false;
    lock.unlock();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
    log_.append(closed ? "tg: closed for quit, session kept"
                       : "tg: TDLib did not close within " + std::to_string(ms) + " ms");
    return closed;
}

void TelegramClient::handleEvent(const std::string& text) {
    const auto event = decodeTelegramEvent(text);
    if (!event) return;
    // Late events of a client that has closed belong to nobody now.
    if (event->clientId && *event->clientId != clientId_) return;
    switch (event->kind) {
    case TelegramEvent::Kind::authorizationState: handleAuthState(event->text); break;
    case TelegramEvent::Kind::error:
        if (authState_ == waitParametersState && parametersSent_) parametersRejected_ = true;
        log_.append("tg: error — " + event->text);
        setStatus(Status::error(event->text));
        break;
    case TelegramEvent::Kind::user: setStatus(Status::ready(event->text)); break;
    case TelegramEvent::Kind::other: break;
    }
}

TelegramClient::Status TelegramClient::authStage() const {
    if (!running()) return Status::idle();
    if (authState_ == "authorizationStateWaitPhoneNumber") return Status::waitingPhone();
    if (authState_ == "authorizationStateWaitCode") return Status::waitingCode();
    if (authState_ == "authorizationStateWaitPassword") return Status::waitingPassword();
    return Status::idle();
}

void TelegramClient::handleAuthState(const std::string& type) {
    log_.append("tg: auth state " + type);
    if (type != waitParametersState) parametersRejected_ = false;
    authState_ = type;
    if (type == waitParametersState) {
        parametersSent_ = false;
        sendTdlibParameters();
    } else if (type == "authorizationStateWaitPhoneNumber") {
        setStatus(Status::waitingPhone());
    } else if (type == "authorizationStateWaitCode") {
        setStatus(Status::waitingCode());
    } else if (type == "authorizationStateWaitPassword") {
        setStatus(Status::waitingPassword());
    } else if (type == "authorizationStateReady") {
        send({{"@type", "getMe"}});
    } else if (type == "authorizationStateLoggingOut") {
        loggingOut_ = true;
        log_.append("tg: logging out");
    } else if (type == "authorizationStateClosed") {
        setRunning(false);
        const bool loggedOut = logoutRequested_ || loggingOut_;
        logoutRequested_ = loggingOut_ = false;
        authState_.clear();
        // Only a logout ends the session; any other close (a database
        // error, quitting) keeps the login for the next start.
        if (loggedOut) {
            wipeOnDisk();
        } else {
            log_.append("tg: closed, session kept");
            setStatus(Status::idle());
        }
    }
}

void TelegramClient::sendTdlibParameters() {
    auto credentials = pendingCredentials_ ? pendingCredentials_ : keychain_.telegramCredentials();
    if (!credentials) {
        setStatus(Status::needCredentials());
        return;
    }
    std::vector<std::uint8_t> key;
    try {
        key = keychain_.tdlibDatabaseKey();
    } catch (const KeychainHelper::Error& e) {
        setStatus(Status::error("failed to create DB key: " + e.description()));
        return;
    }
    send({{"@type", "setTdlibParameters"},
          {"use_test_dc", false},
          {"database_directory", folders_.databaseDir.string()},
          {"files_directory", folders_.filesDir.string()},
          {"database_encryption_key", textcoding::base64Encode(key)},
          {"use_file_database", true},
          {"use_chat_info_database", true},
          {"use_message_database", false},
          {"use_secret_chats", false},
          {"api_id", credentials->apiID},
          {"api_hash", credentials->apiHash},
          {"system_language_code", "en"},
          {"device_model", device_.model},
          {"system_version", device_.systemVersion},
          {"application_version", device_.applicationVersion}});
    parametersSent_ = true;
}

void TelegramClient::wipeOnDisk() {
    std::error_code ec;
    fs::remove_all(folders_.databaseDir, ec);
    fs::remove_all(folders_.filesDir, ec);
    keychain_.clearTDLibDatabaseKey();
    log_.append("tg: local session wiped");
    setStatus(Status::idle());
}

}  // namespace parlando
