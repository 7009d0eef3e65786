// Paste into native Wayland text fields under a headless wlroots compositor,
// with no X server anywhere: the clipboard through data control, the shortcut
// through our virtual keyboard.
#include "core/Settings.h"
#include "core/adapters/QtMainLoop.h"
#include "dictation/adapters/LinuxPaste.h"
#include "fakes/Fakes.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(paste_->routes().clipboardName(), "Wayland data control");
    EXPECT_EQ(paste_->routes().keysName(), "Wayland virtual keyboard");
    EXPECT_TRUE(log_.contains("paste: clipboard via Wayland data control, shortcut via Wayland virtual keyboard"));

    const fs::path qt = startField({std::string(PARLANDO_BINARY_DIR) + "/tools/paste-target/paste-target", "--out"},
                                   {{"QT_QPA_PLATFORM", "wayland"}});
    paste_->delivery().paste("Привет, мир");
    EXPECT_TRUE(pasted(qt, "Привет, мир")) << readFile(qt.string() + ".keys");
    // A second dictation replaces what the clipboard held and pastes again.
    paste_->delivery().paste(" и ещё");
    EXPECT_TRUE(pasted(qt, "Привет, мир и ещё")) << readFile(qt.string() + ".keys");
    EXPECT_EQ(readFile(qt.string() + ".keys"), "control\nctrl+v\ncontrol\nctrl+v\n");

    if (testenv::run({"/usr/bin/python3", "-c", "import gi; gi.require_version('Gtk', '3.0')"}).exitCode != 0)
        GTEST_SKIP() << "GTK 3 for Python is not installed";
    const fs::path gtk = startField({"/usr/bin/python3", std::string(PARLANDO_SOURCE_DIR) + "/tests/support/wayland/gtk-paste-target.py"},
                                    {{"GDK_BACKEND", "wayland"}});
    paste_->delivery().paste("Текст для GTK");
    EXPECT_TRUE(pasted(gtk, "Текст для GTK"));
    EXPECT_EQ(log_.count("shortcut not sent"), 0U);
}
