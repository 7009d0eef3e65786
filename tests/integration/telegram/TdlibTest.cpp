// The Telegram client on the real libtdjson, offline, with its database in a
// temporary home and its key in a private keyring: TDLib gets as far as
// asking for the phone number, a quit keeps the session, a logout wipes it.
#include "core/VirtualMainLoop.h"
#include "credentials/adapters/LibsecretStore.h"
#include "credentials/adapters/SystemSecureRandom.h"
#include "fakes/FakeCredentials.h"
#include "fakes/Fakes.h"
#include "telegram/TelegramClient.h"
#include "telegram/adapters/LinuxDevice.h"
#include "telegram/adapters/TdJsonLibrary.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

using namespace parlando;
using namespace parlando::testenv;
using namespace std::chrono_literals;
using Status = TelegramClient::Status;
namespace fs = std::filesystem;

namespace {

// The real library, with every request kept for a look.
struct RecordingTdJson final : TdJson {
    TdJson& real;
    std::vector<nlohmann::json> sent;
    explicit RecordingTdJson(TdJson& r) : real(r) {}
    std::optional<LoadFailure> load() override { return real.load(); }
    int createClientId() override { return real.createClientId(); }
    void send(int id, const std::string& request) override {
        sent.push_back(nlohmann::json::parse(request));
        real.send(id, request);
    }
    std::string execute(const std::string& request) override { return real.execute(request); }
    void startReceiving(ReceiveFn fn) override { real.startReceiving(std::move(fn)); }
};

int receiveThreads() {
    int n = 0;
    for (const auto& task : fs::directory_iterator("/proc/self/task"))
        if (readFile(task.path() / "comm") == std::string(TdJsonLibrary::threadName) + "\n") ++n;
    return n;
}

bool runUntil(VirtualMainLoop& loop, const std::function<bool()>& pred, std::chrono::milliseconds limit = 20s) {
    return waitFor([&] {
        loop.runPending();
        return pred();
    }, limit, 5ms);
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
    RecordingTdJson td(library);
    const TelegramClient::Folders folders{dir.path() / "data/Parlando/tdlib", dir.path() / "data/Parlando/tdlib-files"};
    const auto key = [&] { return store.read(KeychainHelper::Service::tdlibDatabaseKey, "tdlib"); };
    {
        auto client = TelegramClient::create(loop, log, keychain, td, folders, linuxTelegramDevice());
        client->start();
        client->start();
        ASSERT_TRUE(runUntil(loop, [&] { return client->status() == Status::waitingPhone(); }))
            << client->status().menuText();
        EXPECT_EQ(log.count("booted"), 1u);
        EXPECT_EQ(receiveThreads(), 1);
        const auto params = std::find_if(td.sent.begin(), td.sent.end(),
                                         [](const auto& r) { return r["@type"] == "setTdlibParameters"; });
        ASSERT_NE(params, td.sent.end());
        EXPECT_EQ((*params)["database_encryption_key"], key().value);
        EXPECT_EQ(key().value.size(), 44u);
        EXPECT_NE((*params)["system_version"].get<std::string>().find("Linux"), std::string::npos);
        EXPECT_EQ(fs::status(folders.databaseDir).permissions(), fs::perms::owner_all);
        EXPECT_EQ(fs::status(folders.filesDir).permissions(), fs::perms::owner_all);

        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(client->closeForQuit(seconds(2)));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
        EXPECT_TRUE(fs::exists(folders.databaseDir / "td.binlog"));
        EXPECT_TRUE(key().status.ok());
    }
    // The next launch opens the kept database with the kept key, then logs out.
    auto client = TelegramClient::create(loop, log, keychain, td, folders, linuxTelegramDevice());
    client->start();
    ASSERT_TRUE(runUntil(loop, [&] { return client->status() == Status::waitingPhone(); }))
        << client->status().menuText();
    EXPECT_FALSE(log.contains("tg: error"));
    EXPECT_EQ(receiveThreads(), 1);
    client->logoutAndWipe();
    ASSERT_TRUE(runUntil(loop, [&] { return !client->running() && log.contains("wiped"); }));
    EXPECT_TRUE(log.contains("tg: auth state authorizationStateLoggingOut"));
    EXPECT_EQ(client->status(), Status::idle());
    EXPECT_FALSE(fs::exists(folders.databaseDir));
    EXPECT_FALSE(fs::exists(folders.filesDir));
    EXPECT_TRUE(key().status.notFound());
    EXPECT_TRUE(keychain.telegramCredentials());
    EXPECT_TRUE(waitFor([] { return receiveThreads() == 0; }, 3s)) << "the receive loop ends with the client";
}

TEST(Tdlib, WithoutTheLibraryTheStatusSaysHowToGetItAndNothingElseHappens) {
    const auto env = [](const char* name) -> std::optional<std::string> {
        if (std::string(name) == TdJsonLibrary::envVariable) return "/opt/td/libtdjson.so";
        return std::nullopt;
    };
    const auto candidates = TdJsonLibrary::defaultCandidates(env);
    ASSERT_EQ(candidates.size(), 4u);
    EXPECT_EQ(candidates.front(), "/opt/td/libtdjson.so");
    EXPECT_EQ(candidates[2], TdJsonLibrary::buildTreePath());
    EXPECT_EQ(candidates.back(), "libtdjson.so");

    TempDir dir("parlando-notd");
    fs::create_directories(dir.path() / "lib");
    std::ofstream(dir.path() / "lib/libtdjson.so") << "not a library";
    parlando::testing::MemorySecretStore store;
    parlando::testing::FakeSecureRandom random;
    KeychainHelper keychain(store, random);
    keychain.setTelegramCredentials(1, "h");
    VirtualMainLoop loop;
    parlando::testing::MemoryLog log;
    for (const bool present : {false, true}) {
        TdJsonLibrary library({(dir.path() / (present ? "lib" : "none") / "libtdjson.so").string()});
        auto client = TelegramClient::create(loop, log, keychain, library, {dir.path() / "db", dir.path() / "files"},
                                             {"Linux desktop", "Linux", "0"});
        client->start();
        EXPECT_EQ(client->status().menuText(), std::string("error: libtdjson ") +
                                                    (present ? "failed to load" : "not found") +
                                                    ": run scripts/install-deps.sh or set PARLANDO_TDJSON");
        EXPECT_FALSE(client->running());
        EXPECT_FALSE(fs::exists(dir.path() / "db"));
    }
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(log.lines()[0].rfind("tg: cannot load libtdjson: ", 0), 0u);
    EXPECT_EQ(receiveThreads(), 0);
}
