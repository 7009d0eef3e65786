#pragma once

namespace parlando {

// The six flags that decide what the tray icon shows.
struct TrayState {
    bool meetingRecording = false;
    bool fnDictating = false;
    bool hasMicSignal = false;
    bool processing = false;
    bool muted = false;
    bool systemAudioActive = false;

    bool recording() const { return meetingRecording || fnDictating; }
    bool operator==(const TrayState&) const = default;
};

}  // namespace parlando
