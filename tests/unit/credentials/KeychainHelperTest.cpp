#include "credentials/KeychainHelper.h"
#include "credentials/TextCoding.h"
#include "fakes/FakeCredentials.h"

#include <gtest/gtest.h>

#include <cstdint>

using namespace parlando;
using namespace parlando::testing;
using Op = MemorySecretStore::Op;
using S = KeychainHelper::Service;

namespace {

struct KeyStore : ::testing::Test {
    MemorySecretStore store;
    FakeSecureRandom random;
    KeychainHelper keychain{store, random};

    // Runs fn, which must throw KeychainHelper::Error, and returns that error.
    template <typename F>
    KeychainHelper::Error errorOf(F&& fn) {
        try {
            fn();
        } catch (const KeychainHelper::Error& e) {
            return e;
        }
        ADD_FAILURE() << "no KeychainHelper::Error thrown";
        return KeychainHelper::Error::notFound("(nothing thrown)");
    }
    void failing(Op op, const std::string& service, const std::string& account, int code, const char* why = "x") {
        store.failWith(op, service, account, SecretStoreStatus::failure(code, why));
    }
};

const std::string current = S::deepgramAPIKey;
const std::string legacy = S::legacyDeepgram;

}  // namespace

// --- read, write, delete ---------------------------------------------------

TEST_F(KeyStore, ReadTrimsOuterWhiteSpaceAndErrorsNameTheItemAndTheStoresWords) {
    store.put("svc", "acc", "\u00a0 key 123\u2028\r\n");
    EXPECT_EQ(keychain.readString("svc", "acc"), "key 123");

    auto missing = errorOf([&] { keychain.readString(current, "deepgram"); });
    EXPECT_EQ(missing.kind(), KeychainHelper::Error::Kind::notFound);
    EXPECT_EQ(missing.description(), "Keychain item not found: parlando.deepgram.api_key/deepgram");
    EXPECT_STREQ(missing.what(), missing.description().c_str());

    store.put("svc", "acc", std::string("\xff\xfe\x00k", 4));  // not UTF-8: as good as missing
    EXPECT_EQ(errorOf([&] { keychain.readString("svc", "acc"); }).kind(), KeychainHelper::Error::Kind::notFound);

    failing(Op::read, current, "deepgram", 2, "no Secret Service on the bus");
    auto failed = errorOf([&] { keychain.readString(current, "deepgram"); });
    EXPECT_EQ(failed.kind(), KeychainHelper::Error::Kind::osStatus);
    EXPECT_EQ(failed.status(), 2);
    EXPECT_EQ(failed.description(),
              "Keychain error for parlando.deepgram.api_key/deepgram: OSStatus 2 (no Secret Service on the bus)");
}

TEST_F(KeyStore, WriteUpdatesInPlaceWhenPresentAndAddsOtherwise) {
    keychain.writeString("svc", "acc", "one");
    keychain.writeString("svc", "acc", "two");
    EXPECT_EQ(store.get("svc", "acc"), "two");
    EXPECT_EQ(store.count(Op::update, "svc"), 2u);
    EXPECT_EQ(store.count(Op::add, "svc"), 1u) << "an existing item is updated, not added again";
    EXPECT_EQ(store.size(), 1u);
    store.failWith(Op::remove, "svc", "acc", SecretStoreStatus::failure(1, "boom"));
    EXPECT_NO_THROW(keychain.deleteItem("svc", "acc")) << "deleting never reports anything";
}

TEST_F(KeyStore, WriteFailuresCarryTheFailingStepsStatus) {
    failing(Op::update, "svc", "acc", 9);
    EXPECT_EQ(errorOf([&] { keychain.writeString("svc", "acc", "v"); }).status(), 9);
    EXPECT_EQ(store.count(Op::add, "svc"), 0u) << "only a missing item leads to an add";

    store.clearFailures();
    failing(Op::add, "svc", "acc", 4, "add refused");
    EXPECT_EQ(errorOf([&] { keychain.writeString("svc", "acc", "v"); }).description(),
              "Keychain error for svc/acc: OSStatus 4 (add refused)");
    EXPECT_FALSE(store.has("svc", "acc"));

    const auto calls = store.calls().size();
    EXPECT_EQ(errorOf([&] { keychain.writeString("svc", "acc", "\xc3"); }).status(),
              KeychainHelper::invalidParameterStatus);
    EXPECT_EQ(store.calls().size(), calls) << "bytes that are not text never reach the store";
}

// --- the API key and its legacy move ---------------------------------------

TEST_F(KeyStore, LegacyKeyIsMovedOnceThenReadDirectly) {
    store.put(legacy, "deepgram", "legacy-key\n");
    EXPECT_EQ(keychain.deepgramAPIKey(), "legacy-key");
    EXPECT_EQ(store.get(current, "deepgram"), "legacy-key");
    EXPECT_FALSE(store.has(legacy, "deepgram"));

    const auto legacyReads = store.count(Op::read, legacy);
    EXPECT_EQ(keychain.deepgramAPIKey(), "legacy-key");
    EXPECT_EQ(store.count(Op::read, legacy), legacyReads) << "the second call reads the current item only";

    store.put(legacy, "deepgram", "old");  // a current key wins and leaves the legacy one alone
    EXPECT_EQ(keychain.deepgramAPIKey(), "legacy-key");
    EXPECT_TRUE(store.has(legacy, "deepgram"));
}

TEST_F(KeyStore, BlankCurrentKeyFallsBackToLegacyAndOtherwiseReportsTheLegacyItem) {
    store.put(current, "deepgram", " \n\t ");
    auto e = errorOf([&] { keychain.deepgramAPIKey(); });
    EXPECT_EQ(e.kind(), KeychainHelper::Error::Kind::notFound);
    EXPECT_EQ(e.description(), "Keychain item not found: ferrule.deepgram.api_key/deepgram");

    store.put(legacy, "deepgram", "rescued");
    EXPECT_EQ(keychain.deepgramAPIKey(), "rescued");
    EXPECT_EQ(store.get(current, "deepgram"), "rescued") << "the blank item is updated in place";
}

TEST_F(KeyStore, StoreFailuresDuringTheLegacyMove) {
    failing(Op::read, current, "deepgram", 5);
    failing(Op::read, legacy, "deepgram", 6);
    auto e = errorOf([&] { keychain.deepgramAPIKey(); });
    EXPECT_EQ(e.status(), 6) << "the legacy read's error is the one thrown";
    EXPECT_EQ(e.item(), "ferrule.deepgram.api_key/deepgram");

    // A legacy value is returned and deleted even when its move fails.
    store.clearFailures();
    store.put(legacy, "deepgram", "old");
    failing(Op::update, current, "deepgram", 7);
    EXPECT_EQ(keychain.deepgramAPIKey(), "old");
    EXPECT_FALSE(store.has(legacy, "deepgram"));
}

TEST_F(KeyStore, SavingTheKeyRemovesAStaleLegacyKeyButAFailedSaveChangesNothing) {
    store.put(legacy, "deepgram", "stale");
    failing(Op::add, current, "deepgram", 3);
    EXPECT_THROW(keychain.setDeepgramAPIKey("fresh"), KeychainHelper::Error);
    EXPECT_TRUE(store.has(legacy, "deepgram"));

    store.clearFailures();
    keychain.setDeepgramAPIKey("fresh");
    EXPECT_FALSE(store.has(legacy, "deepgram"));
    EXPECT_EQ(keychain.deepgramAPIKey(), "fresh");
}

// --- Telegram credentials --------------------------------------------------

TEST_F(KeyStore, TelegramIdsParseAsTrimmedSignedDecimals) {
    store.put(S::telegramAPIHash, "telegram", "abcdef\n");
    const std::vector<std::pair<std::string, std::optional<std::int32_t>>> cases = {
        {" 123456\n", 123456}, {"-2147483648", INT32_MIN}, {"+2147483647", INT32_MAX}, {"007", 7},
        {"12a4", {}}, {"2147483648", {}}, {"-2147483649", {}}, {"99999999999999999999", {}},
        {"", {}}, {"-", {}}, {"1 2", {}}, {"0x10", {}}, {"1e3", {}}, {"--1", {}},
    };
    for (const auto& [id, expected] : cases) {
        store.put(S::telegramAPIID, "telegram", id);
        const auto c = keychain.telegramCredentials();
        EXPECT_EQ(c ? std::optional<std::int32_t>(c->apiID) : std::nullopt, expected) << "id " << id;
        if (c) {
            EXPECT_EQ(c->apiHash, "abcdef");
        }
    }
}

TEST_F(KeyStore, TelegramCredentialsAreNoneWithoutAHashOrWhenUnreadable) {
    store.put(S::telegramAPIID, "telegram", "42");
    store.put(S::telegramAPIHash, "telegram", "  \n");
    EXPECT_FALSE(keychain.telegramCredentials()) << "blank hash";
    store.remove(S::telegramAPIHash, "telegram");
    EXPECT_FALSE(keychain.telegramCredentials()) << "missing hash";
    store.put(S::telegramAPIHash, "telegram", "hash");
    failing(Op::read, S::telegramAPIID, "telegram", 1);
    EXPECT_FALSE(keychain.telegramCredentials()) << "unreadable id";
}

// --- the database key ------------------------------------------------------

TEST_F(KeyStore, DatabaseKeyIsCreatedOnceAsBase64OfThirtyTwoRandomBytes) {
    const auto key = keychain.tdlibDatabaseKey();
    ASSERT_EQ(key.size(), 32u);
    EXPECT_EQ(key[31], 31);
    EXPECT_EQ(store.get(S::tdlibDatabaseKey, "tdlib"), "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=");
    EXPECT_EQ(keychain.tdlibDatabaseKey(), key);
    EXPECT_EQ(random.calls, 1) << "an existing valid key is reused";
    keychain.clearTDLibDatabaseKey();
    EXPECT_FALSE(store.has(S::tdlibDatabaseKey, "tdlib"));
}

TEST_F(KeyStore, DatabaseKeyOfWrongLengthOrNotBase64IsReplaced) {
    // 31 and 33 bytes encode to 44 characters too: they look like a key at a glance.
    for (const std::string& bad : {textcoding::base64Encode(std::vector<std::uint8_t>(31, 7)),
                                   textcoding::base64Encode(std::vector<std::uint8_t>(33, 7)),
                                   std::string("not base64 at all"), std::string("")}) {
        store.put(S::tdlibDatabaseKey, "tdlib", bad);
        const int before = random.calls;
        const auto key = keychain.tdlibDatabaseKey();
        EXPECT_EQ(key.size(), 32u);
        EXPECT_EQ(random.calls, before + 1) << "value " << bad;
        const auto stored = store.get(S::tdlibDatabaseKey, "tdlib");
        ASSERT_TRUE(stored);
        EXPECT_EQ(textcoding::base64Decode(*stored), key);
    }
}

TEST_F(KeyStore, DatabaseKeyFailuresAreThrownAndNothingIsMadeUpOrReplaced) {
    random.failure = SecureRandom::Failure{"getrandom", 38, "Function not implemented"};
    EXPECT_EQ(errorOf([&] { keychain.tdlibDatabaseKey(); }).description(),
              "Keychain error for getrandom: OSStatus 38 (Function not implemented)");
    EXPECT_FALSE(store.has(S::tdlibDatabaseKey, "tdlib"));

    random.failure.reset();
    failing(Op::add, S::tdlibDatabaseKey, "tdlib", 11);
    EXPECT_THROW(keychain.tdlibDatabaseKey(), KeychainHelper::Error);

    // A store that fails to answer must not cost the existing key.
    store.clearFailures();
    const std::string stored = textcoding::base64Encode(std::vector<std::uint8_t>(32, 1));
    store.put(S::tdlibDatabaseKey, "tdlib", stored);
    failing(Op::read, S::tdlibDatabaseKey, "tdlib", 24, "Timeout was reached");
    const int before = random.calls;
    EXPECT_EQ(errorOf([&] { keychain.tdlibDatabaseKey(); }).status(), 24);
    EXPECT_EQ(store.get(S::tdlibDatabaseKey, "tdlib"), stored);
    EXPECT_EQ(random.calls, before);
}
