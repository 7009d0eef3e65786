#pragma once
// Desktop notifications (org.freedesktop.Notifications on Linux).
#include <functional>
#include <optional>
#include <string>

namespace parlando {

struct Notification {
    std::string title;
    std::string body;
    std::string identifier;  // a later notification with the same identifier replaces this one
    bool sound = true;       // the desktop's default notification sound
};

class Notifier {
public:
    using Completion = std::function<void(const std::optional<std::string>& error)>;
    virtual ~Notifier() = default;
    // Posts without blocking; completion (if any) runs later on the main
    // thread with an error description when posting failed, none on success.
    virtual void post(const Notification& notification, Completion completion) = 0;
    // Asks whether a notification service is there to show anything; done
    // runs later on the main thread with the reason when there is none.
    // Desktops have no per-application permission to ask for: this is the
    // nearest question. A notifier that cannot tell answers "present".
    virtual void checkService(Completion done) {
        if (done) done(std::nullopt);
    }
};

}  // namespace parlando
