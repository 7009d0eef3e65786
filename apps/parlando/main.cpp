// Entry point: the Qt application, the diagnostic log, and the launch
// callbacks that build everything else (ParlandoApp).
#include "ParlandoApp.h"
#include "SetApiKeyCommand.h"
#include "core/XdgPaths.h"
#include "core/adapters/SyslogSystemLog.h"

#include <QApplication>
#include <QTimer>

using namespace parlando;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Parlando");
    QApplication::setOrganizationName("Parlando");
    QApplication::setApplicationVersion(PARLANDO_VERSION);
    QApplication::setDesktopFileName("com.parlando.Parlando");
    // A tray app has no window whose closing should end it.
    QApplication::setQuitOnLastWindowClosed(false);

    SyslogSystemLog systemLog;
    TrayLog log(systemLog, XdgPaths::appDataDir());

    // The Deepgram key dialog on its own, for setting the key from a terminal.
    if (QApplication::arguments().contains(QStringLiteral("--set-api-key"))) return runSetApiKeyCommand(log);

    ParlandoApp parlando(log);
    AppDelegate delegate(log, [&]() { return parlando.createController(); });
    delegate.applicationWillFinishLaunching();
    // Set-up runs once the event loop is live, like a launch-finished callback.
    QTimer::singleShot(0, [&]() { delegate.applicationDidFinishLaunching(); });
    const int rc = QApplication::exec();
    delegate.status.reset();
    return rc;
}
