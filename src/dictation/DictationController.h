#pragma once
// The application controller's dictation side: what a hotkey press does, how
// a dictation starts and stops, and the "Слушать" switch that mutes the
// always-on microphone. Owned by StatusBarController; main thread only.
#include "app/Alert.h"
#include "core/Log.h"
#include "core/MainLoop.h"
#include "dictation/DictationPorts.h"
#include "dictation/LocalCaptureSession.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace parlando {

struct DictationServices {
    // What each dictation session is built with.
    SessionServices session;
    DictationTray& tray;
    AlertPresenter& alerts;
    // Meetings: whether one records, and stopping it. Empty means no meeting ever runs.
    std::function<bool()> isMeetingRunning;
    std::function<void()> stopMeeting;
};

class DictationController : public std::enable_shared_from_this<DictationController> {
public:
    static constexpr double fnDebounce = 0.15;

    static std::shared_ptr<DictationController> create(DictationServices services);

    DictationController(const DictationController&) = delete;
    DictationController& operator=(const DictationController&) = delete;

    // Hotkey edges as they arrive: each becomes its own main-loop task that
    // finds the controller only if it still exists.
    void fnPressed();
    void fnReleased();

    void handleFNPress();
    void handleFNRelease();
    void doStart();
    void doStop();
    // Our login session locked or left the front: a running dictation stops,
    // and its text goes to the clipboard only.
    void stopKeepingTextOnClipboard();
    // Action of the "Слушать" menu item.
    void toggleListening();

    bool captureInFlight = false;
    std::optional<MonoTime> lastFNPressAt;  // none: the distant past
    std::shared_ptr<LocalCaptureSession> localSession;

    // Sessions stopped whose text has not been delivered yet.
    int sessionsFinishing() const { return sessionsFinishing_; }
    // Quitting: the running dictation and those still draining end now,
    // unpasted, before the microphone and the main loop go.
    void endSessions();

private:
    explicit DictationController(DictationServices services);
    void sessionFinished();

    DictationServices s_;
    int sessionsFinishing_ = 0;
    std::vector<std::weak_ptr<LocalCaptureSession>> draining_;
};

}  // namespace parlando
