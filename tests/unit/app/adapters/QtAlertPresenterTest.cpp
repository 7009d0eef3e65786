// The Qt alert on the offscreen platform: secret fields hidden, and what it
// answers to a click. Focus, the default button and typed keys: the
// set-api-key command's run on an X server.
#include "app/adapters/QtAlertPresenter.h"

#include "OffscreenApp.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>

using namespace parlando;

namespace {

// Runs the alert and, once it is up, lets `interact` play the user.
AlertResult runWith(const AlertSpec& spec, std::function<void(QWidget&)> interact) {
    parlando::testing::offscreenApp();
    QtAlertPresenter presenter;
    bool interacted = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (interacted || dialog == nullptr || !dialog->isVisible()) return;
        interacted = true;
        interact(*dialog);
    });
    poll.start(10);
    // A safety net: a dialog nobody answers must not hang the suite.
    QTimer::singleShot(20000, [] {
        if (QWidget* d = QApplication::activeModalWidget()) d->close();
    });
    return presenter.runModal(spec);
}

}  // namespace

TEST(QtAlertPresenter, HidesSecretFieldsAndAnswersWithTheClickedButtonAndTheFieldTexts) {
    AlertSpec spec;
    spec.messageText = "Deepgram API key";
    spec.buttons = {"Сохранить", "Отмена"};
    spec.fields = {AlertField{"сюда вставь ключ", "", true}, AlertField{"port", "7420", false}};
    const AlertResult r = runWith(spec, [&](QWidget& d) {
        auto* secret = d.findChild<QLineEdit*>("alertField0");
        auto* port = d.findChild<QLineEdit*>("alertField1");
        auto* cancel = d.findChild<QPushButton*>("alertButton1");
        ASSERT_TRUE(secret && port && cancel);
        EXPECT_EQ(secret->echoMode(), QLineEdit::Password);
        EXPECT_EQ(port->echoMode(), QLineEdit::Normal);
        cancel->click();
    });
    EXPECT_EQ(r.buttonIndex, 1);
    EXPECT_EQ(r.fieldTexts, (std::vector<std::string>{"", "7420"})) << "initial text of a plain field";
}
