#include "dictation/adapters/QtClipboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace parlando {
namespace {

QClipboard* clipboard() {
    // Only a GUI application has a clipboard.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return nullptr;
    return QGuiApplication::clipboard();
}

}  // namespace

std::optional<std::string> QtClipboard::unavailable() {
    if (clipboard() == nullptr) return std::string("no GUI application");
    return std::nullopt;
}

bool QtClipboard::setText(const std::string& text) {
    QClipboard* cb = clipboard();
    if (cb == nullptr) return false;
    cb->setText(QString::fromStdString(text), QClipboard::Clipboard);
    return true;
}

bool QtClipboard::setPrimarySelection(const std::string& text) {
    QClipboard* cb = clipboard();
    if (cb == nullptr || !cb->supportsSelection()) return false;
    cb->setText(QString::fromStdString(text), QClipboard::Selection);
    return true;
}

bool QtClipboard::holds(const std::string& text) {
    QClipboard* cb = clipboard();
    // On X11 Qt learns at once when another client takes the selection; while
    // we own it, text() is our own copy, with no round trip to the server.
    return cb != nullptr && cb->ownsClipboard() && cb->text(QClipboard::Clipboard) == QString::fromStdString(text);
}

}  // namespace parlando
