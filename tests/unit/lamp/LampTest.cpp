#include "core/VirtualMainLoop.h"
#include "fakes/FakeDictation.h"
#include "fakes/FakeHttp.h"
#include "fakes/Fakes.h"
#include "lamp/LampMenu.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;
using ::testing::ElementsAre;
using Phase = LightControl::Phase;

namespace {

struct LampRig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeHttpClient http;
    FakeAlertPresenter alerts;
    std::vector<std::string> errors;
    bool micAvailable = true;
    std::shared_ptr<LightControl> light = LightControl::create(loop, settings, log, http);
    LampMenu menu{LampMenu::Services{loop, log, alerts, light, [this](const std::string& m) { errors.push_back(m); },
                                     [this] { return micAvailable; }}};

    explicit LampRig(bool on = true) {
        if (!on) return;
        light->setEnabled(true);
        light->setHost("lamp.local");
    }
    std::vector<std::string> lines() {
        loop.runPending();
        return log.lines();
    }
};

}  // namespace

TEST(LightControl, WhenRequestsAreMadeAndWhere) {
    struct Case {
        const char* name;
        std::function<void(MemorySettings&)> setup;
        std::vector<std::string> urls;
    } cases[] = {
        {"fresh install", [](MemorySettings&) {}, {}},
        {"enabled without a host", [](MemorySettings& s) { s.setBool("ParlandoLightEnabled", true); }, {}},
        {"no stored port", [](MemorySettings& s) {
             s.setBool("ParlandoLightEnabled", true);
             s.setString("ParlandoLightHost", "lamp.local");
         }, {"http://lamp.local:7420/mode/red"}},
        {"port 0", [](MemorySettings& s) {
             s.setBool("ParlandoLightEnabled", true);
             s.setString("ParlandoLightHost", "10.0.0.7");
             s.setInt("ParlandoLightPort", 0);
         }, {"http://10.0.0.7:7420/mode/red"}},
        {"negative port", [](MemorySettings& s) {
             s.setBool("ParlandoLightEnabled", true);
             s.setString("ParlandoLightHost", "[::1]");
             s.setInt("ParlandoLightPort", -3);
         }, {"http://[::1]:7420/mode/red"}},
        {"host that makes no URL", [](MemorySettings& s) {
             s.setBool("ParlandoLightEnabled", true);
             s.setString("ParlandoLightHost", "lamp local/x");
         }, {}},
        {"port past 65535", [](MemorySettings& s) {
             s.setBool("ParlandoLightEnabled", true);
             s.setString("ParlandoLightHost", "lamp.local");
             s.setInt("ParlandoLightPort", 70000);
         }, {}},
    };
    for (const auto& c : cases) {
        LampRig rig(false);
        c.setup(rig.settings);
        rig.light->set(Phase::recording);
        EXPECT_EQ(rig.http.urls, c.urls) << c.name;
        EXPECT_TRUE(rig.lines().empty()) << c.name;
    }
    LampRig rig;
    for (Phase p : {Phase::processing, Phase::idle, Phase::disconnected}) rig.light->set(p);
    EXPECT_THAT(rig.http.urls, ElementsAre("http://lamp.local:7420/mode/standby", "http://lamp.local:7420/mode/blue",
                                           "http://lamp.local:7420/mode/standby"));
    const HttpRequest& r = rig.http.pending.front().request;
    EXPECT_EQ(r.idleTimeout, seconds(1.0));
    EXPECT_EQ(r.totalTimeout, seconds(2.0));
}

TEST(LightControl, BreakerTripsSkipsResumesAndTripsAgain) {
    LampRig rig;
    auto failNext = [&](const std::string& why) {
        rig.light->set(Phase::recording);
        rig.http.fail(why);
    };
    failNext("Connection refused");
    failNext("Connection refused");
    rig.light->set(Phase::idle);
    rig.http.answer(204);  // an answer that is not 200 is a failure too
    EXPECT_THAT(rig.lines(), ElementsAre("light: red failed — Connection refused",
                                         "light: 3 consecutive failures (last: HTTP 204) — suspending lamp calls for 60s"));
    const auto before = rig.http.urls.size();
    rig.loop.advanceBy(seconds(59.9));
    rig.light->set(Phase::recording);
    EXPECT_EQ(rig.http.urls.size(), before) << "suspended calls make no request";

    rig.loop.advanceBy(seconds(0.2));
    failNext("The request timed out after 2000 ms.");
    EXPECT_EQ(rig.lines().back(),
              "light: 4 consecutive failures (last: The request timed out after 2000 ms.) — suspending lamp calls for 60s");
    EXPECT_EQ(rig.light->consecutiveFailures(), 4);
    EXPECT_TRUE(rig.light->isSuspended());

    // The test bypasses the breaker; its success resumes the lamp.
    rig.light->set(Phase::recording, true);
    rig.http.answer(200);
    EXPECT_EQ(rig.lines().back(), "light: lamp reachable again — resuming");
    EXPECT_FALSE(rig.light->isSuspended());

    // A success after fewer than three failures says nothing.
    rig.log.clear();
    failNext("Host unreachable");
    rig.light->set(Phase::idle);
    rig.http.answer(200);
    EXPECT_THAT(rig.lines(), ElementsAre("light: red failed — Host unreachable"));
    EXPECT_EQ(rig.light->consecutiveFailures(), 0);
}

TEST(LightControl, RestingPhaseFollowsMeetingAndMicrophone) {
    LampRig rig;
    bool meeting = false, mic = true;
    rig.light->probes = {[&] { return meeting; }, [&] { return mic; }};
    rig.light->setIdleReflectingMic();
    mic = false;
    rig.light->setIdleReflectingMic();
    meeting = true;
    rig.light->setIdleReflectingMic();
    EXPECT_THAT(rig.http.urls, ElementsAre("http://lamp.local:7420/mode/blue", "http://lamp.local:7420/mode/standby",
                                           "http://lamp.local:7420/mode/red"));
}

TEST(LampMenu, SubmenuSwitchAndTestSequence) {
    LampRig rig(false);
    auto items = rig.menu.buildLightSubmenu();
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0].title, ":7420");
    EXPECT_FALSE(items[0].enabled);
    EXPECT_EQ(items[1].checked, false);
    EXPECT_EQ(items[3].kind, MenuItem::Kind::separator);
    items[4].action();  // the test does nothing while the lamp is off
    EXPECT_TRUE(rig.http.urls.empty());

    // Switching on clears a tripped breaker: the next phase change goes out at once.
    rig.light->setHost("lamp.local");
    rig.light->setEnabled(true);
    for (int i = 0; i < 3; ++i) {
        rig.light->set(Phase::idle);
        rig.http.fail("refused");
    }
    rig.menu.toggleLightEnabled();
    rig.menu.toggleLightEnabled();
    EXPECT_THAT(rig.log.lines(), ::testing::IsSupersetOf({"light: enabled = false", "light: enabled = true"}));
    rig.light->set(Phase::recording);
    EXPECT_EQ(rig.http.urls.size(), 4u);
    rig.http.answer(200);

    for (bool mic : {true, false}) {
        rig.micAvailable = mic;
        rig.http.urls.clear();
        rig.menu.buildLightSubmenu()[4].action();
        EXPECT_THAT(rig.http.urls, ElementsAre("http://lamp.local:7420/mode/red"));
        rig.loop.advanceBy(seconds(0.59));
        EXPECT_EQ(rig.http.urls.size(), 1u);
        rig.loop.advanceBy(seconds(0.02));
        EXPECT_EQ(rig.http.urls.back(), mic ? "http://lamp.local:7420/mode/blue" : "http://lamp.local:7420/mode/standby");
    }
}

TEST(LampMenu, AddressDialogValidates) {
    struct Case {
        std::string host, port;
        bool saved;
    } cases[] = {{"", "7420", false},        {"lamp.local", "0", false}, {"lamp.local", "-1", false},
                 {"lamp.local", "abc", false}, {"lamp.local", "80x", false}, {" lamp.local\n", " 8080 ", true}};
    for (const auto& c : cases) {
        LampRig rig;
        rig.light->setPort(7421);
        struct Answering final : AlertPresenter {
            AlertResult result;
            AlertSpec seen;
            AlertResult runModal(const AlertSpec& spec) override {
                seen = spec;
                return result;
            }
        } alerts;
        alerts.result = {0, {c.host, c.port}};
        LampMenu menu{{rig.loop, rig.log, alerts, rig.light, [&](const std::string& m) { rig.errors.push_back(m); }, {}}};
        menu.configureLightHost();
        EXPECT_EQ(alerts.seen.fields[0].initialText, "lamp.local");
        EXPECT_EQ(alerts.seen.fields[1].initialText, "7421");
        if (c.saved) {
            EXPECT_EQ(rig.light->host(), "lamp.local");
            EXPECT_EQ(rig.light->port(), 8080);
            EXPECT_TRUE(rig.log.contains("light: endpoint = lamp.local:8080"));
        } else {
            EXPECT_THAT(rig.errors, ElementsAre("хост не может быть пустым, порт — положительное целое число"))
                << c.host << ":" << c.port;
            EXPECT_EQ(rig.light->host(), "lamp.local");
            EXPECT_EQ(rig.light->port(), 7421);
        }
    }
}
