#pragma once
// Modal alerts drawn with Qt Widgets: the message in bold, the informative
// text below it, one line edit per field (masked when secure), the buttons in
// a row. The first button is the default (Return), Escape or closing the
// window answers -1, and the first field has the keyboard focus. A tray app
// has no window of its own, so the alert raises itself above other windows.
#include "app/Alert.h"

namespace parlando {

class QtAlertPresenter final : public AlertPresenter {
public:
    // Object names, for tests and accessibility tools that look the widgets up.
    static constexpr const char* dialogName = "parlandoAlert";
    static constexpr const char* fieldNamePrefix = "alertField";    // + index
    static constexpr const char* buttonNamePrefix = "alertButton";  // + index
    static constexpr int fieldWidth = 380;

    // Main thread only; runs a nested event loop until answered.
    AlertResult runModal(const AlertSpec& spec) override;
};

}  // namespace parlando
