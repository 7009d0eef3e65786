#include "credentials/KeychainHelper.h"
#include "credentials/TextCoding.h"
#include "fakes/FakeCredentials.h"

#include <gtest/gtest.h>

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
};

const std::string current = S::deepgramAPIKey;
const std::string legacy = S::legacyDeepgram;

}  // namespace

// --- errors and their texts ------------------------------------------------

TEST_F(KeyStore, ErrorTextsNameTheItemAndCarryTheStoresOwnCodeAndWords) {
    auto missing = errorOf([&] { keychain.readString(current, "deepgram"); });
    EXPECT_EQ(missing.kind(), KeychainHelper::Error::Kind::notFound);
    EXPECT_EQ(missing.description(), "Keychain item not found: parlando.deepgram.api_key/deepgram");
    EXPECT_STREQ(missing.what(), missing.description().c_str());

    store.failWith(Op::read, current, "deepgram", SecretStoreStatus::failure(2, "no Secret Service on the bus"));
    auto failed = errorOf([&] { keychain.readString(current, "deepgram"); });
    EXPECT_EQ(failed.kind(), KeychainHelper::Error::Kind::osStatus);
    EXPECT_EQ(failed.status(), 2);
    EXPECT_EQ(failed.item(), "parlando.deepgram.api_key/deepgram");
    EXPECT_EQ(failed.description(),
              "Keychain error for parlando.deepgram.api_key/deepgram: OSStatus 2 (no Secret Service on the bus)");

    EXPECT_EQ(KeychainHelper::Error::osStatus("x/y", -25308).description(), "Keychain error for x/y: OSStatus -25308");
}

// --- read, write, delete ---------------------------------------------------

TEST_F(KeyStore, ReadTrimsWhiteSpaceAndLineBreaksIncludingUnicodeOnes) {
    store.put("svc", "acc", "  key-123\r\n");
    EXPECT_EQ(keychain.readString("svc", "acc"), "key-123");
    store.put("svc", "acc", "\u00a0key\u2028\t");
    EXPECT_EQ(keychain.readString("svc", "acc"), "key");
    store.put("svc", "acc", "a b");
    EXPECT_EQ(keychain.readString("svc", "acc"), "a b") << "inner spaces stay";
}

TEST_F(KeyStore, BytesThatAreNotUTF8ReadAsNotFound) {
    store.put("svc", "acc", std::string("\xff\xfe\x00k", 4));
    auto e = errorOf([&] { keychain.readString("svc", "acc"); });
    EXPECT_EQ(e.kind(), KeychainHelper::Error::Kind::notFound);
    EXPECT_EQ(e.item(), "svc/acc");
}

TEST_F(KeyStore, WriteUpdatesInPlaceWhenPresentAndAddsOtherwise) {
    keychain.writeString("svc", "acc", "one");
    EXPECT_EQ(store.get("svc", "acc"), "one");
    EXPECT_EQ(store.count(Op::update, "svc"), 1u);
    EXPECT_EQ(store.count(Op::add, "svc"), 1u);

    keychain.writeString("svc", "acc", "two");
    EXPECT_EQ(store.get("svc", "acc"), "two");
    EXPECT_EQ(store.count(Op::update, "svc"), 2u);
    EXPECT_EQ(store.count(Op::add, "svc"), 1u) << "an existing item is updated, not added again";
    EXPECT_EQ(store.size(), 1u);
}

TEST_F(KeyStore, WriteFailuresCarryTheFailingStepsStatus) {
    store.failWith(Op::update, "svc", "acc", SecretStoreStatus::failure(9, "update refused"));
    auto e = errorOf([&] { keychain.writeString("svc", "acc", "v"); });
    EXPECT_EQ(e.status(), 9);
    EXPECT_EQ(store.count(Op::add, "svc"), 0u) << "only a missing item leads to an add";

    store.clearFailures();
    store.failWith(Op::add, "svc", "acc", SecretStoreStatus::failure(4, "add refused"));
    e = errorOf([&] { keychain.writeString("svc", "acc", "v"); });
    EXPECT_EQ(e.status(), 4);
    EXPECT_EQ(e.description(), "Keychain error for svc/acc: OSStatus 4 (add refused)");
    EXPECT_FALSE(store.has("svc", "acc"));
}

TEST_F(KeyStore, WriteRefusesBytesThatAreNotTextWithTheInvalidParameterCode) {
    auto e = errorOf([&] { keychain.writeString("svc", "acc", "\xc3"); });
    EXPECT_EQ(e.status(), KeychainHelper::invalidParameterStatus);
    EXPECT_TRUE(store.calls().empty()) << "nothing reaches the store";
}

TEST_F(KeyStore, DeleteNeverReportsAnything) {
    store.failWith(Op::remove, "svc", "acc", SecretStoreStatus::failure(1, "boom"));
    EXPECT_NO_THROW(keychain.deleteItem("svc", "acc"));
    EXPECT_NO_THROW(keychain.deleteItem("other", "acc"));
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
}

TEST_F(KeyStore, CurrentKeyWinsOverLegacyAndLegacyStaysUntouched) {
    store.put(current, "deepgram", "new");
    store.put(legacy, "deepgram", "old");
    EXPECT_EQ(keychain.deepgramAPIKey(), "new");
    EXPECT_EQ(store.count(Op::read, legacy), 0u);
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

TEST_F(KeyStore, FailingCurrentReadFallsBackToLegacyWhoseErrorIsThrown) {
    store.failWith(Op::read, current, "deepgram", SecretStoreStatus::failure(5, "locked"));
    store.failWith(Op::read, legacy, "deepgram", SecretStoreStatus::failure(6, "still locked"));
    auto e = errorOf([&] { keychain.deepgramAPIKey(); });
    EXPECT_EQ(e.status(), 6);
    EXPECT_EQ(e.item(), "ferrule.deepgram.api_key/deepgram");
}

TEST_F(KeyStore, LegacyValueIsReturnedAndDeletedEvenWhenItsMoveFails) {
    store.put(legacy, "deepgram", "old");
    store.failWith(Op::update, current, "deepgram", SecretStoreStatus::failure(7, "read-only"));
    EXPECT_EQ(keychain.deepgramAPIKey(), "old");
    EXPECT_FALSE(store.has(legacy, "deepgram"));
}

TEST_F(KeyStore, SavingTheKeyRemovesAStaleLegacyKeyButAFailedSaveChangesNothing) {
    store.put(legacy, "deepgram", "stale");
    store.failWith(Op::add, current, "deepgram", SecretStoreStatus::failure(3, "denied"));
    EXPECT_THROW(keychain.setDeepgramAPIKey("fresh"), KeychainHelper::Error);
    EXPECT_TRUE(store.has(legacy, "deepgram"));

    store.clearFailures();
    keychain.setDeepgramAPIKey("fresh");
    EXPECT_EQ(store.get(current, "deepgram"), "fresh");
    EXPECT_FALSE(store.has(legacy, "deepgram"));
    EXPECT_EQ(keychain.deepgramAPIKey(), "fresh");
}

// --- Telegram credentials --------------------------------------------------

TEST_F(KeyStore, TelegramCredentialsParseTrimmedDecimalIds) {
    store.put(S::telegramAPIID, "telegram", " 123456\n");
    store.put(S::telegramAPIHash, "telegram", "abcdef\n");
    auto c = keychain.telegramCredentials();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->apiID, 123456);
    EXPECT_EQ(c->apiHash, "abcdef");

    store.put(S::telegramAPIID, "telegram", "-2147483648");
    ASSERT_TRUE(keychain.telegramCredentials());
    EXPECT_EQ(keychain.telegramCredentials()->apiID, INT32_MIN);
    store.put(S::telegramAPIID, "telegram", "+2147483647");
    EXPECT_EQ(keychain.telegramCredentials()->apiID, INT32_MAX);
}

TEST_F(KeyStore, TelegramCredentialsAreNoneWhenAnythingIsWrong) {
    store.put(S::telegramAPIHash, "telegram", "hash");
    for (const char* badID : {"12a4", "2147483648", "-2147483649", "99999999999999999999", "", "-", "1 2", "0x10"}) {
        store.put(S::telegramAPIID, "telegram", badID);
        EXPECT_FALSE(keychain.telegramCredentials()) << "id " << badID;
    }
    store.put(S::telegramAPIID, "telegram", "42");
    EXPECT_TRUE(keychain.telegramCredentials());
    store.put(S::telegramAPIHash, "telegram", "  \n");
    EXPECT_FALSE(keychain.telegramCredentials()) << "blank hash";
    store.remove(S::telegramAPIHash, "telegram");
    EXPECT_FALSE(keychain.telegramCredentials()) << "missing hash";
    store.put(S::telegramAPIHash, "telegram", "hash");
    store.failWith(Op::read, S::telegramAPIID, "telegram", SecretStoreStatus::failure(1, "x"));
    EXPECT_FALSE(keychain.telegramCredentials()) << "unreadable id";
}

TEST_F(KeyStore, SettingTelegramCredentialsWritesTheHashOnlyAfterTheId) {
    keychain.setTelegramCredentials(-17, "h");
    EXPECT_EQ(store.get(S::telegramAPIID, "telegram"), "-17");
    EXPECT_EQ(keychain.telegramCredentials(), (KeychainHelper::TelegramCredentials{-17, "h"}));

    store.failWith(Op::update, S::telegramAPIID, "telegram", SecretStoreStatus::failure(8, "no"));
    auto e = errorOf([&] { keychain.setTelegramCredentials(5, "other"); });
    EXPECT_EQ(e.item(), "parlando.telegram.api_id/telegram");
    EXPECT_EQ(store.get(S::telegramAPIHash, "telegram"), "h") << "the hash is not written after a failed id";
}

// --- the database key ------------------------------------------------------

TEST_F(KeyStore, DatabaseKeyIsCreatedOnceAsBase64OfThirtyTwoRandomBytes) {
    const auto key = keychain.tdlibDatabaseKey();
    ASSERT_EQ(key.size(), 32u);
    EXPECT_EQ(key[0], 0);
    EXPECT_EQ(key[31], 31);
    const auto stored = store.get(S::tdlibDatabaseKey, "tdlib");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size(), 44u);
    EXPECT_EQ(*stored, "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=");

    EXPECT_EQ(keychain.tdlibDatabaseKey(), key);
    EXPECT_EQ(random.calls, 1) << "an existing valid key is reused";
}

TEST_F(KeyStore, DatabaseKeyOfWrongLengthOrNotBase64IsReplaced) {
    const std::vector<std::uint8_t> b31(31, 7), b33(33, 7);
    ASSERT_EQ(textcoding::base64Encode(b31).size(), 44u) << "31 and 33 bytes look like a key at a glance";
    ASSERT_EQ(textcoding::base64Encode(b33).size(), 44u);
    for (const std::string& bad : {textcoding::base64Encode(b31), textcoding::base64Encode(b33),
                                   std::string("not base64 at all"), std::string("")}) {
        store.put(S::tdlibDatabaseKey, "tdlib", bad);
        const int before = random.calls;
        const auto key = keychain.tdlibDatabaseKey();
        EXPECT_EQ(key.size(), 32u);
        EXPECT_EQ(random.calls, before + 1) << "value " << bad;
        const auto stored = store.get(S::tdlibDatabaseKey, "tdlib");
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->size(), 44u);
        EXPECT_EQ(textcoding::base64Decode(*stored), key);
    }
}

TEST_F(KeyStore, DatabaseKeyRandomFailureIsThrownAndNothingIsStored) {
    random.failure = SecureRandom::Failure{"getrandom", 38, "Function not implemented"};
    auto e = errorOf([&] { keychain.tdlibDatabaseKey(); });
    EXPECT_EQ(e.description(), "Keychain error for getrandom: OSStatus 38 (Function not implemented)");
    EXPECT_FALSE(store.has(S::tdlibDatabaseKey, "tdlib"));
}

TEST_F(KeyStore, DatabaseKeyIsNotReplacedWhenTheStoreFailsToAnswer) {
    const std::string stored = textcoding::base64Encode(std::vector<std::uint8_t>(32, 1));
    store.put(S::tdlibDatabaseKey, "tdlib", stored);
    store.failWith(Op::read, S::tdlibDatabaseKey, "tdlib", SecretStoreStatus::failure(24, "Timeout was reached"));
    auto e = errorOf([&] { keychain.tdlibDatabaseKey(); });
    EXPECT_EQ(e.status(), 24);
    EXPECT_EQ(store.get(S::tdlibDatabaseKey, "tdlib"), stored);
    EXPECT_EQ(random.calls, 0);
}

TEST_F(KeyStore, DatabaseKeyWriteFailureIsThrownAndClearingRemovesTheKey) {
    store.failWith(Op::add, S::tdlibDatabaseKey, "tdlib", SecretStoreStatus::failure(11, "full"));
    EXPECT_THROW(keychain.tdlibDatabaseKey(), KeychainHelper::Error);
    store.clearFailures();
    const auto first = keychain.tdlibDatabaseKey();
    keychain.clearTDLibDatabaseKey();
    EXPECT_FALSE(store.has(S::tdlibDatabaseKey, "tdlib"));
    EXPECT_NE(keychain.tdlibDatabaseKey(), first) << "a cleared key is replaced by a new one";
}
