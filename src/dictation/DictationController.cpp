#include "dictation/DictationController.h"

#include "dictation/DictationText.h"

#include <exception>

namespace parlando {

namespace {

// Resets a flag on every way out of a scope.
class FlagGuard {
public:
    explicit FlagGuard(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagGuard() { flag_ = false; }
    FlagGuard(const FlagGuard&) = delete;
    FlagGuard& operator=(const FlagGuard&) = delete;

private:
    bool& flag_;
};

}  // namespace

std::shared_ptr<DictationController> DictationController::create(DictationServices services) {
    return std::shared_ptr<DictationController>(new DictationController(std::move(services)));
}

DictationController::DictationController(DictationServices services) : s_(std::move(services)) {}

void DictationController::fnPressed() {
    std::weak_ptr<DictationController> weakSelf = weak_from_this();
    s_.session.loop.post([weakSelf]() {
        if (auto self = weakSelf.lock()) self->handleFNPress();
    });
}

void DictationController::fnReleased() {
    std::weak_ptr<DictationController> weakSelf = weak_from_this();
    s_.session.loop.post([weakSelf]() {
        if (auto self = weakSelf.lock()) self->handleFNRelease();
    });
}

void DictationController::handleFNPress() {
    if (s_.session.microphone.isMuted()) {
        s_.session.log.append("FN ignored: Parlando muted");
        s_.tray.showError("Parlando заглушён — включи «Слушать» в меню");
        return;
    }
    const MonoTime now = s_.session.loop.now();
    if (lastFNPressAt && now - *lastFNPressAt < seconds(fnDebounce)) {
        // Measured from the last accepted press, so a burst is ignored as a whole.
        s_.session.log.append("FN ignored (debounce)");
        return;
    }
    lastFNPressAt = now;
    if (captureInFlight) {
        s_.session.log.append("FN ignored: capture in flight");
        return;
    }
    if (s_.tray.trayState().fnDictating) {
        doStop();
    } else {
        doStart();
    }
}

void DictationController::handleFNRelease() {
    // The key is a toggle: releasing it means nothing.
}

void DictationController::doStart() {
    FlagGuard inFlight(captureInFlight);
    auto& tray = s_.tray;
    tray.trayState().fnDictating = true;
    tray.renderUI();
    if (tray.trayState().meetingRecording) tray.refreshTrayBadge();

    if (localSession) {
        s_.session.log.append("local: session already running — ignoring start");
        return;
    }

    auto session = LocalCaptureSession::create(s_.session);
    std::weak_ptr<DictationController> weakSelf = weak_from_this();
    Log* log = &s_.session.log;
    session->onTranscript = [log](const std::string& text, bool isFinal) {
        if (isFinal && !text.empty()) log->append("local: final segment — " + dictation_text::prefix(text, 80));
    };
    session->onFinish = [weakSelf, log](const std::string& text) {
        log->append("local: finished, pasted " + std::to_string(dictation_text::characterCount(text)) + " chars");
        if (auto self = weakSelf.lock()) self->sessionFinished();
    };
    session->onStallChange = [weakSelf](bool stalled) {
        if (auto self = weakSelf.lock()) {
            self->s_.tray.setSessionStalled(stalled);
            self->s_.tray.renderUI();
        }
    };
    session->onError = [weakSelf](const RecognitionError& error) {
        if (auto self = weakSelf.lock()) {
            self->s_.tray.showError(error.description);
            self->s_.session.log.append("local: error — " + error.description);
        }
    };

    try {
        session->start();
    } catch (const std::exception& e) {
        const std::string description = e.what();
        tray.trayState().fnDictating = false;
        tray.renderUI();
        tray.showError(description);
        s_.session.log.append("local: start failed — " + description);
        return;
    }
    localSession = std::move(session);
    s_.session.log.append("local: session started");
}

void DictationController::doStop() {
    FlagGuard inFlight(captureInFlight);
    auto& tray = s_.tray;
    tray.trayState().fnDictating = false;
    tray.renderUI();
    if (tray.trayState().meetingRecording) tray.refreshTrayBadge();

    if (!localSession) {
        s_.session.log.append("local: stop called with no session");
        return;
    }
    tray.trayState().processing = true;
    tray.startSpinner();
    ++sessionsFinishing_;
    // The session keeps itself alive until it has pasted.
    auto session = std::move(localSession);
    localSession.reset();
    std::erase_if(draining_, [](const auto& weak) { return weak.expired(); });
    draining_.push_back(session);
    session->stop();
    s_.session.log.append("local: session stopped (paste pending)");
}

void DictationController::stopKeepingTextOnClipboard() {
    if (!s_.tray.trayState().fnDictating && !localSession) return;
    s_.session.log.append("local: session left the front — stopping, the text stays on the clipboard");
    if (localSession) localSession->pasteShortcut = false;
    doStop();
}

void DictationController::sessionFinished() {
    if (sessionsFinishing_ > 0) --sessionsFinishing_;
    // A later dictation may be finishing too: its spinner stays until its own text is in.
    if (sessionsFinishing_ > 0) return;
    s_.tray.trayState().processing = false;
    s_.tray.stopSpinner();
}

void DictationController::endSessions() {
    if (localSession) localSession->abandon();
    localSession.reset();
    for (auto& weak : draining_)
        if (auto session = weak.lock()) session->abandon();
    draining_.clear();
}

void DictationController::toggleListening() {
    if (s_.session.microphone.isMuted()) {
        s_.session.microphone.setMuted(false);
        return;
    }
    if (s_.tray.trayState().fnDictating || localSession) {
        s_.session.log.append("listening: off during FN dictation — stopping session first");
        doStop();
    }
    if (s_.isMeetingRunning && s_.isMeetingRunning()) {
        AlertSpec spec;
        spec.messageText = "Идёт запись встречи";
        spec.informativeText =
            "Чтобы выключить «Слушать», нужно остановить запись. Остановить встречу и заглушить Parlando?";
        spec.buttons = {"Остановить и заглушить", "Отмена"};
        s_.tray.activateApp();
        const AlertResult answer = s_.alerts.runModal(spec);
        if (answer.buttonIndex != 0) return;
        if (s_.stopMeeting) s_.stopMeeting();
    }
    s_.session.microphone.setMuted(true);
}

}  // namespace parlando
