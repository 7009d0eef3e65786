#include "credentials/DeepgramKeyController.h"
#include "fakes/FakeCredentials.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;
using Op = MemorySecretStore::Op;

namespace {

const std::string service = KeychainHelper::Service::deepgramAPIKey;

struct KeyDialog : ::testing::Test {
    MemorySecretStore store;
    FakeSecureRandom random;
    KeychainHelper keychain{store, random};
    ScriptedAlertPresenter alerts;
    MemoryLog log;
    std::vector<std::string> errorsShown;
    DeepgramKeyController controller{keychain, alerts, log,
                                     [this](const std::string& m) { errorsShown.push_back(m); }};
};

}  // namespace

TEST_F(KeyDialog, MaskedEmptyFieldAndAStoredKeyIsOnlyHintedAt) {
    controller.configureDeepgramKey();
    store.put(service, "deepgram", "secret-key-value");
    controller.configureDeepgramKey();
    ASSERT_EQ(alerts.shown.size(), 2u);
    const AlertSpec& a = alerts.shown[0];
    EXPECT_EQ(a.messageText, "Deepgram API key");
    EXPECT_EQ(a.informativeText, "Сохранится в login keyring (service parlando.deepgram.api_key, account deepgram).");
    EXPECT_EQ(a.buttons, (std::vector<std::string>{"Сохранить", "Отмена"}));
    ASSERT_EQ(a.fields.size(), 1u);
    EXPECT_TRUE(a.fields[0].secure);
    EXPECT_EQ(a.fields[0].placeholder, "сюда вставь ключ");

    const AlertSpec& b = alerts.shown[1];
    EXPECT_EQ(b.fields[0].placeholder, "•••••••• (уже сохранён — введи новый, чтобы перезаписать)");
    EXPECT_EQ(b.fields[0].initialText, "");
    EXPECT_EQ(b.informativeText.find("secret-key-value"), std::string::npos);
}

TEST_F(KeyDialog, SavesTheTrimmedKeyInPlaceAndLogsWithoutTheKey) {
    store.put(service, "deepgram", "old");
    alerts.answer(0, {"  \tdg-key-42\r\n"});
    controller.configureDeepgramKey();
    EXPECT_EQ(store.get(service, "deepgram"), "dg-key-42");
    EXPECT_EQ(store.count(Op::add, service), 0u);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"deepgram key saved to keychain"});
    EXPECT_TRUE(errorsShown.empty());
}

TEST_F(KeyDialog, EmptyOrBlankAnswerAndCancelChangeNothingAndShowNothing) {
    store.put(service, "deepgram", "kept");
    alerts.answer(0, {"   \n "});
    alerts.answer(0, {""});
    alerts.answer(1, {"typed-but-cancelled"});
    alerts.answer(-1, {"window-closed"});
    for (int i = 0; i < 4; ++i) controller.configureDeepgramKey();
    EXPECT_EQ(alerts.shown.size(), 4u);
    EXPECT_EQ(store.get(service, "deepgram"), "kept");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(errorsShown.empty());
    EXPECT_EQ(store.count(Op::update, service), 0u);
}

TEST_F(KeyDialog, SaveFailureGoesToShowErrorAndTheLog) {
    store.failWith(Op::add, service, "deepgram", SecretStoreStatus::failure(2, "no Secret Service on the session bus"));
    alerts.answer(0, {"k"});
    controller.configureDeepgramKey();
    const std::string description =
        "Keychain error for parlando.deepgram.api_key/deepgram: OSStatus 2 (no Secret Service on the session bus)";
    EXPECT_EQ(errorsShown, std::vector<std::string>{description});
    EXPECT_EQ(log.lines(), std::vector<std::string>{"deepgram key save failed: " + description});
    EXPECT_FALSE(controller.isDeepgramKeyPresent());
}

TEST_F(KeyDialog, KeyPresenceCountsBlankAndErrorsAsAbsentAndSeesALegacyKey) {
    EXPECT_FALSE(controller.isDeepgramKeyPresent());
    store.put(service, "deepgram", " \n");
    EXPECT_FALSE(controller.isDeepgramKeyPresent());
    store.put(KeychainHelper::Service::legacyDeepgram, "deepgram", "legacy");
    EXPECT_TRUE(controller.isDeepgramKeyPresent());
    store.failWith(Op::read, service, "deepgram", SecretStoreStatus::failure(1, "x"));
    EXPECT_FALSE(controller.isDeepgramKeyPresent());
}
