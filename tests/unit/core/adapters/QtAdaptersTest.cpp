// The Qt main loop and the INI settings against the real Qt event loop and files.
#include "core/adapters/QtMainLoop.h"
#include "core/adapters/QtSettings.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

using namespace parlando;

namespace {

void app() {
    static int argc = 1;
    static char name[] = "qt-adapters-test", *argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
}

// Runs the Qt loop until done() or the time limit.
bool spin(const std::function<bool()>& done, int limitMs = 5000) {
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(limitMs);
    while (!done() && guard.isActive()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    return done();
}

}  // namespace

// Posts from another thread run on the main thread in order; timers fire no
// earlier than asked; cancel works from inside a callback, twice harmlessly.
TEST(QtMainLoop, PostsAndTimers) {
    app();
    QtMainLoop loop;
    std::vector<int> got;
    bool allOnMain = true;
    std::thread producer([&] {
        for (int i = 0; i < 500; ++i)
            loop.post([&, i] {
                allOnMain = allOnMain && loop.isMainThread();
                got.push_back(i);
            });
    });
    producer.join();
    const MonoTime start = loop.now();
    MonoTime fired{};
    bool cancelledRan = false;
    int ticks = 0;
    TimerId repeating = 0;
    loop.after(millis(50), [&] { fired = loop.now(); });
    const TimerId doomed = loop.after(millis(80), [&] { cancelledRan = true; });
    loop.after(millis(60), [&] { loop.cancel(doomed); });
    repeating = loop.every(millis(10), [&] {
        if (++ticks == 5) loop.cancel(repeating);
    });
    ASSERT_TRUE(spin([&] { return fired != MonoTime{} && ticks >= 5 && got.size() == 500; }));
    spin([] { return false; }, 150);  // past the cancelled one's deadline
    for (int i = 0; i < 500; ++i) ASSERT_EQ(got[std::size_t(i)], i);
    EXPECT_TRUE(allOnMain);
    EXPECT_GE(fired - start, millis(50));
    EXPECT_FALSE(cancelledRan);
    EXPECT_EQ(ticks, 5);
    loop.cancel(doomed);
}

// What timers and posted work own may cancel timers as it goes, also while
// the loop itself is being torn down (a session quitting with the app).
TEST(QtMainLoop, TearDownDropsTimersWhoseCapturesCancelTimers) {
    app();
    auto loop = std::make_unique<QtMainLoop>();
    struct Canceller {
        QtMainLoop* loop;
        TimerId id;
        ~Canceller() { loop->cancel(id); }
    };
    for (int i = 0; i < 20; ++i) {
        const TimerId other = loop->after(seconds(60), [] {});
        auto owner = std::make_shared<Canceller>(Canceller{loop.get(), other});
        loop->after(seconds(60), [owner] {});
        loop->post([owner] {});
    }
    loop.reset();  // ASan sees a table changed under its own iteration
}

TEST(QtSettings, KeepsTheProductsKeysInAnIniFile) {
    app();
    const auto dir = std::filesystem::temp_directory_path() / ("parlando-qtsettings-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    const auto file = dir / "Parlando" / "Parlando.conf";
    {
        QtSettings s(file);
        EXPECT_FALSE(s.getBool("ParlandoMuted"));
        s.setBool("ParlandoMuted", false);
        s.setString("ParlandoMicDeviceUID", "alsa_input.usb-mic");
        s.setInt("ParlandoLightPort", 7420);
    }
    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    EXPECT_NE(text.str().find("ParlandoMuted=false"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("ParlandoMicDeviceUID=alsa_input.usb-mic"), std::string::npos) << text.str();
    QtSettings again(file);  // values come back typed; reading a file others wrote: the end-to-end tests
    EXPECT_EQ(again.getInt("ParlandoLightPort"), 7420);
    again.remove("ParlandoMicDeviceUID");
    EXPECT_FALSE(again.contains("ParlandoMicDeviceUID"));
    std::filesystem::remove_all(dir);
}
