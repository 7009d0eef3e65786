// Paste into native Wayland text fields under a headless wlroots compositor,
// with no X server anywhere: the clipboard through data control, the shortcut
// through our virtual keyboard.
#include "core/Settings.h"
#include "core/adapters/QtMainLoop.h"
#include "dictation/adapters/LinuxPaste.h"
#include "fakes/Fakes.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <sys/mman.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <utility>

using namespace parlando;
using namespace std::chrono_literals;
using parlando::testing::MemoryLog;
using parlando::testenv::Process;
using parlando::testenv::TempDir;
using parlando::testenv::WaylandCompositor;
using parlando::testenv::readFile;
namespace fs = std::filesystem;

namespace {

bool pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (pred()) return true;
        QThread::msleep(5);
    }
    return pred();
}

// The user's own keyboard, with an English and a Russian layout and the
// Russian one switched on: the V key types "м".
class UserKeyboard {
public:
    UserKeyboard() {
        display_ = wl_display_connect(nullptr);
        if (display_ == nullptr) return;
        registry_ = wl_display_get_registry(display_);
        static const wl_registry_listener listener{
            [](void* data, wl_registry* r, std::uint32_t id, const char* iface, std::uint32_t) {
                auto* self = static_cast<UserKeyboard*>(data);
                if (std::string(iface) == wl_seat_interface.name && self->seat_ == nullptr)
                    self->seat_ = static_cast<wl_seat*>(wl_registry_bind(r, id, &wl_seat_interface, 1));
                if (std::string(iface) == zwp_virtual_keyboard_manager_v1_interface.name)
                    self->manager_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
                        wl_registry_bind(r, id, &zwp_virtual_keyboard_manager_v1_interface, 1));
            },
            [](void*, wl_registry*, std::uint32_t) {}};
        wl_registry_add_listener(registry_, &listener, this);
        wl_display_roundtrip(display_);
        if (seat_ == nullptr || manager_ == nullptr) return;
        keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager_, seat_);
        const std::string keymap =
            "xkb_keymap { xkb_keycodes { minimum = 8; maximum = 255; <AB04> = 55; };"
            " xkb_types { include \"complete\" }; xkb_compatibility { include \"complete\" };"
            " xkb_symbols { key <AB04> { [ v, V ], [ Cyrillic_em, Cyrillic_EM ] }; }; };";
        const int fd = ::memfd_create("user-keymap", MFD_CLOEXEC);
        [[maybe_unused]] auto n = ::write(fd, keymap.c_str(), keymap.size() + 1);
        zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                       static_cast<std::uint32_t>(keymap.size() + 1));
        ::close(fd);
        zwp_virtual_keyboard_v1_modifiers(keyboard_, 0, 0, 0, 1);  // the Russian layout
        wl_display_roundtrip(display_);
    }
    ~UserKeyboard() {
        if (display_ != nullptr) wl_display_disconnect(display_);
    }
    bool ok() const { return keyboard_ != nullptr; }
    void typeV() {
        zwp_virtual_keyboard_v1_key(keyboard_, ++time_, 47, WL_KEYBOARD_KEY_STATE_PRESSED);
        zwp_virtual_keyboard_v1_key(keyboard_, ++time_, 47, WL_KEYBOARD_KEY_STATE_RELEASED);
        wl_display_roundtrip(display_);
    }

private:
    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_seat* seat_ = nullptr;
    zwp_virtual_keyboard_manager_v1* manager_ = nullptr;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
    std::uint32_t time_ = 1000;
};

class PasteWayland : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testenv::haveProgram("sway")) GTEST_SKIP() << "sway is not installed";
        dir_ = std::make_unique<TempDir>("parlando-wayland");
        compositor_ = std::make_unique<WaylandCompositor>(dir_->path());
        testenv::applyToProcess(compositor_->env());
        ::unsetenv("DISPLAY");
        static int argc = 1;
        static char arg0[] = "integration_dictation";
        static char* argv[] = {arg0, nullptr};
        app_ = std::make_unique<QCoreApplication>(argc, argv);
        loop_ = std::make_unique<QtMainLoop>();
    }
    void TearDown() override {
        targets_.clear();
        paste_.reset();
        loop_.reset();
        app_.reset();
        compositor_.reset();
    }

    // Starts our paste (and with it the virtual keyboard, before any field).
    void startPaste() {
        paste_ = std::make_unique<LinuxPaste>(*loop_, log_, settings_, DisplaySession::waylandOnly);
        bool decided = false;
        paste_->start([&] { decided = true; });
        ASSERT_TRUE(pumpUntil([&] { return decided; }, 20s));
    }

    // A field in another process; returns the prefix of its files once it has the focus.
    fs::path startField(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
        const fs::path prefix = dir_->path() / ("field-" + std::to_string(targets_.size()));
        std::vector<std::string> args = argv;
        args.push_back(prefix.string());
        auto merged = compositor_->env();
        merged.insert(env.begin(), env.end());
        targets_.push_back(Process::spawn(args, merged, std::nullopt, prefix.string() + ".log"));
        EXPECT_TRUE(pumpUntil([&] { return fs::exists(prefix.string() + ".ready"); }, 30s))
            << "the field never got the focus; see " << prefix << ".log";
        return prefix;
    }

    bool pasted(const fs::path& prefix, const std::string& expected) {
        return pumpUntil([&] { return readFile(prefix.string() + ".text") == expected; }, 20s);
    }

    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<WaylandCompositor> compositor_;
    std::unique_ptr<QCoreApplication> app_;
    std::unique_ptr<QtMainLoop> loop_;
    MemoryLog log_;
    MemorySettings settings_;
    std::unique_ptr<LinuxPaste> paste_;
    std::vector<Process> targets_;
};

}  // namespace

TEST_F(PasteWayland, DictatedTextLandsInQtAndGtkFieldsWithoutAnXServer) {
    startPaste();
    UserKeyboard user;
    ASSERT_TRUE(user.ok());
    EXPECT_EQ(paste_->routes().clipboardName(), "Wayland data control");
    EXPECT_EQ(paste_->routes().keysName(), "Wayland virtual keyboard");
    EXPECT_TRUE(log_.contains("paste: clipboard via Wayland data control, shortcut via Wayland virtual keyboard"));

    const fs::path qt = startField({std::string(PARLANDO_BINARY_DIR) + "/tools/paste-target/paste-target", "--out"},
                                   {{"QT_QPA_PLATFORM", "wayland"}});
    user.typeV();
    ASSERT_TRUE(pasted(qt, "м"));
    paste_->delivery().paste("Привет, мир");
    EXPECT_TRUE(pasted(qt, "мПривет, мир")) << readFile(qt.string() + ".keys");
    // A second dictation replaces what the clipboard held and pastes again.
    paste_->delivery().paste(" и ещё");
    EXPECT_TRUE(pasted(qt, "мПривет, мир и ещё")) << readFile(qt.string() + ".keys");
    // Our keyboard's keymap came and went with its keys: the user's Russian layout is still on.
    user.typeV();
    EXPECT_TRUE(pasted(qt, "мПривет, мир и ещём"));

    // sway's IPC names the focused window: a terminal gets Ctrl+Shift+V.
    const fs::path terminal =
        startField({std::string(PARLANDO_BINARY_DIR) + "/tools/paste-target/paste-target", "--class", "foot", "--mode",
                    "terminal", "--out"},
                   {{"QT_QPA_PLATFORM", "wayland"}});
    paste_->delivery().paste("ls -la");
    EXPECT_TRUE(pasted(terminal, "ls -la")) << readFile(terminal.string() + ".keys");

    if (testenv::run({"/usr/bin/python3", "-c", "import gi; gi.require_version('Gtk', '3.0')"}).exitCode != 0)
        GTEST_SKIP() << "GTK 3 for Python is not installed";
    const fs::path gtk = startField({"/usr/bin/python3", std::string(PARLANDO_SOURCE_DIR) + "/tests/support/wayland/gtk-paste-target.py"},
                                    {{"GDK_BACKEND", "wayland"}});
    paste_->delivery().paste("Текст для GTK");
    EXPECT_TRUE(pasted(gtk, "Текст для GTK"));
    EXPECT_EQ(log_.count("shortcut not sent"), 0U);
}
