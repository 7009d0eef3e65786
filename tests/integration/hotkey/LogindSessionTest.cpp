// Our login session through a stand-in systemd-logind on a private bus (the
// "system bus" of this test): in front only while active and unlocked, and
// always in front without logind.
#include "fakes/Fakes.h"
#include "hotkey/adapters/LogindSession.h"
#include "testenv/FakeDBusServices.h"
#include "testenv/TestEnv.h"

#include <QDBusObjectPath>
#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;
using namespace parlando::testenv;

namespace {

constexpr const char* sessionPath = "/org/freedesktop/login1/session/c7";

// Manager.GetSession("c7") and GetSessionByPID, and the session's two properties.
class FakeLogind : public QDBusVirtualObject {
public:
    explicit FakeLogind(QDBusConnection bus) : bus_(bus) {
        bus_.registerVirtualObject("/org/freedesktop/login1", this, QDBusConnection::SubPath);
        bus_.registerService(LogindSession::service);
    }
    ~FakeLogind() override { bus_.unregisterObject("/org/freedesktop/login1"); }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override {
        if (m.member() == "GetSessionByPID" || (m.member() == "GetSession" && m.arguments().value(0) == "c7"))
            c.send(m.createReply(QVariant::fromValue(QDBusObjectPath(sessionPath))));
        else if (m.member() == "GetAll" && m.path() == sessionPath)
            c.send(m.createReply(QVariant(QVariantMap{{"Active", active}, {"LockedHint", locked}, {"Id", "c7"}})));
        else
            c.send(m.createErrorReply("org.freedesktop.login1.NoSuchSession", "No session"));
        return true;
    }
    void set(const QString& name, bool value) {
        (name == "Active" ? active : locked) = value;
        QDBusMessage signal =
            QDBusMessage::createSignal(sessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged");
        signal << QString("org.freedesktop.login1.Session") << QVariantMap{{name, value}} << QStringList{};
        bus_.send(signal);
    }
    bool active = true, locked = false;

private:
    QDBusConnection bus_;
};

}  // namespace

TEST(LogindSession, InFrontOnlyWhileActiveAndUnlockedAndAlwaysWithoutLogind) {
    TempDir dir{"parlando-logind"};
    SessionBus system(dir.path());
    applyToProcess({{"QT_QPA_PLATFORM", "offscreen"}});
    qtApp();
    const QString address = QString::fromStdString(system.address());
    QDBusConnection appBus = QDBusConnection::connectToBus(address, "logind-app");
    QDBusConnection serviceBus = QDBusConnection::connectToBus(address, "logind-service");
    MemoryLog log;

    LogindSession none(log, appBus, "c7");
    ASSERT_TRUE(pumpUntil([&] { return log.contains("session: no systemd-logind session ("); }, 10000));
    EXPECT_TRUE(none.inFront());

    FakeLogind logind(serviceBus);
    logind.locked = true;  // locked before we start: known from the first answer
    LogindSession session(log, appBus, "c7");
    std::vector<bool> changes;
    session.setOnChange([&](bool inFront) { changes.push_back(inFront); });
    ASSERT_TRUE(pumpUntil([&] { return !session.inFront(); }, 10000)) << "unknown counts as in front until answered";

    logind.set("LockedHint", false);
    ASSERT_TRUE(pumpUntil([&] { return session.inFront(); }, 10000));
    logind.set("Active", false);  // another user's session after a VT switch
    ASSERT_TRUE(pumpUntil([&] { return !session.inFront(); }, 10000));
    EXPECT_EQ(changes, (std::vector<bool>{false, true, false}));

    // An unknown $XDG_SESSION_ID: the session this process belongs to.
    LogindSession byPid(log, appBus, "gone");
    ASSERT_TRUE(pumpUntil([&] { return byPid.sessionPath() == sessionPath; }, 10000));
}
