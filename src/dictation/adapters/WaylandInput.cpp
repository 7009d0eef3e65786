#include "dictation/adapters/WaylandInput.h"

#include "dictation/adapters/SwayFocus.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace parlando {
namespace {

// Linux input event codes of the keys the shortcuts need.
constexpr std::uint32_t keyLeftCtrl = 29;
constexpr std::uint32_t keyLeftShift = 42;
constexpr std::uint32_t keyV = 47;
constexpr std::uint32_t keyInsert = 110;
// Modifier masks in the keymap below: Shift is the first real modifier, Control the third.
constexpr std::uint32_t shiftMask = 1U << 0;
constexpr std::uint32_t controlMask = 1U << 2;

// Only what the shortcuts need, in one group. The compositor hands this to a
// window only while our keys arrive; the user's own keyboard keeps its keymap
// and its layout state (a Russian/English switch included), which come back
// with its next key.
constexpr const char* keymapText =
    "xkb_keymap {\n"
    "  xkb_keycodes \"parlando\" { minimum = 8; maximum = 255;\n"
    "    <LCTL> = 37; <LFSH> = 50; <AB04> = 55; <INS> = 118; };\n"
    "  xkb_types \"parlando\" { include \"complete\" };\n"
    "  xkb_compatibility \"parlando\" { include \"complete\" };\n"
    "  xkb_symbols \"parlando\" {\n"
    "    key <LCTL> { [ Control_L ] };\n"
    "    key <LFSH> { [ Shift_L ] };\n"
    "    key <AB04> { [ v, V ] };\n"
    "    key <INS> { [ Insert ] };\n"
    "    modifier_map Control { <LCTL> };\n"
    "    modifier_map Shift { <LFSH> };\n"
    "  };\n"
    "};\n";

// Every name a Wayland or X client asks plain text by.
constexpr const char* textTypes[] = {"text/plain;charset=utf-8", "text/plain", "UTF8_STRING", "STRING", "TEXT",
                                     "COMPOUND_TEXT"};

constexpr auto probeTimeout = std::chrono::seconds(3);
constexpr int sendTimeoutMs = 2000;

void writeAll(int fd, const std::string& data) {
    // The reader may be slow or gone; it gets a bounded time.
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(sendTimeoutMs);
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
    }
}

}  // namespace

struct WaylandInput::Impl {
    Impl(MainLoop& l, Log& lg, std::string n) : loop(l), log(lg), name(std::move(n)) {}

    MainLoop& loop;
    Log& log;
    std::string name;

    // Shared with the main thread, under the lock.
    mutable std::mutex mutex;
    bool probed = false;
    std::optional<std::string> clipboardWhy = std::string("the Wayland connection is not set up yet");
    std::optional<std::string> keysWhy = std::string("the Wayland connection is not set up yet");
    std::string text;                 // what our selection serves
    std::uint64_t wanted = 0;         // the selection the main thread asked for last
    std::uint64_t lost = ~0ULL;       // the last of ours another program replaced
    std::deque<std::function<void()>> commands;

    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;

    // The Wayland thread only.
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    zwlr_data_control_manager_v1* dataControlManager = nullptr;
    zwlr_data_control_v1* dataControl = nullptr;
    zwlr_data_control_source_v1* source = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    std::uint32_t clock = 0;

    void run(std::function<void()> onReady, std::weak_ptr<Impl> weak);
    bool pump(int timeoutMs);
    bool roundtrip();
    void fail(const std::string& why);
    void setUp();
    void tearDown();
    void setSelection(std::uint64_t generation);
    void typeShortcut(PasteShortcut shortcut);
    void key(std::uint32_t code, bool down);
    void modifiers(std::uint32_t depressed);

    void enqueue(std::function<void()> command) {
        {
            std::lock_guard lock(mutex);
            commands.push_back(std::move(command));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
    }

    class WlClipboard final : public Clipboard {
    public:
        explicit WlClipboard(Impl& impl) : impl_(impl) {}
        std::optional<std::string> unavailable() override {
            std::lock_guard lock(impl_.mutex);
            return impl_.clipboardWhy;
        }
        bool setText(const std::string& t) override {
            std::uint64_t generation = 0;
            {
                std::lock_guard lock(impl_.mutex);
                if (impl_.clipboardWhy) return false;
                impl_.text = t;
                generation = ++impl_.wanted;
            }
            impl_.enqueue([this, generation] { impl_.setSelection(generation); });
            return true;
        }
        // Data control in this version has no primary selection.
        bool setPrimarySelection(const std::string&) override { return false; }
        bool holds(const std::string& t) override {
            std::lock_guard lock(impl_.mutex);
            return !impl_.clipboardWhy && impl_.lost != impl_.wanted && impl_.text == t;
        }

    private:
        Impl& impl_;
    };

    class WlKeys final : public PasteKeys {
    public:
        explicit WlKeys(Impl& impl) : impl_(impl) {}
        std::optional<std::string> unavailable() override {
            std::lock_guard lock(impl_.mutex);
            return impl_.keysWhy;
        }
        // Wayland does not tell a client which window has the focus; sway's
        // and Hyprland's IPC do, where they run.
        std::optional<WindowClass> focusedWindowClass() override { return compositorFocusedWindow(); }
        bool send(PasteShortcut shortcut, std::string& why) override {
            if (auto reason = unavailable()) {
                why = *reason;
                return false;
            }
            impl_.enqueue([this, shortcut] { impl_.typeShortcut(shortcut); });
            return true;
        }

    private:
        Impl& impl_;
    };

    WlClipboard clipboardAdapter{*this};
    WlKeys keysAdapter{*this};
};

namespace {

void onGlobal(void* data, wl_registry* registry, std::uint32_t id, const char* interface, std::uint32_t) {
    auto* impl = static_cast<WaylandInput::Impl*>(data);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && impl->seat == nullptr) {
        impl->seat = static_cast<wl_seat*>(wl_registry_bind(registry, id, &wl_seat_interface, 1));
    } else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0) {
        impl->dataControlManager = static_cast<zwlr_data_control_manager_v1*>(
            wl_registry_bind(registry, id, &zwlr_data_control_manager_v1_interface, 1));
    } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
        impl->keyboardManager = static_cast<zwp_virtual_keyboard_manager_v1*>(
            wl_registry_bind(registry, id, &zwp_virtual_keyboard_manager_v1_interface, 1));
    }
}

void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener registryListener{onGlobal, onGlobalRemove};

// Other programs' selections are offered to us too; we never read them.
void onControlOffer(void*, zwlr_data_control_v1*, zwlr_data_control_offer_v1*) {}
void onControlSelection(void*, zwlr_data_control_v1*, zwlr_data_control_offer_v1* offer) {
    if (offer != nullptr) zwlr_data_control_offer_v1_destroy(offer);
}
void onControlFinished(void* data, zwlr_data_control_v1*) {
    auto* impl = static_cast<WaylandInput::Impl*>(data);
    std::lock_guard lock(impl->mutex);
    impl->clipboardWhy = "the compositor ended our clipboard control";
}
const zwlr_data_control_v1_listener controlListener{onControlOffer, onControlSelection, onControlFinished};

struct SourceData {
    WaylandInput::Impl* impl;
    std::uint64_t generation;
};

void onSourceSend(void* data, zwlr_data_control_source_v1*, const char*, std::int32_t fd) {
    auto* sd = static_cast<SourceData*>(data);
    std::string text;
    {
        std::lock_guard lock(sd->impl->mutex);
        text = sd->impl->text;
    }
    writeAll(fd, text);
    ::close(fd);
}

void onSourceCancelled(void* data, zwlr_data_control_source_v1* source) {
    auto* sd = static_cast<SourceData*>(data);
    WaylandInput::Impl* impl = sd->impl;
    {
        std::lock_guard lock(impl->mutex);
        if (sd->generation == impl->wanted) impl->lost = sd->generation;
    }
    if (impl->source == source) impl->source = nullptr;
    zwlr_data_control_source_v1_destroy(source);
    delete sd;
}
const zwlr_data_control_source_v1_listener sourceListener{onSourceSend, onSourceCancelled};

void onSyncDone(void* data, wl_callback* callback, std::uint32_t) {
    *static_cast<bool*>(data) = true;
    wl_callback_destroy(callback);
}
const wl_callback_listener syncListener{onSyncDone};

}  // namespace

bool WaylandInput::Impl::pump(int timeoutMs) {
    while (wl_display_prepare_read(display) != 0) {
        if (wl_display_dispatch_pending(display) < 0) return false;
    }
    if (wl_display_flush(display) < 0 && errno != EAGAIN) {
        wl_display_cancel_read(display);
        return false;
    }
    pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int r = ::poll(fds, 2, timeoutMs);
    if (r < 0 && errno != EINTR) {
        wl_display_cancel_read(display);
        return false;
    }
    if (r > 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        if (wl_display_read_events(display) < 0) return false;
    } else {
        wl_display_cancel_read(display);
    }
    if (wl_display_dispatch_pending(display) < 0) return false;
    if (r > 0 && (fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] auto n = ::read(wakeFd, &count, sizeof count);
        std::deque<std::function<void()>> todo;
        {
            std::lock_guard lock(mutex);
            todo.swap(commands);
        }
        for (auto& command : todo) command();
        if (wl_display_flush(display) < 0 && errno != EAGAIN) return false;
    }
    return true;
}

bool WaylandInput::Impl::roundtrip() {
    bool done = false;
    wl_callback* callback = wl_display_sync(display);
    wl_callback_add_listener(callback, &syncListener, &done);
    const auto deadline = std::chrono::steady_clock::now() + probeTimeout;
    while (!done) {
        if (stopping || std::chrono::steady_clock::now() > deadline) return false;
        if (!pump(100)) return false;
    }
    return true;
}

void WaylandInput::Impl::fail(const std::string& why) {
    std::lock_guard lock(mutex);
    clipboardWhy = why;
    keysWhy = why;
}

void WaylandInput::Impl::setUp() {
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, this);
    if (!roundtrip()) {
        fail("the Wayland compositor did not answer");
        return;
    }
    std::optional<std::string> noClipboard, noKeys;
    if (seat == nullptr) {
        noClipboard = noKeys = std::string("the Wayland compositor has no seat");
    } else {
        if (dataControlManager == nullptr) {
            noClipboard = std::string("the compositor offers no data control (zwlr_data_control_manager_v1)");
        } else {
            dataControl = zwlr_data_control_manager_v1_get_data_control(dataControlManager, seat);
            zwlr_data_control_v1_add_listener(dataControl, &controlListener, this);
        }
        if (keyboardManager == nullptr) {
            noKeys = std::string("the compositor offers no virtual keyboard (zwp_virtual_keyboard_manager_v1)");
        } else {
            keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboardManager, seat);
            const std::size_t size = std::strlen(keymapText) + 1;
            const int fd = ::memfd_create("parlando-keymap", MFD_CLOEXEC);
            if (fd < 0 || ::write(fd, keymapText, size) != static_cast<ssize_t>(size)) {
                noKeys = std::string("cannot hand the compositor a keymap: ") + std::strerror(errno);
            } else {
                zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                               static_cast<std::uint32_t>(size));
            }
            if (fd >= 0) ::close(fd);
        }
    }
    // A compositor that refuses either answers with a protocol error here.
    if (!roundtrip()) {
        const int code = wl_display_get_error(display);
        fail(code != 0 ? std::string("the Wayland compositor refused us: ") + std::strerror(code)
                       : std::string("the Wayland compositor did not answer"));
        return;
    }
    std::lock_guard lock(mutex);
    clipboardWhy = noClipboard;
    keysWhy = noKeys;
}

void WaylandInput::Impl::tearDown() {
    if (display == nullptr) return;
    if (source != nullptr) {
        delete static_cast<SourceData*>(zwlr_data_control_source_v1_get_user_data(source));
        zwlr_data_control_source_v1_destroy(source);
    }
    if (dataControl != nullptr) zwlr_data_control_v1_destroy(dataControl);
    if (dataControlManager != nullptr) zwlr_data_control_manager_v1_destroy(dataControlManager);
    if (keyboard != nullptr) zwp_virtual_keyboard_v1_destroy(keyboard);
    if (keyboardManager != nullptr) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(keyboardManager));
    if (seat != nullptr) wl_seat_destroy(seat);
    if (registry != nullptr) wl_registry_destroy(registry);
    wl_display_flush(display);
    wl_display_disconnect(display);
    display = nullptr;
}

void WaylandInput::Impl::setSelection(std::uint64_t generation) {
    if (dataControl == nullptr) return;
    auto* created = zwlr_data_control_manager_v1_create_data_source(dataControlManager);
    zwlr_data_control_source_v1_add_listener(created, &sourceListener, new SourceData{this, generation});
    for (const char* type : textTypes) zwlr_data_control_source_v1_offer(created, type);
    zwlr_data_control_v1_set_selection(dataControl, created);
    // The one we replace gets its cancelled event and is destroyed there.
    source = created;
}

void WaylandInput::Impl::key(std::uint32_t code, bool down) {
    zwp_virtual_keyboard_v1_key(keyboard, ++clock, code,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
}

void WaylandInput::Impl::modifiers(std::uint32_t depressed) {
    zwp_virtual_keyboard_v1_modifiers(keyboard, depressed, 0, 0, 0);
}

void WaylandInput::Impl::typeShortcut(PasteShortcut shortcut) {
    if (keyboard == nullptr) return;
    // Time stamps only need to grow on this keyboard's own clock.
    clock = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
    std::uint32_t held = 0;
    auto press = [&](std::uint32_t code, std::uint32_t mask) {
        key(code, true);
        held |= mask;
        modifiers(held);
    };
    auto release = [&](std::uint32_t code, std::uint32_t mask) {
        key(code, false);
        held &= ~mask;
        modifiers(held);
    };
    switch (shortcut) {
        case PasteShortcut::ctrlV:
            press(keyLeftCtrl, controlMask);
            key(keyV, true);
            key(keyV, false);
            release(keyLeftCtrl, controlMask);
            break;
        case PasteShortcut::ctrlShiftV:
            press(keyLeftCtrl, controlMask);
            press(keyLeftShift, shiftMask);
            key(keyV, true);
            key(keyV, false);
            release(keyLeftShift, shiftMask);
            release(keyLeftCtrl, controlMask);
            break;
        case PasteShortcut::shiftInsert:
            press(keyLeftShift, shiftMask);
            key(keyInsert, true);
            key(keyInsert, false);
            release(keyLeftShift, shiftMask);
            break;
    }
}

void WaylandInput::Impl::run(std::function<void()> onReady, std::weak_ptr<Impl> weak) {
    display = wl_display_connect(name.empty() ? nullptr : name.c_str());
    if (display == nullptr) {
        const std::string shown = name.empty() ? "$WAYLAND_DISPLAY" : name;
        fail("cannot connect to the Wayland display " + shown);
    } else {
        setUp();
    }
    {
        std::lock_guard lock(mutex);
        probed = true;
    }
    loop.post([weak, onReady = std::move(onReady)] {
        if (weak.lock() && onReady) onReady();
    });
    if (display == nullptr) return;
    bool healthy = true;
    {
        std::lock_guard lock(mutex);
        healthy = !(clipboardWhy && keysWhy);
    }
    while (healthy && !stopping) {
        if (!pump(-1)) {
            if (stopping) break;
            const int code = wl_display_get_error(display);
            const std::string why = std::string("the Wayland connection was lost") +
                                    (code != 0 ? std::string(" (") + std::strerror(code) + ")" : std::string());
            log.append("paste: " + why);
            fail(why);
            break;
        }
    }
    tearDown();
}

WaylandInput::WaylandInput(MainLoop& loop, Log& log, std::string displayName)
    : impl_(std::make_shared<Impl>(loop, log, std::move(displayName))) {
    impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

WaylandInput::~WaylandInput() {
    impl_->stopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(impl_->wakeFd, &one, sizeof one);
    if (impl_->thread.joinable()) impl_->thread.join();
    ::close(impl_->wakeFd);
}

void WaylandInput::start(std::function<void()> onReady) {
    if (impl_->thread.joinable()) return;
    std::weak_ptr<Impl> weak = impl_;
    impl_->thread = std::thread([impl = impl_.get(), onReady = std::move(onReady), weak]() mutable {
        impl->run(std::move(onReady), weak);
    });
}

bool WaylandInput::ready() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->probed;
}

Clipboard& WaylandInput::clipboard() { return impl_->clipboardAdapter; }
PasteKeys& WaylandInput::keys() { return impl_->keysAdapter; }

}  // namespace parlando
