#include "hotkey/adapters/EvdevKeySource.h"

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

namespace parlando {

static_assert(KEY_FN == 0x1d0 && KEY_RIGHTCTRL == 97 && KEY_RIGHTALT == 100 && KEY_F13 == 183 && KEY_PAUSE == 119 &&
                  KEY_SCROLLLOCK == 70 && KEY_CAPSLOCK == 58 && KEY_INSERT == 110,
              "hotkey table out of step with the kernel's key codes");

namespace {

constexpr std::size_t bitsPerLong = sizeof(unsigned long) * CHAR_BIT;

bool testBit(const std::vector<unsigned long>& bits, int code) {
    const auto i = static_cast<std::size_t>(code);
    return (bits[i / bitsPerLong] >> (i % bitsPerLong)) & 1UL;
}

int defaultOpen(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

std::string deviceName(int fd);

bool defaultReportsKey(int fd, int code) {
    // Our own paste keyboard types Shift+Insert; it must not press the hotkey.
    if (deviceName(fd) == uinputPasteKeyboardName) return false;
    std::vector<unsigned long> types(EV_MAX / bitsPerLong + 1, 0);
    if (::ioctl(fd, EVIOCGBIT(0, types.size() * sizeof(unsigned long)), types.data()) < 0) return false;
    if (!testBit(types, EV_KEY)) return false;
    std::vector<unsigned long> keys(KEY_MAX / bitsPerLong + 1, 0);
    if (::ioctl(fd, EVIOCGBIT(EV_KEY, keys.size() * sizeof(unsigned long)), keys.data()) < 0) return false;
    return testBit(keys, code);
}

std::string deviceName(int fd) {
    std::array<char, 256> name{};
    if (::ioctl(fd, EVIOCGNAME(name.size() - 1), name.data()) < 0) return {};
    return name.data();
}

bool isEventNode(const std::string& fileName) { return fileName.rfind("event", 0) == 0; }

}  // namespace

EvdevKeySource::EvdevKeySource(Log& log) : EvdevKeySource(log, Options{}) {}

EvdevKeySource::EvdevKeySource(Log& log, Options options) : log_(log), options_(std::move(options)) {
    if (!options_.openDevice) options_.openDevice = defaultOpen;
    if (!options_.reportsKey) options_.reportsKey = defaultReportsKey;
}

EvdevKeySource::~EvdevKeySource() {
    stop();
    for (int fd : options_.fds) ::close(fd);
}

std::size_t EvdevKeySource::deviceCount() const {
    std::lock_guard lock(countMutex_);
    return count_;
}

EvdevKeySource::OpenResult EvdevKeySource::openPath(const std::string& path, Device& out, int& err) {
    const int fd = options_.openDevice(path);
    if (fd < 0) {
        err = errno;
        return (err == EACCES || err == EPERM) ? OpenResult::denied : OpenResult::failed;
    }
    if (!options_.reportsKey(fd, key_.evdevCode)) {
        ::close(fd);
        return OpenResult::notKeyboard;
    }
    out = Device{};
    out.fd = fd;
    out.id = nextId_++;
    out.path = path;
    return OpenResult::keyboard;
}

std::optional<std::string> EvdevKeySource::start(const HotkeyKey& key, Sink sink) {
    stop();
    key_ = key;
    sink_ = std::move(sink);

    for (int fd : options_.fds) {
        // The reader drains each descriptor until it would block.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        Device d;
        d.fd = fd;
        d.id = nextId_++;
        d.path = "fd " + std::to_string(fd);
        devices_.push_back(std::move(d));
    }
    options_.fds.clear();

    bool denied = false, anyOpened = !devices_.empty();
    int deniedErr = 0;
    std::error_code ec;
    if (std::filesystem::is_directory(options_.dir, ec)) {
        // Watch before scanning, so a device that appears in between is not missed.
        inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotifyFd_ >= 0 &&
            ::inotify_add_watch(inotifyFd_, options_.dir.c_str(), IN_CREATE | IN_ATTRIB | IN_MOVED_TO) < 0) {
            ::close(inotifyFd_);
            inotifyFd_ = -1;
        }
        std::vector<std::string> paths;
        for (const auto& entry : std::filesystem::directory_iterator(options_.dir, ec)) {
            if (isEventNode(entry.path().filename().string())) paths.push_back(entry.path().string());
        }
        std::sort(paths.begin(), paths.end());
        for (const auto& path : paths) {
            Device d;
            int err = 0;
            switch (openPath(path, d, err)) {
                case OpenResult::keyboard:
                    anyOpened = true;
                    log_.append("FN: evdev watching " + path + " (" + deviceName(d.fd) + ")");
                    devices_.push_back(std::move(d));
                    break;
                case OpenResult::notKeyboard: anyOpened = true; break;
                case OpenResult::denied:
                    denied = true;
                    deniedErr = err;
                    break;
                case OpenResult::failed: break;
            }
        }
    }

    if (devices_.empty()) {
        std::string reason;
        if (denied) {
            reason = "cannot read " + options_.dir.string() + "/event* (" + std::strerror(deniedErr) +
                     ") — add yourself to the input group: sudo usermod -aG input $USER, then log out and in";
        } else if (!anyOpened) {
            reason = "no input devices in " + options_.dir.string();
        }
        if (!reason.empty()) {
            stop();
            return reason;
        }
        log_.append("FN: no keyboard reports the " + key_.name + " key yet — waiting for one (or choose another in " +
                    hotkeySettingKey + ")");
    }

    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) {
        const std::string reason = std::string("eventfd failed: ") + std::strerror(errno);
        stop();
        return reason;
    }
    {
        std::lock_guard lock(countMutex_);
        count_ = devices_.size();
    }
    thread_ = std::thread([this] { run(); });
    return std::nullopt;
}

void EvdevKeySource::stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    for (auto& d : devices_) ::close(d.fd);
    devices_.clear();
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
    if (stopFd_ >= 0) ::close(stopFd_);
    inotifyFd_ = stopFd_ = -1;
    sink_ = nullptr;
    std::lock_guard lock(countMutex_);
    count_ = 0;
}

void EvdevKeySource::run() {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({stopFd_, POLLIN, 0});
        fds.push_back({inotifyFd_, POLLIN, 0});  // a negative fd is skipped by poll
        for (const auto& d : devices_) fds.push_back({d.fd, POLLIN, 0});
        const int n = ::poll(fds.data(), fds.size(), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            log_.append(std::string("FN: evdev poll failed — ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0) return;
        // Devices first: their indexes match fds until the list changes below.
        std::vector<std::size_t> goneIdx;
        for (std::size_t i = 0; i < devices_.size(); ++i) {
            if (fds[i + 2].revents == 0) continue;
            bool gone = false;
            readDevice(devices_[i], gone);
            if (gone) goneIdx.push_back(i);
        }
        for (auto it = goneIdx.rbegin(); it != goneIdx.rend(); ++it) {
            Device& d = devices_[*it];
            log_.append("FN: evdev keyboard removed (" + d.path + ")");
            sink_(KeyEvent{d.id, KeyAction::deviceGone});
            ::close(d.fd);
            devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(*it));
        }
        if (fds[1].revents != 0) handleInotify();
        std::lock_guard lock(countMutex_);
        count_ = devices_.size();
    }
}

void EvdevKeySource::readDevice(Device& device, bool& gone) {
    std::array<char, 64 * sizeof(input_event)> buf{};
    for (;;) {
        const ssize_t n = ::read(device.fd, buf.data(), buf.size());
        if (n == 0) {  // a writer that went away (pipes)
            gone = true;
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) gone = true;  // ENODEV: unplugged
            return;
        }
        device.partial.insert(device.partial.end(), buf.data(), buf.data() + n);
        std::size_t used = 0;
        while (device.partial.size() - used >= sizeof(input_event)) {
            input_event ev{};
            std::memcpy(&ev, device.partial.data() + used, sizeof ev);
            used += sizeof ev;
            if (ev.type == EV_SYN) {
                if (ev.code == SYN_DROPPED) {
                    device.dropping = true;
                } else if (ev.code == SYN_REPORT && device.dropping) {
                    device.dropping = false;
                    resync(device);
                }
            } else if (ev.type == EV_KEY && ev.code == key_.evdevCode && !device.dropping) {
                const KeyAction action = ev.value == 0 ? KeyAction::up
                                         : ev.value == 1 ? KeyAction::down
                                                         : KeyAction::repeat;
                sink_(KeyEvent{device.id, action});
            }
        }
        device.partial.erase(device.partial.begin(), device.partial.begin() + static_cast<std::ptrdiff_t>(used));
    }
}

void EvdevKeySource::resync(Device& device) {
    // The kernel dropped events: what the key did in between is lost, so ask
    // for its state now. Descriptors that cannot answer keep the old state.
    std::vector<unsigned long> keys(KEY_MAX / bitsPerLong + 1, 0);
    if (::ioctl(device.fd, EVIOCGKEY(keys.size() * sizeof(unsigned long)), keys.data()) < 0) return;
    log_.append("FN: evdev events dropped on " + device.path + " — key state re-read");
    sink_(KeyEvent{device.id, testBit(keys, key_.evdevCode) ? KeyAction::down : KeyAction::up});
}

void EvdevKeySource::handleInotify() {
    alignas(inotify_event) std::array<char, 4096> buf{};
    for (;;) {
        const ssize_t n = ::read(inotifyFd_, buf.data(), buf.size());
        if (n <= 0) return;
        for (ssize_t off = 0; off < n;) {
            inotify_event ev{};
            std::memcpy(&ev, buf.data() + off, sizeof ev);
            const char* namePtr = buf.data() + off + sizeof(inotify_event);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev.len);
            if (ev.len == 0) continue;
            const std::string fileName(namePtr);
            if (!isEventNode(fileName)) continue;
            const std::string path = (options_.dir / fileName).string();
            const bool known = std::any_of(devices_.begin(), devices_.end(),
                                           [&](const Device& d) { return d.path == path; });
            if (known) continue;
            // A new node is often root-only until udev has set its permissions;
            // the attribute change that follows brings us back here.
            Device d;
            int err = 0;
            if (openPath(path, d, err) == OpenResult::keyboard) {
                log_.append("FN: evdev keyboard added (" + path + ")");
                devices_.push_back(std::move(d));
            }
        }
    }
}

}  // namespace parlando
