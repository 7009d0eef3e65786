// The libsecret store against a real Secret Service (gnome-keyring on a
// private session bus), checked both ways against secret-tool.
#include "credentials/KeychainHelper.h"
#include "credentials/adapters/LibsecretStore.h"
#include "credentials/adapters/SystemSecureRandom.h"
#include "testenv/TestEnv.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

using namespace parlando;
using namespace parlando::testenv;
using namespace std::chrono_literals;

namespace {

bool haveTools() {
    return haveProgram("dbus-daemon") && haveProgram("gnome-keyring-daemon") && haveProgram("secret-tool");
}

// GLib keeps one session-bus connection per process and lets go of a closed
// one only once the default main context has run its "closed" notification.
// A Qt application's loop does that by itself; a test that switches buses
// has to run that context by hand until GLib hands out a live connection.
void forgetSessionBus() {
    LibsecretStore::disconnect();
    waitFor(
        [] {
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            GError* error = nullptr;
            GDBusConnection* c = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
            if (error) g_error_free(error);
            if (!c) return true;
            g_dbus_connection_set_exit_on_close(c, FALSE);
            const bool live = !g_dbus_connection_is_closed(c);
            g_object_unref(c);
            return live;
        },
        5000ms);
}

// A private bus (with or without a keyring) that this process and the
// secret-tool runs talk to.
struct SecretServiceEnv {
    TempDir dir{"parlando-secrets"};
    std::unique_ptr<SessionBus> bus;
    std::map<std::string, std::string> env;

    explicit SecretServiceEnv(bool withKeyring) { start(withKeyring); }
    ~SecretServiceEnv() { stop(); }

    void start(bool withKeyring) {
        bus = std::make_unique<SessionBus>(dir.path(), withKeyring);
        env = isolatedEnv(dir.path(), {bus->env(), {{"XDG_RUNTIME_DIR", dir.path().string()}}});
        applyToProcess(env);
        ::unsetenv("DISPLAY");  // never autolaunch a bus of our own
        forgetSessionBus();
    }
    void stop() {
        bus.reset();
        forgetSessionBus();
    }

    RunResult tool(const std::vector<std::string>& args, const std::string& input = {}) const {
        auto e = env;
        std::vector<std::string> argv{"secret-tool"};
        argv.insert(argv.end(), args.begin(), args.end());
        if (input.empty()) return run(argv, e, 20s);
        // secret-tool reads the secret from standard input when it is not a terminal.
        e["SECRET_INPUT"] = input;
        std::string cmd = "printf %s \"$SECRET_INPUT\" | exec";
        for (const auto& a : argv) cmd += " '" + a + "'";
        return run({"sh", "-c", cmd}, e, 20s);
    }
    std::optional<std::string> lookup(const std::string& service, const std::string& account) const {
        RunResult r = tool({"lookup", "service", service, "account", account});
        if (r.exitCode != 0) return std::nullopt;
        return r.out;
    }
    bool store(const std::string& service, const std::string& account, const std::string& value) const {
        return tool({"store", "--label=by secret-tool", "service", service, "account", account}, value).exitCode == 0;
    }
};

class LibsecretKeyring : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveTools()) GTEST_SKIP() << "dbus-daemon, gnome-keyring-daemon or secret-tool missing";
        env = std::make_unique<SecretServiceEnv>(true);
    }
    void TearDown() override { env.reset(); }

    std::unique_ptr<SecretServiceEnv> env;
    LibsecretStore store;
    SystemSecureRandom random;
    KeychainHelper keychain{store, random};
};

}  // namespace

TEST_F(LibsecretKeyring, StoreLookupOverwriteDeleteAndNotFound) {
    const std::string svc = "parlando.test.roundtrip", acc = "tester";
    auto r = store.read(svc, acc);
    EXPECT_TRUE(r.status.notFound()) << r.status.description;
    EXPECT_TRUE(store.update(svc, acc, "x").notFound()) << "nothing to update yet";

    ASSERT_TRUE(store.add(svc, acc, "first\n").ok());
    r = store.read(svc, acc);
    ASSERT_TRUE(r.status.ok()) << r.status.description;
    EXPECT_EQ(r.value, "first\n") << "values come back byte for byte";

    ASSERT_TRUE(store.update(svc, acc, "ключ • second").ok());
    EXPECT_EQ(store.read(svc, acc).value, "ключ • second");
    EXPECT_EQ(store.read(svc, "other-account").status.kind, SecretStoreStatus::Kind::notFound);
    EXPECT_EQ(store.read("parlando.test.other", acc).status.kind, SecretStoreStatus::Kind::notFound);

    EXPECT_TRUE(store.remove(svc, acc).ok());
    EXPECT_TRUE(store.read(svc, acc).status.notFound());
    EXPECT_TRUE(store.remove(svc, acc).notFound());
}

TEST_F(LibsecretKeyring, ItemsAreSharedWithSecretToolBothWays) {
    // Ours, read by secret-tool with nothing but the two attributes.
    keychain.setDeepgramAPIKey("dg-from-parlando");
    EXPECT_EQ(env->lookup("parlando.deepgram.api_key", "deepgram"), "dg-from-parlando");

    // secret-tool's, read by us; a store over ours replaces the value.
    ASSERT_TRUE(env->store("parlando.deepgram.api_key", "deepgram", "dg-from-secret-tool"));
    EXPECT_EQ(keychain.deepgramAPIKey(), "dg-from-secret-tool");

    // Our write over secret-tool's item updates it in place: one item, new value.
    keychain.setDeepgramAPIKey("dg-updated");
    EXPECT_EQ(env->lookup("parlando.deepgram.api_key", "deepgram"), "dg-updated");
    const std::string all =
        env->tool({"search", "--all", "service", "parlando.deepgram.api_key", "account", "deepgram"}).out;
    ASSERT_NE(all.find("secret = "), std::string::npos) << all;
    EXPECT_EQ(all.find("secret = "), all.rfind("secret = ")) << "one item: " << all;

    // secret-tool clear removes what we read.
    ASSERT_EQ(env->tool({"clear", "service", "parlando.deepgram.api_key", "account", "deepgram"}).exitCode, 0);
    EXPECT_TRUE(store.read("parlando.deepgram.api_key", "deepgram").status.notFound());
}

TEST_F(LibsecretKeyring, LegacyKeyMoveAndDatabaseKeyOnTheRealStore) {
    ASSERT_TRUE(env->store("ferrule.deepgram.api_key", "deepgram", "legacy-key\n"));  // set by hand
    EXPECT_EQ(keychain.deepgramAPIKey(), "legacy-key");
    EXPECT_EQ(env->lookup("parlando.deepgram.api_key", "deepgram"), "legacy-key");
    EXPECT_FALSE(env->lookup("ferrule.deepgram.api_key", "deepgram"));

    const auto key = keychain.tdlibDatabaseKey();
    ASSERT_EQ(key.size(), 32u);
    EXPECT_EQ(env->lookup("parlando.tdlib_db_key", "tdlib").value_or("").size(), 44u);
    EXPECT_EQ(keychain.tdlibDatabaseKey(), key);
    keychain.clearTDLibDatabaseKey();
    EXPECT_FALSE(env->lookup("parlando.tdlib_db_key", "tdlib"));
}

TEST_F(LibsecretKeyring, SurvivesItsBusGoingAwayAndReconnectsToTheNextOne) {
    ASSERT_TRUE(store.add("parlando.test.bus", "a", "v").ok());
    env->bus.reset();  // the keyring and the bus are gone; this process must not be
    auto r = store.read("parlando.test.bus", "a");
    EXPECT_TRUE(r.status.failed()) << "not found would be a lie: the store could not be asked";
    EXPECT_FALSE(r.status.description.empty());
    EXPECT_TRUE(store.add("parlando.test.bus", "a", "v").failed());

    // A new bus and keyring daemon over the same keyring files: the item
    // written before is there again.
    env->start(true);
    r = store.read("parlando.test.bus", "a");
    EXPECT_TRUE(r.status.ok()) << r.status.description;
    EXPECT_EQ(r.value, "v");
    EXPECT_TRUE(store.update("parlando.test.bus", "a", "w").ok());
    EXPECT_EQ(env->lookup("parlando.test.bus", "a"), "w");
}

TEST_F(LibsecretKeyring, LockedKeyringIsAnErrorNeitherAHangNorNotFound) {
    ASSERT_TRUE(store.add("parlando.test.locked", "a", "v").ok());
    // Lock the login keyring; with no prompter on this bus it cannot be unlocked.
    ASSERT_EQ(run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.secrets", "/org/freedesktop/secrets",
                   "org.freedesktop.Secret.Service.Lock", "array:objpath:/org/freedesktop/secrets/collection/login"},
                  env->env, 20s)
                  .exitCode,
              0);
    EXPECT_TRUE(store.read("parlando.test.locked", "a").status.failed())
        << "a locked item exists: not found would invite overwriting it";
    EXPECT_TRUE(store.update("parlando.test.locked", "a", "w").failed());
}

TEST(LibsecretUnavailable, BusWithoutSecretServiceIsAClearError) {
    if (!haveTools()) GTEST_SKIP() << "dbus-daemon missing";
    SecretServiceEnv env(false);
    LibsecretStore store;
    for (const auto& status : {store.read("parlando.deepgram.api_key", "deepgram").status,
                               store.update("parlando.deepgram.api_key", "deepgram", "k"),
                               store.add("parlando.deepgram.api_key", "deepgram", "k"),
                               store.remove("parlando.deepgram.api_key", "deepgram")}) {
        EXPECT_TRUE(status.failed());
        EXPECT_NE(status.description.find("no Secret Service on the session bus"), std::string::npos)
            << status.description;
    }
    SystemSecureRandom random;
    KeychainHelper keychain(store, random);
    EXPECT_THROW(keychain.setDeepgramAPIKey("k"), KeychainHelper::Error);
    EXPECT_THROW(keychain.tdlibDatabaseKey(), KeychainHelper::Error) << "no key is made up when none can be stored";
}

TEST(LibsecretUnavailable, NoSessionBusAtAllIsAClearErrorNotACrash) {
    TempDir dir("parlando-nobus");
    applyToProcess(isolatedEnv(dir.path(), {{{"XDG_RUNTIME_DIR", dir.path().string()}}}));
    ::unsetenv("DISPLAY");
    LibsecretStore store;
    for (const char* address : {static_cast<const char*>(nullptr), "unix:path=/nonexistent/parlando-bus"}) {
        if (address) ::setenv("DBUS_SESSION_BUS_ADDRESS", address, 1);
        else ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        forgetSessionBus();
        const auto r = store.read("parlando.deepgram.api_key", "deepgram");
        EXPECT_TRUE(r.status.failed()) << (address ? address : "(unset)");
        EXPECT_NE(r.status.description.find("cannot reach the D-Bus session bus"), std::string::npos)
            << r.status.description;
        EXPECT_TRUE(store.add("parlando.deepgram.api_key", "deepgram", "k").failed());
    }
    forgetSessionBus();
}
