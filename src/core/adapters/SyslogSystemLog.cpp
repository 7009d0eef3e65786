#include "core/adapters/SyslogSystemLog.h"

#include <string>
#include <syslog.h>

namespace parlando {

SyslogSystemLog::SyslogSystemLog() { openlog(identity, LOG_PID, LOG_USER); }

SyslogSystemLog::~SyslogSystemLog() { closelog(); }

void SyslogSystemLog::info(std::string_view message) {
    const std::string m(message);
    syslog(LOG_INFO, "%s", m.c_str());
}

void SyslogSystemLog::error(std::string_view message) {
    const std::string m(message);
    syslog(LOG_ERR, "%s", m.c_str());
}

}  // namespace parlando
