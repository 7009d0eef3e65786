// The transcript panel on a private X server with a real window manager
// (openbox). That it never takes the focus from the application the user
// types in is seen end to end (MeetingEndToEnd pastes "Copy all" there).
#include "testenv/FakeDBusServices.h"
#include "meeting/PanelFrame.h"
#include "meeting/adapters/TranscriptPanelController.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QImage>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QWindow>

#include <X11/Xlib.h>

#include <thread>

using namespace parlando;
using namespace parlando::testing;
using namespace parlando::testenv;
using namespace std::chrono_literals;

namespace {

// The window manager's frame around a client window, as X reports it.
QRect wmFrame(Display* d, Window w) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned n = 0;
    for (; XQueryTree(d, w, &root, &parent, &children, &n) && parent != root; w = parent) XFree(children);
    XFree(children);
    XWindowAttributes a{};
    XGetWindowAttributes(d, w, &a);
    return QRect(a.x, a.y, a.width + 2 * a.border_width, a.height + 2 * a.border_width);
}

}  // namespace

TEST(TranscriptPanel, FloatsWithoutFocusKeepsItsFrameHidesOnCloseAndCopies) {
    for (const char* tool : {"Xvfb", "openbox", "xprop", "xdotool", "import"})
        if (!haveProgram(tool)) GTEST_SKIP() << tool << " missing";
    TempDir dir("parlando-panel");
    XServer x(dir.path(), XServer::Options{false, 1280, 800});
    const auto env = isolatedEnv(dir.path(), {x.env(), {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}}});
    Process wm = startWindowManager(env, dir.path());
    ASSERT_TRUE(wm.running());
    std::this_thread::sleep_for(1s);  // openbox answers a moment before it manages new windows
    applyToProcess(env);
    applyToProcess({{"QT_QPA_PLATFORM", "xcb"}});
    qtApp();
    Display* d = XOpenDisplay(x.display().c_str());
    ASSERT_NE(d, nullptr);

    MemorySettings settings;
    auto panel = std::make_unique<TranscriptPanelController>(settings);
    panel->append("dropped: never built");
    panel->showForNewMeeting();
    for (int i = 0; i < 120; ++i) panel->append("[10:00:00] [Я] строка номер " + std::to_string(i));
    ASSERT_TRUE(pumpUntil([&] { return panel->window()->windowHandle()->isExposed(); }, 10000));
    pumpFor(500);
    QScrollBar* bar = panel->window()->findChild<QPlainTextEdit*>()->verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum()) << "follows the end";
    bar->setValue(0);
    panel->append("a line while the reader is up");
    EXPECT_EQ(bar->value(), 0) << "a reader scrolled up keeps his place";
    EXPECT_FALSE(settings.contains(PanelFrame::settingKey)) << "nothing saved until moved";
    const std::string props = run({"xprop", "-id", std::to_string(panel->window()->winId())}, env).out;
    for (const char* hint : {"_NET_WM_STATE_ABOVE", "_NET_WM_WINDOW_TYPE_UTILITY", "_NET_WM_DESKTOP(CARDINAL) = 4294967295",
                             "accepts input or input focus: False"})
        EXPECT_NE(props.find(hint), std::string::npos) << hint << "\n" << props;
    // The dark panel with its white lines is on the screen.
    ASSERT_TRUE(x.screenshot(dir.path() / "shot.png"));
    const QImage shot(QString::fromStdString((dir.path() / "shot.png").string()));
    const QRect content = panel->window()->geometry();
    EXPECT_EQ(shot.pixelColor(content.left() + 3, content.center().y()), QColor(Qt::black));
    int white = 0;
    for (int px = content.left(); px < content.left() + 200; ++px) white += shot.pixelColor(px, content.top() + 12).lightness() > 200;
    EXPECT_GT(white, 5) << "the first line's glyphs";

    // Dragged by its title bar, the panel writes its outer frame, bottom-left origin.
    const QRect before = wmFrame(d, panel->window()->winId());
    run({"xdotool", "mousemove", "--sync", std::to_string(before.x() + 40), std::to_string(before.y() + 8), "sleep", "0.2",
         "mousedown", "1", "sleep", "0.2", "mousemove", "--sync", "200", "300", "sleep", "0.2", "mousemove", "--sync", "300",
         "200", "sleep", "0.2", "mouseup", "1"}, env);
    ASSERT_TRUE(pumpUntil([&] { return settings.contains(PanelFrame::settingKey); }, 10000));
    pumpFor(300);
    const QRect frame = wmFrame(d, panel->window()->winId());
    EXPECT_EQ(frame.topLeft(), QPoint(300 - 40, 200 - 8));
    const std::string saved = PanelFrame::format({frame.x(), 800 - frame.y() - frame.height(), frame.width(), frame.height()});
    EXPECT_EQ(settings.getString(PanelFrame::settingKey), saved);
    // The next launch's panel takes exactly that frame and leaves the text alone.
    panel = std::make_unique<TranscriptPanelController>(settings);
    panel->showForNewMeeting();
    EXPECT_TRUE(pumpUntil([&] { return wmFrame(d, panel->window()->winId()) == frame; }, 10000));
    pumpFor(500);
    EXPECT_EQ(settings.getString(PanelFrame::settingKey), saved);

    // The close button (WM_DELETE_WINDOW) only hides; lines keep arriving.
    panel->append("first");
    XEvent e{};
    e.xclient = {ClientMessage, 0, False, d, panel->window()->winId(), XInternAtom(d, "WM_PROTOCOLS", False), 32, {}};
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    XSendEvent(d, panel->window()->winId(), False, NoEventMask, &e);
    XFlush(d);
    EXPECT_TRUE(pumpUntil([&] { return !panel->window()->isVisible(); }, 10000));
    panel->append("second");
    panel->reopen();
    EXPECT_TRUE(pumpUntil([&] { return panel->window()->windowHandle()->isExposed(); }, 10000));
    auto* copyAll = panel->window()->findChild<QPushButton*>();
    copyAll->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "first\nsecond\n");
    QGuiApplication::clipboard()->setText("keep");
    panel->showForNewMeeting();
    copyAll->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "keep") << "an empty panel copies nothing";
    panel.reset();
    XCloseDisplay(d);
}
