// The Qt alert on the offscreen platform: what it shows, and what it answers
// to a click (keys typed into it: the set-api-key command's run on an X server).
#include "app/adapters/QtAlertPresenter.h"

#include "OffscreenApp.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>

using namespace parlando;

namespace {

AlertSpec keyAlert() {
    AlertSpec spec;
    spec.messageText = "Deepgram API key";
    spec.informativeText = "Сохранится в login keyring.";
    spec.buttons = {"Сохранить", "Отмена"};
    spec.fields = {AlertField{"сюда вставь ключ", "", true}, AlertField{"port", "7420", false}};
    return spec;
}

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

TEST(QtAlertPresenter, ShowsTheTextsFieldsAndButtonsAndAnswersWithTheClickedOne) {
    const AlertResult r = runWith(keyAlert(), [&](QWidget& d) {
        QStringList labels;
        for (auto* l : d.findChildren<QLabel*>()) labels << l->text();
        EXPECT_TRUE(labels.contains("Deepgram API key") && labels.contains("Сохранится в login keyring."));
        auto* secret = d.findChild<QLineEdit*>("alertField0");
        auto* port = d.findChild<QLineEdit*>("alertField1");
        ASSERT_TRUE(secret && port);
        EXPECT_EQ(secret->echoMode(), QLineEdit::Password);
        EXPECT_EQ(secret->placeholderText(), "сюда вставь ключ");
        EXPECT_EQ(port->echoMode(), QLineEdit::Normal);
        EXPECT_EQ(d.focusWidget(), secret) << "the first field takes the keys first";
        auto* save = d.findChild<QPushButton*>("alertButton0");
        auto* cancel = d.findChild<QPushButton*>("alertButton1");
        ASSERT_TRUE(save && cancel);
        EXPECT_TRUE(save->isDefault() && !cancel->isDefault());
        EXPECT_GT(save->x(), cancel->x()) << "the default button sits rightmost";
        cancel->click();
    });
    EXPECT_EQ(r.buttonIndex, 1);
    EXPECT_EQ(r.fieldTexts, (std::vector<std::string>{"", "7420"})) << "initial text of a plain field";
}
