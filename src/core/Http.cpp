#include "core/Http.h"

#include <cctype>

namespace parlando {

bool isValidHttpAuthority(const std::string& host, std::int64_t port) {
    if (port < 1 || port > 65535 || host.empty() || host.size() > 253) return false;
    if (host.front() == '[') {
        if (host.size() < 4 || host.back() != ']') return false;
        for (std::size_t i = 1; i + 1 < host.size(); ++i) {
            const char c = host[i];
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
        }
        return true;
    }
    // Host names and IPv4 addresses: labels of letters, digits, '-' and '_'.
    std::size_t label = 0;
    for (const char c : host) {
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
            continue;
        }
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
        if (++label > 63) return false;
    }
    return label > 0 || host.size() > 1;
}

}  // namespace parlando
