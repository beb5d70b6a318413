// The fixture of the network-port tests that talk to the scripted server
// (fake_rfc2217_server.h): port 0 mapped to an address and opened, every
// port closed and the mapping cleared after each test, and collecting what
// arrives on port 0; and finding a port's socket.
#ifndef VELK_TESTS_SUPPORT_NET_PORT_FIXTURE_H
#define VELK_TESTS_SUPPORT_NET_PORT_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/fake_rfc2217_server.h"
#include "support/library_state.h"
#include "support/name_script.h"
#include "support/socket_calls.h"
#include "velk32_posix.h"

namespace velk {

using Clock = std::chrono::steady_clock;

inline long msSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// This process's socket connected to 127.0.0.1:port (a network port's), or -1.
inline int socketTo(int port) {
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.sin_family == AF_INET &&
            ntohs(a.sin_port) == port) {
            return fd;
        }
    }
    return -1;
}

struct NetPortFixture : ::testing::Test {
    using Bytes = FakeRfc2217Server::Bytes;

    void TearDown() override {
        resetLibraryState();
        velk_map_port(0, nullptr);
        socket_calls::watch(-1);  // a test that stopped early may have left its watch on
        name_script::answer("", {});
    }
    // Maps port 0 to the address and opens it.
    int reset(const std::string& address, int queue = 4096) {
        velk_map_port(0, address.c_str());
        return SioReset(0, queue, 4096);
    }
    // Collects what arrives on port 0 until n bytes or 10 s.
    static Bytes receive(std::size_t n) {
        Bytes got;
        const auto end = Clock::now() + std::chrono::seconds(10);
        char buf[4096];
        while (got.size() < n && Clock::now() < end) {
            const int r = SioGets(0, buf, static_cast<int>(sizeof buf));
            if (r < 0) break;
            got.insert(got.end(), buf, buf + r);
            if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return got;
    }
};

}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_NET_PORT_FIXTURE_H
