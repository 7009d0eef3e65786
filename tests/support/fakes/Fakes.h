#pragma once
// Fakes of the core's ports that record what they were told.
#include "app/TrayButton.h"
#include "core/Log.h"
#include "core/SystemLog.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace parlando::testing {

// Both hold their lines under a lock: the audio and network threads log too.
class MemoryLog final : public Log {
public:
    void append(std::string_view message) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(message);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool contains(std::string_view needle) const { return count(needle) > 0; }  // any line containing needle
    std::size_t count(std::string_view needle) const {
        return std::ranges::count_if(lines(),
                                     [&](const std::string& l) { return l.find(needle) != std::string::npos; });
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class FakeSystemLog final : public SystemLog {
public:
    void info(std::string_view message) override { infoLines.append(message); }
    void error(std::string_view message) override { errorLines.append(message); }
    std::vector<std::string> infos() const { return infoLines.lines(); }
    std::vector<std::string> errors() const { return errorLines.lines(); }
    MemoryLog infoLines, errorLines;
};

class FakeTrayButton final : public TrayButton {
public:
    void setVisible(bool v) override { visibilityChanges.push_back(v); }
    void setImage(const IconImage& i) override {
        image = i;
        ++imageSets;
    }
    void setTitle(const std::string& t) override { title = t; }
    void setToolTip(const std::optional<std::string>& t) override { tip = t; }
    std::optional<std::string> toolTip() const override { return tip; }
    void setOnClick(std::function<void()> f) override { onClick = std::move(f); }
    void setImagePosition(ImagePosition p) override { imagePosition = p; }
    void setMenuProvider(std::function<MenuModel()> f) override { menuProvider = std::move(f); }
    void popUpMenu(const MenuModel& m) override { poppedUp.push_back(m); }
    TrayPresence presence() const override { return present; }

    std::vector<bool> visibilityChanges;
    IconImage image;
    int imageSets = 0;
    std::string title;
    std::optional<std::string> tip;
    std::function<void()> onClick;
    ImagePosition imagePosition = ImagePosition::imageOnly;
    std::function<MenuModel()> menuProvider;
    std::vector<MenuModel> poppedUp;
    TrayPresence present;
};

}  // namespace parlando::testing
