#include "lamp/LightControl.h"

namespace parlando {

std::shared_ptr<LightControl> LightControl::create(MainLoop& loop, Settings& settings, Log& log, HttpClient& http) {
    return std::shared_ptr<LightControl>(new LightControl(loop, settings, log, http));
}

LightControl::LightControl(MainLoop& loop, Settings& settings, Log& log, HttpClient& http)
    : loop_(loop), settings_(settings), log_(log), http_(http) {}

const char* LightControl::mode(Phase phase) {
    switch (phase) {
    case Phase::recording: return "red";
    case Phase::idle: return "blue";
    case Phase::processing:
    case Phase::disconnected: return "standby";
    }
    return "standby";
}

std::string LightControl::host() const { return settings_.stringOr(Keys::host, defaultHost); }
void LightControl::setHost(const std::string& host) { settings_.setString(Keys::host, host); }
std::int64_t LightControl::port() const {
    const auto stored = settings_.getInt(Keys::port);
    return stored && *stored > 0 ? *stored : defaultPort;
}
void LightControl::setPort(std::int64_t port) { settings_.setInt(Keys::port, port); }
bool LightControl::enabled() const { return settings_.boolOr(Keys::enabled, false); }
void LightControl::setEnabled(bool enabled) { settings_.setBool(Keys::enabled, enabled); }

int LightControl::consecutiveFailures() const {
    std::lock_guard guard(lock_);
    return consecutiveFailures_;
}

bool LightControl::isSuspended() const {
    std::lock_guard guard(lock_);
    return loop_.now() < suspendedUntil_;
}

void LightControl::set(Phase phase, bool bypassBreaker) {
    if (!enabled()) return;
    const std::string h = host();
    if (h.empty()) return;
    if (!bypassBreaker && isSuspended()) return;
    const std::int64_t p = port();
    // A host or port that cannot make a URL: nothing to call, nothing to say.
    if (!isValidHttpAuthority(h, p)) return;
    const std::string word = mode(phase);
    HttpRequest request;
    request.url = "http://" + h + ":" + std::to_string(p) + "/mode/" + word;
    request.idleTimeout = seconds(requestTimeout);
    request.totalTimeout = seconds(resourceTimeout);
    request.bypassCache = true;
    std::weak_ptr<LightControl> weak = weak_from_this();
    http_.get(request, [weak, word](const HttpResponse& response) {
        auto self = weak.lock();
        if (!self) return;
        if (response.error)
            self->recordFailure(word, *response.error);
        else if (response.status != 200)
            self->recordFailure(word, "HTTP " + std::to_string(response.status));
        else
            self->recordSuccess();
    });
}

void LightControl::setIdleReflectingMic() {
    if (probes.isMeetingRunning && probes.isMeetingRunning()) {
        set(Phase::recording);
        return;
    }
    const bool available = !probes.isMicAvailable || probes.isMicAvailable();
    set(available ? Phase::idle : Phase::disconnected);
}

void LightControl::resetBreaker() {
    std::lock_guard guard(lock_);
    consecutiveFailures_ = 0;
    suspendedUntil_ = MonoTime::min();
}

void LightControl::recordFailure(const std::string& mode, const std::string& reason) {
    int count = 0;
    bool tripped = false;
    {
        std::lock_guard guard(lock_);
        count = ++consecutiveFailures_;
        if (count >= failureThreshold) {
            suspendedUntil_ = loop_.now() + seconds(cooldown);
            tripped = true;
        }
    }
    if (tripped) {
        logOnMain("light: " + std::to_string(count) + " consecutive failures (last: " + reason +
                  ") — suspending lamp calls for " + std::to_string(static_cast<long long>(cooldown)) + "s");
    } else if (count == 1) {
        logOnMain("light: " + mode + " failed — " + reason);
    }
}

void LightControl::recordSuccess() {
    bool wasTripped = false;
    {
        std::lock_guard guard(lock_);
        wasTripped = consecutiveFailures_ >= failureThreshold;
        consecutiveFailures_ = 0;
        suspendedUntil_ = MonoTime::min();
    }
    if (wasTripped) logOnMain("light: lamp reachable again — resuming");
}

void LightControl::logOnMain(std::string line) {
    Log* log = &log_;
    loop_.post([log, line = std::move(line)] { log->append(line); });
}

}  // namespace parlando
