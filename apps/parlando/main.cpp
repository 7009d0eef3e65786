// Entry point: the Qt application, the diagnostic log, and the launch
// callbacks that build everything else (ParlandoApp).
#include "ParlandoApp.h"
#include "SetApiKeyCommand.h"
#include "SingleInstance.h"
#include "core/XdgPaths.h"
#include "core/adapters/SyslogSystemLog.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
// Logout and shutdown end the session with SIGTERM (SIGHUP when the terminal
// goes): both become an ordinary quit, so a running meeting closes its files.
int quitPipe[2] = {-1, -1};
void requestQuit(int) {
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(quitPipe[1], &byte, 1);
}
void quitOnSignals() {
    if (::pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] { QCoreApplication::quit(); });
    struct sigaction sa {};
    sa.sa_handler = requestQuit;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}
}  // namespace

using namespace parlando;

int main(int argc, char** argv) {
    // A closed pipe (standard error into `tee` that has ended, a socket reset)
    // is an error to handle where it happens, never a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
    // Without a graphical session Qt would abort with a platform-plugin error.
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if ((display == nullptr || *display == '\0') && (wayland == nullptr || *wayland == '\0') && platform == nullptr) {
        std::fprintf(stderr, "Parlando: no graphical session (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                             "start it from your desktop session\n");
        return 1;
    }
    // Under Wayland, Qt's own platform can have a background app's clipboard
    // write refused while reporting success; the X11 platform under XWayland
    // owns the clipboard as it says. The user's own choice stands.
    const bool xwayland = platform == nullptr && display != nullptr && *display != '\0' && wayland != nullptr &&
                          *wayland != '\0';
    if (xwayland) ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Parlando");
    QApplication::setOrganizationName("Parlando");
    QApplication::setApplicationVersion(PARLANDO_VERSION);
    QApplication::setDesktopFileName("com.parlando.Parlando");
    // A tray app has no window whose closing should end it.
    QApplication::setQuitOnLastWindowClosed(false);

    SyslogSystemLog systemLog;
    TrayLog log(systemLog, XdgPaths::appDataDir());
    if (xwayland) log.append("app: Wayland session — running on X11 through XWayland (QT_QPA_PLATFORM=xcb)");

    // The Deepgram key dialog on its own, for setting the key from a terminal.
    if (QApplication::arguments().contains(QStringLiteral("--set-api-key"))) return runSetApiKeyCommand(log);

    // The lock lives beside the log: per user, and private to each test's home.
    const auto dataDir = XdgPaths::appDataDir();
    std::optional<SingleInstance> instance;
    if (dataDir) {
        instance.emplace(*dataDir / "instance.lock");
        if (!instance->acquired()) {
            log.append("app: another Parlando is already running for this user — exiting");
            return 0;
        }
    }

    ParlandoApp parlando(log);
    quitOnSignals();
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [&parlando] { parlando.finishMeeting(); });
    AppDelegate delegate(log, [&]() { return parlando.createController(); });
    delegate.applicationWillFinishLaunching();
    // Set-up runs once the event loop is live, like a launch-finished callback.
    QTimer::singleShot(0, [&]() { delegate.applicationDidFinishLaunching(); });
    const int rc = QApplication::exec();
    delegate.status.reset();
    return rc;
}
