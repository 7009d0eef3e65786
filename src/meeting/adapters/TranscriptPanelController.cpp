#include "meeting/adapters/TranscriptPanelController.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextCursor>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>

#include <algorithm>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace parlando {

namespace {

constexpr int buttonInset = 8;
constexpr int textInset = 6;
constexpr double backgroundAlpha = 0.85;
// How long a restored frame may take to reach the window manager.
constexpr int settleStepMs = 25;
constexpr int settleMaxTries = 80;

QRect toQRect(const PanelRect& r) { return QRect(r.x, r.y, r.width, r.height); }
PanelRect toPanelRect(const QRect& r) { return {r.x(), r.y(), r.width(), r.height()}; }

// The top-level window: forwards closing, moves and resizes to the controller
// and keeps the button in its corner.
class PanelWindow final : public QWidget {
public:
    explicit PanelWindow(TranscriptPanelController& owner) : owner_(owner) {}
    QWidget* textArea = nullptr;
    QWidget* cornerButton = nullptr;

protected:
    void closeEvent(QCloseEvent* e) override {
        e->ignore();
        owner_.windowShouldClose();
    }
    void moveEvent(QMoveEvent* e) override {
        QWidget::moveEvent(e);
        owner_.windowDidMoveOrResize();
    }
    void resizeEvent(QResizeEvent* e) override {
        QWidget::resizeEvent(e);
        if (textArea != nullptr) textArea->setGeometry(rect());
        if (cornerButton != nullptr) {
            cornerButton->adjustSize();
            cornerButton->move(width() - cornerButton->width() - buttonInset,
                               height() - cornerButton->height() - buttonInset);
            cornerButton->raise();
        }
        owner_.windowDidMoveOrResize();
    }
    void paintEvent(QPaintEvent*) override {
        // Without a compositor the alpha is dropped and the panel is plain black.
        QPainter p(this);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(rect(), QColor::fromRgbF(0, 0, 0, backgroundAlpha));
    }

private:
    TranscriptPanelController& owner_;
};

Display* x11Display() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 != nullptr ? x11->display() : nullptr;
}

}  // namespace

TranscriptPanelController::TranscriptPanelController(Settings& settings) : settings_(settings) {
    settleTimer_.setInterval(settleStepMs);
    connect(&settleTimer_, &QTimer::timeout, this, [this] { settleFrame(); });
}

TranscriptPanelController::~TranscriptPanelController() { settleTimer_.stop(); }

QRect TranscriptPanelController::primaryScreenRect() const {
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->geometry() : QRect(0, 0, 0, 0);
}

void TranscriptPanelController::buildPanel() {
    if (panel_) return;
    auto panel = std::make_unique<PanelWindow>(*this);
    // A utility window above ordinary ones that the window manager neither
    // focuses on showing nor gives the focus to on a click.
    panel->setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    panel->setAttribute(Qt::WA_ShowWithoutActivating);
    panel->setAttribute(Qt::WA_TranslucentBackground);
    panel->setFocusPolicy(Qt::NoFocus);
    panel->setWindowTitle(QStringLiteral("Meeting transcript"));
    panel->setMinimumSize(PanelFrame::minWidth, PanelFrame::minHeight);

    auto* text = new QPlainTextEdit(panel.get());
    text->setReadOnly(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    text->setFocusPolicy(Qt::NoFocus);
    text->setFrameShape(QFrame::NoFrame);
    text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(12);
    font.setWeight(QFont::Normal);
    text->setFont(font);
    text->document()->setDocumentMargin(textInset);
    text->setStyleSheet(QStringLiteral(
        "QPlainTextEdit { background: transparent; color: white; }"
        "QScrollBar:vertical { background: transparent; width: 8px; }"
        "QScrollBar::handle:vertical { background: rgba(255,255,255,90); border-radius: 4px; min-height: 24px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }"));
    text->viewport()->setAutoFillBackground(false);

    panel->textArea = text;
    textView_ = text;

    auto* button = new QPushButton(QStringLiteral("Copy all"), panel.get());
    button->setFocusPolicy(Qt::NoFocus);
    QFont small = button->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    button->setFont(small);
    button->setStyleSheet(QStringLiteral(
        "QPushButton { color: white; background: rgba(255,255,255,40); border: 1px solid rgba(255,255,255,70);"
        " border-radius: 4px; padding: 2px 8px; }"
        "QPushButton:pressed { background: rgba(255,255,255,90); }"));
    connect(button, &QPushButton::clicked, this, [this] { copyAll(); });
    copyButton_ = button;
    panel->cornerButton = button;

    const QRect primary = primaryScreenRect();
    std::optional<PanelRect> saved;
    if (auto stored = settings_.getString(PanelFrame::settingKey)) saved = PanelFrame::parse(*stored);
    if (saved) {
        std::vector<PanelRect> screens;
        for (QScreen* s : QGuiApplication::screens()) screens.push_back(toPanelRect(s->geometry()));
        const PanelRect frame = PanelFrame::keepOnScreen(PanelFrame::toDesktop(*saved, toPanelRect(primary)), screens);
        // The position is the outer frame's; the size is corrected for the
        // decorations once the window manager has reported them.
        panel->move(frame.x, frame.y);
        panel->resize(frame.width, frame.height);
        pendingFrame_ = frame;
    } else {
        panel->setGeometry(primary.x(), primary.y() + primary.height() - PanelFrame::defaultContentHeight,
                           PanelFrame::defaultContentWidth, PanelFrame::defaultContentHeight);
    }
    panel->textArea->setGeometry(panel->rect());
    panel_ = std::move(panel);
}

void TranscriptPanelController::applyWindowManagerHints() {
    // Qt sets the utility type (Tool), keep-above (StaysOnTop), no input focus
    // (WM_HINTS) and a zero user time on showing (ShowWithoutActivating). It
    // has no flag for every workspace: that is _NET_WM_DESKTOP 0xFFFFFFFF and
    // the sticky state, written before each mapping, as a window manager
    // drops the state of a withdrawn window.
    Display* d = x11Display();
    if (d == nullptr || !panel_) return;
    const auto w = static_cast<Window>(panel_->winId());
    const Atom netState = XInternAtom(d, "_NET_WM_STATE", False);
    const Atom sticky = XInternAtom(d, "_NET_WM_STATE_STICKY", False);
    const Atom above = XInternAtom(d, "_NET_WM_STATE_ABOVE", False);
    const Atom desktop = XInternAtom(d, "_NET_WM_DESKTOP", False);

    std::vector<Atom> states;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, netState, 0, 64, False, XA_ATOM, &type, &format, &count, &after, &data) ==
            Success &&
        data != nullptr) {
        if (type == XA_ATOM && format == 32) {
            const auto* atoms = reinterpret_cast<const Atom*>(data);
            states.assign(atoms, atoms + count);
        }
        XFree(data);
    }
    for (Atom a : {sticky, above})
        if (std::find(states.begin(), states.end(), a) == states.end()) states.push_back(a);
    XChangeProperty(d, w, netState, XA_ATOM, 32, PropModeReplace, reinterpret_cast<unsigned char*>(states.data()),
                    static_cast<int>(states.size()));
    long all = 0xFFFFFFFF;
    XChangeProperty(d, w, desktop, XA_CARDINAL, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&all), 1);
    XFlush(d);
}

void TranscriptPanelController::bringToFront() {
    if (!panel_->isVisible()) {
        panel_->winId();  // the native window, to carry the hints before it is mapped
        applyWindowManagerHints();
        panel_->show();
        if (!settled_) {
            settleTries_ = 0;
            settleTimer_.start();
        }
    }
    // Above the other windows, without activating anything.
    panel_->raise();
}

void TranscriptPanelController::settleFrame() {
    QWindow* handle = panel_ ? panel_->windowHandle() : nullptr;
    const bool exposed = handle != nullptr && handle->isExposed();
    if (++settleTries_ > settleMaxTries) {
        settled_ = true;
    } else if (exposed && !pendingFrame_) {
        settled_ = true;
    } else if (exposed) {
        const QMargins m = handle->frameMargins();
        const QRect want = toQRect(*pendingFrame_);
        if (panel_->frameGeometry() == want) {
            settled_ = true;
        } else if (!m.isNull() || settleTries_ > 8) {
            const QSize content(want.width() - m.left() - m.right(), want.height() - m.top() - m.bottom());
            if (panel_->size() != content) panel_->resize(content);
            if (panel_->frameGeometry().topLeft() != want.topLeft()) panel_->move(want.topLeft());
        }
    }
    if (settled_) {
        settleTimer_.stop();
        pendingFrame_.reset();
    }
}

void TranscriptPanelController::windowDidMoveOrResize() {
    if (!settled_ || !panel_ || !panel_->isVisible()) return;
    const PanelRect frame = PanelFrame::fromDesktop(toPanelRect(panel_->frameGeometry()), toPanelRect(primaryScreenRect()));
    const std::string text = PanelFrame::format(frame);
    if (settings_.getString(PanelFrame::settingKey) != text) settings_.setString(PanelFrame::settingKey, text);
}

void TranscriptPanelController::windowShouldClose() {
    if (panel_) panel_->hide();
}

void TranscriptPanelController::showForNewMeeting() {
    buildPanel();
    textView_->clear();
    bringToFront();
}

void TranscriptPanelController::reopen() {
    buildPanel();
    bringToFront();
}

void TranscriptPanelController::hide() {
    if (panel_) panel_->hide();
}

void TranscriptPanelController::append(const std::string& line) {
    if (!textView_) return;
    QScrollBar* bar = textView_->verticalScrollBar();
    const bool follow = PanelFrame::followsEnd(bar->value(), bar->maximum());
    // A cursor of our own: a selection the reader made stays where it is.
    QTextCursor end(textView_->document());
    end.movePosition(QTextCursor::End);
    end.insertText(QString::fromStdString(line) + QLatin1Char('\n'));
    if (follow) bar->setValue(bar->maximum());
}

QString TranscriptPanelController::text() const { return textView_ ? textView_->toPlainText() : QString(); }

void TranscriptPanelController::copyAll() {
    const QString all = text();
    if (all.isEmpty()) return;
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear(QClipboard::Clipboard);
    clipboard->setText(all, QClipboard::Clipboard);
}

}  // namespace parlando
