// Composition root: builds the platform adapters, hands them to the core and
// runs the Qt event loop.
#include "SetApiKeyCommand.h"
#include "app/AppDelegate.h"
#include "app/LoginItemSettings.h"
#include "app/MicrophoneMenu.h"
#include "app/TrayLog.h"
#include "app/adapters/DBusNotifier.h"
#include "app/adapters/TraySelector.h"
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
    QApplication::setDesktopFileName("com.parlando.Parlando");
    // A tray app has no window whose closing should end it.
    QApplication::setQuitOnLastWindowClosed(false);

    SyslogSystemLog systemLog;
    TrayLog log(systemLog, XdgPaths::appDataDir());

    // The Deepgram key dialog on its own, for setting the key from a terminal.
    if (QApplication::arguments().contains(QStringLiteral("--set-api-key"))) return runSetApiKeyCommand(log);

    QtMainLoop loop;
    QtSettings settings;
    std::unique_ptr<TrayButton> trayButton;
    DBusNotifier notifier;
    LoginItemSettings loginItems(LoginItemSettings::defaultAutostartDir(),
                                 QCoreApplication::applicationFilePath().toStdString());
    // The one microphone engine of the process; it stays stopped until the
    // microphone controller's start-up step selects a device.
    PulseAudioBackend audioBackend(loop, log);
    SoxrConverterFactory audioConverters;
    AudioCapture audioCapture(loop, settings, log, audioBackend, audioConverters);

    // Menu sections of other features hang in here (StatusMenuHooks).
    StatusMenuHooks hooks;
    hooks.quit = [] { QCoreApplication::quit(); };

    std::unique_ptr<HotkeyMenu> hotkeyMenu;
    AppDelegate delegate(log, [&]() {
        // The tray path is chosen once, as the controller comes up: StatusNotifierItem or XEmbed.
        trayButton = makeTrayButton(log);
        AppServices services{loop, settings, log, trayButton.get(), &notifier, &loginItems};
        auto controller = StatusBarController::create(services, {}, hooks);
        hotkeyMenu = std::make_unique<HotkeyMenu>(controller->weak(), [](const std::string&) {});
        controller->hooks.buildHotkeySubmenu = [&hotkeyMenu]() { return hotkeyMenu->buildSubmenu(); };
        return controller;
    });
    delegate.applicationWillFinishLaunching();
    // Set-up runs once the event loop is live, like a launch-finished callback.
    QTimer::singleShot(0, [&]() { delegate.applicationDidFinishLaunching(); });
    const int rc = QApplication::exec();
    delegate.status.reset();
    return rc;
}
