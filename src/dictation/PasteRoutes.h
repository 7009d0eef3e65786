#pragma once
// Which clipboard and which key path a paste goes through. A desktop may offer
// one and not the other, so each is chosen on its own: the first that works,
// in the order given, decided once per run and logged.
#include "core/Log.h"
#include "dictation/PasteDelivery.h"

#include <string>
#include <vector>

namespace parlando {

class PasteRoutes {
public:
    struct ClipboardOption {
        std::string name;  // for the log: "Wayland data control", "Qt (X11)"
        Clipboard* clipboard;
    };
    struct KeysOption {
        std::string name;
        PasteKeys* keys;
    };

    PasteRoutes(Log& log, std::vector<ClipboardOption> clipboards, std::vector<KeysOption> keys);
    PasteRoutes(const PasteRoutes&) = delete;
    PasteRoutes& operator=(const PasteRoutes&) = delete;

    // Chooses both now if not chosen yet; the first use chooses otherwise.
    void decide();
    bool decided() const { return decided_; }
    // "none" until something works.
    const std::string& clipboardName() const { return clipboardName_; }
    const std::string& keysName() const { return keysName_; }

    // What PasteDelivery uses: the chosen ones, or the reasons none works.
    Clipboard& clipboard() { return clipboardFacade_; }
    PasteKeys& keys() { return keysFacade_; }

private:
    class ClipboardFacade final : public Clipboard {
    public:
        explicit ClipboardFacade(PasteRoutes& r) : routes_(r) {}
        std::optional<std::string> unavailable() override;
        bool setText(const std::string& text) override;
        bool setPrimarySelection(const std::string& text) override;
        bool holds(const std::string& text) override;

    private:
        PasteRoutes& routes_;
    };
    class KeysFacade final : public PasteKeys {
    public:
        explicit KeysFacade(PasteRoutes& r) : routes_(r) {}
        std::optional<std::string> unavailable() override;
        std::optional<WindowClass> focusedWindowClass() override;
        bool send(PasteShortcut shortcut, std::string& why) override;

    private:
        PasteRoutes& routes_;
    };

    Log& log_;
    std::vector<ClipboardOption> clipboards_;
    std::vector<KeysOption> keyOptions_;
    bool decided_ = false;
    Clipboard* clipboard_ = nullptr;
    PasteKeys* keys_ = nullptr;
    std::string clipboardName_ = "none";
    std::string keysName_ = "none";
    std::string noClipboardWhy_;
    std::string noKeysWhy_;
    ClipboardFacade clipboardFacade_{*this};
    KeysFacade keysFacade_{*this};
};

}  // namespace parlando
