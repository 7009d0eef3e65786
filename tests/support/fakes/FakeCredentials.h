#pragma once
// In-memory stand-ins for the secret store (failing on demand), the random
// source and the alert presenter (answering from a script).
#include "app/Alert.h"
#include "credentials/SecretStore.h"
#include "credentials/SecureRandom.h"

#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace parlando::testing {

class MemorySecretStore final : public SecretStore {
public:
    enum class Op { read, update, add, remove };
    using S = const std::string&;

    SecretReadResult read(S service, S account) override {
        if (auto f = failure(Op::read, service, account)) return {*f, {}};
        const auto v = get(service, account);
        return {v ? SecretStoreStatus::success() : SecretStoreStatus::missing(), v.value_or("")};
    }
    SecretStoreStatus update(S service, S account, S value) override {
        if (auto f = failure(Op::update, service, account)) return *f;
        if (!has(service, account)) return SecretStoreStatus::missing();
        put(service, account, value);
        return SecretStoreStatus::success();
    }
    SecretStoreStatus add(S service, S account, S value) override {
        if (auto f = failure(Op::add, service, account)) return *f;
        // A keychain refuses a duplicate; so does this store.
        return items_.emplace(std::pair(service, account), value).second
                   ? SecretStoreStatus::success()
                   : SecretStoreStatus::failure(-25299, "duplicate item");
    }
    SecretStoreStatus remove(S service, S account) override {
        if (auto f = failure(Op::remove, service, account)) return *f;
        return items_.erase({service, account}) ? SecretStoreStatus::success() : SecretStoreStatus::missing();
    }

    // Direct access, never failing.
    void put(S service, S account, S value) { items_[{service, account}] = value; }
    std::optional<std::string> get(S service, S account) const {
        const auto it = items_.find({service, account});
        return it == items_.end() ? std::nullopt : std::optional(it->second);
    }
    bool has(S service, S account) const { return get(service, account).has_value(); }

    // Makes every later `op` on (service, account) fail with this code and text.
    void failWith(Op op, S service, S account, int code, S why = "x") {
        failures_[{op, service, account}] = SecretStoreStatus::failure(code, why);
    }
    void clearFailures() { failures_.clear(); }

private:
    std::optional<SecretStoreStatus> failure(Op op, S service, S account) const {
        const auto it = failures_.find({op, service, account});
        return it == failures_.end() ? std::nullopt : std::optional(it->second);
    }

    std::map<std::pair<std::string, std::string>, std::string> items_;
    std::map<std::tuple<Op, std::string, std::string>, SecretStoreStatus> failures_;
};

// Deterministic "random" bytes: 0x00, 0x01, ... continuing across calls.
struct FakeSecureRandom final : SecureRandom {
    std::optional<Failure> fill(std::span<std::uint8_t> bytes) override {
        if (failure) return failure;
        for (auto& b : bytes) b = next++;
        return std::nullopt;
    }
    std::optional<Failure> failure;  // returned instead when set
    std::uint8_t next = 0;
};

// Answers alerts from a queue of scripted results (closed once it runs out)
// and keeps what it was shown.
struct ScriptedAlertPresenter final : AlertPresenter {
    AlertResult runModal(const AlertSpec& spec) override {
        shown.push_back(spec);
        if (answers.empty()) return AlertResult{-1, std::vector<std::string>(spec.fields.size())};
        AlertResult r = answers.front();
        answers.pop_front();
        return r;
    }
    void answer(int buttonIndex, std::vector<std::string> fieldTexts = {}) {
        answers.push_back(AlertResult{buttonIndex, std::move(fieldTexts)});
    }

    std::vector<AlertSpec> shown;
    std::deque<AlertResult> answers;
};

}  // namespace parlando::testing
