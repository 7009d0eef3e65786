#pragma once
#include "core/SystemLog.h"

namespace parlando {

// syslog(3) under the identity "com.parlando.app".
class SyslogSystemLog final : public SystemLog {
public:
    static constexpr const char* identity = "com.parlando.app";
    SyslogSystemLog();
    ~SyslogSystemLog() override;
    void info(std::string_view message) override;
    void error(std::string_view message) override;
};

}  // namespace parlando
