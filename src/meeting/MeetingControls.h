#pragma once
// The application controller's meeting side: the handlers on the meeting
// session, the meeting section of the status menu, start and stop with their
// guards, the transcript panel, the once-a-second tray clock, and the
// watchdog that explains a meeting running without the other side's audio.
// Main thread only.
#include "app/Alert.h"
#include "app/MenuModel.h"
#include "core/Log.h"
#include "core/MainLoop.h"
#include "core/Settings.h"
#include "core/XdgPaths.h"
#include "dictation/DictationPorts.h"
#include "meeting/TranscriptPanel.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

class StatusBarController;
class MeetingSession;

// What the session reports; installed once by setupMeetingSession().
struct MeetingHandlers {
    std::function<void(bool running)> onStateChange;
    std::function<void(const std::string& description)> onError;
    std::function<void(const std::string& line)> onTranscriptLine;
    std::function<void(bool up)> onSystemAudioStateChange;
};

// The meeting session as the controls drive it.
class MeetingSessionControl {
public:
    using RestartCompletion = std::function<void(const std::optional<std::string>& failure)>;
    virtual ~MeetingSessionControl() = default;
    virtual bool isRunning() const = 0;
    virtual double elapsedSeconds() const = 0;
    virtual std::optional<std::filesystem::path> transcriptURL() const = 0;
    // Throws when the meeting cannot start; what() is the text to show.
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void restartSystemAudio(RestartCompletion completion) = 0;
    virtual void setHandlers(MeetingHandlers handlers) = 0;
};

// The real session behind that port.
class SessionControl final : public MeetingSessionControl {
public:
    explicit SessionControl(std::shared_ptr<MeetingSession> session) : session_(std::move(session)) {}
    bool isRunning() const override;
    double elapsedSeconds() const override;
    std::optional<std::filesystem::path> transcriptURL() const override;
    void start() override;
    void stop() override;
    void restartSystemAudio(RestartCompletion completion) override;
    void setHandlers(MeetingHandlers handlers) override;

private:
    std::shared_ptr<MeetingSession> session_;
};

// The desktop's default handlers and its programs.
class MeetingDesktop {
public:
    virtual ~MeetingDesktop() = default;
    // Opens a file or folder with the desktop's default handler; false when none took it.
    virtual bool openPath(const std::filesystem::path& path) = 0;
    // Whether a program is on the search path.
    virtual bool hasProgram(const std::string& name) = 0;
    // Starts a program detached from us; false when it could not be started.
    virtual bool launch(const std::vector<std::string>& argv) = 0;
};

struct MeetingControlsServices {
    MainLoop& loop;
    Log& log;
    Settings& settings;
    AlertPresenter& alerts;
    DictationLamp& lamp;
    TranscriptPanel& panel;
    MeetingDesktop& desktop;
    MeetingSessionControl& session;
    std::function<bool()> isMuted;
    // Documents/Parlando-Recordings, as the session finds it; none when unknown.
    std::function<std::optional<std::filesystem::path>()> recordingsFolder;
    EnvLookup env = processEnv;
};

class MeetingControls : public std::enable_shared_from_this<MeetingControls> {
public:
    static constexpr double titleTimerInterval = 1.0;
    static constexpr double systemAudioWatchdogDelay = 3.0;

    static std::shared_ptr<MeetingControls> create(std::weak_ptr<StatusBarController> controller,
                                                   MeetingControlsServices services);
    ~MeetingControls();
    MeetingControls(const MeetingControls&) = delete;
    MeetingControls& operator=(const MeetingControls&) = delete;

    void setupMeetingSession();
    void addMeetingMenuItems(MenuModel& menu);

    // Menu actions.
    void startMeeting();
    void stopMeeting();
    void showTranscriptPanel();
    void openMeetingTranscript();
    void openRecordingsFolder();

    void startMeetingTitleTimer();
    void stopMeetingTitleTimer();
    void scheduleSystemAudioWatchdog();
    void cancelSystemAudioWatchdog();
    void showSystemAudioWarning();
    // The warning's first button: a fresh system-audio capture in the running meeting.
    void retrySystemAudio();
    // The warning's second button: the desktop's sound settings.
    void openSoundSettings();

    bool isMeetingRunning() const { return s_.session.isRunning(); }
    double meetingElapsedSeconds() const { return s_.session.elapsedSeconds(); }
    bool titleTimerRunning() const { return meetingTitleTimer_.active(); }
    bool watchdogPending() const { return systemAudioWatchdog_.active(); }
    bool systemAudioWarningShownForMeeting = false;

    // The programs tried for the sound settings, in order, for the desktop
    // named by XDG_CURRENT_DESKTOP.
    static std::vector<std::vector<std::string>> soundSettingsCandidates(const std::string& currentDesktop);

private:
    MeetingControls(std::weak_ptr<StatusBarController> controller, MeetingControlsServices services);
    std::function<void()> weakAction(void (MeetingControls::*method)());
    void showError(const std::string& message);
    std::string hotkeyLabel() const;

    std::weak_ptr<StatusBarController> controller_;
    MeetingControlsServices s_;
    ScopedTimer meetingTitleTimer_;
    ScopedTimer systemAudioWatchdog_;
};

}  // namespace parlando
