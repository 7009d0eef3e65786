// `parlando --set-api-key` for real: the dialog on an X server, keys typed
// through XTest, the key landing in gnome-keyring on a private bus.
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace parlando::testenv;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Every file under root whose bytes contain needle.
std::vector<fs::path> filesContaining(const fs::path& root, const std::string& needle) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_regular_file() && readFile(it->path()).find(needle) != std::string::npos) found.push_back(it->path());
    }
    return found;
}

class SetApiKeyCommand : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "xdotool", "dbus-daemon", "gnome-keyring-daemon", "secret-tool"})
            if (!haveProgram(tool)) GTEST_SKIP() << tool << " missing";
        binary = fs::path(PARLANDO_BINARY_DIR) / "apps" / "parlando";
        ASSERT_TRUE(fs::exists(binary)) << binary;
        x = std::make_unique<XServer>(dir.path(), XServer::Options{false, 1280, 800});
    }

    void startBus(bool withKeyring) {
        bus = std::make_unique<SessionBus>(dir.path(), withKeyring);
        env = isolatedEnv(dir.path(), {bus->env(), x->env(),
                                       {{"XDG_RUNTIME_DIR", dir.path().string()}, {"QT_QPA_PLATFORM", "xcb"}}});
    }

    // Starts the command and waits until its dialog holds the keyboard focus.
    void openDialog() {
        app = Process::spawn({binary.string(), "--set-api-key"}, env, dir.path() / "app.out", dir.path() / "app.err");
        const bool focused = waitFor(
            [&] { return run({"xdotool", "getwindowfocus", "getwindowname"}, env, 5s).out.find("Parlando") == 0; },
            30s, 50ms);
        ASSERT_TRUE(focused) << "the key dialog did not come up with the focus";
    }

    // Types text into the dialog, then presses key.
    void answer(const std::string& text, const std::string& key) {
        ASSERT_EQ(run({"xdotool", "type", "--delay", "15", text}, env, 20s).exitCode, 0);
        ASSERT_EQ(run({"xdotool", "key", key}, env, 20s).exitCode, 0);
    }

    std::optional<int> exitCode() { return app.wait(30s); }

    std::string lookup() { return run({"sh", "-c", "secret-tool lookup " + item}, env, 20s).out; }

    std::string log() { return readFile(fs::path(env["XDG_DATA_HOME"]) / "Parlando" / "parlando-tray.txt"); }

    const std::string item = "service parlando.deepgram.api_key account deepgram";
    TempDir dir{"parlando-setkey"};
    fs::path binary;
    std::unique_ptr<XServer> x;
    std::unique_ptr<SessionBus> bus;
    std::map<std::string, std::string> env;
    Process app;
};

}  // namespace

TEST_F(SetApiKeyCommand, TypedKeyIsTrimmedAndStoredInNoFileOfOursAndEscapeKeepsIt) {
    startBus(true);
    openDialog();
    answer("  e2e-key-7f3a9  ", "Return");
    EXPECT_EQ(exitCode(), 0) << readFile(dir.path() / "app.err");
    EXPECT_EQ(lookup(), "e2e-key-7f3a9");
    // The app's own files (home, data, config, cache) and its output never hold the key.
    EXPECT_TRUE(filesContaining(dir.path() / "home", "e2e-key-7f3a9").empty());
    EXPECT_EQ(readFile(dir.path() / "app.err").find("e2e-key-7f3a9"), std::string::npos);
    openDialog();
    answer("typed-then-cancelled", "Escape");
    EXPECT_EQ(exitCode(), 0);
    EXPECT_EQ(lookup(), "e2e-key-7f3a9");
}

TEST_F(SetApiKeyCommand, WithoutASecretServiceTheSaveFailsWithAClearMessage) {
    startBus(false);
    openDialog();
    answer("key-nowhere-to-go", "Return");
    EXPECT_EQ(exitCode(), 1);
    const std::string text = log();
    EXPECT_NE(text.find("no Secret Service on the session bus"), std::string::npos) << text;
    EXPECT_EQ(text.find("key-nowhere-to-go"), std::string::npos);
}
