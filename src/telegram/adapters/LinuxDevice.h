#pragma once
// How this machine introduces itself to Telegram: its active-sessions list
// shows the model and the system ("Linux desktop", "Debian GNU/Linux 12
// (bookworm), Linux 6.1.0-18-amd64").
#include "telegram/TelegramClient.h"

#include <filesystem>

namespace parlando {

// osRelease: the os-release file (its PRETTY_NAME names the distribution).
TelegramClient::Device linuxTelegramDevice(const std::filesystem::path& osRelease = "/etc/os-release");

}  // namespace parlando
