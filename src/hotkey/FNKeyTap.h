#pragma once
// The dictation hotkey's press and release edges, system-wide, reported on the
// main thread as two plain callbacks. The edge is the key's combined state over
// every keyboard that has it: the first device to press it makes the press, the
// last to let go (or to vanish) makes the release; auto-repeat and other keys
// change nothing.
#include "core/Log.h"
#include "core/MainLoop.h"
#include "hotkey/HotkeyNames.h"
#include "hotkey/KeyEdgeSource.h"

#include <functional>
#include <memory>
#include <mutex>
#include <set>

namespace parlando {

class FNKeyTap {
public:
    FNKeyTap(MainLoop& loop, Log& log, KeyEdgeSource& source);
    ~FNKeyTap();
    FNKeyTap(const FNKeyTap&) = delete;
    FNKeyTap& operator=(const FNKeyTap&) = delete;

    // Main thread. Replaces any earlier start. Returns true when the source
    // watches the key; on false the callbacks stay stored but nothing reports.
    bool start(const HotkeyKey& key, std::function<void()> onPress, std::function<void()> onRelease);
    // Main thread. Edges already queued find no callbacks and do nothing.
    void stop();

    bool installed() const { return installed_; }
    // Why the last start failed (empty after a successful one).
    const std::string& failure() const { return failure_; }

private:
    // Shared with the source's thread: the edge state lives here so that a quick
    // press and release queue exactly one press and then one release.
    struct Storage {
        std::mutex mutex;
        std::set<int> held;  // devices holding the key down
        bool lastFnDown = false;
        // Main thread only.
        std::function<void()> onPress;
        std::function<void()> onRelease;
    };

    static void handle(MainLoop& loop, const std::shared_ptr<Storage>& storage, const KeyEvent& event);

    MainLoop& loop_;
    Log& log_;
    KeyEdgeSource& source_;
    std::shared_ptr<Storage> storage_;
    bool installed_ = false;
    std::string failure_;
};

}  // namespace parlando
