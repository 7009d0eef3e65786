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

// A private bus with a keyring that this process and the secret-tool runs
// talk to. Without a Secret Service: the set-api-key command's test.
struct SecretServiceEnv {
    TempDir dir{"parlando-secrets"};
    std::unique_ptr<SessionBus> bus;
    std::map<std::string, std::string> env;

    SecretServiceEnv() { start(); }
    ~SecretServiceEnv() {
        bus.reset();
        forgetSessionBus();
    }

    void start() {
        bus = std::make_unique<SessionBus>(dir.path(), true);
        env = isolatedEnv(dir.path(), {bus->env(), {{"XDG_RUNTIME_DIR", dir.path().string()}}});
        applyToProcess(env);
        ::unsetenv("DISPLAY");  // never autolaunch a bus of our own
        forgetSessionBus();
    }

    RunResult tool(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{"secret-tool"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, env, 20s);
    }
    // secret-tool reads the secret from standard input when it is not a terminal.
    bool store(const std::string& service, const std::string& account, const std::string& value) const {
        auto e = env;
        e["SECRET_INPUT"] = value;
        const std::string cmd =
            "printf %s \"$SECRET_INPUT\" | exec secret-tool store --label=x service \"$0\" account \"$1\"";
        return run({"sh", "-c", cmd, service, account}, e, 20s).exitCode == 0;
    }
};

class LibsecretKeyring : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"dbus-daemon", "gnome-keyring-daemon", "secret-tool"})
            if (!haveProgram(tool)) GTEST_SKIP() << tool << " missing";
        env = std::make_unique<SecretServiceEnv>();
    }
    void TearDown() override { env.reset(); }

    std::unique_ptr<SecretServiceEnv> env;
    LibsecretStore store;
    SystemSecureRandom random;
    KeychainHelper keychain{store, random};
};

}  // namespace

TEST_F(LibsecretKeyring, ItemsRoundTripAndAreSharedWithSecretToolBothWays) {
    const std::string svc = "parlando.test.roundtrip", acc = "tester";
    EXPECT_TRUE(store.read(svc, acc).status.notFound());
    EXPECT_TRUE(store.update(svc, acc, "x").notFound()) << "nothing to update yet";
    ASSERT_TRUE(store.add(svc, acc, "ключ • first\n").ok());
    EXPECT_EQ(store.read(svc, acc).value, "ключ • first\n") << "values come back byte for byte";
    EXPECT_TRUE(store.read(svc, "other-account").status.notFound());
    EXPECT_TRUE(store.remove(svc, acc).ok());
    EXPECT_TRUE(store.remove(svc, acc).notFound());

    // secret-tool's value read by us; our write over it updates the one item in place.
    ASSERT_TRUE(env->store("parlando.deepgram.api_key", "deepgram", "dg-from-secret-tool"));
    EXPECT_EQ(keychain.deepgramAPIKey(), "dg-from-secret-tool");
    keychain.setDeepgramAPIKey("dg-updated");
    const std::string all =
        env->tool({"search", "--all", "service", "parlando.deepgram.api_key", "account", "deepgram"}).out;
    EXPECT_EQ(all.find("secret = "), all.rfind("secret = ")) << "one item: " << all;
    EXPECT_EQ(env->tool({"lookup", "service", "parlando.deepgram.api_key", "account", "deepgram"}).out, "dg-updated");
    // The database key made, stored and used again: the TDLib test.
    EXPECT_NE(keychain.tdlibDatabaseKey(), std::vector<std::uint8_t>(32, 0)) << "the system's random bytes";
}

// The keyring's bus going away, then a locked keyring: errors, never a hang
// and never "not found" (which would invite overwriting the item).
TEST_F(LibsecretKeyring, ALostBusAndALockedKeyringAreErrorsAndTheNextBusServes) {
    ASSERT_TRUE(store.add("parlando.test.bus", "a", "v").ok());
    env->bus.reset();
    auto r = store.read("parlando.test.bus", "a");
    EXPECT_TRUE(r.status.failed());
    EXPECT_FALSE(r.status.description.empty());
    env->start();  // a new bus and keyring daemon over the same keyring files
    r = store.read("parlando.test.bus", "a");
    EXPECT_EQ(r.value, "v") << r.status.description;

    ASSERT_EQ(
        run({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.secrets", "/org/freedesktop/secrets",
             "org.freedesktop.Secret.Service.Lock", "array:objpath:/org/freedesktop/secrets/collection/login"},
            env->env, 20s)
            .exitCode,
        0);
    EXPECT_TRUE(store.read("parlando.test.bus", "a").status.failed());
    EXPECT_TRUE(store.update("parlando.test.bus", "a", "w").failed());
}

TEST(LibsecretUnavailable, NoBusAtAllIsAClearError) {
    TempDir dir("parlando-nobus");
    applyToProcess(isolatedEnv(dir.path(), {{{"XDG_RUNTIME_DIR", dir.path().string()}}}));
    ::unsetenv("DISPLAY");
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/parlando-bus", 1);
    forgetSessionBus();
    LibsecretStore store;
    const auto r = store.read("parlando.deepgram.api_key", "deepgram");
    EXPECT_NE(r.status.description.find("cannot reach the D-Bus session bus"), std::string::npos)
        << r.status.description;
    forgetSessionBus();
}
