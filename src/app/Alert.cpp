#include "app/Alert.h"

namespace parlando {

std::string trimmedInput(const std::string& text) {
    static constexpr const char* space = " \t\r\n\v\f";
    const auto b = text.find_first_not_of(space);
    if (b == std::string::npos) return {};
    const auto e = text.find_last_not_of(space);
    return text.substr(b, e - b + 1);
}

}  // namespace parlando
