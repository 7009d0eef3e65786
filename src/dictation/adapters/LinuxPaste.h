#pragma once
// Paste delivery on a Linux desktop: Qt's clipboard and XTest shortcuts. One
// object for the composition root to own; needs the QGuiApplication to exist.
#include "dictation/PasteDelivery.h"
#include "dictation/adapters/QtClipboard.h"
#include "dictation/adapters/X11PasteKeys.h"

namespace parlando {

class LinuxPaste {
public:
    LinuxPaste(MainLoop& loop, Log& log, Settings& settings) : delivery_(loop, log, settings, clipboard_, keys_) {}

    PasteDelivery& delivery() { return delivery_; }

private:
    QtClipboard clipboard_;
    X11PasteKeys keys_;
    PasteDelivery delivery_;
};

}  // namespace parlando
