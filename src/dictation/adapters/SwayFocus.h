#pragma once
// The focused window's identity from the compositor's IPC: Wayland does not
// tell clients which window has the focus, sway (GET_TREE) and Hyprland
// (activewindow) do. Used for the terminal rule of the paste shortcut.
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

// Hyprland's request socket: $XDG_RUNTIME_DIR/hypr/$HYPRLAND_INSTANCE_SIGNATURE/
// .socket.sock (/tmp/hypr/… before Hyprland 0.40); empty when none.
std::string hyprlandSocketPath();

// The active window's class (a Wayland window's app_id, an X window's
// WM_CLASS) as both names; nullopt when Hyprland does not answer within
// timeoutMs or no window is active.
std::optional<WindowClass> hyprlandFocusedWindow(const std::string& socketPath, int timeoutMs = 100);

// Whichever of the two runs; nullopt elsewhere.
std::optional<WindowClass> compositorFocusedWindow();

}  // namespace parlando
