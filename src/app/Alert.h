#pragma once
// Modal alerts as data: a spec in, the pressed button and field texts out.
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

struct AlertField {
    std::string placeholder;
    std::string initialText;
    bool secure = false;  // masked input
};

struct AlertSpec {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;  // first is the default
    std::vector<AlertField> fields;
};

struct AlertResult {
    int buttonIndex = -1;  // index into AlertSpec::buttons; -1 when closed otherwise
    std::vector<std::string> fieldTexts;
};

class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // Runs modally on the main thread and returns the user's answer.
    virtual AlertResult runModal(const AlertSpec& spec) = 0;
};

// Trims white space and line breaks from both ends, as every dialog does
// with entered text before using it.
std::string trimmedInput(const std::string& text);

}  // namespace parlando
