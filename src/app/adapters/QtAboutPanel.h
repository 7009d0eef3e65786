#pragma once
// The About window on Qt Widgets: a small fixed panel that floats above
// other windows and only hides when closed. Clicks on the version line, the
// restore button and the site link go back to the controller.
#include "app/AboutPanelController.h"

#include <QString>
#include <QUrl>
#include <QWidget>

class QLabel;

namespace parlando {

class QtAboutPanel final : public AboutPanelView {
public:
    static constexpr const char* windowName = "parlando-about";

    struct Content {
        QString version;
        QUrl site;          // opened by the link
        QString siteTitle;  // the link's text
    };

    QtAboutPanel(AboutPanelController& controller, Content content);
    ~QtAboutPanel() override;

    void present() override;
    void setDevStatus(const std::string& text) override;

    QWidget& window() { return *window_; }

private:
    std::unique_ptr<QWidget> window_;
    QLabel* devStatus_ = nullptr;
};

}  // namespace parlando
