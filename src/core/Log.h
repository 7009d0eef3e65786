#pragma once
// The diagnostic log every component writes its English one-liners to.
// Components receive a Log& so that tests can read what they said.
#include <string_view>

namespace parlando {

class Log {
public:
    virtual ~Log() = default;
    // Callable from any thread; never fails visibly.
    virtual void append(std::string_view message) = 0;
};

}  // namespace parlando
