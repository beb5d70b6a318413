// The self-test's verdicts on simulated devices: all PASS on a good loopback
// plug; SKIP (never PASS) where the device refuses modem lines and break as a
// pty does; FAIL, without hanging, for a missing plug, broken wiring, a failed
// read and a receiver that never holds the sender off.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "cli.h"
#include "selftest.h"
#include "device/proxy_device.h"
#include "support/sim_fixture.h"

namespace velk {
namespace {

// Forwards every operation to another device; tests override what differs.
class Forwarder : public ProxyDevice {
public:
    using ProxyDevice::ProxyDevice;
    DWORD GetLastError() override { return err != 0 ? err : ProxyDevice::GetLastError(); }

protected:
    BOOL refuse() {
        err = ENOTTY;
        return 0;
    }
    DWORD err = 0;
};

// A device like a pty: data works, modem lines and break are refused.
class NoModemLines : public Forwarder {
public:
    using Forwarder::Forwarder;
    BOOL EscapeCommFunction(DevHandle h, DWORD f) override {
        if (f == SETRTS || f == CLRRTS || f == SETDTR || f == CLRDTR) return refuse();
        err = 0;
        return inner().EscapeCommFunction(h, f);
    }
    BOOL GetCommModemStatus(DevHandle, DWORD*) override { return refuse(); }
    BOOL SetCommBreak(DevHandle) override { return refuse(); }
    BOOL ClearCommBreak(DevHandle) override { return refuse(); }
};

// A driver that keeps its own large receive queue whatever is asked, so that
// hardware flow control holds the sender off far later than the self-test
// is willing to wait for.
class HugeQueue : public Forwarder {
public:
    using Forwarder::Forwarder;
    BOOL SetupComm(DevHandle h, DWORD, DWORD o) override { return inner().SetupComm(h, 1 << 20, o); }
};

class SelftestTest : public SimTest {
protected:
    int run(DeviceApi* dev = nullptr) {
        if (dev != nullptr) setDevice(dev);
        velkcom::SelftestConfig cfg;
        cfg.port = 0;
        cfg.slackMs = 30;
        cfg.deviceLabel = "sim";
        std::ostringstream out, err;
        int status = velkcom::runSelftest(cfg, out, err);
        table = out.str();
        errors = err.str();
        return status;
    }
    // The result column of the row whose check starts with name.
    std::string verdict(const std::string& name) const {
        std::istringstream lines(table);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.compare(0, name.size(), name) == 0 && line.size() > 32) return line.substr(28, 4);
        }
        return "none";
    }
    std::string table, errors;
};

TEST_F(SelftestTest, EveryCheckPassesOnALoopbackPlug) {
    sim.setLoopback(0);
    EXPECT_EQ(run(), velkcom::kExitOk) << table << errors;
    EXPECT_NE(table.find("22 checks: 22 PASS, 0 FAIL, 0 SKIP"), std::string::npos) << table;
    EXPECT_EQ(verdict("echo at 110 baud"), "PASS");
    EXPECT_EQ(verdict("echo at 14400 baud"), "PASS");
    EXPECT_EQ(verdict("flow control H"), "PASS");
    EXPECT_NE(table.find("CTS dropped at"), std::string::npos) << table;
    EXPECT_TRUE(errors.empty()) << errors;
    EXPECT_FALSE(sim.snapshot(0).open) << "the port must be closed at the end";
    // The baud codes all reached the device: the last rate set is the literal
    // one or 115200, and the flow mode is back to none.
    EXPECT_EQ(sim.snapshot(0).dcb.fOutxCtsFlow, 0u);
}

TEST_F(SelftestTest, ModemLinesAndBreakRefusedAreSkippedNotPassed) {
    sim.setLoopback(0);
    NoModemLines pty(shim);
    EXPECT_EQ(run(&pty), velkcom::kExitOk) << table;
    for (const char* row : {"RTS -> CTS", "DTR -> DSR, DCD", "break -> CE_BREAK", "status cleared on read",
                            "flow control H"}) {
        EXPECT_EQ(verdict(row), "SKIP") << row << "\n" << table;
    }
    EXPECT_NE(table.find("success flag 0"), std::string::npos) << table;
    EXPECT_NE(table.find("17 PASS, 0 FAIL, 5 SKIP"), std::string::npos) << table;
}

TEST_F(SelftestTest, NothingPluggedInFailsWithoutHanging) {
    sim.setUnplugged(0);
    EXPECT_EQ(run(), velkcom::kExitFailed);
    EXPECT_EQ(verdict("echo at 9600 baud"), "FAIL");
    EXPECT_NE(table.find("sent 16 bytes, got 0"), std::string::npos) << table;
    EXPECT_EQ(verdict("64 KiB block"), "FAIL");
    EXPECT_EQ(verdict("RTS -> CTS"), "FAIL");
    EXPECT_EQ(verdict("break -> CE_BREAK"), "FAIL");
    EXPECT_NE(verdict("flow control H"), "PASS");
    EXPECT_EQ(table.find(" PASS, 0 FAIL"), std::string::npos) << table;
}

TEST_F(SelftestTest, CtsNotFollowingRtsFails) {
    sim.setLoopback(0);
    sim.setModemInputs(0, MS_CTS_ON, 0);  // CTS wire cut
    EXPECT_EQ(run(), velkcom::kExitFailed);
    EXPECT_EQ(verdict("RTS -> CTS"), "FAIL");
    EXPECT_EQ(verdict("DTR -> DSR, DCD"), "PASS");
    EXPECT_NE(table.find("RTS on: CTS 0"), std::string::npos) << table;
}

TEST_F(SelftestTest, AFailedReadNamesTheCallAndTheError) {
    sim.setLoopback(0);
    shim.failOp(FaultShim::Op::ReadFile, EIO, FaultShim::kAlways);
    EXPECT_EQ(run(), velkcom::kExitFailed);
    EXPECT_EQ(verdict("echo at 110 baud"), "FAIL");
    std::string expected = "SioGets gave SIO_WIN_ERROR, error " + std::to_string(EIO) + " (" + std::strerror(EIO) + ")";
    EXPECT_NE(table.find(expected), std::string::npos) << table;
}

TEST_F(SelftestTest, AReceiverThatNeverHoldsOffFailsTheHardwareFlowCheckWithoutHanging) {
    sim.setLoopback(0);
    HugeQueue dev(shim);
    EXPECT_EQ(run(&dev), velkcom::kExitFailed);
    EXPECT_EQ(verdict("flow control H"), "FAIL");
    EXPECT_NE(table.find("CTS never dropped"), std::string::npos) << table;
}

TEST_F(SelftestTest, APortThatDoesNotOpenIsOneErrorLine) {
    sim.setAbsent(0);
    EXPECT_EQ(run(), velkcom::kExitFailed);
    EXPECT_TRUE(table.empty()) << table;
    EXPECT_EQ(errors, "velkcom: COM1 (sim): SioReset failed: SIO_WIN_ERROR, error " + std::to_string(ENOENT) + " (" +
                          std::strerror(ENOENT) + ")\n");
}

}  // namespace
}  // namespace velk
