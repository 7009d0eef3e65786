#include "credentials/KeychainHelper.h"

#include "credentials/TextCoding.h"

#include <array>

namespace parlando {

using textcoding::trimWhitespaceAndNewlines;

KeychainHelper::Error::Error(Kind kind, std::string item, std::int32_t status, std::string detail)
    : kind_(kind), item_(std::move(item)), status_(status), detail_(std::move(detail)) {
    if (kind_ == Kind::notFound) {
        description_ = "Keychain item not found: " + item_;
    } else {
        description_ = "Keychain error for " + item_ + ": OSStatus " + std::to_string(status_);
        // The bare code means little on its own; the store's words say what to do.
        if (!detail_.empty()) description_ += " (" + detail_ + ")";
    }
}

KeychainHelper::Error KeychainHelper::Error::notFound(std::string item) {
    return Error(Kind::notFound, std::move(item), 0, {});
}

KeychainHelper::Error KeychainHelper::Error::osStatus(std::string item, std::int32_t status, std::string detail) {
    return Error(Kind::osStatus, std::move(item), status, std::move(detail));
}

std::string KeychainHelper::itemName(const std::string& service, const std::string& account) {
    return service + "/" + account;
}

std::string KeychainHelper::readString(const std::string& service, const std::string& account) const {
    const SecretReadResult r = store_.read(service, account);
    if (r.status.notFound()) throw Error::notFound(itemName(service, account));
    if (r.status.failed()) throw Error::osStatus(itemName(service, account), r.status.code, r.status.description);
    // Bytes that are not text are as good as no item.
    if (!textcoding::isValidUTF8(r.value)) throw Error::notFound(itemName(service, account));
    return trimWhitespaceAndNewlines(r.value);
}

void KeychainHelper::writeString(const std::string& service, const std::string& account,
                                 const std::string& value) const {
    const std::string item = itemName(service, account);
    if (!textcoding::isValidUTF8(value)) throw Error::osStatus(item, invalidParameterStatus, "value is not UTF-8 text");
    const SecretStoreStatus updated = store_.update(service, account, value);
    if (updated.ok()) return;
    if (updated.notFound()) {
        const SecretStoreStatus added = store_.add(service, account, value);
        if (!added.ok()) throw Error::osStatus(item, added.code, added.description);
        return;
    }
    throw Error::osStatus(item, updated.code, updated.description);
}

void KeychainHelper::deleteItem(const std::string& service, const std::string& account) const noexcept {
    try {
        (void)store_.remove(service, account);
    } catch (...) {
        // Deleting never reports anything.
    }
}

std::string KeychainHelper::deepgramAPIKey() const {
    try {
        std::string key = readString(Service::deepgramAPIKey, Account::deepgram);
        if (!key.empty()) return key;
    } catch (const Error&) {
        // Any failure of the current item falls through to the legacy one.
    }
    std::string legacy = readString(Service::legacyDeepgram, Account::deepgram);
    try {
        writeString(Service::deepgramAPIKey, Account::deepgram, legacy);
    } catch (const Error&) {
        // The legacy item stays until its copy exists: the next read moves it again.
        return legacy;
    }
    deleteItem(Service::legacyDeepgram, Account::deepgram);
    return legacy;
}

void KeychainHelper::setDeepgramAPIKey(const std::string& key) const {
    writeString(Service::deepgramAPIKey, Account::deepgram, key);
    // A stale legacy key must never come back through the legacy move.
    deleteItem(Service::legacyDeepgram, Account::deepgram);
}

std::optional<KeychainHelper::TelegramCredentials> KeychainHelper::telegramCredentials() const {
    std::optional<std::int32_t> id;
    try {
        id = textcoding::parseInt32(trimWhitespaceAndNewlines(readString(Service::telegramAPIID, Account::telegram)));
    } catch (const Error&) {
        return std::nullopt;
    }
    if (!id) return std::nullopt;
    std::string hash;
    try {
        hash = readString(Service::telegramAPIHash, Account::telegram);
    } catch (const Error&) {
        return std::nullopt;
    }
    if (hash.empty()) return std::nullopt;
    return TelegramCredentials{*id, hash};
}

void KeychainHelper::setTelegramCredentials(std::int32_t apiID, const std::string& apiHash) const {
    writeString(Service::telegramAPIID, Account::telegram, std::to_string(apiID));
    writeString(Service::telegramAPIHash, Account::telegram, apiHash);
}

std::vector<std::uint8_t> KeychainHelper::tdlibDatabaseKey() const {
    std::optional<std::string> stored;
    try {
        stored = readString(Service::tdlibDatabaseKey, Account::tdlib);
    } catch (const Error& e) {
        // Only a key that is really absent is replaced. A store that fails
        // to answer (timed out, locked) may still hold the key the database
        // was encrypted with; overwriting it would lose that database.
        if (e.kind() != Error::Kind::notFound) throw;
    }
    if (stored) {
        auto bytes = textcoding::base64Decode(*stored);
        if (bytes && bytes->size() == databaseKeyLength) return *bytes;
    }
    std::vector<std::uint8_t> key(databaseKeyLength);
    if (auto failure = random_.fill(key)) throw Error::osStatus(failure->call, failure->code, failure->description);
    writeString(Service::tdlibDatabaseKey, Account::tdlib, textcoding::base64Encode(key));
    return key;
}

void KeychainHelper::clearTDLibDatabaseKey() const noexcept { deleteItem(Service::tdlibDatabaseKey, Account::tdlib); }

}  // namespace parlando
