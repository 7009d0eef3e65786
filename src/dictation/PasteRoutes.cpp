#include "dictation/PasteRoutes.h"

namespace parlando {
namespace {

template <typename Option, typename Port>
Port* firstWorking(const std::vector<Option>& options, Port* (*portOf)(const Option&), std::string& name,
                   std::string& skipped) {
    for (const auto& option : options) {
        Port* port = portOf(option);
        if (port == nullptr) continue;
        const auto why = port->unavailable();
        if (!why) {
            name = option.name;
            return port;
        }
        skipped += (skipped.empty() ? "" : "; ") + option.name + ": " + *why;
    }
    return nullptr;
}

}  // namespace

PasteRoutes::PasteRoutes(Log& log, std::vector<ClipboardOption> clipboards, std::vector<KeysOption> keys)
    : log_(log), clipboards_(std::move(clipboards)), keyOptions_(std::move(keys)) {}

void PasteRoutes::decide() {
    if (decided_) return;
    decided_ = true;
    clipboard_ = firstWorking<ClipboardOption, Clipboard>(
        clipboards_, [](const ClipboardOption& o) { return o.clipboard; }, clipboardName_, noClipboardWhy_);
    keys_ = firstWorking<KeysOption, PasteKeys>(
        keyOptions_, [](const KeysOption& o) { return o.keys; }, keysName_, noKeysWhy_);
    std::string line = "paste: clipboard via " + clipboardName_ + ", shortcut via " + keysName_;
    std::string skipped = noClipboardWhy_;
    if (!noKeysWhy_.empty()) skipped += (skipped.empty() ? "" : "; ") + noKeysWhy_;
    if (!skipped.empty()) line += " (" + skipped + ")";
    if (noClipboardWhy_.empty()) noClipboardWhy_ = "no clipboard on this system";
    if (noKeysWhy_.empty()) noKeysWhy_ = "no way to type keys on this system";
    log_.append(line);
}

std::optional<std::string> PasteRoutes::ClipboardFacade::unavailable() {
    routes_.decide();
    if (routes_.clipboard_ == nullptr) return routes_.noClipboardWhy_;
    return routes_.clipboard_->unavailable();
}

bool PasteRoutes::ClipboardFacade::setText(const std::string& text) {
    routes_.decide();
    return routes_.clipboard_ != nullptr && routes_.clipboard_->setText(text);
}

bool PasteRoutes::ClipboardFacade::setPrimarySelection(const std::string& text) {
    routes_.decide();
    return routes_.clipboard_ != nullptr && routes_.clipboard_->setPrimarySelection(text);
}

bool PasteRoutes::ClipboardFacade::holds(const std::string& text) {
    routes_.decide();
    return routes_.clipboard_ != nullptr && routes_.clipboard_->holds(text);
}

std::optional<std::string> PasteRoutes::KeysFacade::unavailable() {
    routes_.decide();
    if (routes_.keys_ == nullptr) return routes_.noKeysWhy_;
    return routes_.keys_->unavailable();
}

std::optional<WindowClass> PasteRoutes::KeysFacade::focusedWindowClass() {
    routes_.decide();
    return routes_.keys_ != nullptr ? routes_.keys_->focusedWindowClass() : std::nullopt;
}

bool PasteRoutes::KeysFacade::send(PasteShortcut shortcut, std::string& why) {
    routes_.decide();
    if (routes_.keys_ == nullptr) {
        why = routes_.noKeysWhy_;
        return false;
    }
    return routes_.keys_->send(shortcut, why);
}

}  // namespace parlando
