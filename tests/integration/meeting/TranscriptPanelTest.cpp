// The transcript panel on a private X server with a real window manager
// (openbox), beside a text field of another process that has the focus.
#include "meeting/PanelFrame.h"
#include "meeting/adapters/TranscriptPanelController.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QWindow>

#include <X11/Xlib.h>

using namespace parlando;
using namespace parlando::testenv;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

bool pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s) {
    return waitFor([&] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); return pred(); }, timeout);
}
void pump(std::chrono::milliseconds ms) { pumpUntil([] { return false; }, ms); }

// The window manager's frame around a client window, as X reports it.
QRect wmFrame(Display* d, Window w) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned n = 0;
    while (XQueryTree(d, w, &root, &parent, &children, &n) && parent != root) {
        if (children) XFree(children);
        w = parent;
    }
    if (children) XFree(children);
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
    const auto env = isolatedEnv(dir.path(), {x.env()});
    Process wm = Process::spawn({"openbox", "--sm-disable"}, env, dir.path() / "wm.out", dir.path() / "wm.err");
    ASSERT_TRUE(waitFor([&] { return run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, env).out.find("window id") != std::string::npos; }, 20s));
    Process target = Process::spawn({PARLANDO_BINARY_DIR "/tools/paste-target/paste-target", "--out", (dir.path() / "target").string()},
                                    env, dir.path() / "target.out", dir.path() / "target.err");
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir.path() / "target.ready"); }, 20s));
    const fs::path typed = dir.path() / "target.text";
    auto typeAndCheck = [&](const std::string& keys, const std::string& expectedText) {
        run({"xdotool", "type", "--delay", "30", keys}, env);
        return pumpUntil([&] { return readFile(typed) == expectedText; }, 10s);
    };

    applyToProcess(env);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    static int argc = 1;
    static char name[] = "integration_meeting";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
    Display* d = XOpenDisplay(x.display().c_str());
    ASSERT_NE(d, nullptr);

    MemorySettings settings;
    auto panel = std::make_unique<TranscriptPanelController>(settings);
    panel->append("dropped: never built");
    panel->showForNewMeeting();
    for (int i = 0; i < 120; ++i) panel->append("[10:00:" + std::to_string(i % 60) + "] [Я] строка номер " + std::to_string(i));
    ASSERT_TRUE(pumpUntil([&] { return panel->window()->windowHandle() && panel->window()->windowHandle()->isExposed(); }));
    pump(500ms);
    auto* text = panel->window()->findChild<QPlainTextEdit*>();
    EXPECT_EQ(text->verticalScrollBar()->value(), text->verticalScrollBar()->maximum()) << "follows the end";
    text->verticalScrollBar()->setValue(0);
    panel->append("a line while the reader is up");
    EXPECT_EQ(text->verticalScrollBar()->value(), 0) << "a reader scrolled up keeps his place";
    EXPECT_TRUE(typeAndCheck("abc", "abc")) << "the other application keeps the keyboard";
    EXPECT_FALSE(settings.contains(PanelFrame::settingKey)) << "nothing saved until moved";
    // Content area 420 x 280 at the primary screen's bottom-left.
    EXPECT_EQ(panel->window()->geometry(), QRect(0, 800 - 280, 420, 280));

    const auto winId = std::to_string(panel->window()->winId());
    const std::string props = run({"xprop", "-id", winId}, env).out;
    for (const char* hint : {"_NET_WM_STATE_ABOVE", "_NET_WM_WINDOW_TYPE_UTILITY",
                             "_NET_WM_DESKTOP(CARDINAL) = 4294967295", "accepts input or input focus: False"})
        EXPECT_NE(props.find(hint), std::string::npos) << hint << "\n" << props;

    // The dark panel with white lines is on the screen.
    ASSERT_TRUE(x.screenshot(dir.path() / "shot.png"));
    const QImage shot(QString::fromStdString((dir.path() / "shot.png").string()));
    const QRect content = panel->window()->geometry();
    EXPECT_EQ(shot.pixelColor(content.left() + 3, content.center().y()), QColor(Qt::black));
    int white = 0;
    for (int y = content.top(); y < content.bottom(); ++y)
        for (int x2 = content.left(); x2 < content.left() + 200; ++x2) white += shot.pixelColor(x2, y).lightness() > 200;
    EXPECT_GT(white, 200);

    // On every workspace: still shown on the second one, unlike the text field.
    auto viewable = [&](Window w) { XWindowAttributes a{}; XGetWindowAttributes(d, w, &a); return a.map_state == IsViewable; };
    const Window field = std::stoul(run({"xdotool", "search", "--class", "paste-target"}, env).out);
    run({"xdotool", "set_desktop", "1"}, env);
    EXPECT_TRUE(pumpUntil([&] { return !viewable(field); }, 5s));
    EXPECT_TRUE(viewable(panel->window()->winId()));
    run({"xdotool", "set_desktop", "0"}, env);
    ASSERT_TRUE(pumpUntil([&] { return viewable(field); }, 5s));

    // Dragged by its title bar, the panel writes its outer frame, bottom-left origin.
    const QRect before = wmFrame(d, panel->window()->winId());
    run({"xdotool", "mousemove", std::to_string(before.x() + 40), std::to_string(before.y() + 8), "mousedown", "1",
         "mousemove", "--sync", "200", "300", "mousemove", "--sync", "300", "200", "mouseup", "1"}, env);
    ASSERT_TRUE(pumpUntil([&] { return settings.contains(PanelFrame::settingKey) && wmFrame(d, panel->window()->winId()) != before; }));
    pump(300ms);
    const QRect frame = wmFrame(d, panel->window()->winId());
    EXPECT_EQ(frame.topLeft(), QPoint(300 - 40, 200 - 8));
    const std::string saved = PanelFrame::format({frame.x(), 800 - frame.y() - frame.height(), frame.width(), frame.height()});
    EXPECT_EQ(settings.getString(PanelFrame::settingKey), saved);

    // A new panel (the next launch) takes exactly that frame and leaves the text alone.
    panel.reset();
    panel = std::make_unique<TranscriptPanelController>(settings);
    panel->showForNewMeeting();
    EXPECT_TRUE(pumpUntil([&] { return panel->window()->isVisible() && wmFrame(d, panel->window()->winId()) == frame; }))
        << "restored at " << wmFrame(d, panel->window()->winId()).x() << "," << wmFrame(d, panel->window()->winId()).y();
    pump(500ms);
    EXPECT_EQ(settings.getString(PanelFrame::settingKey), saved);

    // The close button only hides; lines keep arriving and show again on reopen.
    panel->append("first");
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = panel->window()->winId();
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, panel->window()->winId(), False, NoEventMask, &e);
    XFlush(d);
    EXPECT_TRUE(pumpUntil([&] { return !panel->window()->isVisible(); }));
    panel->append("second");
    panel->reopen();
    EXPECT_TRUE(pumpUntil([&] { return panel->window()->isVisible(); }));
    EXPECT_EQ(panel->text(), "first\nsecond\n");

    // "Copy all", clicked for real, fills the clipboard the other application pastes from.
    auto click = [&] {
        auto* button = panel->window()->findChild<QPushButton*>();
        const QPoint at = button->mapToGlobal(button->rect().center());
        run({"xdotool", "mousemove", std::to_string(at.x()), std::to_string(at.y()), "click", "1"}, env);
        pump(400ms);
    };
    click();
    run({"xdotool", "key", "ctrl+v"}, env);
    EXPECT_TRUE(pumpUntil([&] { return readFile(typed) == "abcfirst\nsecond\n"; })) << readFile(typed);
    EXPECT_TRUE(typeAndCheck("d", "abcfirst\nsecond\nd")) << "the click took no focus";
    QGuiApplication::clipboard()->setText("keep");
    panel->showForNewMeeting();
    click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "keep") << "an empty panel copies nothing";
    panel.reset();
    XCloseDisplay(d);
}
