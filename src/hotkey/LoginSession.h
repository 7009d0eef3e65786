#pragma once
// Whether our login session is the one the keyboard belongs to right now:
// active (not another user's after a VT switch) and not locked. Key events
// are read from the devices whatever session is in front, so the hotkey acts
// only while this holds.
#include <functional>

namespace parlando {

class LoginSession {
public:
    virtual ~LoginSession() = default;
    // Main thread. True while the session is active and unlocked, and while
    // that cannot be known (no session manager): then the hotkey always acts.
    virtual bool inFront() const = 0;
    // Main thread. Called with the new value whenever inFront() changes.
    virtual void setOnChange(std::function<void(bool inFront)> onChange) = 0;
};

}  // namespace parlando
