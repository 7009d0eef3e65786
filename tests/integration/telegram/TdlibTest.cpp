// The Telegram client on the real libtdjson, offline, with its database in a
// temporary home and its key in a private keyring: TDLib gets as far as
// asking for the phone number, a quit keeps the session, a logout wipes it.
#include "core/VirtualMainLoop.h"
#include "credentials/adapters/LibsecretStore.h"
#include "credentials/adapters/SystemSecureRandom.h"
#include "fakes/Fakes.h"
#include "telegram/TelegramClient.h"
#include "telegram/adapters/LinuxDevice.h"
#include "telegram/adapters/TdJsonLibrary.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace parlando;
using namespace parlando::testenv;
using namespace std::chrono_literals;
using Status = TelegramClient::Status;
namespace fs = std::filesystem;

namespace {

int receiveThreads() {
    int n = 0;
    for (const auto& task : fs::directory_iterator("/proc/self/task"))
        n += readFile(task.path() / "comm") == std::string(TdJsonLibrary::threadName) + "\n";
    return n;
}

}  // namespace

TEST(Tdlib, ReachesThePhoneStepKeepsTheSessionAtQuitAndWipesItAtLogout) {
    ASSERT_TRUE(fs::exists(TdJsonLibrary::buildTreePath()))
        << TdJsonLibrary::buildTreePath() << " is missing: run scripts/install-deps.sh";
    ASSERT_TRUE(haveProgram("gnome-keyring-daemon")) << "the private keyring needs gnome-keyring";
    TempDir dir("parlando-tdlib");
    SessionBus bus(dir.path(), true);
    applyToProcess(isolatedEnv(dir.path(), {bus.env(), {{"XDG_RUNTIME_DIR", dir.path().string()}}}));
    ::unsetenv("DISPLAY");
    LibsecretStore store;
    SystemSecureRandom random;
    KeychainHelper keychain(store, random);
    keychain.setTelegramCredentials(12345, "0123456789abcdef0123456789abcdef");
    VirtualMainLoop loop;
    parlando::testing::MemoryLog log;
    TdJsonLibrary library;
    const TelegramClient::Folders folders{dir.path() / "Parlando/tdlib", dir.path() / "Parlando/tdlib-files"};
    const auto key = [&] { return store.read(KeychainHelper::Service::tdlibDatabaseKey, "tdlib"); };
    const auto reaches = [&](const std::function<bool()>& pred) {
        return waitFor([&] { return loop.runPending(), pred(); }, 20s, 5ms);
    };

    auto client = TelegramClient::create(loop, log, keychain, library, folders, linuxTelegramDevice());
    client->start();
    client->start();
    ASSERT_TRUE(reaches([&] { return client->status() == Status::waitingPhone(); })) << client->status().menuText();
    EXPECT_EQ(log.count("booted"), 1u);
    EXPECT_EQ(receiveThreads(), 1);
    EXPECT_EQ(key().value.size(), 44u);
    EXPECT_EQ(fs::status(folders.databaseDir).permissions(), fs::perms::owner_all);
    EXPECT_TRUE(client->closeForQuit(seconds(2)));

    // The next launch opens the kept database with the stored key: TDLib
    // would refuse any other ("Wrong database encryption key").
    client = TelegramClient::create(loop, log, keychain, library, folders, linuxTelegramDevice());
    client->start();
    ASSERT_TRUE(reaches([&] { return client->status() == Status::waitingPhone(); })) << client->status().menuText();
    EXPECT_FALSE(log.contains("tg: error"));
    client->logoutAndWipe();
    ASSERT_TRUE(reaches([&] { return !client->running() && log.contains("wiped"); }));
    EXPECT_TRUE(log.contains("tg: auth state authorizationStateLoggingOut"));
    EXPECT_EQ(client->status(), Status::idle());
    EXPECT_FALSE(fs::exists(folders.databaseDir) || fs::exists(folders.filesDir));
    EXPECT_TRUE(key().status.notFound());
    EXPECT_TRUE(keychain.telegramCredentials());
    EXPECT_TRUE(waitFor([] { return receiveThreads() == 0; }, 3s)) << "the receive loop ends with the client";
}

TEST(Tdlib, AMissingOrBrokenLibraryIsReportedWithTheFix) {
    TempDir dir("parlando-notd");
    std::ofstream(dir.path() / "libtdjson.so") << "not a library";
    for (const auto& [file, text] : {std::pair{"none.so", "not found"}, std::pair{"libtdjson.so", "failed to load"}}) {
        TdJsonLibrary library({(dir.path() / file).string()});
        const auto failure = library.load();
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->userText, std::string("libtdjson ") + text + ": run scripts/install-deps.sh or set PARLANDO_TDJSON");
    }
}
