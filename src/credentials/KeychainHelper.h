#pragma once
// Every secret of the application, read and written by (service, account) in
// the user's secret store: the recognition API key (with the move from its
// legacy service name), the Telegram application credentials and the key of
// the local TDLib database. Holds no state of its own: every call goes to the
// store, so it may be used from any thread the store allows (see the adapter).
#include "credentials/SecretStore.h"
#include "credentials/SecureRandom.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

class KeychainHelper {
public:
    struct Service {
        static constexpr const char* deepgramAPIKey = "parlando.deepgram.api_key";
        static constexpr const char* legacyDeepgram = "ferrule.deepgram.api_key";
        static constexpr const char* telegramAPIID = "parlando.telegram.api_id";
        static constexpr const char* telegramAPIHash = "parlando.telegram.api_hash";
        static constexpr const char* tdlibDatabaseKey = "parlando.tdlib_db_key";
    };
    struct Account {
        static constexpr const char* deepgram = "deepgram";
        static constexpr const char* telegram = "telegram";
        static constexpr const char* tdlib = "tdlib";
    };

    // What the store said, in words a user can read.
    class Error : public std::exception {
    public:
        enum class Kind { notFound, osStatus };

        static Error notFound(std::string item);
        // `item` is the item name or the failing call; `detail` is the
        // store's own explanation of `status`, shown after the code.
        static Error osStatus(std::string item, std::int32_t status, std::string detail = {});

        Kind kind() const { return kind_; }
        const std::string& item() const { return item_; }
        std::int32_t status() const { return status_; }
        const std::string& detail() const { return detail_; }
        const std::string& description() const { return description_; }
        const char* what() const noexcept override { return description_.c_str(); }

    private:
        Error(Kind kind, std::string item, std::int32_t status, std::string detail);
        Kind kind_;
        std::string item_;
        std::int32_t status_;
        std::string detail_;
        std::string description_;
    };

    struct TelegramCredentials {
        std::int32_t apiID = 0;
        std::string apiHash;
        bool operator==(const TelegramCredentials&) const = default;
    };

    // The invalid-parameter code reported when a value is not UTF-8 text.
    static constexpr std::int32_t invalidParameterStatus = -50;
    static constexpr std::size_t databaseKeyLength = 32;

    KeychainHelper(SecretStore& store, SecureRandom& random) : store_(store), random_(random) {}

    // "service/account", the name errors carry.
    static std::string itemName(const std::string& service, const std::string& account);

    // The stored text, trimmed of white space and line breaks. Throws Error.
    std::string readString(const std::string& service, const std::string& account) const;
    // Update-or-add. Throws Error.
    void writeString(const std::string& service, const std::string& account, const std::string& value) const;
    // Never fails; what the store answers is not examined.
    void deleteItem(const std::string& service, const std::string& account) const noexcept;

    // The API key; moves a legacy key to the current service on first read. Throws Error.
    std::string deepgramAPIKey() const;
    // Throws Error; on success any legacy key is gone too.
    void setDeepgramAPIKey(const std::string& key) const;

    // None when either item is missing or invalid.
    std::optional<TelegramCredentials> telegramCredentials() const;
    // Throws the first Error; the hash is written only after the id.
    void setTelegramCredentials(std::int32_t apiID, const std::string& apiHash) const;

    // The 32 key bytes; a missing or malformed key is replaced by a fresh
    // random one, which is stored before it is returned. A store that fails
    // to answer throws Error rather than having its key replaced.
    std::vector<std::uint8_t> tdlibDatabaseKey() const;
    void clearTDLibDatabaseKey() const noexcept;

private:
    SecretStore& store_;
    SecureRandom& random_;
};

}  // namespace parlando
