// paste-target --out PREFIX [--class NAME] [--mode editor|terminal|xterm]
//
// One window with a text field that has the keyboard focus. Writes
// PREFIX.keys (one line per key press: "ctrl+shift+v", ...), PREFIX.text (the
// field's whole text, rewritten on every change) and PREFIX.ready once the
// window is focused (by the X server, or on Wayland by the compositor).
// Modes: editor pastes like any Qt text field; terminal
// ignores Ctrl+V and pastes the clipboard on Ctrl+Shift+V; xterm pastes the
// primary selection on Shift+Insert and nothing else.
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QTimer>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <string>

namespace {

QString outPrefix;

void appendLine(const QString& file, const QString& line) {
    QFile f(file);
    if (f.open(QIODevice::Append | QIODevice::Text)) f.write((line + "\n").toUtf8());
}

void replaceFile(const QString& file, const QString& text) {
    QSaveFile f(file);
    if (f.open(QIODevice::WriteOnly)) {
        f.write(text.toUtf8());
        f.commit();
    }
}

QString describe(const QKeyEvent* e) {
    QString s;
    if (e->modifiers() & Qt::ControlModifier) s += "ctrl+";
    if (e->modifiers() & Qt::AltModifier) s += "alt+";
    if (e->modifiers() & Qt::MetaModifier) s += "super+";
    if (e->modifiers() & Qt::ShiftModifier) s += "shift+";
    // A modifier key alone is named without the modifier it sets.
    switch (e->key()) {
        case Qt::Key_Control: return "control";
        case Qt::Key_Shift: return "shift";
        case Qt::Key_Alt: return "alt";
        case Qt::Key_Meta:
        case Qt::Key_Super_L: return "super";
        case Qt::Key_Insert: return s + "insert";
        default: break;
    }
    if (e->key() >= Qt::Key_A && e->key() <= Qt::Key_Z) return s + QChar('a' + (e->key() - Qt::Key_A));
    return s + QString::number(e->key(), 16);
}

class Field final : public QPlainTextEdit {
public:
    explicit Field(QString mode) : mode_(std::move(mode)) {}

protected:
    void keyPressEvent(QKeyEvent* e) override {
        appendLine(outPrefix + ".keys", describe(e));
        const auto mods = e->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier | Qt::MetaModifier);
        if (mode_ == "terminal") {
            if (e->key() == Qt::Key_V && mods == (Qt::ControlModifier | Qt::ShiftModifier)) {
                insertPlainText(QGuiApplication::clipboard()->text(QClipboard::Clipboard));
                return;
            }
            if (mods & Qt::ControlModifier) return;  // Ctrl+V belongs to the program in the terminal
        } else if (mode_ == "xterm") {
            if (e->key() == Qt::Key_Insert && mods == Qt::ShiftModifier) {
                insertPlainText(QGuiApplication::clipboard()->text(QClipboard::Selection));
                return;
            }
            if (mods & Qt::ControlModifier) return;
        }
        QPlainTextEdit::keyPressEvent(e);
    }

private:
    QString mode_;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QString wmClass = "paste-target", mode = "editor";
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--out") outPrefix = args[i + 1];
        else if (args[i] == "--class") wmClass = args[i + 1];
        else if (args[i] == "--mode") mode = args[i + 1];
    }
    if (outPrefix.isEmpty()) {
        std::fprintf(stderr, "usage: paste-target --out PREFIX [--class NAME] [--mode editor|terminal|xterm]\n");
        return 2;
    }
    // On Wayland the class is the app_id, which comes from the desktop file name.
    QGuiApplication::setDesktopFileName(wmClass);
    Field field(mode);
    field.setWindowTitle("paste-target " + wmClass);
    field.resize(400, 200);
    QObject::connect(&field, &QPlainTextEdit::textChanged,
                     [&] { replaceFile(outPrefix + ".text", field.toPlainText()); });

    // Name the window the way the terminal under test would.
    field.winId();
    Display* dpy = XOpenDisplay(nullptr);
    if (dpy != nullptr) {
        std::string name = wmClass.toStdString();
        XClassHint hint{name.data(), name.data()};
        XSetClassHint(dpy, static_cast<Window>(field.winId()), &hint);
        XFlush(dpy);
    }
    field.show();
    field.activateWindow();
    field.setFocus();

    // Ready once the server has given us the focus.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (dpy == nullptr) {
            // Wayland: the compositor's keyboard focus makes the window active.
            if (field.isActiveWindow() && field.hasFocus()) {
                replaceFile(outPrefix + ".ready", "wayland");
                poll.stop();
            }
            return;
        }
        Window focus = None;
        int revert = 0;
        XGetInputFocus(dpy, &focus, &revert);
        if (focus == static_cast<Window>(field.winId()) && field.hasFocus()) {
            replaceFile(outPrefix + ".ready", QString::number(field.winId()));
            poll.stop();
        } else {
            field.activateWindow();
        }
    });
    poll.start(50);
    const int rc = QApplication::exec();
    if (dpy != nullptr) XCloseDisplay(dpy);
    return rc;
}
