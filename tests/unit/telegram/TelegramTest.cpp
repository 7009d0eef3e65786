#include "core/VirtualMainLoop.h"
#include "fakes/FakeCredentials.h"
#include "fakes/FakeTelegram.h"
#include "fakes/Fakes.h"
#include "telegram/TelegramEvents.h"
#include "telegram/TelegramMenu.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

using namespace parlando;
using namespace parlando::testing;
using Status = TelegramClient::Status;
using Kind = TelegramEvent::Kind;
namespace fs = std::filesystem;

TEST(TelegramEvents, DecodesWhatTheClientUsesAndDropsTheRest) {
    const struct {
        const char* text;
        std::optional<std::pair<Kind, std::string>> want;
    } cases[] = {
        {R"({"@type":"updateAuthorizationState","authorization_state":{"@type":"authorizationStateWaitCode"}})",
         {{Kind::authorizationState, "authorizationStateWaitCode"}}},
        {R"({"@type":"error","code":400,"message":"PHONE_CODE_INVALID"})", {{Kind::error, "PHONE_CODE_INVALID"}}},
        {R"({"@type":"error","code":500})", {{Kind::error, "unknown error"}}},
        {R"({"@type":"error","message":""})", {{Kind::error, "unknown error"}}},
        {R"({"@type":"user","usernames":{"active_usernames":["anna","a2"]},"username":"old","first_name":"Anna"})",
         {{Kind::user, "anna"}}},
        {R"({"@type":"user","usernames":{"active_usernames":[]},"username":"","first_name":"Anna"})",
         {{Kind::user, "Anna"}}},
        {R"({"@type":"user","username":"solo"})", {{Kind::user, "solo"}}},
        {R"({"@type":"user","usernames":{"active_usernames":[7]},"first_name":5})", {{Kind::user, "user"}}},
        {R"({"@type":"updateOption","name":"version"})", {{Kind::other, "updateOption"}}},
        {R"({"@type":"updateAuthorizationState","authorization_state":"closed"})", std::nullopt},
        {R"({"@type":"updateAuthorizationState","authorization_state":{}})", std::nullopt},
        {R"({"type":"error"})", std::nullopt},
        {R"({"@type":5})", std::nullopt},
        {R"(["@type","error"])", std::nullopt},
        {"{\"@type\":\"user\",\"first_name\":\"\xff\"}", std::nullopt},
        {"not json", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto e = decodeTelegramEvent(c.text);
        ASSERT_EQ(e.has_value(), c.want.has_value()) << c.text;
        if (e) {
            EXPECT_EQ(std::make_pair(e->kind, e->text), *c.want) << c.text;
        }
    }
}

namespace {

struct TelegramRig : ::testing::Test {
    VirtualMainLoop loop;
    MemoryLog log;
    MemorySecretStore store;
    FakeSecureRandom random;
    KeychainHelper keychain{store, random};
    FakeTdJson td;
    ScriptedAlertPresenter alerts;
    std::vector<std::string> errors;
    fs::path dir = fs::temp_directory_path() / ("parlando-tg-" + std::to_string(std::random_device{}()));
    std::shared_ptr<TelegramClient> client = TelegramClient::create(
        loop, log, keychain, td, {dir / "tdlib", dir / "tdlib-files"}, {"Linux desktop", "Linux 6", "0.1.0"});
    std::shared_ptr<TelegramMenu> menu = TelegramMenu::create(
        loop, log, *client, keychain, alerts, [this](const std::string& m) { errors.push_back(m); });

    ~TelegramRig() override { fs::remove_all(dir); }
    void state(const std::string& s) {
        td.deliverAuthState("authorizationState" + s);
        loop.runPending();
    }
    void event(const std::string& json) {
        td.deliver(json);
        loop.runPending();
    }
    std::vector<std::string> items() {
        MenuModel m;
        menu->addTelegramMenuItems(m);
        std::vector<std::string> out;
        for (const auto& i : m.items) out.push_back(i.title + (i.enabled ? "" : " (off)"));
        return out;
    }
    // Saves credentials through the dialog and brings TDLib to the phone step.
    void loginToPhone() {
        alerts.answer(0, {" 12345 \n", "hash "});
        menu->configureTelegramCredentials();
        state("WaitTdlibParameters");
        state("WaitPhoneNumber");
    }
};

}  // namespace

TEST_F(TelegramRig, CredentialsThenPromptsOncePerStageOnlyAfterConnect) {
    menu->setupTelegramClient();
    loop.runPending();
    EXPECT_EQ(items(), (std::vector<std::string>{"Telegram: app credentials missing (off)", "Параметры Telegram…"}));
    alerts.answer(0, {"12a", "hash"});
    menu->configureTelegramCredentials();
    EXPECT_EQ(errors, std::vector<std::string>{"api_id должен быть целым числом, api_hash не пустым"});
    EXPECT_FALSE(keychain.telegramCredentials());

    loginToPhone();
    EXPECT_EQ(alerts.shown.size(), 2u) << "no prompt before the user connects";
    EXPECT_EQ(td.receiveStarts, 1);
    EXPECT_EQ(td.executed.size(), 1u);
    const auto& params = td.sent.at(1);
    EXPECT_EQ(params["@type"], "setTdlibParameters");
    EXPECT_EQ(params["api_id"], 12345);
    EXPECT_EQ(params["api_hash"], "hash");
    EXPECT_EQ(params["database_encryption_key"], store.get("parlando.tdlib_db_key", "tdlib"));
    EXPECT_EQ(params["device_model"], "Linux desktop");
    EXPECT_EQ(fs::status(dir / "tdlib").permissions(), fs::perms::owner_all);
    EXPECT_EQ(items(), (std::vector<std::string>{"Telegram: waiting for phone… (off)", "Telegram: подключить…"}));

    alerts.answer(0, {"  +7000 \n"});
    alerts.answer(0, {" 123 "});
    alerts.answer(0, {"456"});
    alerts.answer(0, {" pass word "});
    menu->connectTelegram();
    state("WaitPhoneNumber");  // the same stage again: no second prompt
    state("WaitCode");
    event(R"({"@type":"error","message":"PHONE_CODE_INVALID"})");
    EXPECT_FALSE(menu->connectInFlight);
    menu->connectTelegram();  // TDLib still waits for the code: asked again
    state("WaitPassword");
    client->submitPassword(" typed ");
    state("Ready");
    event(R"({"@type":"user","username":"anna"})");
    const std::vector<std::string> titles = {"Параметры Telegram приложения", "Номер телефона Telegram",
                                             "Код подтверждения", "Код подтверждения", "Облачный пароль (2FA)"};
    ASSERT_EQ(alerts.shown.size(), titles.size() + 1);
    for (std::size_t i = 0; i < titles.size(); ++i) EXPECT_EQ(alerts.shown[i + 1].messageText, titles[i]);
    EXPECT_TRUE(alerts.shown.back().fields.at(0).secure);
    const auto n = td.sent.size();
    EXPECT_EQ(td.sent[n - 6]["phone_number"], "+7000");
    EXPECT_EQ(td.sent[n - 5]["code"], "123");
    EXPECT_EQ(td.sent[n - 3]["password"], "pass word");  // trimmed by the prompt
    EXPECT_EQ(td.sent[n - 2]["password"], " typed ");    // the client sends what it is given
    EXPECT_EQ(td.sent[n - 1]["@type"], "getMe");
    EXPECT_FALSE(menu->connectInFlight);
    EXPECT_EQ(items(), (std::vector<std::string>{"Telegram: @anna ✓ (off)", "Telegram: выйти"}));
    EXPECT_EQ(log.count("tg: error — PHONE_CODE_INVALID"), 1u);
}

TEST_F(TelegramRig, OnlyALogoutWipesAndABrokenDatabaseCanBeWiped) {
    loginToPhone();
    fs::create_directories(dir / "tdlib-files/photos");
    // A close that is not a logout keeps the session and its key.
    state("Closing");
    state("Closed");
    EXPECT_EQ(client->status(), Status::idle());
    EXPECT_TRUE(fs::exists(dir / "tdlib-files/photos"));
    EXPECT_FALSE(td.deliver("{}")) << "the receive loop ends with the closed state";

    // TDLib cannot open the database: the menu offers the wipe, which closes TDLib.
    client->start();
    state("WaitTdlibParameters");
    event(R"({"@type":"error","code":401,"message":"Wrong database encryption key"})");
    EXPECT_EQ(items().back(), "Telegram: выйти");
    alerts.answer(0);
    menu->logoutTelegram();
    EXPECT_EQ(td.sentTypes().back(), "close");
    state("Closed");
    EXPECT_FALSE(fs::exists(dir / "tdlib"));
    EXPECT_FALSE(fs::exists(dir / "tdlib-files"));
    EXPECT_FALSE(store.has("parlando.tdlib_db_key", "tdlib"));
    EXPECT_TRUE(keychain.telegramCredentials());

    // Logged out elsewhere: TDLib reports logging out, and that wipes too.
    client->start();
    state("WaitTdlibParameters");
    state("LoggingOut");
    EXPECT_TRUE(store.has("parlando.tdlib_db_key", "tdlib"));
    state("Closed");
    EXPECT_FALSE(store.has("parlando.tdlib_db_key", "tdlib"));
    EXPECT_EQ(client->status(), Status::idle());
    EXPECT_EQ(log.count("tg: local session wiped"), 2u);
}

TEST_F(TelegramRig, MissingLibraryOrKeyStoreShowsInTheStatusAndStartIsIdempotent) {
    store.put("parlando.telegram.api_id", "telegram", "1");
    store.put("parlando.telegram.api_hash", "telegram", "h");
    td.loadFailure = TdJson::LoadFailure{"libtdjson not found: run scripts/install-deps.sh", "tried: a; b"};
    client->start();
    EXPECT_EQ(client->status().menuText(), "error: libtdjson not found: run scripts/install-deps.sh");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"tg: cannot load libtdjson: tried: a; b"});
    EXPECT_FALSE(client->running());

    td.loadFailure.reset();
    store.failWith(MemorySecretStore::Op::read, "parlando.tdlib_db_key", "tdlib",
                   SecretStoreStatus::failure(2, "locked"));
    client->start();
    client->start();
    state("WaitTdlibParameters");
    EXPECT_EQ(client->status().kind, Status::Kind::error);
    EXPECT_EQ(client->status().text.rfind("failed to create DB key: ", 0), 0u);
    store.clearFailures();
    client->start();  // the key store answers now: the parameters go out
    EXPECT_EQ(td.sentTypes(), (std::vector<std::string>{"getAuthorizationState", "setTdlibParameters"}));
    EXPECT_EQ(td.lastClientId, 1);
    EXPECT_EQ(log.count("booted"), 1u);
}
