// Proves that no library call allocates heap memory once a port is open: the
// library keeps all its state in fixed tables, and a polling application may
// call it millions of times. This binary replaces the C allocator (malloc and
// its relatives, which operator new also goes through) with counting
// wrappers, opens COM1 on the slave end of a pty pair with the POSIX backend,
// and makes every Sio call, one at a time, with the counter armed only around
// that call. It is a binary of its own because the replaced allocator would
// count GoogleTest's and the other tests' allocations too, and it is not built
// under the sanitizers, whose allocator it would displace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/pty_pair.h"
#include "velk32.h"
#include "velk32_posix.h"

// ---- The counting allocator -------------------------------------------------

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<bool> armed{false};
std::atomic<long> allocations{0};

inline void note() {
    if (armed.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
    note();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
    note();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
    note();
    return __libc_realloc(p, n);
}
void* memalign(size_t align, size_t n) {
    note();
    return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) {
    note();
    return __libc_memalign(align, n);
}
int posix_memalign(void** out, size_t align, size_t n) {
    note();
    void* p = __libc_memalign(align, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
void free(void* p) {
    __libc_free(p);
}
}

namespace {

// Runs fn with the counter armed and returns how many allocations it made.
long allocationsIn(const std::function<void()>& fn) {
    allocations.store(0);
    armed.store(true);
    fn();
    armed.store(false);
    return allocations.load();
}

// Keeps the compiler from removing an allocation the self-check makes.
void* (*volatile mallocPtr)(size_t) = malloc;
void (*volatile freePtr)(void*) = free;

using velk::Pty;

class NoHeapTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(pty_.path.empty()) << "openpty failed";
        ASSERT_EQ(velk_map_port(0, pty_.path.c_str()), 0);
        // The first opening may set up what lives for the life of the
        // process (the device backend, the port map); it is not counted.
        ASSERT_EQ(SioReset(0, 1024, 1024), 0) << "SioWinError " << SioWinError();
    }
    void TearDown() override {
        SioDone(0);
        velk_map_port(0, nullptr);
    }

    // Bytes from the peer, waited for (up to 2 s) until the port has them.
    void peerSends(const char* data, int n) {
        ASSERT_EQ(write(pty_.master, data, n), n);
        for (int i = 0; i < 200 && SioRxQue(0) < n; ++i) {
            pollfd p{pty_.slave, POLLIN, 0};
            poll(&p, 1, 10);
        }
        ASSERT_GE(SioRxQue(0), n);
    }

    void drainPeer() {
        char buf[4096];
        while (read(pty_.master, buf, sizeof buf) > 0) {
        }
    }

    Pty pty_;
};

TEST_F(NoHeapTest, CounterSeesAllocations) {
    // The allocator really is replaced: an allocation in the armed window is
    // counted, through malloc and through operator new alike.
    EXPECT_EQ(allocationsIn([] { freePtr(mallocPtr(32)); }), 1);
    EXPECT_GE(allocationsIn([] {
                  std::string s(100, 'x');
                  EXPECT_EQ(s.size(), 100u);
              }),
              1);
}

TEST_F(NoHeapTest, NoCallAllocatesAfterReset) {
    char buf[4096] = {};
    std::memset(buf, 'q', sizeof buf);
    // Every function, with the results that show it did its work; the
    // allocation count of each call is checked on its own.
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"SioPutc", [] { EXPECT_EQ(SioPutc(0, 'a'), 0); }},
        {"SioPuts", [&] { EXPECT_EQ(SioPuts(0, buf, 1000), 1000); }},
        {"SioTxQue", [] { EXPECT_GE(SioTxQue(0), 0); }},
        {"SioTxClear", [] { EXPECT_EQ(SioTxClear(0), 0); }},
        {"SioGetc (empty)", [] { EXPECT_EQ(SioGetc(0), SIO_NO_DATA); }},
        {"SioGets (empty)", [&] { EXPECT_EQ(SioGets(0, buf, 100), 0); }},
        {"SioUnGetc", [] { EXPECT_EQ(SioUnGetc(0, 'u'), 0); }},
        {"SioGetc (pushed back)", [] { EXPECT_EQ(SioGetc(0), 'u'); }},
        {"SioRxQue", [] { EXPECT_EQ(SioRxQue(0), 0); }},
        {"SioRxClear", [] { EXPECT_EQ(SioRxClear(0), 0); }},
        {"velk_wait", [] { EXPECT_EQ(velk_wait(0, 1), 0); }},
        {"velk_port_fd", [] { EXPECT_GE(velk_port_fd(0), 0); }},
        {"SioBaud code", [] { EXPECT_EQ(SioBaud(0, SIO_BAUD115200), 1); }},
        {"SioBaud literal", [] { SioBaud(0, 250000); }},
        {"SioParms", [] { EXPECT_EQ(SioParms(0, SIO_EVEN_PARITY, SIO_TWO_STOP_BITS, 7), 0); }},
        {"SioFlow H", [] { EXPECT_EQ(SioFlow(0, SIO_FLOW_HARDWARE), 0); }},
        {"SioFlow S", [] { EXPECT_EQ(SioFlow(0, SIO_FLOW_SOFTWARE), 0); }},
        {"SioFlow N", [] { EXPECT_EQ(SioFlow(0, SIO_FLOW_NONE), 0); }},
        {"SioDTR S", [] { SioDTR(0, SIO_LINE_SET); }},
        {"SioDTR C", [] { SioDTR(0, SIO_LINE_CLEAR); }},
        {"SioDTR R", [] { EXPECT_GE(SioDTR(0, SIO_LINE_READ), 0); }},
        {"SioDTR bad letter", [] { EXPECT_EQ(SioDTR(0, 'X'), SIO_NO_DATA); }},
        {"SioRTS S", [] { SioRTS(0, SIO_LINE_SET); }},
        {"SioRTS R", [] { EXPECT_GE(SioRTS(0, SIO_LINE_READ), 0); }},
        {"SioBrkSig A", [] { SioBrkSig(0, SIO_BREAK_ASSERT); }},
        {"SioBrkSig C", [] { SioBrkSig(0, SIO_BREAK_CANCEL); }},
        {"SioBrkSig D", [] { EXPECT_EQ(SioBrkSig(0, SIO_BREAK_DETECT), 0); }},
        {"SioCTS", [] { EXPECT_GE(SioCTS(0), 0); }},
        {"SioDSR", [] { EXPECT_GE(SioDSR(0), 0); }},
        {"SioRI", [] { EXPECT_GE(SioRI(0), 0); }},
        {"SioDCD", [] { EXPECT_GE(SioDCD(0), 0); }},
        {"SioStatus", [] { EXPECT_GE(SioStatus(0, SIO_CE_ALL), 0); }},
        {"SioInfo", [] { EXPECT_EQ(SioInfo(SIO_INFO_VERSION), 0x20); }},
        {"SioDebug", [] { EXPECT_EQ(SioDebug(-7), -7); }},
        {"SioWinError", [] { SioWinError(); }},
        {"SioPuts bad length", [&] { EXPECT_EQ(SioPuts(0, buf, -1), SIO_WIN_ERROR); }},
        {"SioGets null buffer", [] { EXPECT_EQ(SioGets(0, nullptr, 10), SIO_WIN_ERROR); }},
        {"SioGetc bad port", [] { EXPECT_EQ(SioGetc(9), SIO_BAD_PORT); }},
        {"SioGetc port not open", [] { EXPECT_EQ(SioGetc(2), SIO_NOT_OPEN); }},
        {"SioReset of the open port", [] { EXPECT_EQ(SioReset(0, 1024, 1024), 0); }},
        {"SioDone", [] { EXPECT_EQ(SioDone(0), 1); }},
        {"SioReset again", [] { EXPECT_EQ(SioReset(0, 4096, 4096), 0); }},
    };
    for (const auto& call : calls) {
        EXPECT_EQ(allocationsIn(call.second), 0) << call.first << " allocated";
        drainPeer();
    }

    // With bytes waiting: one at a time, as a block, and drained.
    peerSends("xyz", 3);
    EXPECT_EQ(allocationsIn([] { EXPECT_EQ(SioGetc(0), 'x'); }), 0) << "SioGetc (byte waiting)";
    EXPECT_EQ(allocationsIn([&] { EXPECT_EQ(SioGets(0, buf, 1), 1); }), 0) << "SioGets (data waiting)";
    EXPECT_EQ(allocationsIn([] { EXPECT_EQ(SioRxClear(0), 0); }), 0) << "SioRxClear (data waiting)";
    EXPECT_EQ(SioGetc(0), SIO_NO_DATA);

    // A failing open (the device is gone) and the error it leaves.
    EXPECT_EQ(velk_map_port(2, "/nonexistent/velk-no-such-tty"), 0);
    EXPECT_EQ(allocationsIn([] { EXPECT_EQ(SioReset(2, 1024, 1024), SIO_WIN_ERROR); }), 0)
        << "SioReset of a missing device";
    EXPECT_EQ(SioWinError(), ENOENT);
    velk_map_port(2, nullptr);
}

// loop:// takes its queue at the first opening (not counted) and keeps it: no
// later call allocates, closing and reopening at the same size included.
TEST_F(NoHeapTest, NoCallAllocatesOnTheLoopbackPlug) {
    ASSERT_EQ(velk_map_port(1, "loop://"), 0);
    ASSERT_EQ(SioReset(1, 1024, 1024), 0);
    char buf[64] = {};
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"SioPuts", [] { EXPECT_EQ(SioPuts(1, "abc", 3), 3); }},
        {"velk_wait", [] { EXPECT_EQ(velk_wait(1, 0), 1); }},
        {"velk_port_fd", [] { EXPECT_GE(velk_port_fd(1), 0); }},
        {"SioRxQue", [] { EXPECT_EQ(SioRxQue(1), 3); }},
        {"SioGetc", [] { EXPECT_EQ(SioGetc(1), 'a'); }},
        {"SioGets", [&] { EXPECT_EQ(SioGets(1, buf, sizeof buf), 2); }},
        {"SioGetc (empty)", [] { EXPECT_EQ(SioGetc(1), SIO_NO_DATA); }},
        {"SioFlow S", [] { EXPECT_EQ(SioFlow(1, SIO_FLOW_SOFTWARE), 0); }},
        {"SioPutc", [] { EXPECT_EQ(SioPutc(1, 'z'), 0); }},
        {"SioBrkSig A", [] { EXPECT_EQ(SioBrkSig(1, SIO_BREAK_ASSERT), 1); }},
        {"SioStatus", [] { EXPECT_EQ(SioStatus(1, SIO_CE_ALL), SIO_CE_BREAK); }},
        {"SioDSR", [] { EXPECT_EQ(SioDSR(1), SIO_MS_DSR_ON); }},
        {"SioTxClear", [] { EXPECT_EQ(SioTxClear(1), 0); }},
        {"SioDone", [] { EXPECT_EQ(SioDone(1), 1); }},
        {"SioReset", [] { EXPECT_EQ(SioReset(1, 1024, 1024), 0); }},
    };
    for (const auto& call : calls) EXPECT_EQ(allocationsIn(call.second), 0) << call.first << " allocated";
    SioDone(1);
    velk_map_port(1, nullptr);
}

}  // namespace
