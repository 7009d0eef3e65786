// The Qt alert on the offscreen platform: secret fields hidden, and what it
// answers to a click. Focus, the default button and typed keys: the
// set-api-key command's run on an X server.
#include "app/adapters/QtAlertPresenter.h"

#include "OffscreenApp.h"

#include <gtest/gtest.h>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

using namespace parlando;

TEST(QtAlertPresenter, HidesSecretFieldsAndAnswersWithTheClickedButtonAndTheFieldTexts) {
    parlando::testing::offscreenApp();
    AlertSpec spec;
    spec.messageText = "Deepgram API key";
    spec.buttons = {"Сохранить", "Отмена"};
    spec.fields = {AlertField{"сюда вставь ключ", "", true}, AlertField{"port", "7420", false}};
    // The dialog is up by the time its own loop runs the first timer; a dialog
    // nobody answers must not hang the suite.
    QTimer::singleShot(0, [] {
        QWidget* d = QApplication::activeModalWidget();
        auto* secret = d ? d->findChild<QLineEdit*>("alertField0") : nullptr;
        auto* port = d ? d->findChild<QLineEdit*>("alertField1") : nullptr;
        auto* cancel = d ? d->findChild<QPushButton*>("alertButton1") : nullptr;
        ASSERT_TRUE(secret && port && cancel);
        EXPECT_EQ(secret->echoMode(), QLineEdit::Password);
        EXPECT_EQ(port->echoMode(), QLineEdit::Normal);
        cancel->click();
    });
    QTimer::singleShot(20000, [] {
        if (QWidget* d = QApplication::activeModalWidget()) d->close();
    });
    const AlertResult r = QtAlertPresenter().runModal(spec);
    EXPECT_EQ(r.buttonIndex, 1);
    EXPECT_EQ(r.fieldTexts, (std::vector<std::string>{"", "7420"})) << "initial text of a plain field";
}
