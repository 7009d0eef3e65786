#include "update/UpdateChecker.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>

namespace parlando {

namespace {

const char* kNonSuccess = "Version manifest returned a non-2xx response";

// The installer runs as: bash -c COMMAND parlando-update URL LOG. The URL and
// the log path arrive as positional arguments, so no text of theirs is ever
// read as shell syntax.
const char* kInstallCommand = "sleep 0.4 && curl -fsSL \"$1\" | bash >\"$2\" 2>&1";

std::vector<long long> components(const std::string& v) {
    std::vector<long long> out;
    std::size_t start = 0;
    while (start <= v.size()) {
        const std::size_t dot = v.find('.', start);
        const std::string part = v.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (!part.empty()) {
            long long n = 0;
            const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), n);
            // A component with anything but digits in it sorts below every number.
            out.push_back(ec == std::errc() && end == part.data() + part.size() && part.front() != '-' &&
                                  part.front() != '+'
                              ? n
                              : -1);
        }
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return out;
}

}  // namespace

std::shared_ptr<UpdateChecker> UpdateChecker::create(UpdateServices services) {
    return std::shared_ptr<UpdateChecker>(new UpdateChecker(std::move(services)));
}

std::optional<std::string> UpdateChecker::latestManifestURL() const {
    if (!s_.serverBaseURL) return std::nullopt;
    return *s_.serverBaseURL + "/latest.json";
}

std::optional<std::string> UpdateChecker::updateScriptURL() const {
    if (!s_.serverBaseURL) return std::nullopt;
    return *s_.serverBaseURL + "/update.sh";
}

std::string UpdateChecker::currentVersion() const { return s_.version.empty() ? "0.0.0" : s_.version; }

bool UpdateChecker::autoCheckEnabled() const { return s_.settings.boolOr(autoCheckKey, true); }

void UpdateChecker::setAutoCheckEnabled(bool enabled) {
    s_.settings.setBool(autoCheckKey, enabled);
    if (enabled)
        armBackgroundTimer();
    else
        backgroundTimer_.reset();
}

UpdateChecker::ComparisonResult UpdateChecker::compare(const std::string& a, const std::string& b) {
    const auto ca = components(a), cb = components(b);
    for (std::size_t i = 0; i < std::max(ca.size(), cb.size()); ++i) {
        const long long x = i < ca.size() ? ca[i] : 0, y = i < cb.size() ? cb[i] : 0;
        if (x < y) return ComparisonResult::ascending;
        if (x > y) return ComparisonResult::descending;
    }
    return ComparisonResult::same;
}

UpdateChecker::Fetched UpdateChecker::readManifest(const HttpResponse& response) {
    if (response.error) return {std::nullopt, *response.error};
    if (response.status < 200 || response.status > 299) return {std::nullopt, kNonSuccess};
    const auto doc = nlohmann::json::parse(response.body, nullptr, false);
    if (doc.is_discarded()) return {std::nullopt, "The version manifest is not valid JSON"};
    if (!doc.is_object() || !doc.contains("version"))
        return {std::nullopt, "The version manifest has no \"version\" member"};
    if (!doc["version"].is_string()) return {std::nullopt, "The version manifest's \"version\" is not text"};
    std::string version = doc["version"].get<std::string>();
    if (!version.empty() && version.front() == 'v') version.erase(0, 1);
    return {version, {}};
}

void UpdateChecker::startBackgroundChecks() {
    requestNotificationAuthorization();
    if (!autoCheckEnabled()) return;
    if (!s_.serverBaseURL) {
        s_.log.append("update: no update server in this build — background checks off");
        return;
    }
    armBackgroundTimer();
    const auto last = lastCheck();
    if (!last || s_.loop.wallNow() - *last >= seconds(backgroundInterval)) checkInBackground();
}

void UpdateChecker::requestNotificationAuthorization() {
    if (s_.notifier == nullptr) {
        s_.log.append("update: notification authorization granted=false");
        return;
    }
    Log& log = s_.log;
    s_.notifier->checkService([&log](const std::optional<std::string>& error) {
        if (error) log.append("update: notification auth error — " + *error);
        log.append(std::string("update: notification authorization granted=") + (error ? "false" : "true"));
    });
}

void UpdateChecker::armBackgroundTimer() {
    if (!s_.serverBaseURL) return;
    std::weak_ptr<UpdateChecker> weak = weak_from_this();
    backgroundTimer_.startRepeating(s_.loop, seconds(backgroundInterval), [weak] {
        if (auto self = weak.lock()) self->checkInBackground();
    });
}

void UpdateChecker::fetchLatestVersion(std::function<void(const Fetched&)> done) {
    HttpRequest request;
    request.url = latestManifestURL().value_or("");
    request.headers = {{"Accept", "application/json"}, {"User-Agent", "Parlando/" + currentVersion()}};
    request.idleTimeout = seconds(fetchTimeout);
    request.totalTimeout = seconds(fetchTimeout);
    request.bypassCache = true;
    std::weak_ptr<UpdateChecker> weak = weak_from_this();
    MainLoop& loop = s_.loop;
    s_.http.get(request, [weak, &loop, done = std::move(done)](const HttpResponse& response) {
        Fetched fetched = readManifest(response);
        loop.post([weak, done, fetched = std::move(fetched)] {
            if (weak.lock()) done(fetched);
        });
    });
}

void UpdateChecker::checkInBackground() {
    if (!s_.serverBaseURL) return;
    std::weak_ptr<UpdateChecker> weak = weak_from_this();
    fetchLatestVersion([weak](const Fetched& fetched) {
        auto self = weak.lock();
        if (!self || !fetched.version) return;  // failures stay silent; the next start tries again
        const std::string& latest = *fetched.version;
        self->storeLastCheck();
        if (compare(latest, self->currentVersion()) != ComparisonResult::descending) return;
        if (self->s_.settings.getString(lastNotifiedKey) == latest) return;
        self->s_.settings.setString(lastNotifiedKey, latest);
        self->postUpdateNotification(latest);
    });
}

void UpdateChecker::postUpdateNotification(const std::string& latest) {
    if (s_.notifier == nullptr) {
        s_.log.append("update: post notification failed — no notification service");
        return;
    }
    Notification n;
    n.title = "Доступна Parlando " + latest;
    n.body = "Установлена " + currentVersion() + ". Открой меню Parlando → Проверить обновления…";
    n.identifier = notificationPrefix + latest;
    n.sound = true;
    Log& log = s_.log;
    s_.notifier->post(n, [&log](const std::optional<std::string>& error) {
        if (error) log.append("update: post notification failed — " + *error);
    });
}

void UpdateChecker::checkManually() {
    if (!s_.serverBaseURL) {
        showNoServer();
        return;
    }
    if (manualInFlight_) return;  // the answer to the first click is on its way
    manualInFlight_ = true;
    std::weak_ptr<UpdateChecker> weak = weak_from_this();
    fetchLatestVersion([weak](const Fetched& fetched) {
        auto self = weak.lock();
        if (!self) return;
        self->manualInFlight_ = false;
        if (!fetched.version) {
            self->showError(fetched.error);
            return;
        }
        if (compare(*fetched.version, self->currentVersion()) == ComparisonResult::descending)
            self->promptInstall(*fetched.version);
        else
            self->showUpToDate();
        self->storeLastCheck();
    });
}

void UpdateChecker::activate() {
    if (s_.activateApp) s_.activateApp();
}

void UpdateChecker::promptInstall(const std::string& latest) {
    AlertSpec spec;
    spec.messageText = "Доступна Parlando " + latest;
    spec.informativeText = "Сейчас установлена " + currentVersion() +
                           ". Запустить обновление? Приложение закроется и снова откроется автоматически.";
    spec.buttons = {"Обновить сейчас", "Позже"};
    activate();
    if (s_.alerts.runModal(spec).buttonIndex == 0) runUpdateScript();
}

void UpdateChecker::showUpToDate() {
    activate();
    s_.alerts.runModal(AlertSpec{"Parlando " + currentVersion() + " — последняя версия", "Обновлений не найдено.", {"OK"}, {}});
}

void UpdateChecker::showError(const std::string& description) {
    s_.log.append("update: check failed — " + description);
    activate();
    s_.alerts.runModal(AlertSpec{"Не получилось проверить обновления", description, {"OK"}, {}});
}

void UpdateChecker::showNoServer() {
    s_.log.append("update: manual check — no update server in this build");
    activate();
    s_.alerts.runModal(AlertSpec{"В этой сборке нет сервера обновлений",
                                 "Parlando " + currentVersion() +
                                     " собрана без адреса сервера обновлений, поэтому сама не обновляется. "
                                     "Обновляй её тем же способом, каким устанавливал: пакетным менеджером "
                                     "или новой сборкой из исходников.",
                                 {"OK"},
                                 {}});
}

void UpdateChecker::runUpdateScript() {
    const auto url = updateScriptURL();
    if (!url) {
        showNoServer();
        return;
    }
    // The child's own failure is never seen, so what it needs is looked up first.
    const auto bash = findInPath("bash", s_.searchPath);
    const auto curl = findInPath("curl", s_.searchPath);
    if (!bash || !curl) {
        showError(std::string(!bash ? "bash" : "curl") + " was not found on PATH; install it to update Parlando");
        return;
    }
    if (s_.installerLog.empty()) {
        showError("no folder for the installer's log: neither XDG_DATA_HOME nor HOME is set");
        return;
    }
    std::error_code ec;
    std::filesystem::create_directories(s_.installerLog.parent_path(), ec);
    if (ec) {
        showError("cannot create " + s_.installerLog.parent_path().string() + ": " + ec.message());
        return;
    }
    s_.log.append("update: launching detached update.sh");
    if (auto error = s_.launcher.startDetached(bash->string(), {"-c", kInstallCommand, "parlando-update", *url,
                                                                 s_.installerLog.string()}))
        showError(*error);
}

void UpdateChecker::addUpdateMenuItems(MenuModel& menu) {
    MenuItem version = MenuItem::make("Parlando " + currentVersion(), {});
    version.enabled = false;
    menu.add(std::move(version));
    std::weak_ptr<UpdateChecker> weak = weak_from_this();
    menu.add(MenuItem::make("Проверить обновления…", [weak] {
        if (auto self = weak.lock()) self->checkManually();
    }));
    MenuItem automatic = MenuItem::make("Проверять автоматически", [weak] {
        if (auto self = weak.lock()) self->setAutoCheckEnabled(!self->autoCheckEnabled());
    });
    automatic.checked = autoCheckEnabled();
    menu.add(std::move(automatic));
}

std::optional<WallTime> UpdateChecker::lastCheck() const {
    const auto stored = s_.settings.getDouble(lastCheckKey);
    // A value no clock can hold (edited by hand, say) counts as no check.
    if (!stored || !std::isfinite(*stored) || std::fabs(*stored) > 1e11) return std::nullopt;
    return WallTime(std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(*stored)));
}

void UpdateChecker::storeLastCheck() {
    s_.settings.setDouble(lastCheckKey, std::chrono::duration<double>(s_.loop.wallNow().time_since_epoch()).count());
}

std::optional<std::filesystem::path> findInPath(const std::string& name, const std::string& searchPath) {
    std::size_t start = 0;
    while (start <= searchPath.size()) {
        const std::size_t colon = searchPath.find(':', start);
        std::string dir = searchPath.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (dir.empty()) dir = ".";
        const std::filesystem::path candidate = std::filesystem::path(dir) / name;
        std::error_code ec;
        const auto st = std::filesystem::status(candidate, ec);
        using std::filesystem::perms;
        if (!ec && std::filesystem::is_regular_file(st) &&
            (st.permissions() & (perms::owner_exec | perms::group_exec | perms::others_exec)) != perms::none)
            return candidate;
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return std::nullopt;
}

}  // namespace parlando
