#include "fakes/FakeCredentials.h"

namespace parlando::testing {

std::optional<SecretStoreStatus> MemorySecretStore::failure(Op op, const std::string& service,
                                                            const std::string& account) const {
    auto it = failures_.find({op, service, account});
    if (it == failures_.end()) return std::nullopt;
    return it->second;
}

SecretReadResult MemorySecretStore::read(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    calls_.push_back({Op::read, service, account});
    if (auto f = failure(Op::read, service, account)) return {*f, {}};
    auto it = items_.find({service, account});
    if (it == items_.end()) return {SecretStoreStatus::missing(), {}};
    return {SecretStoreStatus::success(), it->second};
}

SecretStoreStatus MemorySecretStore::update(const std::string& service, const std::string& account,
                                            const std::string& value) {
    std::lock_guard lock(mutex_);
    calls_.push_back({Op::update, service, account});
    if (auto f = failure(Op::update, service, account)) return *f;
    auto it = items_.find({service, account});
    if (it == items_.end()) return SecretStoreStatus::missing();
    it->second = value;
    return SecretStoreStatus::success();
}

SecretStoreStatus MemorySecretStore::add(const std::string& service, const std::string& account,
                                         const std::string& value) {
    std::lock_guard lock(mutex_);
    calls_.push_back({Op::add, service, account});
    if (auto f = failure(Op::add, service, account)) return *f;
    // A keychain refuses a duplicate; so does this store.
    if (!items_.emplace(std::make_pair(service, account), value).second)
        return SecretStoreStatus::failure(-25299, "duplicate item");
    return SecretStoreStatus::success();
}

SecretStoreStatus MemorySecretStore::remove(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    calls_.push_back({Op::remove, service, account});
    if (auto f = failure(Op::remove, service, account)) return *f;
    return items_.erase({service, account}) ? SecretStoreStatus::success() : SecretStoreStatus::missing();
}

void MemorySecretStore::put(const std::string& service, const std::string& account, const std::string& value) {
    std::lock_guard lock(mutex_);
    items_[{service, account}] = value;
}

std::optional<std::string> MemorySecretStore::get(const std::string& service, const std::string& account) const {
    std::lock_guard lock(mutex_);
    auto it = items_.find({service, account});
    if (it == items_.end()) return std::nullopt;
    return it->second;
}

std::size_t MemorySecretStore::size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

void MemorySecretStore::failWith(Op op, const std::string& service, const std::string& account,
                                 SecretStoreStatus status) {
    std::lock_guard lock(mutex_);
    failures_[{op, service, account}] = std::move(status);
}

void MemorySecretStore::clearFailures() {
    std::lock_guard lock(mutex_);
    failures_.clear();
}

std::vector<MemorySecretStore::Call> MemorySecretStore::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::size_t MemorySecretStore::count(Op op, const std::string& service) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& c : calls_) n += (c.op == op && c.service == service) ? 1 : 0;
    return n;
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

void ScriptedAlertPresenter::answer(int buttonIndex, std::vector<std::string> fieldTexts) {
    answers_.push_back(AlertResult{buttonIndex, std::move(fieldTexts)});
}

}  // namespace parlando::testing
