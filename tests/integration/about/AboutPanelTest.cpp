// The About window on a real X server: its layout on screen, and ten clicks
// on the version line turning developer mode on. The screenshot is kept in
// the build folder (about-panel.png) for a person to look at.
#include "app/AboutPanelController.h"
#include "app/adapters/QtAboutPanel.h"
#include "core/VirtualMainLoop.h"
#include "fakes/FakeDictation.h"
#include "fakes/Fakes.h"
#include "testenv/FakeDBusServices.h"
#include "testenv/TestEnv.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>

#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;
using namespace parlando::testenv;
namespace fs = std::filesystem;

TEST(AboutPanelOnX, LaysOutAndTurnsDeveloperModeOn) {
    for (const char* tool : {"Xvfb", "import"})
        if (!haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    TempDir dir("parlando-about");
    XServer x(dir.path(), XServer::Options{false});
    applyToProcess(x.env());
    applyToProcess({{"QT_QPA_PLATFORM", "xcb"}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}});
    qtApp();

    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeAlertPresenter alerts;
    QtAboutPanel* panel = nullptr;
    AboutPanelController about({loop, settings, log, alerts, {}, {}}, [&](AboutPanelController& c) {
        auto view = std::make_unique<QtAboutPanel>(
            c, QtAboutPanel::Content{"1.4.2", QUrl("https://parlando.example.org"), "parlando.example.org"});
        panel = view.get();
        return view;
    });
    about.show();
    ASSERT_NE(panel, nullptr);
    pumpFor(500);
    QWidget& w = panel->window();
    EXPECT_EQ(w.size(), QSize(320, 420));
    EXPECT_NEAR(w.frameGeometry().center().x(), 640, 3) << "centred";

    auto* version = w.findChild<QLabel*>("version");
    EXPECT_EQ(version->text(), "Версия 1.4.2");
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(160, 9), QPointF(160, 9), Qt::LeftButton, Qt::LeftButton, {});
    for (int i = 0; i < 10; ++i) QApplication::sendEvent(version, &press);
    EXPECT_EQ(w.findChild<QLabel*>("devStatus")->text(), "DEV-режим включён");
    pumpFor(300);

    const fs::path shot = fs::path(PARLANDO_BINARY_DIR) / "about-panel.png";
    ASSERT_TRUE(x.screenshot(shot));
    const QImage img(QString::fromStdString(shot.string()));
    // The window is drawn where Qt says it is (the bare root is black).
    EXPECT_NE(img.pixelColor(w.geometry().center()), QColor(Qt::black));
}
