#pragma once
// The tray item on an XEmbed system tray, through Qt's tray icon. Qt's class
// has no text label, so the title becomes the first line of the tool tip.
#include "app/TrayButton.h"
#include "app/adapters/QtMenuPresenter.h"

#include <QObject>
#include <QSystemTrayIcon>
#include <memory>

namespace parlando {

class QtTrayButton final : public TrayButton {
public:
    QtTrayButton();
    ~QtTrayButton() override;

    void setVisible(bool visible) override;
    void setImage(const IconImage& image) override;
    void setTitle(const std::string& title) override;
    void setImagePosition(ImagePosition position) override;
    void setToolTip(const std::optional<std::string>& toolTip) override;
    std::optional<std::string> toolTip() const override;
    void setOnClick(std::function<void()> onClick) override;
    void setMenuProvider(std::function<MenuModel()> provider) override;
    void popUpMenu(const MenuModel& menu) override;
    TrayPresence presence() const override;
    std::optional<std::string> reattach() override;

    QSystemTrayIcon& trayIcon() { return *tray_; }
    // The tool tip as the tray shows it: the title on the first line.
    QString shownToolTip() const;

private:
    void makeIcon();
    void applyToolTip();
    void applyIcon();
    std::unique_ptr<QSystemTrayIcon> tray_;
    QtMenuPresenter presenter_;
    std::optional<IconImage> image_;
    std::string title_;
    std::optional<std::string> toolTip_;
    std::function<void()> onClick_;
};

}  // namespace parlando
