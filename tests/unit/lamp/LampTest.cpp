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
using Lines = std::vector<std::string>;

namespace {

const std::string at = "http://lamp.local:7420/mode/";

struct LampRig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeHttpClient http;
    FakeAlertPresenter alerts;
    std::vector<std::string> errors;
    bool mic = true, meeting = false;
    std::shared_ptr<LightControl> light = LightControl::create(loop, settings, log, http);
    LampMenu menu{
        {loop, log, alerts, light, [this](const std::string& m) { errors.push_back(m); }, [this] { return mic; }}};

    explicit LampRig(bool enabled = true, std::string host = "lamp.local") {
        settings.setBool("ParlandoLightEnabled", enabled);
        if (!host.empty()) settings.setString("ParlandoLightHost", host);
        light->probes = {[this] { return meeting; }, [this] { return mic; }};
    }
    std::vector<std::string> lines() { return loop.runPending(), log.lines(); }
};

}  // namespace

TEST(LightControl, WhenAndWhereRequestsGo) {
    const std::tuple<bool, const char*, int, bool> cases[] = {
        {false, "lamp.local", 7420, false},  {true, "", 7420, false},
        {true, "10.0.0.7", 0, true},         {true, "[::1]", -3, true},
        {true, "lamp local/x", 7420, false}, {true, "lamp.local", 70000, false}};
    for (const auto& [enabled, host, port, sent] : cases) {
        LampRig rig(enabled, host);
        rig.settings.setInt("ParlandoLightPort", port);
        rig.light->set(Phase::recording);
        EXPECT_EQ(rig.http.urls, sent ? Lines{"http://" + std::string(host) + ":7420/mode/red"} : Lines{}) << host;
        EXPECT_TRUE(rig.lines().empty());
    }
    LampRig rig;
    rig.light->set(Phase::processing);
    rig.light->setIdleReflectingMic();
    rig.mic = false;
    rig.light->setIdleReflectingMic();
    rig.meeting = true;
    rig.light->setIdleReflectingMic();
    EXPECT_THAT(rig.http.urls, ElementsAre(at + "standby", at + "blue", at + "standby", at + "red"));
}

TEST(LightControl, BreakerTripsSkipsResumesAndTripsAgain) {
    LampRig rig;
    auto call = [&](std::optional<std::string> error, int status = 0, bool bypass = false) {
        rig.light->set(Phase::recording, bypass), rig.http.answer(status, {}, error);
    };
    call("Connection refused");
    call("Connection refused");
    EXPECT_FALSE(rig.light->isSuspended());
    call({}, 204);  // an answer that is not 200 is a failure too
    EXPECT_TRUE(rig.light->isSuspended());
    rig.loop.advanceBy(seconds(59.9));
    rig.light->set(Phase::idle);
    EXPECT_EQ(rig.http.urls.size(), 3u) << "suspended calls make no request";
    rig.loop.advanceBy(seconds(0.2));
    call("timed out");
    EXPECT_TRUE(rig.light->isSuspended()) << "the first call after the pause failed: suspended again";
    call({}, 200, true);  // the test bypasses the breaker; its success resumes the lamp
    EXPECT_FALSE(rig.light->isSuspended());
    rig.loop.runPending();
    rig.log.clear();
    call("unreachable");
    call({}, 200);
    EXPECT_THAT(rig.lines(), ElementsAre("light: red failed — unreachable")) << "a success after one failure is quiet";
}

TEST(LampMenu, SubmenuSwitchAndTestSequence) {
    LampRig rig(false, "");
    auto items = rig.menu.buildLightSubmenu();
    EXPECT_EQ(items[0].title, ":7420");
    items[4].action();  // "Тест" does nothing while the lamp is off
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
    rig.light->set(Phase::recording);
    EXPECT_EQ(rig.http.urls.size(), 4u);

    for (bool mic : {true, false}) {
        rig.mic = mic;
        rig.http.urls.clear();
        rig.menu.testLight();
        rig.loop.advanceBy(seconds(0.59));
        EXPECT_THAT(rig.http.urls, ElementsAre(at + "red"));
        rig.loop.advanceBy(seconds(0.02));
        EXPECT_EQ(rig.http.urls.back(), at + (mic ? "blue" : "standby"));
    }
}

TEST(LampMenu, AddressDialogSavesATrimmedAddressAndRejectsABadOne) {
    LampRig rig(true, "old.local");
    const auto address = [&] { return rig.light->host() + ":" + std::to_string(rig.light->port()); };
    const std::pair<const char*, const char*> rejected[] = {
        {"", "7420"}, {"lamp.local", "0"}, {"lamp.local", "-1"}, {"lamp.local", "80x"}};
    for (const auto& [host, port] : rejected) {
        rig.alerts.fieldTexts = {host, port};
        rig.menu.configureLightHost();
        EXPECT_EQ(address(), "old.local:7420");
    }
    EXPECT_EQ(rig.errors.size(), 4u);
    rig.alerts.fieldTexts = {" lamp.local\n", " 8080 "};
    rig.menu.configureLightHost();
    EXPECT_EQ(address(), "lamp.local:8080");
    EXPECT_EQ(rig.errors.size(), 4u);
}
