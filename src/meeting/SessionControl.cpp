// The real meeting session behind the controls' port; kept apart so that the
// controls link without the session.
#include "meeting/MeetingControls.h"
#include "meeting/MeetingSession.h"

namespace parlando {

bool SessionControl::isRunning() const { return session_->isRunning(); }
double SessionControl::elapsedSeconds() const { return session_->elapsedSeconds(); }
std::optional<std::filesystem::path> SessionControl::transcriptURL() const { return session_->transcriptURL(); }
void SessionControl::start() { session_->start(); }
void SessionControl::stop() { session_->stop(); }
void SessionControl::restartSystemAudio(RestartCompletion completion) {
    session_->restartSystemAudio(std::move(completion));
}
void SessionControl::setHandlers(MeetingHandlers h) {
    session_->onStateChange = std::move(h.onStateChange);
    session_->onError = std::move(h.onError);
    session_->onTranscriptLine = std::move(h.onTranscriptLine);
    session_->onSystemAudioStateChange = std::move(h.onSystemAudioStateChange);
}

}  // namespace parlando
