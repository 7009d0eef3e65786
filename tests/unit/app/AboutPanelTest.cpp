#include "AppRig.h"
#include "app/AboutPanelController.h"
#include "fakes/FakeDictation.h"

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
    AboutPanelController about{
        AboutServices{app.loop, app.settings, app.log, alerts, {}, [this] { return reattachError; }},
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
    AboutRig rig;
    rig.about.show();
    EXPECT_EQ(rig.devStatus, "") << "off: the line is empty, not hidden";
    rig.taps(9, 0.1);
    rig.app.advance(2.1);
    rig.taps(1, 0);
    EXPECT_EQ(rig.about.tapCount(), 1) << "a pause restarts the count";
    rig.app.advance(2.1);
    rig.taps(10, 1.9);
    EXPECT_EQ(rig.about.tapCount(), 0);
    EXPECT_EQ(rig.devStatus, "DEV-режим включён");
    EXPECT_TRUE(rig.menuHasLamp()) << "the menu reads the flag at each build";
    ASSERT_EQ(rig.alerts.shown.size(), 1u);
    EXPECT_EQ(rig.alerts.shown[0].messageText, "DEV-режим включён");
    rig.app.advance(1.9);
    rig.taps(1, 0);
    EXPECT_EQ(rig.about.tapCount(), 1) << "the eleventh starts a new count";
    rig.taps(9, 0.05);
    EXPECT_EQ(rig.devStatus, "");
    EXPECT_FALSE(rig.menuHasLamp());
    EXPECT_EQ(rig.alerts.shown.size(), 2u);
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
}
