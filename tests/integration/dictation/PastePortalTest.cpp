// The desktop portal's RemoteDesktop path against a stand-in portal on a
// private session bus: the stand-in answers as the portal's documentation
// describes and records every call.
#include "core/Settings.h"
#include "dictation/adapters/PortalPasteKeys.h"
#include "fakes/Fakes.h"
#include "testenv/FakeDBusServices.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <QDBusObjectPath>

using namespace parlando;
using parlando::testing::MemoryLog;
using parlando::testing::pumpUntil;
using parlando::testenv::SessionBus;
using parlando::testenv::TempDir;

namespace {

class StandInPortal : public QDBusVirtualObject {
public:
    explicit StandInPortal(QDBusConnection bus) : bus_(bus) {
        bus_.registerVirtualObject("/org/freedesktop/portal/desktop", this, QDBusConnection::SubPath);
        bus_.registerService("org.freedesktop.portal.Desktop");
    }
    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        const QString member = message.member();
        const QList<QVariant> args = message.arguments();
        calls << member;
        QString sender = message.service().mid(1);
        sender.replace('.', '_');
        auto options = [&](int i) { return qdbus_cast<QVariantMap>(args.value(i)); };
        if (member == "NotifyKeyboardKeycode") {
            keys.push_back({args.value(2).toInt(), args.value(3).toUInt()});
        } else if (member == "Close") {
            closed << message.path();
        } else if (member == "CreateSession" || member == "SelectDevices" || member == "Start") {
            const QVariantMap o = options(member == "Start" ? 2 : member == "SelectDevices" ? 1 : 0);
            const QString request = "/org/freedesktop/portal/desktop/request/" + sender + "/" +
                                    o.value("handle_token").toString();
            QVariantMap results;
            uint response = 0;
            if (member == "CreateSession")
                results["session_handle"] = "/org/freedesktop/portal/desktop/session/" + sender + "/" +
                                            o.value("session_handle_token").toString();
            if (member == "SelectDevices") selected = o;
            if (member == "Start") {
                response = refuseStart ? 1 : 0;
                results["devices"] = QVariant::fromValue(1U);
                results["restore_token"] = QStringLiteral("token-%1").arg(++starts);
            }
            bus_.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            QDBusMessage signal = QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response");
            signal << response << results;
            bus_.send(signal);
            return true;
        } else {
            return false;
        }
        bus_.send(message.createReply());
        return true;
    }

    QStringList calls, closed;
    std::vector<std::pair<int, uint>> keys;
    QVariantMap selected;
    bool refuseStart = false;
    int starts = 0;

private:
    QDBusConnection bus_;
};

}  // namespace

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

    // Nothing answers at the portal's name yet.
    {
        PortalPasteKeys keys(log, settings, appSide);
        bool done = false;
        keys.start([&] { done = true; });
        ASSERT_TRUE(pumpUntil([&] { return done; }, 10000));
        EXPECT_EQ(keys.unavailable(), "no desktop portal on the session bus");
    }

    StandInPortal portal(portalSide);
    for (int run = 1; run <= 2; ++run) {
        PortalPasteKeys keys(log, settings, appSide);
        bool done = false;
        keys.start([&] { done = true; });
        ASSERT_TRUE(pumpUntil([&] { return done; }, 10000)) << run;
        EXPECT_EQ(keys.unavailable(), std::nullopt);
        EXPECT_EQ(portal.selected.value("types").toUInt(), 1U);         // keyboard only
        EXPECT_EQ(portal.selected.value("persist_mode").toUInt(), 2U);  // until the user revokes it
        // The first run asks the user; the second brings the token the first was given.
        EXPECT_EQ(portal.selected.value("restore_token").toString(), run == 1 ? QString() : QString("token-1"));
        EXPECT_EQ(settings.getString(PortalPasteKeys::restoreTokenKey), "token-" + std::to_string(run));
        std::string why;
        portal.keys.clear();
        ASSERT_TRUE(keys.send(PasteShortcut::ctrlV, why));
        ASSERT_TRUE(pumpUntil([&] { return portal.keys.size() == 4; }, 5000));
        const std::vector<std::pair<int, uint>> ctrlV{{29, 1}, {47, 1}, {47, 0}, {29, 0}};
        EXPECT_EQ(portal.keys, ctrlV);
    }
    ASSERT_TRUE(pumpUntil([&] { return portal.closed.size() == 2; }, 5000));
    EXPECT_TRUE(portal.closed.first().startsWith("/org/freedesktop/portal/desktop/session/"));
    EXPECT_EQ(portal.calls.count("CreateSession"), 2);

    // The user says no: no keys, the reason, and the half-made session ended.
    portal.refuseStart = true;
    PortalPasteKeys refused(log, settings, appSide);
    bool done = false;
    refused.start([&] { done = true; });
    ASSERT_TRUE(pumpUntil([&] { return done; }, 10000));
    EXPECT_EQ(refused.unavailable(), "the user did not allow Parlando to type (portal request cancelled)");
    EXPECT_TRUE(pumpUntil([&] { return portal.closed.size() == 3; }, 5000));
    std::string why;
    EXPECT_FALSE(refused.send(PasteShortcut::ctrlV, why));
}
