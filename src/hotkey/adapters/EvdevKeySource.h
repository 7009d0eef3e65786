#pragma once
// Hotkey events straight from the kernel: every /dev/input/event* device whose
// key map has the key, read on a thread of our own. Keyboards plugged in later
// are picked up (inotify on the folder). Reading these devices needs the user in
// the "input" group; without it start() fails and says so.
#include "core/Log.h"
#include "hotkey/KeyEdgeSource.h"

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace parlando {

// The kernel keyboard the paste creates for itself (/dev/uinput); never a hotkey source.
inline constexpr const char* uinputPasteKeyboardName = "Parlando paste keyboard";

class EvdevKeySource final : public KeyEdgeSource {
public:
    struct Options {
        std::filesystem::path dir = "/dev/input";
        // Descriptors that deliver struct input_event records (tests feed pipes).
        // They count as keyboards that have the key; the source owns them from
        // the next start() on.
        std::vector<int> fds;
        // How a device node is opened (returns -1 and sets errno on failure).
        std::function<int(const std::string& path)> openDevice;
        // Whether an open device can report the key code.
        std::function<bool(int fd, int code)> reportsKey;
    };

    explicit EvdevKeySource(Log& log);
    EvdevKeySource(Log& log, Options options);
    ~EvdevKeySource() override;

    std::string name() const override { return "evdev"; }
    std::optional<std::string> start(const HotkeyKey& key, Sink sink) override;
    void stop() override;
    bool watchesKey() const override { return deviceCount() > 0; }

    // How many devices the reader watches right now (any thread).
    std::size_t deviceCount() const;

private:
    struct Device {
        int fd = -1;
        int id = 0;
        std::string path;
        std::vector<char> partial;  // bytes of a record cut by a short read
        bool dropping = false;      // between SYN_DROPPED and the next SYN_REPORT
    };
    enum class OpenResult { keyboard, notKeyboard, denied, failed };

    OpenResult openPath(const std::string& path, Device& out, int& err);
    void run();
    void readDevice(Device& device, bool& gone);
    void handleInotify();
    void resync(Device& device);

    Log& log_;
    Options options_;
    HotkeyKey key_;
    Sink sink_;
    int stopFd_ = -1;
    int inotifyFd_ = -1;
    int nextId_ = 1;
    std::vector<Device> devices_;  // reader thread only while it runs
    mutable std::mutex countMutex_;
    std::size_t count_ = 0;
    std::thread thread_;
};

}  // namespace parlando
