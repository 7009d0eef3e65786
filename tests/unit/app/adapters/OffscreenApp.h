#pragma once
// One QApplication on the offscreen platform for the whole test binary,
// whichever test asks first; never deleted, so it cannot outlive its statics badly.
#include <QApplication>
#include <cstdlib>

namespace parlando::testing {

inline QApplication& offscreenApp() {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return *existing;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "unit_app_adapters";
    static char* argv[] = {name, nullptr};
    return *new QApplication(argc, argv);
}

}  // namespace parlando::testing
