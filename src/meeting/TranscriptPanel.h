#pragma once
// The floating window that shows the running meeting's transcript, as the
// meeting controls drive it. Main thread only.
#include <string>

namespace parlando {

class TranscriptPanel {
public:
    virtual ~TranscriptPanel() = default;
    // Builds the window on first use, empties it and shows it without taking
    // the keyboard focus from the application the user types in.
    virtual void showForNewMeeting() = 0;
    // One line at the end. Dropped while the window was never built.
    virtual void append(const std::string& line) = 0;
    // Takes the window off the screen; its text stays.
    virtual void hide() = 0;
    // Builds the window if needed and shows it, keeping its text.
    virtual void reopen() = 0;
};

}  // namespace parlando
