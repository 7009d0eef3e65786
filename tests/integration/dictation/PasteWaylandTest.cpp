// Paste into native Wayland text fields under a headless wlroots compositor,
// with no X server anywhere: the clipboard through data control, the shortcut
// through our virtual keyboard.
#include "core/Settings.h"
#include "core/adapters/QtMainLoop.h"
#include "dictation/adapters/LinuxPaste.h"
#include "fakes/Fakes.h"
#include "testenv/FakeDBusServices.h"
#include "testenv/TestEnv.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

using namespace parlando;
using namespace parlando::testenv;
using parlando::testing::pumpUntil;
namespace fs = std::filesystem;

namespace {

// The user's own keyboard, with an English and a Russian layout and the
// Russian one on: its V key types "м".
struct UserKeyboard {
    wl_display* display = wl_display_connect(nullptr);
    wl_seat* seat = nullptr;
    zwp_virtual_keyboard_manager_v1* manager = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;  // made once the globals are known

    UserKeyboard() {
        static const wl_registry_listener listener{
            [](void* data, wl_registry* r, std::uint32_t id, const char* iface, std::uint32_t) {
                auto* self = static_cast<UserKeyboard*>(data);
                if (std::string(iface) == wl_seat_interface.name && self->seat == nullptr)
                    self->seat = static_cast<wl_seat*>(wl_registry_bind(r, id, &wl_seat_interface, 1));
                if (std::string(iface) == zwp_virtual_keyboard_manager_v1_interface.name)
                    self->manager = static_cast<zwp_virtual_keyboard_manager_v1*>(
                        wl_registry_bind(r, id, &zwp_virtual_keyboard_manager_v1_interface, 1));
            },
            [](void*, wl_registry*, std::uint32_t) {}};
        wl_registry_add_listener(wl_display_get_registry(display), &listener, this);
        wl_display_roundtrip(display);
        keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager, seat);
        const std::string keymap =
            "xkb_keymap { xkb_keycodes { minimum = 8; maximum = 255; <AB04> = 55; };"
            " xkb_types { include \"complete\" }; xkb_compatibility { include \"complete\" };"
            " xkb_symbols { key <AB04> { [ v, V ], [ Cyrillic_em, Cyrillic_EM ] }; }; };";
        const int fd = ::memfd_create("user-keymap", MFD_CLOEXEC);
        EXPECT_EQ(::write(fd, keymap.c_str(), keymap.size() + 1), static_cast<ssize_t>(keymap.size() + 1));
        zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                       static_cast<std::uint32_t>(keymap.size() + 1));
        ::close(fd);
        zwp_virtual_keyboard_v1_modifiers(keyboard, 0, 0, 0, 1);  // the Russian layout
        wl_display_roundtrip(display);
    }
    ~UserKeyboard() { wl_display_disconnect(display); }
    void typeV() {
        for (auto state : {WL_KEYBOARD_KEY_STATE_PRESSED, WL_KEYBOARD_KEY_STATE_RELEASED})
            zwp_virtual_keyboard_v1_key(keyboard, 1000 + state, 47, state);
        wl_display_roundtrip(display);
    }
};

}  // namespace

TEST(PasteWayland, DictatedTextLandsInQtAndGtkFieldsWithoutAnXServer) {
    if (!haveProgram("sway")) GTEST_SKIP() << "sway is not installed";
    TempDir dir("parlando-wayland");
    WaylandCompositor compositor(dir.path());
    applyToProcess(compositor.env());
    ::unsetenv("DISPLAY");
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // our own clipboard must not be Qt's here
    parlando::testing::qtApp();
    QtMainLoop loop;
    parlando::testing::MemoryLog log;
    MemorySettings settings;
    // Our virtual keyboard comes first: keys from a keyboard newer than the fields would be lost.
    LinuxPaste paste(loop, log, settings, DisplaySession::waylandOnly);
    bool decided = false;
    paste.start([&] { decided = true; });
    ASSERT_TRUE(pumpUntil([&] { return decided; }, 20000));
    UserKeyboard user;

    std::vector<Process> fields;
    auto env = compositor.env();
    env["QT_QPA_PLATFORM"] = env["GDK_BACKEND"] = "wayland";
    auto startField = [&](std::vector<std::string> argv) {
        const fs::path prefix = dir.path() / ("field-" + std::to_string(fields.size()));
        argv.push_back(prefix.string());
        fields.push_back(Process::spawn(argv, env, std::nullopt, prefix.string() + ".log"));
        EXPECT_TRUE(pumpUntil([&] { return fs::exists(prefix.string() + ".ready"); }, 30000)) << prefix;
        return prefix;
    };
    auto holds = [&](const fs::path& f, const std::string& t) {
        return pumpUntil([&] { return readFile(f.string() + ".text") == t; }, 20000); };
    const std::string target = std::string(PARLANDO_BINARY_DIR) + "/tools/paste-target/paste-target";

    const fs::path qt = startField({target, "--out"});
    user.typeV();
    ASSERT_TRUE(holds(qt, "м"));
    paste.delivery().paste("Привет, мир");
    EXPECT_TRUE(holds(qt, "мПривет, мир"));
    paste.delivery().paste(" и ещё");  // the next dictation replaces the clipboard
    EXPECT_TRUE(holds(qt, "мПривет, мир и ещё"));
    // Our keymap came and went with our keys: the user's Russian layout is still on.
    user.typeV();
    EXPECT_TRUE(holds(qt, "мПривет, мир и ещём"));

    // sway's IPC names the focused window: a terminal gets Ctrl+Shift+V.
    const fs::path terminal = startField({target, "--class", "foot", "--mode", "terminal", "--out"});
    paste.delivery().paste("ls -la");
    EXPECT_TRUE(holds(terminal, "ls -la")) << readFile(terminal.string() + ".keys");

    const fs::path gtk = startField(
        {"/usr/bin/python3", std::string(PARLANDO_SOURCE_DIR) + "/tests/support/wayland/gtk-paste-target.py"});
    paste.delivery().paste("Текст для GTK");
    EXPECT_TRUE(holds(gtk, "Текст для GTK"));
}
