// A meeting, for real: the parlando binary on a private X server with a
// window manager, its tray a StatusNotifierItem on a private bus whose
// com.canonical.dbusmenu we click, a private PulseAudio whose pipe microphone
// we feed while other speech plays through the speakers, a keyring with the
// key and the local recognition service answering per channel. The panel must
// show the lines without taking the focus, and the meeting's files must hold
// both sides.
#include "E2ESupport.h"
#include "app/adapters/DBusTypes.h"
#include "testenv/FakeDBusServices.h"

#include <gtest/gtest.h>

#include <regex>

using namespace parlando;
using namespace parlando::testing;
using namespace parlando::testenv;

TEST(MeetingEndToEnd, StartedAndStoppedFromTheTrayMenuRecordsBothSidesAndShowsThePanel) {
    for (const char* tool : {"Xvfb", "openbox", "xdotool", "pulseaudio", "pactl", "pacat", "dbus-daemon",
                             "gnome-keyring-daemon", "secret-tool", "espeak-ng", "sox"})
        if (!haveProgram(tool)) GTEST_SKIP() << tool << " missing";
    const std::string mine = "Привет, это я", theirs = "Добрый день, это собеседник";
    AppDesktop desk("parlando-meeting-e2e", true,
                    "after 160000 final ch=0 " + mine + "\nafter 320000 final ch=1 " + theirs + "\n", "");
    ASSERT_TRUE(desk.ready) << readFile(desk.dir.path() / "service.err");
    const fs::path& dir = desk.dir.path();
    auto& env = desk.env;
    const std::string myPcm = speechPcm(dir, "hello this is me speaking in the meeting", "mine");
    ASSERT_GT(speechPcm(dir, "good afternoon this is the other side of the call", "theirs").size(), 32000u);
    MicFeeder mic(desk.sound.pipePath());
    // Our side of the bus: the tray host's watcher and the menu's client.
    applyToProcess({{"QT_QPA_PLATFORM", "offscreen"}});
    qtApp();
    registerDBusTrayTypes();
    QDBusConnection client = QDBusConnection::connectToBus(QString::fromStdString(desk.bus.address()), "meeting-e2e");
    FakeWatcher watcher(client);
    say("private desktop with openbox, PulseAudio, keyring and the recognition service; starting parlando");
    Process app = desk.startApp();
    auto logHas = [&](const std::string& line, int ms) { return pumpUntil([&] { return desk.logged(line); }, ms); };
    ASSERT_TRUE(logHas("audio: always-on engine started", 30000)) << desk.log();
    ASSERT_TRUE(pumpUntil([&] { return !watcher.items.isEmpty(); }, 10000));
    auto menu = [&](const char* member, const QVariantList& args) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(watcher.items[0], "/MenuBar", "com.canonical.dbusmenu", member);
        call.setArguments(args);
        return callAndPump(client, call);
    };
    auto click = [&](const QString& label) {  // the item, found in a fresh layout, clicked
        DBusMenuLayoutItem root;
        menu("GetLayout", {0, -1, QStringList{}}).arguments().value(1).value<QDBusArgument>() >> root;
        for (const auto& item : root.children)
            if (item.properties.value("label").toString() == label)
                return menu("Event", {item.id, QString("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u}).type() ==
                       QDBusMessage::ReplyMessage;
        return false;
    };

    say("clicking \"Начать встречу\" in the tray's menu");
    ASSERT_TRUE(click("Начать встречу"));
    ASSERT_TRUE(logHas("meeting: started -> ", 15000)) << desk.log();
    say("speaking into the microphone while the other side plays through the speakers");
    mic.queue(myPcm);
    Process other = Process::spawn({"pacat", "-p", "-d", "speakers", "--format=s16le", "--rate=16000", "--channels=1",
                                    (dir / "theirs.raw").string()},
                                   env);
    const fs::path recordings = fs::path(env["HOME"]) / "Documents/Parlando-Recordings";
    fs::path folder;
    ASSERT_TRUE(pumpUntil(
        [&] {
            for (const auto& e : fs::directory_iterator(recordings)) folder = e.path();
            return readFile(folder / "transcript.md").find(theirs) != std::string::npos;
        },
        30000))
        << desk.log();
    other.wait(10s);

    // The panel shows the lines without having taken the focus: "Copy all", then Ctrl+V in the field.
    const std::string panelId = run({"xdotool", "search", "--onlyvisible", "--name", "Meeting transcript"}, env).out;
    ASSERT_FALSE(panelId.empty()) << "the panel is not on screen";
    if (demo()) desk.x.screenshot(dir / "panel.png"), say("screenshot of the panel: " + (dir / "panel.png").string());
    say("\"Copy all\" in the panel's corner (content 420 x 280 at the bottom left), then Ctrl+V into the text field");
    run({"xdotool", "mousemove", "390", "784", "sleep", "0.2", "click", "1", "sleep", "0.3"}, env);
    run({"xdotool", "key", "ctrl+v"}, env);
    const std::string lines =
        "\\[\\d\\d:\\d\\d:\\d\\d\\] \\[Я\\] " + mine + "\n\\[\\d\\d:\\d\\d:\\d\\d\\] \\[Собеседник\\] " + theirs + "\n";
    EXPECT_TRUE(pumpUntil([&] { return std::regex_match(readFile(dir / "target.text"), std::regex(lines)); }, 10000))
        << readFile(dir / "target.text");

    say("clicking \"Остановить встречу\"");
    ASSERT_TRUE(click("Остановить встречу"));
    ASSERT_TRUE(logHas("meeting: tail flushed, files closed", 10000)) << desk.log();
    mic.stop();
    EXPECT_FALSE(click("Остановить встречу")) << "the menu is back in its first form";
    EXPECT_TRUE(run({"xdotool", "search", "--onlyvisible", "--name", "Meeting transcript"}, env).out.empty());
    const std::string transcript = readFile(folder / "transcript.md");
    say("transcript.md:\n" + transcript);
    EXPECT_TRUE(std::regex_match(transcript, std::regex("# Meeting " + folder.filename().string() + "\n\n" + lines)));
    EXPECT_GT(soxStat((folder / "self.wav").string(), "RMS *amplitude"), 0.02) << "my side was recorded";
    EXPECT_GT(soxStat((folder / "others.wav").string(), "RMS *amplitude"), 0.02) << "the other side was recorded";
    EXPECT_EQ(desk.log().find(AppDesktop::apiKey), std::string::npos);
}
