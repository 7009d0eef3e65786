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

    // Requests are answered with their object, then their Response signal.
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        const QString member = message.member();
        const QList<QVariant> args = message.arguments();
        const QString sender = message.service().mid(1).replace('.', '_');
        if (member == "NotifyKeyboardKeycode") keys.push_back({args.value(2).toInt(), args.value(3).toUInt()});
        if (member == "Close") closed << message.path();
        const int optionsAt = member == "Start" ? 2 : member == "SelectDevices" ? 1 : 0;
        const QVariantMap o = qdbus_cast<QVariantMap>(args.value(optionsAt));
        if (!o.contains("handle_token")) return bus_.send(message.createReply());
        const QString request = "/org/freedesktop/portal/desktop/request/" + sender + "/" + o["handle_token"].toString();
        QVariantMap results;
        if (member == "CreateSession")
            results["session_handle"] = "/org/freedesktop/portal/desktop/session/" + sender + "/" +
                                        o["session_handle_token"].toString();
        if (member == "SelectDevices") selected = o;
        if (member == "Start") {
            results["devices"] = QVariant::fromValue(1U);
            results["restore_token"] = QStringLiteral("token-%1").arg(++starts);
        }
        bus_.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QDBusMessage signal = QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response");
        signal << uint(member == "Start" && refuseStart ? 1 : 0) << results;
        bus_.send(signal);
        return true;
    }

    QStringList closed;
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
