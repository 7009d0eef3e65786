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
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

// Authorization states: the scenarios below and the TDLib test.
TEST(TelegramEvents, DecodesWhatTheClientUsesAndDropsTheRest) {
    const std::pair<const char*, std::optional<std::pair<Kind, std::string>>> cases[] = {
        {R"({"@type":"error","code":400,"message":"PHONE_CODE_INVALID"})", {{Kind::error, "PHONE_CODE_INVALID"}}},
        {R"({"@type":"error","code":500,"message":""})", {{Kind::error, "unknown error"}}},
        {R"({"@type":"user","usernames":{"active_usernames":["anna"]},"username":"old"})", {{Kind::user, "anna"}}},
        {R"({"@type":"user","usernames":{"active_usernames":[]},"username":"","first_name":"Anna"})",
         {{Kind::user, "Anna"}}},
        {R"({"@type":"user","usernames":{"active_usernames":[7]},"first_name":5})", {{Kind::user, "user"}}},
        {R"({"@type":"updateAuthorizationState","authorization_state":{}})", std::nullopt},
        {"{\"@type\":\"user\",\"first_name\":\"\xff\"}", std::nullopt},
    };
    for (const auto& [text, want] : cases) {
        const auto e = decodeTelegramEvent(text);
        EXPECT_EQ(e ? std::optional(std::pair(e->kind, e->text)) : std::nullopt, want) << text;
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
    Lines errors;
    fs::path dir = fs::temp_directory_path() / ("parlando-tg-" + std::to_string(std::random_device{}()));
    std::shared_ptr<TelegramClient> client =
        TelegramClient::create(loop, log, keychain, td, {dir / "db", dir / "files"}, {"Linux desktop", "L", "0"});
    std::shared_ptr<TelegramMenu> menu = TelegramMenu::create(loop, log, *client, keychain, alerts,
                                                              [this](const std::string& m) { errors.push_back(m); });

    ~TelegramRig() override { fs::remove_all(dir); }
    void event(const std::string& json) { td.deliver(json), loop.runPending(); }
    void state(const std::string& s) {
        event(R"({"@type":"updateAuthorizationState","authorization_state":{"@type":"authorizationState)" + s + "\"}}");
    }
    Lines items() {
        MenuModel m;
        menu->addTelegramMenuItems(m);
        Lines out;
        for (const auto& i : m.items) out.push_back(i.title + (i.enabled ? "" : " (off)"));
        return out;
    }
    void loginToPhone() {
        alerts.answer(0, {" 12345 \n", "hash "});
        menu->configureTelegramCredentials();
        state("WaitTdlibParameters");
        state("WaitPhoneNumber");
    }
    bool hasKey() const { return store.has("parlando.tdlib_db_key", "tdlib"); }
};

}  // namespace

TEST_F(TelegramRig, CredentialsThenPromptsOncePerStageOnlyAfterConnect) {
    menu->setupTelegramClient();
    loop.runPending();
    EXPECT_EQ(items(), (Lines{"Telegram: app credentials missing (off)", "Параметры Telegram…"}));
    alerts.answer(0, {"12a", "hash"});
    menu->configureTelegramCredentials();
    EXPECT_EQ(errors, Lines{"api_id должен быть целым числом, api_hash не пустым"});

    loginToPhone();
    EXPECT_EQ(alerts.shown.size(), 2u) << "no prompt before the user connects";
    EXPECT_EQ(td.sent.at(1)["api_hash"], "hash") << "trimmed; the parameters at work: the TDLib test";
    EXPECT_EQ(items(), (Lines{"Telegram: waiting for phone… (off)", "Telegram: подключить…"}));

    for (const char* answer : {"  +7000 \n", " 123 ", "456", " pass word "}) alerts.answer(0, {answer});
    menu->connectTelegram();
    state("WaitPhoneNumber");  // the same stage again: no second prompt
    state("WaitCode");
    event(R"({"@type":"error","message":"PHONE_CODE_INVALID"})");
    menu->connectTelegram();  // TDLib still waits for the code: asked again
    state("WaitPassword");
    client->submitPassword(" typed ");
    state("Ready");
    event(R"({"@type":"user","username":"anna"})");
    Lines titles;
    for (const auto& a : alerts.shown) titles.push_back(a.messageText);
    EXPECT_EQ(Lines(titles.begin() + 2, titles.end()),
              (Lines{"Номер телефона Telegram", "Код подтверждения", "Код подтверждения", "Облачный пароль (2FA)"}));
    EXPECT_TRUE(alerts.shown.back().fields.at(0).secure);
    Lines answers;
    for (const auto& r : td.sent)
        for (const char* k : {"phone_number", "code", "password"})
            if (r.contains(k)) answers.push_back(r[k]);
    // Trimmed by the prompt; the client sends a password exactly as given.
    EXPECT_EQ(answers, (Lines{"+7000", "123", "456", "pass word", " typed "}));
    EXPECT_EQ(td.lastType(), "getMe");
    EXPECT_FALSE(menu->connectInFlight);
    EXPECT_EQ(items(), (Lines{"Telegram: @anna ✓ (off)", "Telegram: выйти"}));
}

TEST_F(TelegramRig, OnlyALogoutWipesAndABrokenDatabaseCanBeWiped) {
    loginToPhone();
    state("Closed");  // not a logout: the session and its key stay
    EXPECT_EQ(client->status(), Status::idle());
    EXPECT_TRUE(fs::exists(dir / "files") && hasKey());
    EXPECT_FALSE(td.deliver("{}")) << "the receive loop ends with the closed state";

    client->start();
    state("WaitTdlibParameters");
    event(R"({"@type":"error","code":401,"message":"Wrong database encryption key"})");
    EXPECT_EQ(items().back(), "Telegram: выйти");
    alerts.answer(0);
    menu->logoutTelegram();
    EXPECT_EQ(td.lastType(), "close") << "TDLib refuses logOut before its parameters";
    state("Closed");
    EXPECT_FALSE(fs::exists(dir / "db") || fs::exists(dir / "files") || hasKey());

    client->start();  // logged out elsewhere: TDLib's own logging out wipes too
    state("WaitTdlibParameters");
    state("LoggingOut");
    state("Closed");
    EXPECT_FALSE(hasKey());
}

TEST_F(TelegramRig, MissingLibraryOrKeyStoreShowsInTheStatusAndStartIsIdempotent) {
    keychain.setTelegramCredentials(1, "h");
    td.loadFailure = TdJson::LoadFailure{"libtdjson not found: run scripts/install-deps.sh", "tried: a; b"};
    client->start();
    EXPECT_EQ(client->status().menuText(), "error: libtdjson not found: run scripts/install-deps.sh");

    td.loadFailure.reset();
    store.failWith(MemorySecretStore::Op::read, "parlando.tdlib_db_key", "tdlib", 2);
    client->start();
    client->start();
    state("WaitTdlibParameters");
    EXPECT_EQ(client->status().text.rfind("failed to create DB key: ", 0), 0u);
    store.clearFailures();
    client->start();  // the key store answers now: the parameters go out
    EXPECT_EQ(td.lastType(), "setTdlibParameters");
    EXPECT_EQ(td.sent.size(), 2u);
    EXPECT_EQ(td.lastClientId, 1);
}
