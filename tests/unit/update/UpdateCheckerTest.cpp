#include "core/VirtualMainLoop.h"
#include "fakes/FakeDictation.h"
#include "fakes/FakeHttp.h"
#include "fakes/FakeTray.h"
#include "fakes/Fakes.h"
#include "update/UpdateChecker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;
using R = UpdateChecker::ComparisonResult;

namespace {

struct NoLauncher final : ProcessLauncher {  // the installer is launched for real in the integration test
    std::optional<std::string> startDetached(const std::string&, const std::vector<std::string>&) override { return {}; }
};

struct UpdateRig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeHttpClient http;
    FakeAlertPresenter alerts;
    FakeNotifier notifier;
    NoLauncher launcher;
    std::optional<std::string> server = "https://updates.example.org";
    std::shared_ptr<UpdateChecker> checker;

    void start() {
        checker = UpdateChecker::create(
            UpdateServices{loop, settings, log, http, alerts, &notifier, launcher, {}, server, "1.9.9", {}, ""});
        checker->startBackgroundChecks();
    }
    void serve(const std::string& version) { http.answer(200, "{\"version\":\"" + version + "\"}"), loop.runPending(); }
    void days(double d) { loop.advanceBy(seconds(d * 86400.0)); }
};

}  // namespace

TEST(UpdateChecker, ComparesVersions) {
    struct Case { const char *a, *b; R expected; } cases[] = {
        {"1.2", "1.2.0", R::same}, {"1.10", "1.9", R::descending}, {"1.2.x", "1.2.0", R::ascending},
        {"1..2", "1.2", R::same},  {"1.2-rc1", "1.2", R::ascending}, {"0.0.0", "0.0.1", R::ascending}};
    for (const auto& c : cases) EXPECT_EQ(UpdateChecker::compare(c.a, c.b), c.expected) << c.a << " vs " << c.b;
}

TEST(UpdateChecker, BackgroundChecksOverVirtualDays) {
    UpdateRig rig;
    rig.start();
    // Fresh install: checks at once.
    ASSERT_EQ(rig.http.urls, std::vector<std::string>{"https://updates.example.org/latest.json"});
    rig.serve("v2.0");
    ASSERT_EQ(rig.notifier.posted.size(), 1u);
    EXPECT_EQ(rig.notifier.posted[0].body, "Установлена 1.9.9. Открой меню Parlando → Проверить обновления…");
    EXPECT_EQ(rig.notifier.posted[0].identifier, "parlando.update.2.0");

    // A restart within 24 h does not check; the timer does, a day after arming.
    rig.days(0.5);
    rig.start();
    EXPECT_TRUE(rig.http.pending.empty());
    rig.days(0.99);
    EXPECT_TRUE(rig.http.pending.empty());
    rig.days(0.02);
    rig.serve("2.0");  // the same version is announced once only
    EXPECT_EQ(rig.notifier.posted.size(), 1u);
    rig.days(1);
    rig.http.fail("Host unreachable");  // silent, and the last-check date stays
    rig.days(1);
    rig.serve("2.1");
    EXPECT_EQ(rig.notifier.posted.back().identifier, "parlando.update.2.1");
    EXPECT_TRUE(rig.alerts.shown.empty());

    // Off stops the timer; on re-arms it without checking at once.
    rig.checker->setAutoCheckEnabled(false);
    rig.days(3);
    EXPECT_TRUE(rig.http.pending.empty());
    rig.checker->setAutoCheckEnabled(true);
    EXPECT_TRUE(rig.http.pending.empty());
    rig.days(1.01);
    EXPECT_EQ(rig.http.pending.size(), 1u);
}

TEST(UpdateChecker, BuildWithoutUpdateServerChecksNothingAndSaysSo) {
    UpdateRig rig;
    rig.server.reset();
    rig.notifier.failWith = "org.freedesktop.Notifications was not provided by any .service files";
    rig.start();
    rig.days(2);
    EXPECT_TRUE(rig.http.urls.empty());
    EXPECT_TRUE(rig.log.contains("update: notification auth error — org.freedesktop.Notifications"));
    MenuModel menu;
    rig.checker->addUpdateMenuItems(menu);
    menu.items[1].action();
    EXPECT_EQ(rig.alerts.shown.at(0).messageText, "В этой сборке нет сервера обновлений");
}
