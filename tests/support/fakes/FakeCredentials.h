#pragma once
// In-memory stand-ins for the secret store, the random source and the alert
// presenter, recording what they were asked.
#include "app/Alert.h"
#include "credentials/SecretStore.h"
#include "credentials/SecureRandom.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
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
    struct Call {
        Op op;
        std::string service, account;
        bool operator==(const Call&) const = default;
    };

    SecretReadResult read(const std::string& service, const std::string& account) override;
    SecretStoreStatus update(const std::string& service, const std::string& account, const std::string& value) override;
    SecretStoreStatus add(const std::string& service, const std::string& account, const std::string& value) override;
    SecretStoreStatus remove(const std::string& service, const std::string& account) override;

    // Direct access, bypassing the call record.
    void put(const std::string& service, const std::string& account, const std::string& value) {
        std::lock_guard lock(mutex_);
        items_[{service, account}] = value;
    }
    std::optional<std::string> get(const std::string& service, const std::string& account) const;
    bool has(const std::string& service, const std::string& account) const { return get(service, account).has_value(); }

    // Makes every later `op` on (service, account) fail with this status.
    void failWith(Op op, const std::string& service, const std::string& account, SecretStoreStatus status) {
        std::lock_guard lock(mutex_);
        failures_[{op, service, account}] = std::move(status);
    }
    void clearFailures() {
        std::lock_guard lock(mutex_);
        failures_.clear();
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::size_t count(Op op, const std::string& service) const;

private:
    std::optional<SecretStoreStatus> record(Op op, const std::string& service, const std::string& account);

    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::string> items_;
    std::map<std::tuple<Op, std::string, std::string>, SecretStoreStatus> failures_;
    std::vector<Call> calls_;
};

// Deterministic "random" bytes: 0x00, 0x01, ... continuing across calls.
class FakeSecureRandom final : public SecureRandom {
public:
    std::optional<Failure> fill(std::span<std::uint8_t> bytes) override;
    std::optional<Failure> failure;  // returned instead when set
    int calls = 0;

private:
    std::uint8_t next_ = 0;
};

// Answers alerts from a queue of scripted results and keeps what it was shown.
class ScriptedAlertPresenter final : public AlertPresenter {
public:
    AlertResult runModal(const AlertSpec& spec) override;
    void answer(int buttonIndex, std::vector<std::string> fieldTexts = {}) {
        answers_.push_back(AlertResult{buttonIndex, std::move(fieldTexts)});
    }

    std::vector<AlertSpec> shown;

private:
    std::deque<AlertResult> answers_;
};

}  // namespace parlando::testing
