#include "update/adapters/QtProcessLauncher.h"

#include <QProcess>
#include <QStringList>

namespace parlando {

std::optional<std::string> QtProcessLauncher::startDetached(const std::string& program,
                                                            const std::vector<std::string>& args) {
    QProcess process;
    process.setProgram(QString::fromStdString(program));
    QStringList list;
    for (const auto& a : args) list << QString::fromStdString(a);
    process.setArguments(list);
    process.setStandardInputFile(QProcess::nullDevice());
    if (process.startDetached()) return std::nullopt;
    return "could not start " + program + ": " + process.errorString().toStdString();
}

}  // namespace parlando
