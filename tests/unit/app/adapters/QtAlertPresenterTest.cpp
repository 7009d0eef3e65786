// The Qt alert on the offscreen platform: what it shows, and what it answers
// to clicks and keys.
#include "app/adapters/QtAlertPresenter.h"

#include "OffscreenApp.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

using namespace parlando;

namespace {

QApplication& app() { return parlando::testing::offscreenApp(); }

AlertSpec keyAlert() {
    AlertSpec spec;
    spec.messageText = "Deepgram API key";
    spec.informativeText = "Сохранится в login keyring.";
    spec.buttons = {"Сохранить", "Отмена"};
    spec.fields = {AlertField{"сюда вставь ключ", "", true}};
    return spec;
}

// Runs the alert and, once it is up, lets `interact` play the user.
AlertResult runWith(const AlertSpec& spec, std::function<void(QWidget&)> interact) {
    app();
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

void type(QWidget* target, const QString& text) {
    for (QChar c : text) key(target, 0, QString(c));
}

}  // namespace

TEST(QtAlertPresenter, ShowsTheTextsAMaskedFocusedFieldAndTheButtonsWithTheFirstAsDefault) {
    bool checked = false;
    const AlertResult r = runWith(keyAlert(), [&](QWidget& d) {
        QStringList labels;
        for (auto* l : d.findChildren<QLabel*>()) labels << l->text();
        EXPECT_TRUE(labels.contains("Deepgram API key") && labels.contains("Сохранится в login keyring.")) << labels.join("|").toStdString();
        auto* field = d.findChild<QLineEdit*>("alertField0");
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->echoMode(), QLineEdit::Password);
        EXPECT_EQ(field->placeholderText(), "сюда вставь ключ");
        EXPECT_EQ(d.focusWidget(), field) << "the field takes the keys first";
        auto* save = d.findChild<QPushButton*>("alertButton0");
        auto* cancel = d.findChild<QPushButton*>("alertButton1");
        ASSERT_TRUE(save && cancel);
        EXPECT_EQ(save->text(), "Сохранить");
        EXPECT_TRUE(save->isDefault() && !cancel->isDefault());
        EXPECT_GT(save->x(), cancel->x()) << "the default button sits rightmost";
        checked = true;
        cancel->click();
    });
    EXPECT_TRUE(checked);
    EXPECT_EQ(r.buttonIndex, 1);
}

TEST(QtAlertPresenter, ReturnAnswersTheFirstButtonWithTheTextAsTypedAndEscapeAnswersNone) {
    const auto typeThen = [](int finalKey) {
        return [finalKey](QWidget& d) {
            auto* field = d.findChild<QLineEdit*>("alertField0");
            ASSERT_NE(field, nullptr);
            type(field, " dg-ключ ");
            key(field, finalKey);
        };
    };
    AlertResult r = runWith(keyAlert(), typeThen(Qt::Key_Return));
    EXPECT_EQ(r.buttonIndex, 0);
    EXPECT_EQ(r.fieldTexts, std::vector<std::string>{" dg-ключ "});
    r = runWith(keyAlert(), typeThen(Qt::Key_Escape));
    EXPECT_EQ(r.buttonIndex, -1);
}

TEST(QtAlertPresenter, PlainFieldsShowTheirInitialTextAndAlertsWithoutFieldsWork) {
    AlertSpec spec;
    spec.messageText = "Адрес демона лампы";
    spec.buttons = {"Сохранить", "Отмена"};
    spec.fields = {AlertField{"host", "lamp.local", false}, AlertField{"port", "", false}};
    AlertResult r = runWith(spec, [](QWidget& d) {
        auto* host = d.findChild<QLineEdit*>("alertField0");
        auto* port = d.findChild<QLineEdit*>("alertField1");
        ASSERT_TRUE(host && port);
        EXPECT_EQ(host->echoMode(), QLineEdit::Normal);
        port->setText("7420");
        d.findChild<QPushButton*>("alertButton0")->click();
    });
    EXPECT_EQ(r.buttonIndex, 0);
    EXPECT_EQ(r.fieldTexts, (std::vector<std::string>{"lamp.local", "7420"}));

    spec.fields.clear();
    r = runWith(spec, [](QWidget& d) { d.findChild<QPushButton*>("alertButton1")->click(); });
    EXPECT_EQ(r.buttonIndex, 1);
    EXPECT_TRUE(r.fieldTexts.empty());
}
