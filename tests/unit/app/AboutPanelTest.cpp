#include "AppRig.h"
#include "app/AboutPanelController.h"
#include "fakes/FakeDictation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;

namespace {

struct FakeAboutView final : AboutPanelView {
    int presented = 0;
    std::string devStatus = "unset";
    void present() override { ++presented; }
    void setDevStatus(const std::string& text) override { devStatus = text; }
};

struct AboutRig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeAlertPresenter alerts;
    std::optional<std::string> reattachError;
    int reattached = 0;
    FakeAboutView* view = nullptr;
    AboutPanelController about{AboutServices{loop, settings, log, alerts, {},
                                             [this] {
                                                 ++reattached;
                                                 return reattachError;
                                             }},
                               [this](AboutPanelController&) {
                                   auto v = std::make_unique<FakeAboutView>();
                                   view = v.get();
                                   return v;
                               }};
    void taps(int n, double gap) {
        for (int i = 0; i < n; ++i) {
            if (i > 0) loop.advanceBy(seconds(gap));
            about.handleVersionTap();
        }
    }
};

}  // namespace

TEST(AboutPanel, TenQuickClicksToggleDeveloperMode) {
    struct Case {
        const char* name;
        std::function<void(AboutRig&)> clicks;
        bool devMode;
        int countAfter;
    } cases[] = {
        {"nine, a pause, one more", [](AboutRig& r) { r.taps(9, 0.1); r.loop.advanceBy(seconds(2.1)); r.taps(1, 0); },
         false, 1},
        {"ten 1.9 s apart", [](AboutRig& r) { r.taps(10, 1.9); }, true, 0},
        {"the eleventh starts again", [](AboutRig& r) { r.taps(11, 1.9); }, true, 1},
        {"twenty toggle twice", [](AboutRig& r) { r.taps(20, 0.05); }, false, 0},
    };
    for (const auto& c : cases) {
        AboutRig rig;
        rig.about.show();
        EXPECT_EQ(rig.view->devStatus, "") << "off: the line is empty, not hidden";
        c.clicks(rig);
        EXPECT_EQ(AboutPanelController::isDevModeEnabled(rig.settings), c.devMode) << c.name;
        EXPECT_EQ(rig.about.tapCount(), c.countAfter) << c.name;
        EXPECT_EQ(rig.view->devStatus, c.devMode ? "DEV-режим включён" : "") << c.name;
    }
    AboutRig rig;
    rig.taps(10, 0.1);
    rig.taps(10, 0.1);
    ASSERT_EQ(rig.alerts.shown.size(), 2u);
    EXPECT_EQ(rig.alerts.shown[0].messageText, "DEV-режим включён");
    EXPECT_EQ(rig.alerts.shown[0].informativeText,
              "Личные пункты меню (Telegram, Лампа) теперь видимы. Снова 10 тапов по версии — выключит.");
    EXPECT_EQ(rig.alerts.shown[1].messageText, "DEV-режим выключен");
}

TEST(AboutPanel, RestoreTrayIconAsksFirstAndReportsTheOutcome) {
    AboutRig rig;
    rig.alerts.answer = 1;  // "Отмена"
    rig.about.restoreTrayIcon();
    EXPECT_EQ(rig.reattached, 0);
    EXPECT_TRUE(rig.log.lines().empty());
    EXPECT_THAT(rig.alerts.shown[0].buttons, ::testing::ElementsAre("Восстановить", "Отмена"));

    rig.alerts.answer = 0;
    rig.about.restoreTrayIcon();
    EXPECT_EQ(rig.alerts.shown.back().messageText, "Готово");
    rig.reattachError = "no StatusNotifierWatcher on the session bus";
    rig.about.restoreTrayIcon();
    EXPECT_EQ(rig.alerts.shown.back().messageText, "Не получилось запустить восстановление");
    EXPECT_THAT(rig.log.lines(),
                ::testing::ElementsAre("about: tray icon registered again",
                                       "about: tray icon restore failed — no StatusNotifierWatcher on the session bus"));
}

TEST(AboutPanel, MenuReadsTheFlagAtEachBuild) {
    AboutRig about;
    StatusMenuHooks hooks;
    hooks.buildLightSubmenu = [] { return std::vector<MenuItem>{MenuItem::make("Включена", {})}; };
    AppRig app(hooks);
    auto has = [&](const std::string& title) {
        for (const auto& i : app.c->buildMenu().items)
            if (i.title == title) return true;
        return false;
    };
    EXPECT_FALSE(has("Лампа"));
    AboutPanelController toggler{AboutServices{app.loop, app.settings, app.log, about.alerts, {}, {}}, {}};
    for (int i = 0; i < 10; ++i) toggler.handleVersionTap();
    EXPECT_TRUE(has("Лампа"));
}
