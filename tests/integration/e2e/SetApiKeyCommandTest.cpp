// `parlando --set-api-key` for real: the dialog on an X server, keys typed
// through XTest, the key landing in gnome-keyring on a private bus.
#include "E2ESupport.h"

#include <gtest/gtest.h>

using namespace parlando::testenv;

TEST(SetApiKeyCommand, TypedKeyIsTrimmedAndStoredInNoFileOfOursEscapeKeepsItAndNoKeyringFailsClearly) {
    for (const char* tool : {"Xvfb", "xdotool", "dbus-daemon", "gnome-keyring-daemon", "secret-tool"})
        if (!haveProgram(tool)) GTEST_SKIP() << tool << " missing";
    // Starts the command, types text into its dialog once that holds the focus, presses key; the exit status.
    const auto enter = [](Desktop& desk, const std::string& text, const std::string& key) -> std::optional<int> {
        Process app = desk.startApp({"--set-api-key"});
        const bool focused = waitFor(
            [&] {
                return run({"xdotool", "getwindowfocus", "getwindowname"}, desk.env, 5s).out.find("Parlando") == 0;
            },
            30s, 50ms);
        EXPECT_TRUE(focused) << "the key dialog did not come up with the focus";
        run({"xdotool", "type", "--delay", "15", text}, desk.env, 20s);
        run({"xdotool", "key", key}, desk.env, 20s);
        return app.wait(30s);
    };
    {
        Desktop desk("parlando-setkey", false, false, true);
        const auto lookup = [&] {
            return run({"secret-tool", "lookup", "service", "parlando.deepgram.api_key", "account", "deepgram"},
                       desk.env)
                .out;
        };
        EXPECT_EQ(enter(desk, "  e2e-key-7f3a9  ", "Return"), 0) << readFile(desk.file("app.err"));
        EXPECT_EQ(lookup(), "e2e-key-7f3a9");
        // The app's own files (home, data, config, cache) and its output never hold the key.
        EXPECT_EQ(run({"grep", "-rl", "e2e-key-7f3a9", desk.file("home"), desk.file("app.err")}).out, "");
        EXPECT_EQ(enter(desk, "typed-then-cancelled", "Escape"), 0);
        EXPECT_EQ(lookup(), "e2e-key-7f3a9");
    }
    Desktop desk("parlando-setkey", false, false, false);
    EXPECT_EQ(enter(desk, "key-nowhere-to-go", "Return"), 1);
    EXPECT_NE(desk.log().find("no Secret Service on the session bus"), std::string::npos) << desk.log();
    EXPECT_EQ(desk.log().find("key-nowhere-to-go"), std::string::npos);
}
