// rfc2217:// and socket:// address parsing: the accepted forms and the
// malformed ones, which must all be EINVAL.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "device/net/net_url.h"

namespace velk {
namespace {

TEST(NetUrl, AcceptsHostsPortsAndOptions) {
    NetUrl u;
    ASSERT_EQ(parseNetUrl("rfc2217://127.0.0.1:7000", &u), 0);
    EXPECT_EQ(u.kind, NetKind::Rfc2217);
    EXPECT_STREQ(u.host, "127.0.0.1");
    EXPECT_STREQ(u.service, "7000");
    EXPECT_EQ(u.port, 7000u);
    EXPECT_EQ(u.ackTimeoutMs, 500u);
    EXPECT_EQ(u.connectTimeoutMs, 5000u);

    ASSERT_EQ(parseNetUrl("socket://[::1]:65535", &u), 0);
    EXPECT_EQ(u.kind, NetKind::Socket);
    EXPECT_STREQ(u.host, "::1");
    EXPECT_EQ(u.port, 65535u);

    ASSERT_EQ(parseNetUrl("rfc2217://term-server.example_lab.net:1?ack_timeout=0&connect_timeout=250", &u), 0);
    EXPECT_STREQ(u.host, "term-server.example_lab.net");
    EXPECT_EQ(u.port, 1u);
    EXPECT_EQ(u.ackTimeoutMs, 0u);
    EXPECT_EQ(u.connectTimeoutMs, 250u);

    ASSERT_EQ(parseNetUrl("rfc2217://[fe80::1:2]:7000?ack_timeout=60000", &u), 0);
    EXPECT_STREQ(u.host, "fe80::1:2");
    EXPECT_EQ(u.ackTimeoutMs, 60000u);

    EXPECT_EQ(netKindOf("loop://"), NetKind::None);
    EXPECT_EQ(netKindOf("/dev/ttyUSB0"), NetKind::None);
    EXPECT_EQ(netKindOf(nullptr), NetKind::None);
}

TEST(NetUrl, MalformedAddressesAreEinval) {
    const std::string longHost(300, 'a');
    const std::string tooLong = "socket://" + longHost + ":80";
    const char* bad[] = {
        "", "rfc2217://", "rfc2217://:7000", "rfc2217://host", "rfc2217://host:", "rfc2217://host:0",
        "rfc2217://host:65536", "rfc2217://host:123456", "rfc2217://host:-1", "rfc2217://host:+80",
        "rfc2217://host:80x", "rfc2217://host:80/", "rfc2217://host:80 ", "rfc2217://ho st:80",
        "rfc2217://[::1:80", "rfc2217://[]:80", "rfc2217://[1.2.3.4]:80", "rfc2217://::1:80",
        "rfc2217://[::1]80", "rfc2217://host:80?", "rfc2217://host:80?ack_timeout", "rfc2217://host:80?ack_timeout=",
        "rfc2217://host:80?ack_timeout=x", "rfc2217://host:80?ack_timeout=60001", "rfc2217://host:80?colour=1",
        "rfc2217://host:80?ack_timeout=5&", "rfc2217://host:80?connect_timeout=0",
        "socket://host:80?ack_timeout=5",  // no acknowledgements on raw TCP
        "telnet://host:80", "RFC2217://host:80", "socket:/host:80", "loop://", tooLong.c_str(),
    };
    for (const char* text : bad) {
        NetUrl u;
        u.port = 42;
        EXPECT_EQ(parseNetUrl(text, &u), EINVAL) << text;
        EXPECT_EQ(u.port, 42u) << "a failed parse leaves the record alone: " << text;
    }
}

}  // namespace
}  // namespace velk
