#pragma once
// Fakes for the tray feature: a notification service that records posts.
#include "app/Notifier.h"

#include <optional>
#include <string>
#include <vector>

namespace parlando::testing {

class FakeNotifier final : public Notifier {
public:
    void post(const Notification& n, Completion completion) override {
        posted.push_back(n);
        if (completion) completion(failWith);
    }
    void checkService(Completion done) override { done(failWith); }
    std::vector<Notification> posted;
    std::optional<std::string> failWith;  // set to make every post fail
};

}  // namespace parlando::testing
