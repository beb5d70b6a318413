// Faults of a real device, on the POSIX backend over ptys: the far end hangs
// up in the middle of a long write; a write held off by XON/XOFF flow control
// when the far end disappears; every port function on a port whose device
// node has gone away while open. Each call that needs the device must come
// back within a bounded time with SIO_WIN_ERROR and a meaningful errno (or
// its documented 0), and SioDone must still free the port and its
// descriptor. Last, the fault shim in front of the real backend: ten thousand
// SioReset/SioDone cycles on a pty, each with another step of the open
// failing, leave exactly the descriptors there were before.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "device/testing/fault_shim.h"
#include "support/posix_pty_fixture.h"
#include "velk32.h"
#include "velk32_posix.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

// How long a call on a dead or dying device may take before it counts as
// hung. Generous: it bounds a hang, it does not measure speed.
constexpr auto kBound = 10s;

class PosixFaults : public PosixPty {
protected:
    void SetUp() override {
        PosixPty::SetUp();
        fdsBefore = openFdCount();
        openPty(0);
    }

    // Runs call on a thread of its own (the library is still used by one
    // thread at a time: the test thread only waits) and gives its result, or
    // fails the test if it has not returned within the bound.
    static int bounded(const std::function<int()>& call, const char* what) {
        auto result = std::async(std::launch::async, call);
        if (result.wait_for(kBound) != std::future_status::ready) {
            ADD_FAILURE() << what << " did not return within " << kBound.count() << " s";
            std::terminate();  // a hung thread cannot be joined
        }
        return result.get();
    }

    // SioDone frees the port and its descriptor.
    void expectFreed() {
        EXPECT_EQ(SioDone(0), 1);
        EXPECT_EQ(SioDone(0), SIO_NOT_OPEN);
        // The test's own master descriptor is gone too once it hung up.
        EXPECT_EQ(openFdCount(), fdsBefore - (pty.master < 0 ? 1 : 0)) << "a descriptor was left open";
    }

    int fdsBefore = 0;
};

// The far end reads part of a long write, then hangs up while the rest is
// still going out.
TEST_F(PosixFaults, PeerHangingUpMidTransferEndsTheWrite) {
    const std::string big(4 << 20, 'w');
    std::atomic<bool> done{false};
    auto writer = std::async(std::launch::async, [&] {
        int r = SioPuts(0, big.data(), static_cast<int>(big.size()));
        done = true;
        return r;
    });
    // The transfer is under way: the far end has taken some of it, and the
    // rest is more than a pty holds, so the write is still in progress.
    EXPECT_EQ(pty.receive(8192).size(), 8192u);
    EXPECT_FALSE(done.load());
    pty.closeMaster();
    ASSERT_EQ(writer.wait_for(kBound), std::future_status::ready) << "the write hung after the hang-up";
    EXPECT_EQ(writer.get(), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), EIO);
    // Later calls see the hang-up too; nothing waits.
    EXPECT_EQ(bounded([] { return SioPutc(0, 'x'); }, "SioPutc"), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), EIO);
    expectFreed();
}

// Software flow control: the far end sends XOFF, so the next write is held;
// then the far end disappears and the held write must end with an error.
TEST_F(PosixFaults, WriteHeldByFlowControlEndsWhenThePeerDisappears) {
    ASSERT_EQ(SioFlow(0, 'S'), 0);
    // XOFF, then a marker byte: once the marker waits in the port's receive
    // queue, the line discipline has taken the XOFF before it.
    ASSERT_TRUE(pty.send("\x13M"));
    ASSERT_TRUE(waitUntil([] { return SioRxQue(0) == 1; }));
    std::atomic<bool> done{false};
    auto writer = std::async(std::launch::async, [&] {
        int r = SioPuts(0, "held back", 9);
        done = true;
        return r;
    });
    // Held: nothing comes out at the far end, and the write does not return.
    EXPECT_EQ(pty.receive(1, 300ms), "");
    EXPECT_FALSE(done.load()) << "the write was not held by XOFF";
    pty.closeMaster();
    ASSERT_EQ(writer.wait_for(kBound), std::future_status::ready) << "the held write hung after the hang-up";
    EXPECT_EQ(writer.get(), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), EIO);
    expectFreed();
}

// The device node disappears while the port is open (as when a USB adapter
// is pulled): the pty's node goes with its master. Every port function gets
// its answer at once, SioDone frees the port, and reopening reports the
// missing node.
TEST_F(PosixFaults, EveryFunctionOnAPortWhoseDeviceNodeWasRemoved) {
    pty.closeMaster();
    struct stat st;
    ASSERT_TRUE(waitUntil([&] { return stat(pty.path.c_str(), &st) != 0; })) << pty.path << " still there";

    struct Case {
        const char* name;
        std::function<int()> call;
        int result;       // what the call must give
        bool reportsEio;  // and SioWinError is then EIO
    };
    char buf[16];
    const Case cases[] = {
        {"SioPutc", [] { return SioPutc(0, 'x'); }, SIO_WIN_ERROR, true},
        {"SioPuts", [] { return SioPuts(0, "abc", 3); }, SIO_WIN_ERROR, true},
        {"SioGetc", [] { return SioGetc(0); }, SIO_WIN_ERROR, true},
        {"SioGets", [&] { return SioGets(0, buf, sizeof buf); }, SIO_WIN_ERROR, true},
        {"SioRxClear", [] { return SioRxClear(0); }, 0, true},
        {"SioRxQue", [] { return SioRxQue(0); }, 0, false},
        {"SioTxQue", [] { return SioTxQue(0); }, 0, false},
        {"SioStatus", [] { return SioStatus(0, -1); }, 0, false},
        {"SioTxClear", [] { return SioTxClear(0); }, 0, false},
        {"SioUnGetc", [] { return SioUnGetc(0, 0); }, 0, false},
        {"SioBaud", [] { return SioBaud(0, 5); }, 0, false},
        {"SioParms", [] { return SioParms(0, 0, 0, 8); }, 0, false},
        {"SioFlow", [] { return SioFlow(0, 'N'); }, 0, false},
        {"SioDTR", [] { return SioDTR(0, 'S'); }, 0, false},
        {"SioRTS", [] { return SioRTS(0, 'C'); }, 0, false},
        {"SioBrkSig", [] { return SioBrkSig(0, 'A'); }, 0, false},
        {"SioCTS", [] { return SioCTS(0); }, 0, false},
        {"SioDSR", [] { return SioDSR(0); }, 0, false},
        {"SioRI", [] { return SioRI(0); }, 0, false},
        {"SioDCD", [] { return SioDCD(0); }, 0, false},
    };
    for (const Case& c : cases) {
        lastWinError = 0;
        EXPECT_EQ(bounded(c.call, c.name), c.result) << c.name;
        EXPECT_EQ(SioWinError(), c.reportsEio ? EIO : 0) << c.name;
    }
    expectFreed();
    EXPECT_EQ(SioReset(0, 1024, 1024), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), ENOENT);
    EXPECT_EQ(SioDone(0), SIO_NOT_OPEN);
    EXPECT_EQ(openFdCount(), fdsBefore - 1);
}

// The fault shim in front of the real backend: each cycle fails another step
// of SioReset on the pty (or none), then closes what is open. No descriptor
// is left behind, and a failing step leaves the slot as documented.
TEST_F(PosixFaults, TenThousandFailingOpensOnAPtyLeaveNoDescriptor) {
    ASSERT_EQ(SioDone(0), 1);
    ASSERT_EQ(openFdCount(), fdsBefore);
    FaultShim shim(platformDevice());
    setDevice(&shim);
    ASSERT_EQ(SioReset(0, 1024, 1024), 0);
    const std::vector<FaultShim::Call> clean = shim.log();
    ASSERT_EQ(SioDone(0), 1);
    ASSERT_GE(clean.size(), 8u);

    int failed = 0;
    for (int i = 0; i < 10000; ++i) {
        const std::size_t n = static_cast<std::size_t>(i) % (clean.size() + 1);
        shim.clearLog();
        shim.failNth(n, 7000 + static_cast<DWORD>(n));
        const int r = SioReset(0, 1024, 1024);
        shim.clearFaults();
        const bool open = PortTable[0].handle != kNoDevice;
        if (n == clean.size() || clean[n].op == FaultShim::Op::SetupComm ||
            clean[n].op == FaultShim::Op::ClearCommError) {
            ASSERT_EQ(r, 0) << "cycle " << i;
        } else {
            ASSERT_EQ(r, SIO_WIN_ERROR) << "cycle " << i;
            ASSERT_EQ(SioWinError(), static_cast<int>(7000 + n)) << "cycle " << i;
            ++failed;
        }
        ASSERT_EQ(open, n == clean.size() || clean[n].op != FaultShim::Op::CreateFileA) << "cycle " << i;
        ASSERT_EQ(SioDone(0), open ? 1 : SIO_NOT_OPEN) << "cycle " << i;
    }
    setDevice(nullptr);
    EXPECT_GT(failed, 5000);
    EXPECT_EQ(openFdCount(), fdsBefore);
}

}  // namespace
}  // namespace velk
