// Composition root: builds the platform adapters, hands them to the core and
// runs the Qt event loop.
#include "app/AppDelegate.h"
#include "app/TrayLog.h"
#include "app/adapters/QtTrayButton.h"
#include "audio/AudioCapture.h"
#include "audio/adapters/PulseAudioBackend.h"
#include "audio/adapters/SoxrConverter.h"
#include "core/XdgPaths.h"
#include "core/adapters/QtMainLoop.h"
#include "core/adapters/QtSettings.h"
#include "core/adapters/SyslogSystemLog.h"

#include <QApplication>
#include <QTimer>

using namespace parlando;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Parlando");
    QApplication::setOrganizationName("Parlando");
    QApplication::setApplicationVersion(PARLANDO_VERSION);
    // A tray app has no window whose closing should end it.
    QApplication::setQuitOnLastWindowClosed(false);

    SyslogSystemLog systemLog;
    TrayLog log(systemLog, XdgPaths::appDataDir());
    QtMainLoop loop;
    QtSettings settings;
    QtTrayButton trayButton;
    // The one microphone engine of the process; it stays stopped until the
    // microphone controller's start-up step selects a device.
    PulseAudioBackend audioBackend(loop, log);
    SoxrConverterFactory audioConverters;
    AudioCapture audioCapture(loop, settings, log, audioBackend, audioConverters);

    AppDelegate delegate(log, [&]() {
        AppServices services{loop, settings, log, &trayButton};
        return StatusBarController::create(services);
    });
    delegate.applicationWillFinishLaunching();
    // Set-up runs once the event loop is live, like a launch-finished callback.
    QTimer::singleShot(0, [&]() { delegate.applicationDidFinishLaunching(); });
    const int rc = QApplication::exec();
    delegate.status.reset();
    return rc;
}
