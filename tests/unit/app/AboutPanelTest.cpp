#include "AppRig.h"
#include "app/AboutPanelController.h"
#include "fakes/FakeDictation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;

namespace {

struct StatusLine final : AboutPanelView {
    std::string* text;
    explicit StatusLine(std::string* t) : text(t) {}
    void present() override {}
    void setDevStatus(const std::string& t) override { *text = t; }
};

struct AboutRig {
    AppRig app{[] {
        StatusMenuHooks h;
        h.buildLightSubmenu = [] { return std::vector<MenuItem>{MenuItem::make("Включена", {})}; };
        return h;
    }()};
    FakeAlertPresenter alerts;
    std::optional<std::string> reattachError;
    std::string devStatus = "unset";
    AboutPanelController about{AboutServices{app.loop, app.settings, app.log, alerts, {}, [this] { return reattachError; }},
                               [this](AboutPanelController&) { return std::make_unique<StatusLine>(&devStatus); }};
    void taps(int n, double gap) {
        for (int i = 0; i < n; ++i) {
            if (i > 0) app.advance(gap);
            about.handleVersionTap();
        }
    }
    bool menuHasLamp() {
        return std::ranges::any_of(app.c->buildMenu().items, [](const MenuItem& i) { return i.title == "Лампа"; });
    }
};

}  // namespace

TEST(AboutPanel, TenQuickClicksToggleDeveloperModeAndTheMenu) {
    struct Case {
        std::function<void(AboutRig&)> clicks;
        bool devMode;
        int countAfter;
    } cases[] = {
        {[](AboutRig& r) { r.taps(9, 0.1); r.app.advance(2.1); r.taps(1, 0); }, false, 1},  // a pause restarts
        {[](AboutRig& r) { r.taps(10, 1.9); }, true, 0},
        {[](AboutRig& r) { r.taps(11, 1.9); }, true, 1},  // the eleventh starts a new count
        {[](AboutRig& r) { r.taps(20, 0.05); }, false, 0},
    };
    for (const auto& c : cases) {
        auto rig = std::make_unique<AboutRig>();
        rig->about.show();
        EXPECT_EQ(rig->devStatus, "") << "off: the line is empty, not hidden";
        c.clicks(*rig);
        EXPECT_EQ(rig->about.tapCount(), c.countAfter);
        EXPECT_EQ(rig->devStatus, c.devMode ? "DEV-режим включён" : "");
        EXPECT_EQ(rig->menuHasLamp(), c.devMode) << "the menu reads the flag at each build";
        EXPECT_EQ(rig->alerts.shown.size(), c.devMode ? 1u : c.countAfter == 0 ? 2u : 0u);
        const std::string firstAlert = rig->alerts.shown.empty() ? "" : rig->alerts.shown[0].messageText;
        EXPECT_EQ(firstAlert, c.devMode || c.countAfter == 0 ? "DEV-режим включён" : "");
    }
}

TEST(AboutPanel, RestoreTrayIconAsksFirstAndReportsTheOutcome) {
    AboutRig rig;
    rig.alerts.answer = 1;  // "Отмена": nothing runs, nothing is logged
    rig.about.restoreTrayIcon();
    EXPECT_TRUE(rig.app.log.lines().empty());
    rig.alerts.answer = 0;
    rig.about.restoreTrayIcon();
    EXPECT_EQ(rig.alerts.shown.back().messageText, "Готово");
    rig.reattachError = "no StatusNotifierWatcher";
    rig.about.restoreTrayIcon();
    EXPECT_EQ(rig.alerts.shown.back().messageText, "Не получилось запустить восстановление");
    EXPECT_THAT(rig.app.log.lines(), ::testing::ElementsAre("about: tray icon registered again",
                                                            "about: tray icon restore failed — no StatusNotifierWatcher"));
}
