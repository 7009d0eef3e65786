#include "dictation/adapters/UinputPasteKeys.h"

#include "hotkey/adapters/EvdevKeySource.h"

#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace parlando {

UinputPasteKeys::UinputPasteKeys(std::string path) : path_(std::move(path)) {}

UinputPasteKeys::~UinputPasteKeys() {
    if (fd_ < 0) return;
    ::ioctl(fd_, UI_DEV_DESTROY);
    ::close(fd_);
}

std::optional<std::string> UinputPasteKeys::unavailable() {
    if (tried_) return fd_ >= 0 ? std::nullopt : std::optional<std::string>(why_);
    tried_ = true;
    const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        why_ = e == ENOENT   ? "no " + path_ + " (the uinput module is not loaded)"
               : e == EACCES ? "no permission to write " + path_
                             : "cannot open " + path_ + ": " + std::strerror(e);
        return why_;
    }
    bool ok = ::ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0 && ::ioctl(fd, UI_SET_EVBIT, EV_SYN) == 0;
    for (int key : {KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_V, KEY_INSERT}) ok = ok && ::ioctl(fd, UI_SET_KEYBIT, key) == 0;
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = 0x1;
    setup.id.product = 0x1;
    std::strncpy(setup.name, uinputPasteKeyboardName, UINPUT_MAX_NAME_SIZE - 1);
    ok = ok && ::ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ::ioctl(fd, UI_DEV_CREATE) == 0;
    if (!ok) {
        why_ = path_ + " is not a usable uinput device: " + std::strerror(errno);
        ::close(fd);
        return why_;
    }
    fd_ = fd;
    return std::nullopt;
}

bool UinputPasteKeys::writeEvent(unsigned short type, unsigned short code, int value) {
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    return ::write(fd_, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

bool UinputPasteKeys::send(PasteShortcut shortcut, std::string& why) {
    if (auto reason = unavailable()) {
        why = *reason;
        return false;
    }
    std::vector<unsigned short> keys;
    switch (shortcut) {
        case PasteShortcut::ctrlV: keys = {KEY_LEFTCTRL, KEY_V}; break;
        case PasteShortcut::ctrlShiftV: keys = {KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_V}; break;
        case PasteShortcut::shiftInsert: keys = {KEY_LEFTSHIFT, KEY_INSERT}; break;
    }
    // Down in order, up in reverse, each with its own report so the compositor
    // sees the modifiers held before the key.
    bool ok = true;
    std::size_t pressed = 0;
    for (; pressed < keys.size() && ok; ++pressed) ok = writeEvent(EV_KEY, keys[pressed], 1) && writeEvent(EV_SYN, SYN_REPORT, 0);
    // Whatever went down comes up again, even after a failed write: a stuck
    // Ctrl would spoil the user's typing.
    for (std::size_t i = pressed; i-- > 0;) ok = writeEvent(EV_KEY, keys[i], 0) && writeEvent(EV_SYN, SYN_REPORT, 0) && ok;
    if (!ok) why = "writing to " + path_ + " failed: " + std::strerror(errno);
    return ok;
}

}  // namespace parlando
