// The key store's items, the legacy move, the Telegram and database keys, and the key dialog.
#include "credentials/DeepgramKeyController.h"
#include "credentials/KeychainHelper.h"
#include "credentials/TextCoding.h"
#include "fakes/FakeCredentials.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;
using Op = MemorySecretStore::Op;
using S = KeychainHelper::Service;
using Kind = KeychainHelper::Error::Kind;

namespace {

const std::string current = S::deepgramAPIKey, legacy = S::legacyDeepgram;

struct KeyStore : ::testing::Test {
    MemorySecretStore store;
    FakeSecureRandom random;
    KeychainHelper keychain{store, random};
    ScriptedAlertPresenter alerts;
    MemoryLog log;
    std::vector<std::string> shown;
    DeepgramKeyController dialog{keychain, alerts, log, [this](const std::string& m) { shown.push_back(m); }};

    template <typename F>
    KeychainHelper::Error errorOf(F&& fn) {
        try {
            fn();
        } catch (const KeychainHelper::Error& e) {
            return e;
        }
        ADD_FAILURE() << "nothing thrown";
        return KeychainHelper::Error::notFound("(nothing thrown)");
    }
};

}  // namespace

TEST_F(KeyStore, ReadTrimsWritesInPlaceAndErrorsNameTheItemAndTheStoresWords) {
    store.put("svc", "acc", "\u00a0 key 123\u2028\r\n");
    EXPECT_EQ(keychain.readString("svc", "acc"), "key 123");
    store.put("svc", "acc", std::string("\xff\xfe\x00k", 4));  // not UTF-8: as good as missing
    EXPECT_EQ(errorOf([&] { keychain.readString("svc", "acc"); }).kind(), Kind::notFound);
    EXPECT_EQ(errorOf([&] { keychain.readString(current, "deepgram"); }).description(),
              "Keychain item not found: parlando.deepgram.api_key/deepgram");

    keychain.writeString("svc", "acc", "two");
    EXPECT_EQ(store.get("svc", "acc"), "two");
    store.failWith(Op::add, "new", "acc", 4);
    EXPECT_EQ(errorOf([&] { keychain.writeString("new", "acc", "v"); }).status(), 4);
    EXPECT_EQ(errorOf([&] { keychain.writeString("svc", "acc", "\xc3"); }).status(),
              KeychainHelper::invalidParameterStatus);
    EXPECT_EQ(store.get("svc", "acc"), "two") << "bytes that are not text never reach the store";
}

TEST_F(KeyStore, LegacyKeyIsMovedOnceAndDeletedOnlyAfterItsCopyExists) {
    store.put(legacy, "deepgram", "old\n");
    store.failWith(Op::add, current, "deepgram", 7);
    EXPECT_EQ(keychain.deepgramAPIKey(), "old");
    EXPECT_TRUE(store.has(legacy, "deepgram")) << "the copy failed: the legacy key is all there is";
    store.clearFailures();
    EXPECT_EQ(keychain.deepgramAPIKey(), "old");
    EXPECT_EQ(store.get(current, "deepgram"), "old");
    EXPECT_FALSE(store.has(legacy, "deepgram"));
    store.put(legacy, "deepgram", "stale");  // a current key wins: the legacy one is not even read
    store.failWith(Op::read, legacy, "deepgram", 9);
    EXPECT_EQ(keychain.deepgramAPIKey(), "old");
    store.clearFailures();

    store.put(current, "deepgram", " \n\t ");  // blank: the legacy key again, the blank item updated
    EXPECT_EQ(keychain.deepgramAPIKey(), "stale");
    EXPECT_EQ(store.get(current, "deepgram"), "stale");
    store.failWith(Op::read, current, "deepgram", 5);
    store.failWith(Op::read, legacy, "deepgram", 6);
    EXPECT_EQ(errorOf([&] { keychain.deepgramAPIKey(); }).status(), 6) << "the legacy read's error is thrown";

    store.clearFailures();
    store.put(legacy, "deepgram", "stale");
    store.failWith(Op::update, current, "deepgram", 3);
    EXPECT_THROW(keychain.setDeepgramAPIKey("fresh"), KeychainHelper::Error);
    EXPECT_TRUE(store.has(legacy, "deepgram")) << "a failed save changes nothing";
    store.clearFailures();
    keychain.setDeepgramAPIKey("fresh");
    EXPECT_FALSE(store.has(legacy, "deepgram"));
}

TEST_F(KeyStore, TelegramIdsParseAsTrimmedSignedDecimalsAndNeedAHash) {
    store.put(S::telegramAPIHash, "telegram", "abcdef\n");
    const std::pair<const char*, std::int32_t> valid[] = {
        {" 123456\n", 123456}, {"-2147483648", INT32_MIN}, {"+2147483647", INT32_MAX}};
    for (const auto& [id, value] : valid) {
        store.put(S::telegramAPIID, "telegram", id);
        EXPECT_EQ(keychain.telegramCredentials().value_or(KeychainHelper::TelegramCredentials{}).apiID, value) << id;
    }
    for (const char* id : {"12a4", "2147483648", "", "0x10", "--1"}) {
        store.put(S::telegramAPIID, "telegram", id);
        EXPECT_FALSE(keychain.telegramCredentials()) << id;
    }
    store.put(S::telegramAPIHash, "telegram", "  \n");
    EXPECT_FALSE(keychain.telegramCredentials());
}

TEST_F(KeyStore, DatabaseKeyIsMadeOnceReplacedWhenMalformedAndNeverWhenUnreadable) {
    keychain.tdlibDatabaseKey();  // made once and kept: the keyring test
    EXPECT_EQ(store.get(S::tdlibDatabaseKey, "tdlib"), "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=");
    // 31 and 33 bytes encode to 44 characters too; base64 decoding is strict.
    for (const std::string& bad : {textcoding::base64Encode(std::vector<std::uint8_t>(31, 7)),
                                   textcoding::base64Encode(std::vector<std::uint8_t>(33, 7)),
                                   std::string("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8")}) {
        store.put(S::tdlibDatabaseKey, "tdlib", bad);
        EXPECT_EQ(keychain.tdlibDatabaseKey().size(), 32u);
        EXPECT_NE(store.get(S::tdlibDatabaseKey, "tdlib"), bad);
    }
    store.failWith(Op::read, S::tdlibDatabaseKey, "tdlib", 24);
    const auto stored = store.get(S::tdlibDatabaseKey, "tdlib");
    EXPECT_EQ(errorOf([&] { keychain.tdlibDatabaseKey(); }).status(), 24);
    EXPECT_EQ(store.get(S::tdlibDatabaseKey, "tdlib"), stored) << "a store that fails to answer keeps its key";
    store.clearFailures();
    store.remove(S::tdlibDatabaseKey, "tdlib");
    random.failure = SecureRandom::Failure{"getrandom", 38, "Function not implemented"};
    EXPECT_EQ(errorOf([&] { keychain.tdlibDatabaseKey(); }).description(),
              "Keychain error for getrandom: OSStatus 38 (Function not implemented)");
    EXPECT_FALSE(store.has(S::tdlibDatabaseKey, "tdlib"));
}

// Saving a trimmed key and cancelling: the set-api-key command's test.
TEST_F(KeyStore, DialogHintsAtAStoredKeyIgnoresABlankOneAndReportsFailures) {
    store.put(current, "deepgram", "secret-key-value");
    alerts.answer(0, {"   \n "});
    dialog.configureDeepgramKey();
    const AlertSpec& a = alerts.shown.at(0);
    EXPECT_EQ(a.informativeText, "Сохранится в login keyring (service parlando.deepgram.api_key, account deepgram).");
    EXPECT_TRUE(a.fields.at(0).secure);
    EXPECT_EQ(a.fields[0].placeholder, "•••••••• (уже сохранён — введи новый, чтобы перезаписать)");
    EXPECT_EQ(a.fields[0].initialText, "");
    EXPECT_EQ(store.get(current, "deepgram"), "secret-key-value");

    store.failWith(Op::update, current, "deepgram", 2, "no Secret Service on the session bus");
    alerts.answer(0, {"k"});
    dialog.configureDeepgramKey();
    EXPECT_EQ(shown, std::vector<std::string>{"Keychain error for parlando.deepgram.api_key/deepgram: OSStatus 2 (no "
                                              "Secret Service on the session bus)"});
    store.failWith(Op::read, current, "deepgram", 1);
    EXPECT_FALSE(dialog.isDeepgramKeyPresent()) << "an unreadable key is no key";
}
