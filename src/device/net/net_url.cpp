// Parsing of the rfc2217:// and socket:// addresses (see net_url.h): a
// single forward pass over the text with no allocation; a malformed address
// is EINVAL, whatever part of it is wrong.
#include "device/net/net_url.h"

#include <cerrno>
#include <cstring>

namespace velk {

namespace {

constexpr char kRfc2217[] = "rfc2217://";
constexpr char kSocket[] = "socket://";
constexpr unsigned kMaxTimeoutMs = 60000;

bool startsWith(const char* s, const char* prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || c == '-' || c == '.' || c == '_';
}

bool isIpv6Char(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

// A decimal number of at most 9 digits from p up to `end`, at most `max`.
bool number(const char* p, const char* end, unsigned max, unsigned* value) {
    if (p == end || end - p > 9) return false;
    unsigned v = 0;
    for (; p != end; ++p) {
        if (!isDigit(*p)) return false;
        v = v * 10 + static_cast<unsigned>(*p - '0');
    }
    if (v > max) return false;
    *value = v;
    return true;
}

bool isZoneChar(char c) {
    return isHostChar(c);
}

// The options: name, the field, the smallest and largest value, and whether
// only rfc2217 takes it.
struct OptionRow {
    const char* name;
    unsigned NetUrl::*field;
    unsigned min, max;
    bool rfc2217Only;
};
const OptionRow kOptions[] = {
    {"ack_timeout", &NetUrl::ackTimeoutMs, 0, kMaxTimeoutMs, true},
    {"connect_timeout", &NetUrl::connectTimeoutMs, 1, kMaxTimeoutMs, false},
    {"user_timeout", &NetUrl::userTimeoutMs, 0, 3600000, false},
    {"keepalive", &NetUrl::keepaliveS, 1, 3600, false},
    {"close_timeout", &NetUrl::closeTimeoutMs, 0, kMaxTimeoutMs, false},
};

bool option(const char* p, const char* end, NetUrl* url) {
    const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<std::size_t>(end - p)));
    if (eq == nullptr) return false;
    const std::size_t nameLen = static_cast<std::size_t>(eq - p);
    for (const OptionRow& o : kOptions) {
        if (std::strlen(o.name) != nameLen || std::strncmp(p, o.name, nameLen) != 0) continue;
        unsigned v = 0;
        if (!number(eq + 1, end, o.max, &v) || v < o.min) return false;
        if (o.rfc2217Only && url->kind != NetKind::Rfc2217) return false;
        url->*o.field = v;
        return true;
    }
    return false;
}

}  // namespace

NetKind netKindOf(const char* text) {
    if (text == nullptr) return NetKind::None;
    if (startsWith(text, kRfc2217)) return NetKind::Rfc2217;
    if (startsWith(text, kSocket)) return NetKind::Socket;
    return NetKind::None;
}

int parseNetUrl(const char* text, NetUrl* url) {
    NetUrl u;
    u.kind = netKindOf(text);
    if (u.kind == NetKind::None) return EINVAL;
    const char* p = text + std::strlen(u.kind == NetKind::Rfc2217 ? kRfc2217 : kSocket);

    // The host: [IPv6] or a name / IPv4 address.
    const char* host = p;
    const char* hostEnd = nullptr;
    if (*p == '[') {
        host = ++p;
        while (isIpv6Char(*p)) ++p;
        if (std::memchr(host, ':', static_cast<std::size_t>(p - host)) == nullptr) return EINVAL;
        if (*p == '%') {  // a zone: an interface name or number
            const char* zone = ++p;
            while (isZoneChar(*p)) ++p;
            if (p == zone) return EINVAL;
        }
        if (*p != ']') return EINVAL;
        hostEnd = p++;
    } else {
        while (isHostChar(*p)) ++p;
        hostEnd = p;
    }
    const std::size_t hostLen = static_cast<std::size_t>(hostEnd - host);
    if (hostLen == 0 || hostLen >= sizeof u.host) return EINVAL;
    std::memcpy(u.host, host, hostLen);
    u.host[hostLen] = '\0';

    // ":port", required.
    if (*p != ':') return EINVAL;
    const char* portBegin = ++p;
    while (isDigit(*p)) ++p;
    if (p - portBegin > 5 || !number(portBegin, p, 65535, &u.port) || u.port == 0) return EINVAL;
    std::memcpy(u.service, portBegin, static_cast<std::size_t>(p - portBegin));
    u.service[p - portBegin] = '\0';

    // "?name=value&name=value", then nothing.
    if (*p == '?') {
        ++p;
        for (;;) {
            const char* end = p;
            while (*end != '\0' && *end != '&') ++end;
            if (!option(p, end, &u)) return EINVAL;
            if (*end == '\0') {
                p = end;
                break;
            }
            p = end + 1;
        }
    }
    if (*p != '\0') return EINVAL;
    *url = u;
    return 0;
}

}  // namespace velk
