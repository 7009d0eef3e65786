#pragma once
// An Xlib connection of our own (apart from Qt's), for XTest and XInput2.
// Xlib's stock handlers end the process on any protocol error and on a lost
// server; ours log nothing and let the caller notice instead.
#include <atomic>
#include <memory>
#include <string>

struct _XDisplay;

namespace parlando {

class X11Connection {
public:
    // displayName empty: $DISPLAY.
    explicit X11Connection(const std::string& displayName = {});
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    _XDisplay* display() const { return display_; }
    explicit operator bool() const { return display_ != nullptr && !lost(); }
    // The server went away; every later call on this connection is void.
    bool lost() const { return lost_->load(); }

    // Why no display could be opened, for a log line.
    static std::string whyNoDisplay(const std::string& displayName = {});

private:
    _XDisplay* display_ = nullptr;
    std::shared_ptr<std::atomic<bool>> lost_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace parlando
