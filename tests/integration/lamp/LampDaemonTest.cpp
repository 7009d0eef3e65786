// The lamp client against tools/lamp-daemon over real sockets,
// on the Qt network thread.
#include "core/VirtualMainLoop.h"
#include "core/adapters/QtHttpClient.h"
#include "fakes/Fakes.h"
#include "lamp/LightControl.h"
#include "testenv/FakeDBusServices.h"
#include "testenv/LocalService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;
using namespace parlando::testenv;
using namespace std::chrono_literals;

namespace {

struct DaemonRig {
    TempDir dir{"parlando-lamp"};
    LocalService lamp;
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    QtHttpClient http;
    std::shared_ptr<LightControl> light = LightControl::create(loop, settings, log, http);

    explicit DaemonRig(std::vector<std::string> options)
        : lamp(std::string(PARLANDO_BINARY_DIR) + "/tools/lamp-daemon/lamp-daemon", dir.path(), std::move(options)) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1), qtApp();  // the network thread needs an application
        settings.setBool(LightControl::Keys::enabled, true);
        settings.setString(LightControl::Keys::host, "127.0.0.1");
        settings.setInt(LightControl::Keys::port, lamp.port());
    }
};

}  // namespace

TEST(LampDaemon, DeadOrSlowLampCostsAtMostTwoSecondsAndBlocksNothing) {
    struct Case { std::vector<std::string> options; std::string logged; double minSeconds, maxSeconds; } cases[] = {
        {{"--status", "204"}, "light: red failed — HTTP 204", 0.0, 1.5},
        {{"--drop"}, "light: red failed — ", 0.0, 1.5},
        // Silent: the 1 s idle limit. One byte every 0.3 s: only the 2 s total limit stops it.
        {{"--never-answer"}, "light: red failed — The request timed out (no data for 1000 ms).", 0.9, 1.9},
        {{"--dribble-ms", "300"}, "light: red failed — The request timed out after 2000 ms.", 1.9, 3.0},
    };
    for (const auto& c : cases) {
        DaemonRig rig(c.options);
        const auto start = std::chrono::steady_clock::now();
        rig.light->set(LightControl::Phase::recording);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms) << "set() returns at once";
        ASSERT_TRUE(waitFor([&] { return rig.loop.runPending(), rig.log.contains(c.logged); }, 10s)) << ::testing::PrintToString(rig.log.lines());
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_TRUE(took >= c.minSeconds && took <= c.maxSeconds) << c.options[0] << " took " << took;
        // Qt sends a GET once more when the first connection closed unanswered.
        EXPECT_THAT(rig.lamp.requests(), ::testing::Each("GET /mode/red"));
    }
}
