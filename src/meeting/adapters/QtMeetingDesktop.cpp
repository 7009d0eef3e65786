#include "meeting/adapters/QtMeetingDesktop.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

namespace parlando {

bool QtMeetingDesktop::openPath(const std::filesystem::path& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path.string())));
}

bool QtMeetingDesktop::hasProgram(const std::string& name) {
    return !QStandardPaths::findExecutable(QString::fromStdString(name)).isEmpty();
}

bool QtMeetingDesktop::launch(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    QStringList args;
    for (std::size_t i = 1; i < argv.size(); ++i) args << QString::fromStdString(argv[i]);
    // Detached: the settings window lives on its own and is never waited for.
    return QProcess::startDetached(QString::fromStdString(argv.front()), args);
}

}  // namespace parlando
