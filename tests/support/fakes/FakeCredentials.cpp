#include "fakes/FakeCredentials.h"

namespace parlando::testing {

std::optional<SecretStoreStatus> MemorySecretStore::record(Op op, const std::string& service,
                                                           const std::string& account) {
    calls_.push_back({op, service, account});
    auto it = failures_.find({op, service, account});
    return it == failures_.end() ? std::nullopt : std::optional(it->second);
}

SecretReadResult MemorySecretStore::read(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    if (auto f = record(Op::read, service, account)) return {*f, {}};
    auto it = items_.find({service, account});
    if (it == items_.end()) return {SecretStoreStatus::missing(), {}};
    return {SecretStoreStatus::success(), it->second};
}

SecretStoreStatus MemorySecretStore::update(const std::string& service, const std::string& account,
                                            const std::string& value) {
    std::lock_guard lock(mutex_);
    if (auto f = record(Op::update, service, account)) return *f;
    auto it = items_.find({service, account});
    if (it == items_.end()) return SecretStoreStatus::missing();
    it->second = value;
    return SecretStoreStatus::success();
}

SecretStoreStatus MemorySecretStore::add(const std::string& service, const std::string& account,
                                         const std::string& value) {
    std::lock_guard lock(mutex_);
    if (auto f = record(Op::add, service, account)) return *f;
    // A keychain refuses a duplicate; so does this store.
    if (!items_.emplace(std::make_pair(service, account), value).second)
        return SecretStoreStatus::failure(-25299, "duplicate item");
    return SecretStoreStatus::success();
}

SecretStoreStatus MemorySecretStore::remove(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    if (auto f = record(Op::remove, service, account)) return *f;
    return items_.erase({service, account}) ? SecretStoreStatus::success() : SecretStoreStatus::missing();
}

std::optional<std::string> MemorySecretStore::get(const std::string& service, const std::string& account) const {
    std::lock_guard lock(mutex_);
    auto it = items_.find({service, account});
    return it == items_.end() ? std::nullopt : std::optional(it->second);
}

std::size_t MemorySecretStore::count(Op op, const std::string& service) const {
    std::lock_guard lock(mutex_);
    return std::count_if(calls_.begin(), calls_.end(),
                         [&](const Call& c) { return c.op == op && c.service == service; });
}

std::optional<SecureRandom::Failure> FakeSecureRandom::fill(std::span<std::uint8_t> bytes) {
    ++calls;
    if (failure) return failure;
    for (auto& b : bytes) b = next_++;
    return std::nullopt;
}

AlertResult ScriptedAlertPresenter::runModal(const AlertSpec& spec) {
    shown.push_back(spec);
    if (answers_.empty()) return AlertResult{-1, std::vector<std::string>(spec.fields.size())};
    AlertResult r = answers_.front();
    answers_.pop_front();
    return r;
}

}  // namespace parlando::testing
