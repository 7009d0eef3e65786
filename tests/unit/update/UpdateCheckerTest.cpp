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
using ::testing::ElementsAre;
using R = UpdateChecker::ComparisonResult;

namespace {

class NoLauncher final : public ProcessLauncher {
public:
    std::optional<std::string> startDetached(const std::string& program, const std::vector<std::string>&) override {
        started.push_back(program);
        return std::nullopt;
    }
    std::vector<std::string> started;
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

    void start(const std::string& version = "1.9.9") {
        checker = UpdateChecker::create(UpdateServices{loop, settings, log, http, alerts, &notifier, launcher, {}, server,
                                                       version, "/nonexistent/update.log", ""});
        checker->startBackgroundChecks();
    }
    void serve(const std::string& version) {
        http.answer(200, "{\"version\":\"" + version + "\"}");
        loop.runPending();
    }
    void days(double d) { loop.advanceBy(seconds(d * 86400.0)); }
};

}  // namespace

TEST(UpdateChecker, ComparesVersions) {
    struct Case {
        const char *a, *b;
        R expected;
    } cases[] = {{"1.2", "1.2.0", R::same},       {"1.10", "1.9", R::descending}, {"1.2.x", "1.2.0", R::ascending},
                 {"1..2", "1.2", R::same},        {"2.0", "1.9.9", R::descending}, {"0.0.0", "0.0.1", R::ascending},
                 {"1.2-rc1", "1.2", R::ascending}, {"1.2.-1", "1.2.0", R::ascending}, {"", "0", R::same}};
    for (const auto& c : cases) EXPECT_EQ(UpdateChecker::compare(c.a, c.b), c.expected) << c.a << " vs " << c.b;
}

TEST(UpdateChecker, ReadsManifests) {
    struct Case {
        HttpResponse response;
        std::optional<std::string> version;
        std::string error;
    } cases[] = {
        {{std::nullopt, 200, R"({"version":"v2.0","notes":"x"})"}, "2.0", ""},
        {{std::nullopt, 200, R"({"version":"1.2"})"}, "1.2", ""},
        {{std::nullopt, 304, ""}, std::nullopt, "Version manifest returned a non-2xx response"},
        {{std::nullopt, 500, R"({"version":"9"})"}, std::nullopt, "Version manifest returned a non-2xx response"},
        {{std::nullopt, 200, R"({"latest":"2.0"})"}, std::nullopt, "The version manifest has no \"version\" member"},
        {{std::nullopt, 200, "<html>"}, std::nullopt, "The version manifest is not valid JSON"},
        {{"Connection refused", 0, ""}, std::nullopt, "Connection refused"},
    };
    for (const auto& c : cases) {
        const auto f = UpdateChecker::readManifest(c.response);
        EXPECT_EQ(f.version, c.version) << c.response.body;
        if (!c.version) {
            EXPECT_EQ(f.error, c.error);
        }
    }
}

TEST(UpdateChecker, BackgroundChecksOverVirtualDays) {
    UpdateRig rig;
    rig.start();
    // Fresh install: checks at once, with the right request.
    ASSERT_EQ(rig.http.pending.size(), 1u);
    const HttpRequest& r = rig.http.pending.front().request;
    EXPECT_EQ(r.url, "https://updates.example.org/latest.json");
    EXPECT_THAT(r.headers, ElementsAre(std::pair<std::string, std::string>{"Accept", "application/json"},
                                       std::pair<std::string, std::string>{"User-Agent", "Parlando/1.9.9"}));
    EXPECT_EQ(r.totalTimeout, seconds(60));
    EXPECT_TRUE(r.bypassCache);
    rig.serve("v2.0");
    ASSERT_EQ(rig.notifier.posted.size(), 1u);
    EXPECT_EQ(rig.notifier.posted[0].title, "Доступна Parlando 2.0");
    EXPECT_EQ(rig.notifier.posted[0].body, "Установлена 1.9.9. Открой меню Parlando → Проверить обновления…");
    EXPECT_EQ(rig.notifier.posted[0].identifier, "parlando.update.2.0");
    EXPECT_TRUE(rig.log.contains("update: notification authorization granted=true"));

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
    rig.loop.runPending();
    rig.days(1);
    rig.serve("2.1");
    EXPECT_EQ(rig.notifier.posted.back().identifier, "parlando.update.2.1");
    EXPECT_FALSE(rig.log.contains("check failed"));

    // Off stops the timer; on re-arms it without checking at once.
    rig.checker->setAutoCheckEnabled(false);
    EXPECT_FALSE(rig.checker->backgroundTimerArmed());
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
    EXPECT_TRUE(rig.log.contains("update: notification authorization granted=false"));
    rig.checker->checkManually();
    ASSERT_EQ(rig.alerts.shown.size(), 1u);
    EXPECT_EQ(rig.alerts.shown[0].messageText, "В этой сборке нет сервера обновлений");
    MenuModel menu;
    rig.checker->addUpdateMenuItems(menu);
    EXPECT_EQ(menu.items[0].title, "Parlando 1.9.9");
    EXPECT_FALSE(menu.items[0].enabled);
    EXPECT_EQ(menu.items[2].checked, true);
    menu.items[2].action();
    EXPECT_EQ(rig.settings.getBool("ParlandoAutoCheckUpdates"), false);
}
