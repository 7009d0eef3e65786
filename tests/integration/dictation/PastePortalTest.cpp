// The desktop portal's RemoteDesktop path against a stand-in portal on a
// private session bus: the stand-in answers as the portal's documentation
// describes and records every call.
#include "core/Settings.h"
#include "dictation/adapters/PortalPasteKeys.h"
#include "fakes/Fakes.h"
#include "testenv/FakeDBusServices.h"
#include "testenv/StandInPortal.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

using namespace parlando;
using parlando::testing::MemoryLog;
using parlando::testing::pumpUntil;
using parlando::testenv::SessionBus;
using parlando::testenv::StandInPortal;
using parlando::testenv::TempDir;

TEST(PastePortal, KeyboardSessionWithTheRestoreTokenKeptKeysInOrderAndClosedAtQuit) {
    if (!testenv::haveProgram("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    TempDir dir("parlando-portal");
    SessionBus bus(dir.path());
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    parlando::testing::qtApp();
    QDBusConnection portalSide = QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "portal");
    QDBusConnection appSide = QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "app");
    MemoryLog log;
    MemorySettings settings;
    auto started = [&](PortalPasteKeys& keys) {
        bool done = false;
        keys.start([&] { done = true; });
        EXPECT_TRUE(pumpUntil([&] { return done; }, 10000));
        return keys.unavailable();
    };
    std::string why;

    PortalPasteKeys early(log, settings, appSide);
    EXPECT_EQ(started(early), "no desktop portal on the session bus");

    StandInPortal portal(portalSide);
    for (int run = 1; run <= 2; ++run) {
        PortalPasteKeys keys(log, settings, appSide);
        EXPECT_EQ(started(keys), std::nullopt);
        EXPECT_EQ(portal.selected.value("types").toUInt(), 1U);         // keyboard only
        EXPECT_EQ(portal.selected.value("persist_mode").toUInt(), 2U);  // until the user revokes it
        // The first run asks the user; the second brings the token the first was given.
        EXPECT_EQ(portal.selected.value("restore_token").toString(), run == 1 ? QString() : QString("token-1"));
        EXPECT_EQ(settings.getString(PortalPasteKeys::restoreTokenKey), "token-" + std::to_string(run));
        portal.keys.clear();
        ASSERT_TRUE(keys.send(PasteShortcut::ctrlV, why));
        ASSERT_TRUE(pumpUntil([&] { return portal.keys.size() == 4; }, 5000));
        EXPECT_EQ(portal.keys, (std::vector<std::pair<int, uint>>{{29, 1}, {47, 1}, {47, 0}, {29, 0}}));
    }
    EXPECT_TRUE(pumpUntil([&] { return portal.closed.size() == 2; }, 5000)) << "closed when the object goes";

    // The user says no: the reason, no keys, and the half-made session ended.
    portal.refuseStart = true;
    PortalPasteKeys refused(log, settings, appSide);
    EXPECT_EQ(started(refused), "the user did not allow Parlando to type (portal request cancelled)");
    EXPECT_TRUE(pumpUntil([&] { return portal.closed.size() == 3; }, 5000));
    EXPECT_FALSE(refused.send(PasteShortcut::ctrlV, why));
}
