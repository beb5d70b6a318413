// The GoogleTest fixtures of the POSIX backend's tests: PosixLibraryTest,
// the library on its own POSIX backend with the port mappings and module-wide
// state given back after each test, and PosixPty, the same with a fresh pty
// (support/pty_pair.h) whose master the test drives; and the count of the
// process's open descriptors, for the tests that look for leaks.
#ifndef VELK_TESTS_SUPPORT_POSIX_PTY_FIXTURE_H
#define VELK_TESTS_SUPPORT_POSIX_PTY_FIXTURE_H

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "support/library_state.h"
#include "support/pty_pair.h"
#include "support/wait_until.h"
#include "velk32.h"
#include "velk32_posix.h"

namespace velk {

// The descriptors open in this process.
inline int openFdCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

class PosixLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        setDevice(nullptr);
        resetLibraryState();
    }
    void TearDown() override {
        resetLibraryState();
        for (int p = 0; p < SIO_PORT_COUNT; ++p) velk_map_port(p, nullptr);
    }
};

class PosixPty : public PosixLibraryTest {
protected:
    void SetUp() override {
        PosixLibraryTest::SetUp();
        ASSERT_FALSE(pty.path.empty());
    }

    // Maps port to the pty and opens it.
    void openPty(int port) {
        ASSERT_EQ(velk_map_port(port, pty.path.c_str()), 0);
        ASSERT_EQ(SioReset(port, 1024, 1024), 0) << "SioWinError " << SioWinError();
    }

    // Everything the port receives within `limit`, up to n bytes.
    static std::string drain(int port, std::size_t n,
                             std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::string got;
        char buf[4096];
        waitUntil(
            [&] {
                int r = SioGets(port, buf, static_cast<int>(std::min(sizeof buf, n - got.size())));
                if (r > 0) got.append(buf, static_cast<std::size_t>(r));
                return got.size() >= n || r < 0;
            },
            limit);
        return got;
    }

    static std::string allByteValues() {
        std::string s;
        for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
        return s;
    }

    static std::string pattern(std::size_t n) {
        std::string s(n, '\0');
        unsigned x = 12345;
        for (auto& c : s) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 16);
        }
        return s;
    }

    Pty pty;
};

}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_POSIX_PTY_FIXTURE_H
