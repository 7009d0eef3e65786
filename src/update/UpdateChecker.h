#pragma once
// Update checks against our own update server: a JSON manifest names the
// latest version; background checks (at start and every 24 h) announce a
// newer one once per version through a desktop notification; the manual
// check answers with an alert and offers to run the server's installer.
// A build without an update server checks nothing and says so.
#include "app/Alert.h"
#include "app/MenuModel.h"
#include "app/Notifier.h"
#include "core/Http.h"
#include "core/Log.h"
#include "core/MainLoop.h"
#include "core/Settings.h"
#include "update/ProcessLauncher.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace parlando {

struct UpdateServices {
    MainLoop& loop;
    Settings& settings;
    Log& log;
    HttpClient& http;
    AlertPresenter& alerts;
    Notifier* notifier;  // none: nothing is posted
    ProcessLauncher& launcher;
    std::function<void()> activateApp;  // before every alert; may be unset
    // Scheme, host and optional port (and path prefix) of the update server;
    // none: this build has no update server.
    std::optional<std::string> serverBaseURL;
    std::string version;                   // the running version; empty reads as "0.0.0"
    std::filesystem::path installerLog;    // where the installer's output goes
    std::string searchPath;                // PATH, where curl and bash are looked up
};

class UpdateChecker : public std::enable_shared_from_this<UpdateChecker> {
public:
    static constexpr double backgroundInterval = 86400.0;
    static constexpr double fetchTimeout = 60.0;
    static constexpr const char* autoCheckKey = "ParlandoAutoCheckUpdates";
    static constexpr const char* lastCheckKey = "ParlandoLastUpdateCheckAt";  // seconds since the epoch
    static constexpr const char* lastNotifiedKey = "ParlandoLastNotifiedVersion";
    static constexpr const char* notificationPrefix = "parlando.update.";

    enum class ComparisonResult { ascending, same, descending };

    static std::shared_ptr<UpdateChecker> create(UpdateServices services);

    std::optional<std::string> latestManifestURL() const;
    std::optional<std::string> updateScriptURL() const;
    std::string currentVersion() const;
    bool autoCheckEnabled() const;
    void setAutoCheckEnabled(bool enabled);
    bool backgroundTimerArmed() const { return backgroundTimer_.active(); }

    void startBackgroundChecks();
    void checkManually();

    // The update section of the status menu.
    void addUpdateMenuItems(MenuModel& menu);

    static ComparisonResult compare(const std::string& a, const std::string& b);

    // What a manifest answer says: the version (leading "v" removed), or why not.
    struct Fetched {
        std::optional<std::string> version;
        std::string error;
    };
    static Fetched readManifest(const HttpResponse& response);

    // Internal steps, public for the menu and tests.
    void requestNotificationAuthorization();
    void armBackgroundTimer();
    void checkInBackground();
    void postUpdateNotification(const std::string& latest);
    void promptInstall(const std::string& latest);
    void showUpToDate();
    void showError(const std::string& description);
    void showNoServer();
    void runUpdateScript();

private:
    explicit UpdateChecker(UpdateServices services) : s_(std::move(services)) {}
    void fetchLatestVersion(std::function<void(const Fetched&)> done);
    std::optional<WallTime> lastCheck() const;
    void storeLastCheck();
    void activate();

    UpdateServices s_;
    ScopedTimer backgroundTimer_;
    bool manualInFlight_ = false;
};

}  // namespace parlando
