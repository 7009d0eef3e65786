#include "speech/Endpoint.h"

#include <cctype>
#include <cstdlib>

namespace parlando {

std::string deepgramBaseFromEnvironment() {
    const char* value = std::getenv(kDeepgramUrlVariable);
    if (value != nullptr && *value != '\0') return value;
    return std::string(kDeepgramDefaultBase);
}

std::optional<std::string> normalizedStreamingBase(std::string_view base) {
    const auto sep = base.find("://");
    if (sep == std::string_view::npos) return std::nullopt;
    std::string scheme;
    for (char c : base.substr(0, sep)) scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "ws" && scheme != "wss") return std::nullopt;

    std::string_view rest = base.substr(sep + 3);
    const auto authorityEnd = rest.find_first_of("/?#");
    const std::string_view authority = rest.substr(0, authorityEnd);
    if (authority.empty()) return std::nullopt;
    for (char c : authority) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '@' || c == '\\') return std::nullopt;
    }

    std::string_view host = authority;
    std::string_view port;
    if (authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos || close == 1) return std::nullopt;
        host = authority.substr(0, close + 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            port = after.substr(1);
            if (port.empty()) return std::nullopt;
        }
    } else {
        const auto colon = authority.find(':');
        if (colon != std::string_view::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
            if (port.empty()) return std::nullopt;
        }
        if (host.empty() || host.find('[') != std::string_view::npos || host.find(']') != std::string_view::npos) {
            return std::nullopt;
        }
    }
    if (!port.empty()) {
        if (port.size() > 5) return std::nullopt;
        long value = 0;
        for (char c : port) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 65535) return std::nullopt;
    }
    std::string out = scheme + "://" + std::string(host);
    if (!port.empty()) out += ":" + std::string(port);
    return out;
}

std::string percentEncodeQueryComponent(std::string_view value) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 0x0F];
        }
    }
    return out;
}

std::string listenQuery(std::string_view model, std::string_view language, int channels, bool multichannel) {
    std::string q;
    q += "model=" + percentEncodeQueryComponent(model);
    q += "&language=" + percentEncodeQueryComponent(language);
    q += "&encoding=linear16";
    q += "&sample_rate=16000";
    q += "&channels=" + std::to_string(channels);
    q += "&interim_results=true";
    q += "&smart_format=true";
    q += "&punctuate=true";
    q += "&endpointing=300";
    if (multichannel) q += "&multichannel=true";
    return q;
}

std::optional<std::string> listenUrl(std::string_view base, std::string_view model, std::string_view language,
                                     int channels, bool multichannel) {
    const auto normalized = normalizedStreamingBase(base);
    if (!normalized) return std::nullopt;
    return *normalized + std::string(kDeepgramListenPath) + "?" + listenQuery(model, language, channels, multichannel);
}

}  // namespace parlando
