// The fault shim in front of the simulated device: failures once, N times,
// always or at the Nth operation, the code GetLastError gives after an
// injected or a real failure (per thread), the log, and a failed close that
// still closes underneath.
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "device/testing/fault_shim.h"
#include "device/testing/sim_device.h"

namespace velk {
namespace {

using Op = FaultShim::Op;

class Shim : public ::testing::Test {
protected:
    Shim() : shim(sim) { sim.setLoopback(0); }
    SimDevice sim;
    FaultShim shim;
};

TEST_F(Shim, FailsOnceNTimesOrAlways) {
    DevHandle h = shim.CreateFileA("COM1");
    ASSERT_NE(h, kNoDevice);
    DWORD s = 0;
    shim.failOp(Op::GetCommModemStatus, 11);
    EXPECT_EQ(shim.GetCommModemStatus(h, &s), 0);
    EXPECT_EQ(shim.GetLastError(), 11u);
    EXPECT_EQ(shim.GetCommModemStatus(h, &s), 1);

    shim.failOp(Op::SetCommMask, 12, 2);
    EXPECT_EQ(shim.SetCommMask(h, 1), 0);
    EXPECT_EQ(shim.SetCommMask(h, 1), 0);
    EXPECT_EQ(shim.SetCommMask(h, 1), 1);
    EXPECT_EQ(sim.snapshot(0).eventMask, 1u) << "failed calls never reached the device";

    shim.failOp(Op::SetCommBreak, 13, FaultShim::kAlways);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(shim.SetCommBreak(h), 0);
    EXPECT_FALSE(sim.snapshot(0).breakOn);
    shim.clearFaults();
    EXPECT_EQ(shim.SetCommBreak(h), 1);
}

TEST_F(Shim, FailsTheNthOperationWhateverItIs) {
    DevHandle h = shim.CreateFileA("COM1");
    shim.clearLog();
    shim.failNth(2, 14);
    DWORD s = 0;
    EXPECT_EQ(shim.GetCommModemStatus(h, &s), 1);
    EXPECT_EQ(shim.SetCommMask(h, 1), 1);
    EXPECT_EQ(shim.EscapeCommFunction(h, SETDTR), 0);
    EXPECT_EQ(shim.GetLastError(), 14u);
    EXPECT_EQ(shim.EscapeCommFunction(h, SETDTR), 1);
    auto log = shim.log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2].op, Op::EscapeCommFunction);
    EXPECT_EQ(log[2].arg, SETDTR);
    EXPECT_FALSE(log[2].ok);
    EXPECT_EQ(shim.count(Op::EscapeCommFunction), 2u);
}

TEST_F(Shim, RealFailuresReportTheDevicesCode) {
    shim.failOp(Op::CreateFileA, 15);
    EXPECT_EQ(shim.CreateFileA("COM1"), kNoDevice);
    EXPECT_EQ(shim.GetLastError(), 15u);
    EXPECT_EQ(shim.CreateFileA("COM2"), kNoDevice);  // absent
    EXPECT_EQ(shim.GetLastError(), kErrFileNotFound);
}

TEST_F(Shim, InjectedErrorIsPerThread) {
    DevHandle h = shim.CreateFileA("COM1");
    shim.failOp(Op::SetCommMask, 16);
    EXPECT_EQ(shim.SetCommMask(h, 1), 0);
    DWORD other = 0;
    std::thread t([&] {
        // This thread's last operation fails for real.
        shim.SetCommMask(kNoDevice, 1);
        other = shim.GetLastError();
    });
    t.join();
    EXPECT_EQ(other, kErrInvalidHandle);
    EXPECT_EQ(shim.GetLastError(), 16u);
}

TEST_F(Shim, LimitedTransfersSucceedWithFewerBytes) {
    DevHandle h = shim.CreateFileA("COM1");
    shim.limitCount(Op::WriteFile, 2);
    DWORD n = 0;
    EXPECT_EQ(shim.WriteFile(h, "abcd", 4, &n), 1);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(shim.WriteFile(h, "ef", 2, &n), 1);
    EXPECT_EQ(n, 2u);
    shim.limitCount(Op::ReadFile, 0);
    char buf[8];
    EXPECT_EQ(shim.ReadFile(h, buf, 8, &n), 1);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(shim.ReadFile(h, buf, 8, &n), 1);
    EXPECT_EQ(std::string(buf, n), "abef");
    EXPECT_EQ(shim.log()[1].arg, 4u) << "the log keeps the count asked for";
}

TEST_F(Shim, FailedCloseStillClosesTheDevice) {
    DevHandle h = shim.CreateFileA("COM1");
    shim.failOp(Op::CloseHandle, 17);
    EXPECT_EQ(shim.CloseHandle(h), 0);
    EXPECT_EQ(shim.GetLastError(), 17u);
    EXPECT_FALSE(sim.snapshot(0).open);
    EXPECT_NE(shim.CreateFileA("COM1"), kNoDevice);
}

}  // namespace
}  // namespace velk
