#pragma once
// The status lamp client: maps the application's phase to a mode word and
// sends one fire-and-forget GET "http://HOST:PORT/mode/WORD" per change. A
// small circuit breaker keeps a dead lamp from costing anything: after three
// failures in a row calls are skipped for a minute. Nothing waits for the
// lamp; its answers only feed the breaker and the log.
#include "core/Http.h"
#include "core/Log.h"
#include "core/MainLoop.h"
#include "core/Settings.h"
#include "dictation/DictationPorts.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace parlando {

class LightControl final : public DictationLamp, public std::enable_shared_from_this<LightControl> {
public:
    using Phase = DictationLamp::Phase;

    static constexpr const char* defaultHost = "";
    static constexpr std::int64_t defaultPort = 7420;
    static constexpr double requestTimeout = 1.0;   // seconds without data
    static constexpr double resourceTimeout = 2.0;  // seconds for the whole request
    static constexpr int failureThreshold = 3;
    static constexpr double cooldown = 60.0;

    struct Keys {
        static constexpr const char* host = "ParlandoLightHost";
        static constexpr const char* port = "ParlandoLightPort";
        static constexpr const char* enabled = "ParlandoLightEnabled";
    };

    // What the resting phase depends on; unset: no meeting, microphone available.
    struct Probes {
        std::function<bool()> isMeetingRunning;
        std::function<bool()> isMicAvailable;
    };

    static std::shared_ptr<LightControl> create(MainLoop& loop, Settings& settings, Log& log, HttpClient& http);

    static const char* mode(Phase phase);

    // Any thread; return at once.
    void set(Phase phase) override { set(phase, false); }
    void set(Phase phase, bool bypassBreaker);
    void setIdleReflectingMic() override;
    void resetBreaker();

    std::string host() const;
    void setHost(const std::string& host);
    std::int64_t port() const;
    void setPort(std::int64_t port);
    bool enabled() const;
    void setEnabled(bool enabled);

    // Main thread, before phases are reported.
    Probes probes;

    // For tests and the menu: the breaker as it stands.
    int consecutiveFailures() const;
    bool isSuspended() const;

private:
    LightControl(MainLoop& loop, Settings& settings, Log& log, HttpClient& http);
    void recordFailure(const std::string& mode, const std::string& reason);
    void recordSuccess();
    void logOnMain(std::string line);

    MainLoop& loop_;
    Settings& settings_;
    Log& log_;
    HttpClient& http_;

    mutable std::mutex lock_;  // guards the two breaker fields
    int consecutiveFailures_ = 0;
    MonoTime suspendedUntil_ = MonoTime::min();
};

}  // namespace parlando
