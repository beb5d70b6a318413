// Network port addresses: "rfc2217://host:port" (a Telnet Com Port Control
// server such as ser2net) and "socket://host:port" (raw TCP, data only). The
// host is an IPv4 address, an IPv6 address in brackets or a host name; the
// port a decimal number from 1 to 65535. Options may follow a '?' as
// name=value pairs joined by '&':
//   ack_timeout=MS      how long a request waits for the server's answer
//                       (rfc2217 only; default 500, at most 60000, 0: never wait)
//   connect_timeout=MS  how long the connection may take (default 5000,
//                       1 to 60000)
// Parsing is pure: no name is looked up and nothing is allocated.
#ifndef VELK_DEVICE_NET_NET_URL_H
#define VELK_DEVICE_NET_NET_URL_H

#include <cstddef>

namespace velk {

enum class NetKind : unsigned char { None, Rfc2217, Socket };

struct NetUrl {
    NetKind kind = NetKind::None;
    char host[256] = {};  // without the brackets of an IPv6 address
    char service[6] = {};  // the port number as text, for getaddrinfo
    unsigned port = 0;
    unsigned ackTimeoutMs = 500;
    unsigned connectTimeoutMs = 5000;
    unsigned userTimeoutMs = 0;
    unsigned keepaliveS = 10;
    unsigned closeTimeoutMs = 1000;
};

// The kind of network address `text` names by its scheme (None when it names
// no network port, for instance a device path or "loop://").
NetKind netKindOf(const char* text);

// Parses a network address into *url. Returns 0, or EINVAL when the address is
// malformed: an unknown scheme, a missing or over-long host, a missing, bad or
// out-of-range port, an unknown option or value, or anything trailing.
int parseNetUrl(const char* text, NetUrl* url);

}  // namespace velk

#endif  // VELK_DEVICE_NET_NET_URL_H
