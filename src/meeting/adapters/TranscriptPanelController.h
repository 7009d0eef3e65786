#pragma once
// The transcript panel as a Qt window: a small dark utility window that stays
// above ordinary windows on every workspace and never takes the keyboard focus
// (the user keeps typing where he was), with a "Copy all" button in its
// bottom-right corner. Its outer frame is kept in the settings and restored
// exactly. Built on first use; closing it only hides it.
#include "core/Settings.h"
#include "meeting/PanelFrame.h"
#include "meeting/TranscriptPanel.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>

class QPlainTextEdit;
class QPushButton;

namespace parlando {

class TranscriptPanelController final : public QObject, public TranscriptPanel {
    Q_OBJECT
public:
    explicit TranscriptPanelController(Settings& settings);
    ~TranscriptPanelController() override;

    void showForNewMeeting() override;
    void append(const std::string& line) override;
    void hide() override;
    void reopen() override;
    // The button's action: the whole text to the clipboard; nothing when empty.
    void copyAll();

    // The window once built (tests and the demo look at it).
    QWidget* window() const { return panel_.get(); }
    QString text() const;

    // The window's close button, its moves and resizes.
    void windowShouldClose();
    void windowDidMoveOrResize();

private:
    void buildPanel();
    void bringToFront();
    void applyWindowManagerHints();
    void settleFrame();
    QRect primaryScreenRect() const;

    Settings& settings_;
    std::unique_ptr<QWidget> panel_;
    QPointer<QPlainTextEdit> textView_;
    QPointer<QPushButton> copyButton_;
    // The restored frame the window manager has yet to take; no frame is
    // written until it has (or until it plainly will not).
    std::optional<PanelRect> pendingFrame_;
    bool settled_ = false;
    int settleTries_ = 0;
    QTimer settleTimer_;
};

}  // namespace parlando
