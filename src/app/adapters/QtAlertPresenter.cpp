#include "app/adapters/QtAlertPresenter.h"

#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <vector>

namespace parlando {

AlertResult QtAlertPresenter::runModal(const AlertSpec& spec) {
    QDialog dialog;
    dialog.setObjectName(dialogName);
    dialog.setWindowTitle(QApplication::applicationDisplayName());
    dialog.setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint);
    dialog.setWindowModality(Qt::ApplicationModal);

    auto* layout = new QVBoxLayout(&dialog);
    auto* message = new QLabel(QString::fromStdString(spec.messageText));
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    message->setWordWrap(true);
    layout->addWidget(message);
    if (!spec.informativeText.empty()) {
        auto* info = new QLabel(QString::fromStdString(spec.informativeText));
        info->setWordWrap(true);
        info->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(info);
    }

    std::vector<QLineEdit*> edits;
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        const AlertField& f = spec.fields[i];
        auto* edit = new QLineEdit(QString::fromStdString(f.initialText));
        edit->setObjectName(QString(fieldNamePrefix) + QString::number(i));
        edit->setPlaceholderText(QString::fromStdString(f.placeholder));
        edit->setMinimumWidth(fieldWidth);
        if (f.secure) {
            edit->setEchoMode(QLineEdit::Password);
            // A masked field keeps its text out of input-method history.
            edit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhNoPredictiveText | Qt::ImhSensitiveData);
        }
        layout->addWidget(edit);
        edits.push_back(edit);
    }

    // The first button is the default one and sits rightmost, where the
    // affirmative answer goes on GNOME and macOS alike.
    int chosen = -1;
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    std::vector<QPushButton*> buttons(spec.buttons.size());
    for (std::size_t i = spec.buttons.size(); i-- > 0;) {
        auto* b = new QPushButton(QString::fromStdString(spec.buttons[i]));
        b->setObjectName(QString(buttonNamePrefix) + QString::number(i));
        b->setAutoDefault(false);
        b->setDefault(i == 0);
        QObject::connect(b, &QPushButton::clicked, &dialog, [&dialog, &chosen, i] {
            chosen = static_cast<int>(i);
            dialog.accept();
        });
        row->addWidget(b);
        buttons[i] = b;
    }
    layout->addLayout(row);

    if (!edits.empty()) edits.front()->setFocus(Qt::OtherFocusReason);
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    dialog.exec();

    AlertResult result;
    result.buttonIndex = chosen;
    for (QLineEdit* e : edits) result.fieldTexts.push_back(e->text().toStdString());
    return result;
}

}  // namespace parlando
