#pragma once
// The clipboard through Qt: on X11 the application owns the selection and
// serves it from its event loop; on Wayland Qt offers it to the compositor.
#include "dictation/PasteDelivery.h"

namespace parlando {

class QtClipboard final : public Clipboard {
public:
    std::optional<std::string> unavailable() override;
    bool setText(const std::string& text) override;
    bool setPrimarySelection(const std::string& text) override;
    bool holds(const std::string& text) override;
};

}  // namespace parlando
