// The Qt alert on the offscreen platform: what it shows, and what it answers
// to clicks and keys.
#include "app/adapters/QtAlertPresenter.h"

#include "OffscreenApp.h"

#include <QKeyEvent>
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

void key(QWidget* target, int k, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, k, Qt::NoModifier, text);
    QApplication::sendEvent(target, &release);
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

TEST(QtAlertPresenter, ReturnAnswersTheFirstButtonWithTheTextAsTypedAndEscapeAnswersNone) {
    for (const int finalKey : {Qt::Key_Return, Qt::Key_Escape}) {
        const AlertResult r = runWith(keyAlert(), [finalKey](QWidget& d) {
            auto* field = d.findChild<QLineEdit*>("alertField0");
            ASSERT_NE(field, nullptr);
            for (QChar c : QString(" dg-ключ ")) key(field, 0, QString(c));
            key(field, finalKey);
        });
        EXPECT_EQ(r.buttonIndex, finalKey == Qt::Key_Return ? 0 : -1);
        if (finalKey == Qt::Key_Return) EXPECT_EQ(r.fieldTexts[0], " dg-ключ ");
    }
}
