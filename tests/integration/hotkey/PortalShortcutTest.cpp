// The hotkey through the desktop portal's global shortcuts, against the
// stand-in portal on a private session bus, with input devices we may not read.
// Before Qt: its `emit` macro would eat the fake's emit().
#include "fakes/FakeHotkey.h"

#include "core/adapters/QtMainLoop.h"
#include "fakes/FakeTray.h"
#include "fakes/Fakes.h"
#include "hotkey/HotkeyListener.h"
#include "testenv/FakeDBusServices.h"
#include "testenv/StandInPortal.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

using namespace parlando;
using parlando::testing::pumpUntil;
using M = HotkeyListener::Mode;

TEST(PortalShortcut, BindsTheChosenKeyGivesItsEdgesSaysWhyWhenItCannotAndClosesTheSession) {
    if (!testenv::haveProgram("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    testenv::TempDir dir("parlando-shortcuts");
    testenv::SessionBus bus(dir.path());
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    parlando::testing::qtApp();
    QDBusConnection portalSide = QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "portal");
    QDBusConnection appSide = QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "app");
    QtMainLoop loop;
    parlando::testing::MemoryLog log;
    MemorySettings settings;
    parlando::testing::FakeNotifier notifier;
    parlando::testing::FakeKeyEdgeSource evdev;
    evdev.failWith = "permission denied on /dev/input/event0";
    PortalShortcutKeySource source(log, appSide, {3000, 3000});
    HotkeyListener listener(loop, log, settings, evdev, nullptr, &notifier, nullptr, &source);
    std::vector<std::string> edges;
    auto settled = [&](M mode) { return pumpUntil([&] { return listener.mode() == mode; }, 10000); };
    auto told = [&] { return notifier.posted.empty() ? std::string() : notifier.posted.back().body; };
    auto note = [&] { return listener.problem() ? listener.problem()->menuNote : std::string(); };

    settings.setString(hotkeySettingKey, "pause");
    listener.start([&] { edges.push_back("press"); }, [&] { edges.push_back("release"); });
    EXPECT_TRUE(settled(M::none) && told().find("нет портала рабочего стола") != std::string::npos) << "no portal";

    testenv::StandInPortal portal(portalSide);
    listener.restart();
    ASSERT_TRUE(pumpUntil([&] { return source.boundTrigger() == "Pause"; }, 10000));
    EXPECT_EQ(portal.calls, (QStringList{"CreateSession", "ListShortcuts", "BindShortcuts"}));
    const PortalShortcut a = portal.asked.value(0);  // the one shortcut, with the trigger we want
    EXPECT_EQ(QString::number(portal.asked.size()) + " " + a.id + " " + a.properties.value("preferred_trigger").toString(),
              "1 dictation-pause Pause");
    EXPECT_EQ(a.properties.value("description"), "Диктовка Parlando: начать или закончить");
    for (const QString id : {"dictation-other", "dictation-pause"})  // another id of the session is not ours
        for (const bool down : {true, false}) portal.press(portal.sessions.back(), id, down);
    pumpUntil([&] { return edges.size() > 2; }, 3000);
    EXPECT_EQ(edges, (std::vector<std::string>{"press", "release"}));
    EXPECT_TRUE(listener.mode() == M::portal && note().empty());

    listener.stop();  // as at quit
    ASSERT_TRUE(pumpUntil([&] { return portal.closed.contains(portal.sessions[0]); }, 10000)) << "closed at quit";

    // A modifier alone: nothing is asked, and the user hears which keys can be.
    listener.setKey("rightctrl");
    EXPECT_TRUE(listener.mode() == M::none && portal.calls.size() == 3) << "nothing asked";
    EXPECT_EQ(note(), "Правый Ctrl не назначить через систему — выбери F13, Pause, Scroll Lock, Insert");
    EXPECT_NE(told().find("Выбери F13, Pause, Scroll Lock, Insert"), std::string::npos) << told();

    portal.declineBind = true;
    listener.setKey("insert");
    ASSERT_TRUE(settled(M::none) && portal.calls.back() == "BindShortcuts");
    EXPECT_NE(told().find("ты отказался назначить клавишу"), std::string::npos) << told();
    EXPECT_EQ(note(), "Система не назначила Insert — нужна группа input");

    // Approved once: a later run finds the shortcut bound and asks nobody.
    portal.declineBind = false;
    listener.setKey("pause");
    ASSERT_TRUE(pumpUntil([&] { return source.boundTrigger() == "Pause"; }, 10000));
    EXPECT_EQ(portal.calls.size(), 8) << "no second dialog";

    // A portal that never answers: given up on, with the reason.
    portal.silent = true;
    listener.setKey("scrolllock");
    EXPECT_TRUE(settled(M::none) && log.contains("shortcut unavailable — the desktop portal did not answer within 3 s"));
}
