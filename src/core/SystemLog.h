#pragma once
// The system's own log (syslog on Linux). Two levels are all the app uses.
#include <string_view>

namespace parlando {

class SystemLog {
public:
    virtual ~SystemLog() = default;
    virtual void info(std::string_view message) = 0;
    virtual void error(std::string_view message) = 0;
};

}  // namespace parlando
