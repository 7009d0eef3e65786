#pragma once
// TDLib's JSON interface as the Telegram client sees it: client ids, requests
// and events as JSON texts, and a receive loop on a thread of its own.
#include <functional>
#include <optional>
#include <string>

namespace parlando {

class TdJson {
public:
    struct LoadFailure {
        std::string userText;  // short, says what to do; shown in the menu
        std::string detail;    // what was tried and what failed; for the log
    };
    // Runs on the receive thread after every wait, with the event's text or
    // null when the wait timed out; the text is gone after the call returns.
    // Returns whether to keep receiving.
    using ReceiveFn = std::function<bool(const char* text)>;

    virtual ~TdJson() = default;

    // Makes the library usable; a loaded library stays loaded. Main thread.
    virtual std::optional<LoadFailure> load() = 0;
    // The rest only after a successful load().
    virtual int createClientId() = 0;
    virtual void send(int clientId, const std::string& request) = 0;
    virtual std::string execute(const std::string& request) = 0;
    // Starts the receive loop unless it runs; a running loop calls the new
    // function from its next turn on. There is never more than one loop.
    virtual void startReceiving(ReceiveFn onReceive) = 0;
};

}  // namespace parlando
