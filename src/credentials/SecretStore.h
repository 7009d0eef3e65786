#pragma once
// The per-user secret store as the core sees it: text values keyed by
// (service, account). "Not found" is an answer, not an error; errors carry the
// store's own numeric code and its own words, so they can be shown as they are.
#include <cstdint>
#include <string>

namespace parlando {

struct SecretStoreStatus {
    enum class Kind { ok, notFound, failed };

    Kind kind = Kind::ok;
    std::int32_t code = 0;     // the store's own code, when failed
    std::string description;   // the store's own explanation, when failed

    static SecretStoreStatus success() { return {}; }
    static SecretStoreStatus missing() { return {Kind::notFound, 0, {}}; }
    static SecretStoreStatus failure(std::int32_t code, std::string description) {
        return {Kind::failed, code, std::move(description)};
    }
    bool ok() const { return kind == Kind::ok; }
    bool notFound() const { return kind == Kind::notFound; }
    bool failed() const { return kind == Kind::failed; }
};

struct SecretReadResult {
    SecretStoreStatus status;
    std::string value;  // the stored bytes, exactly; meaningful only when status is ok
};

// Every call is synchronous and may block on the store (and, for a locked
// store, on the user answering an unlock prompt).
class SecretStore {
public:
    virtual ~SecretStore() = default;

    virtual SecretReadResult read(const std::string& service, const std::string& account) = 0;
    // Replaces the value of the existing item; notFound when there is none.
    virtual SecretStoreStatus update(const std::string& service, const std::string& account,
                                     const std::string& value) = 0;
    // Creates the item.
    virtual SecretStoreStatus add(const std::string& service, const std::string& account,
                                  const std::string& value) = 0;
    virtual SecretStoreStatus remove(const std::string& service, const std::string& account) = 0;
};

}  // namespace parlando
