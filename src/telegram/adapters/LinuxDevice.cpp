#include "telegram/adapters/LinuxDevice.h"

#include <sys/utsname.h>

#include <fstream>
#include <string>

namespace parlando {

namespace {

// PRETTY_NAME="Debian GNU/Linux 12 (bookworm)" -> Debian GNU/Linux 12 (bookworm)
std::string prettyName(const std::filesystem::path& osRelease) {
    std::ifstream in(osRelease);
    if (!in) in.open("/usr/lib/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        std::string value = line.substr(12);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return {};
}

}  // namespace

TelegramClient::Device linuxTelegramDevice(const std::filesystem::path& osRelease) {
    TelegramClient::Device device;
    device.model = "Linux desktop";
    std::string kernel;
    struct utsname u {};
    if (::uname(&u) == 0) kernel = std::string(u.sysname) + " " + u.release;
    const std::string distribution = prettyName(osRelease);
    device.systemVersion = distribution.empty() ? kernel : kernel.empty() ? distribution : distribution + ", " + kernel;
    if (device.systemVersion.empty()) device.systemVersion = "Linux";
    device.applicationVersion = PARLANDO_VERSION;
    return device;
}

}  // namespace parlando
