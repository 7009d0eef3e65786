#pragma once
// The focused window's identity from sway's IPC (GET_TREE): Wayland does not
// tell clients which window has the focus, sway does. Used for the terminal
// rule of the paste shortcut.
#include "dictation/PasteDelivery.h"

#include <optional>
#include <string>

namespace parlando {

// $SWAYSOCK, else a sway-ipc socket of ours in $XDG_RUNTIME_DIR; empty when none.
std::string swaySocketPath();

// The focused window: a Wayland window's app_id as both names, or an X
// window's WM_CLASS. nullopt when sway does not answer within timeoutMs or
// nothing has the focus.
std::optional<WindowClass> swayFocusedWindow(const std::string& socketPath, int timeoutMs = 100);

}  // namespace parlando
