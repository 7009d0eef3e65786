#include "dictation/adapters/SwayFocus.h"

#include <nlohmann/json.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace parlando {
namespace {

constexpr char magic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::uint32_t getTree = 4;
constexpr std::size_t maxReply = 16U << 20;

// Reads exactly n bytes before the deadline.
bool readAll(int fd, char* out, std::size_t n, std::chrono::steady_clock::time_point deadline) {
    std::size_t done = 0;
    while (done < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        const ssize_t r = ::read(fd, out + done, n - done);
        if (r <= 0) return false;
        done += static_cast<std::size_t>(r);
    }
    return true;
}

const nlohmann::json* findFocused(const nlohmann::json& node) {
    if (node.value("focused", false)) return &node;
    for (const char* key : {"nodes", "floating_nodes"}) {
        if (!node.contains(key) || !node[key].is_array()) continue;
        for (const auto& child : node[key])
            if (const auto* f = findFocused(child)) return f;
    }
    return nullptr;
}

// A connected Unix stream socket, or -1.
int connectTo(const std::string& path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

}  // namespace

std::string swaySocketPath() {
    if (const char* s = std::getenv("SWAYSOCK"); s != nullptr && *s != '\0') return s;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || std::getenv("WAYLAND_DISPLAY") == nullptr) return {};
    std::error_code ec;
    const std::string prefix = "sway-ipc." + std::to_string(::getuid()) + ".";
    for (const auto& entry : std::filesystem::directory_iterator(runtime, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) return entry.path().string();
    }
    return {};
}

std::optional<WindowClass> swayFocusedWindow(const std::string& socketPath, int timeoutMs) {
    const int fd = connectTo(socketPath);
    if (fd < 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::optional<WindowClass> result;
    char header[14];
    std::memcpy(header, magic, sizeof magic);
    const std::uint32_t request[2] = {0, getTree};
    std::memcpy(header + sizeof magic, request, sizeof request);
    if (::write(fd, header, sizeof header) == static_cast<ssize_t>(sizeof header) &&
        readAll(fd, header, sizeof header, deadline) && std::memcmp(header, magic, sizeof magic) == 0) {
        std::uint32_t length = 0;
        std::memcpy(&length, header + sizeof magic, sizeof length);
        std::string body(length, '\0');
        if (length <= maxReply && readAll(fd, body.data(), length, deadline)) {
            const auto tree = nlohmann::json::parse(body, nullptr, false);
            const auto* focused = tree.is_discarded() ? nullptr : findFocused(tree);
            if (focused != nullptr) {
                if (focused->contains("app_id") && (*focused)["app_id"].is_string()) {
                    const std::string appId = (*focused)["app_id"].get<std::string>();
                    result = WindowClass{appId, appId};
                } else if (focused->contains("window_properties")) {
                    const auto& props = (*focused)["window_properties"];
                    result = WindowClass{props.value("instance", ""), props.value("class", "")};
                }
            }
        }
    }
    ::close(fd);
    return result;
}

std::string hyprlandSocketPath() {
    const char* instance = std::getenv("HYPRLAND_INSTANCE_SIGNATURE");
    if (instance == nullptr || *instance == '\0') return {};
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    for (const std::string& dir : {std::string(runtime != nullptr ? runtime : ""), std::string("/tmp")}) {
        if (dir.empty()) continue;
        const auto path = std::filesystem::path(dir) / "hypr" / instance / ".socket.sock";
        if (std::filesystem::exists(path, ec)) return path.string();
    }
    return {};
}

std::optional<WindowClass> hyprlandFocusedWindow(const std::string& socketPath, int timeoutMs) {
    const int fd = connectTo(socketPath);
    if (fd < 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // One request per connection; Hyprland answers and closes.
    constexpr char request[] = "j/activewindow";
    std::string reply;
    bool complete = false;
    if (::write(fd, request, sizeof request - 1) == static_cast<ssize_t>(sizeof request - 1)) {
        char chunk[4096];
        while (reply.size() <= maxReply) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            const ssize_t r = ::read(fd, chunk, sizeof chunk);
            if (r <= 0) {
                complete = r == 0;
                break;
            }
            reply.append(chunk, static_cast<std::size_t>(r));
        }
    }
    ::close(fd);
    const auto window = nlohmann::json::parse(reply, nullptr, false);
    // No active window: an empty object, or the text "Invalid".
    if (!complete || !window.is_object() || !window.contains("class") || !window["class"].is_string())
        return std::nullopt;
    const std::string className = window["class"].get<std::string>();
    if (className.empty()) return std::nullopt;
    return WindowClass{className, className};
}

std::optional<WindowClass> compositorFocusedWindow() {
    if (const std::string sway = swaySocketPath(); !sway.empty()) return swayFocusedWindow(sway);
    if (const std::string hyprland = hyprlandSocketPath(); !hyprland.empty()) return hyprlandFocusedWindow(hyprland);
    return std::nullopt;
}

}  // namespace parlando
