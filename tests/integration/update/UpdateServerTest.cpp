// The update checker against tools/update-server over real HTTP, and the
// installer launched for real with a stand-in curl on PATH.
#include "core/VirtualMainLoop.h"
#include "core/adapters/QtHttpClient.h"
#include "fakes/FakeDictation.h"
#include "fakes/FakeTray.h"
#include "fakes/Fakes.h"
#include "testenv/FakeDBusServices.h"
#include "testenv/LocalService.h"
#include "update/UpdateChecker.h"
#include "update/adapters/QtProcessLauncher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

using namespace parlando;
using namespace parlando::testing;
using namespace parlando::testenv;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string server = std::string(PARLANDO_BINARY_DIR) + "/tools/update-server/update-server";

struct CheckerRig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    QtHttpClient http;
    FakeAlertPresenter alerts;
    FakeNotifier notifier;
    QtProcessLauncher launcher;
    std::shared_ptr<UpdateChecker> checker;

    CheckerRig(std::optional<std::string> base, const fs::path& installerLog, const std::string& path) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1), qtApp();  // the network thread needs an application
        checker = UpdateChecker::create(UpdateServices{loop, settings, log, http, alerts, &notifier, launcher, {},
                                                       std::move(base), "1.0.0", installerLog, path});
    }
};

}  // namespace

TEST(UpdateServer, ManualCheckAlerts) {
    struct Case { std::vector<std::string> options; std::string message, informative; } cases[] = {
        {{"--version", "v1.1"}, "Доступна Parlando 1.1",
         "Сейчас установлена 1.0.0. Запустить обновление? Приложение закроется и снова откроется автоматически."},
        {{"--version", "1.0"}, "Parlando 1.0.0 — последняя версия", "Обновлений не найдено."},
        {{"--manifest-status", "500"}, "Не получилось проверить обновления", "Version manifest returned a non-2xx response"},
        {{"--manifest-status", "304"}, "Не получилось проверить обновления", "Version manifest returned a non-2xx response"},
        {{"--manifest-file", "no-version.json"}, "Не получилось проверить обновления",
         "The version manifest has no \"version\" member"},
    };
    for (const auto& c : cases) {
        TempDir dir("parlando-update");
        std::ofstream(dir.path() / "no-version.json") << R"({"name":"parlando","latest":"9.9"})";
        auto options = c.options;
        if (options[0] == "--manifest-file") options[1] = (dir.path() / options[1]).string();
        LocalService updates(server, dir.path(), options);
        ASSERT_GT(updates.port(), 0);
        CheckerRig rig(updates.base(), dir.path() / "update.log", "");
        rig.alerts.answer = 1;  // "Позже" where there is a choice
        rig.checker->checkManually();
        ASSERT_TRUE(waitFor([&] { return rig.loop.runPending(), !rig.alerts.shown.empty(); }, 20s)) << c.options[0];
        EXPECT_EQ(rig.alerts.shown[0].messageText + "|" + rig.alerts.shown[0].informativeText, c.message + "|" + c.informative);
        EXPECT_THAT(updates.requests(),
                    ::testing::ElementsAre("GET /latest.json accept=application/json user-agent=Parlando/1.0.0"));
        EXPECT_EQ(rig.settings.contains(UpdateChecker::lastCheckKey), c.message.rfind("Не получилось", 0) != 0);
    }
}

TEST(UpdateServer, InstallerRunsWithTheURLAsOneArgumentAndLogsInOurFolder) {
    if (!haveProgram("bash")) GTEST_SKIP() << "bash is not installed";
    TempDir dir("parlando-installer");
    const fs::path bin = dir.path() / "bin", state = dir.path() / "data" / "Parlando";
    fs::create_directories(bin);
    // The stand-in curl records its arguments and "downloads" a script.
    std::ofstream(bin / "curl") << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + (dir.path() / "curl-args").string() +
                                       "'\necho 'echo installer ran as $0'\n";
    fs::permissions(bin / "curl", fs::perms::owner_all);
    const std::string hostile = "http://127.0.0.1:9/x\";touch " + (dir.path() / "pwned").string() + ";\"";
    const std::string path = bin.string() + ":/usr/bin:/bin";
    applyToProcess({{"PATH", path}});  // the child inherits ours, like the app's
    CheckerRig rig(hostile, state / "update.log", path);
    rig.checker->runUpdateScript();
    ASSERT_TRUE(waitFor([&] { return readFile(state / "update.log").find("installer ran") != std::string::npos; }, 10s))
        << readFile(state / "update.log");
    EXPECT_EQ(readFile(state / "update.log"), "installer ran as bash\n");
    EXPECT_EQ(readFile(dir.path() / "curl-args"), "-fsSL\n" + hostile + "/update.sh\n");
    EXPECT_FALSE(fs::exists(dir.path() / "pwned"));

    // Without curl the launch is refused up front, with the failure alert.
    fs::remove(bin / "curl");
    fs::create_symlink("/bin/bash", bin / "bash");
    CheckerRig noCurl("http://127.0.0.1:9", state / "update.log", bin.string());
    noCurl.checker->runUpdateScript();
    ASSERT_EQ(noCurl.alerts.shown.size(), 1u);
    EXPECT_EQ(noCurl.alerts.shown[0].messageText + "|" + noCurl.alerts.shown[0].informativeText,
              "Не получилось проверить обновления|curl was not found on PATH; install it to update Parlando");
}
