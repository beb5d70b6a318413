// The self-test's verdicts on simulated devices: all PASS on a good loopback
// plug; SKIP (never PASS) where the device refuses modem lines and break as a
// pty does; FAIL, without hanging, for a missing plug, broken wiring, a failed
// read, a receiver that never holds the sender off, an echo that comes back
// with a line error and a push-back that is lost, changed or queued behind;
// on a USB CDC device's driver a failed modem row suggests --data-only.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "cli.h"
#include "platform/ports.h"
#include "selftest.h"
#include "selftest_checks.h"
#include "device/testing/proxy_device.h"
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

// A line that corrupts nothing but raises a parity error on every write made
// at 9600 baud, as a receiver set to the wrong parity would.
class ParityErrorAt9600 : public Forwarder {
public:
    ParityErrorAt9600(DeviceApi& next, SimDevice& sim) : Forwarder(next), sim_(sim) {}
    BOOL WriteFile(DevHandle h, const void* b, DWORD n, DWORD* w) override {
        DCB dcb{};
        BOOL ok = inner().WriteFile(h, b, n, w);
        if (ok && inner().GetCommState(h, &dcb) && dcb.BaudRate == 9600) sim_.injectErrors(0, CE_RXPARITY);
        return ok;
    }

private:
    SimDevice& sim_;
};

#if defined(VELK_LINKER_WRAP)
// A library whose push-back goes wrong for one byte value. The self-test's
// calls to SioUnGetc, SioGetc, SioGets and SioRxClear come here (velkcom_tests
// links with -Wl,--wrap for each) and, for the byte chosen, the push-back is
// lost, changed, put behind what waits as if it had come from the line, kept
// after being read (until the queue is cleared), or read with the byte after
// it swallowed.
enum class PushBack { Right, Lost, Changed, Behind, Kept, Swallows };
struct PushBackFault {
    PushBack how = PushBack::Right;
    int byte = -1;
    SimDevice* sim = nullptr;
    int kept = -1;           // Kept: the byte every read gives
    bool dropNext = false;   // Swallows: the next read loses the byte after
} pushBackFault;

}  // namespace
}  // namespace velk

extern "C" {
int __real_SioUnGetc(int port, int ch);
int __real_SioGetc(int port);
int __real_SioGets(int port, char* buf, int size);
int __real_SioRxClear(int port);

int __wrap_SioUnGetc(int port, int ch) {
    using velk::PushBack;
    velk::PushBackFault& f = velk::pushBackFault;
    if (f.how == PushBack::Right || (ch & 0xFF) != f.byte) return __real_SioUnGetc(port, ch);
    unsigned char b = static_cast<unsigned char>(ch);
    switch (f.how) {
    case PushBack::Changed: return __real_SioUnGetc(port, ch ^ 0x20);
    case PushBack::Behind: f.sim->injectReceived(port, &b, 1); return 0;
    case PushBack::Kept: f.kept = b; return 0;
    case PushBack::Swallows: f.dropNext = true; return __real_SioUnGetc(port, ch);
    default: return 0;  // Lost
    }
}
int __wrap_SioGetc(int port) {
    velk::PushBackFault& f = velk::pushBackFault;
    if (f.kept >= 0) return f.kept;
    int c = __real_SioGetc(port);
    if (f.dropNext && c >= 0) {
        f.dropNext = false;
        __real_SioGetc(port);
    }
    return c;
}
int __wrap_SioGets(int port, char* buf, int size) {
    velk::PushBackFault& f = velk::pushBackFault;
    if (f.kept >= 0 && size > 0) {
        buf[0] = static_cast<char>(f.kept);
        return 1;
    }
    int n = __real_SioGets(port, buf, size);
    if (f.dropNext && n > 0) {
        f.dropNext = false;
        __real_SioGetc(port);
    }
    return n;
}
int __wrap_SioRxClear(int port) {
    velk::pushBackFault.kept = -1;
    return __real_SioRxClear(port);
}
// A network port's count of unanswered requests, as the test sets it.
int velkUnanswered = 0;
int __wrap_velk_port_unanswered(int) {
    return velkUnanswered;
}
}
#else
}  // namespace
}  // namespace velk
#endif

namespace velk {
namespace {

class SelftestTest : public SimTest {
protected:
    int run(DeviceApi* dev = nullptr) {
        if (dev != nullptr) setDevice(dev);
        velkcom::SelftestConfig cfg = config();
        cfg.driver = driver;
        std::ostringstream out, err;
        int status = velkcom::runSelftest(cfg, out, err);
        table = out.str();
        errors = err.str();
        return status;
    }
    // The checks as they run in the UART's internal loopback, which the
    // simulated device stands in for (no device file to put into it).
    void runInInternalLoopback() {
        velkcom::SelftestConfig cfg = config();
        cfg.internalLoopback = true;
        ASSERT_EQ(SioReset(0, 4096, 4096), 0);
        std::ostringstream out;
        velkcom::selftest::Checks checks(cfg, out);
        checks.heading(cfg.deviceLabel);
        checks.runAll();
        EXPECT_EQ(SioDone(0), 1);
        table = out.str();
    }
    static velkcom::SelftestConfig config() {
        velkcom::SelftestConfig cfg;
        cfg.port = 0;
        cfg.slackMs = 30;
        cfg.deviceLabel = "sim";
        return cfg;
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
    std::string driver;  // the port's driver, as the port list would name it
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

TEST_F(SelftestTest, AnEchoBackIntactButWithALineErrorFails) {
    sim.setLoopback(0);
    ParityErrorAt9600 dev(shim, sim);
    EXPECT_EQ(run(&dev), velkcom::kExitFailed);
    EXPECT_EQ(verdict("echo at 9600 baud"), "FAIL");
    EXPECT_NE(table.find("data intact but SioStatus reports CE_RXPARITY (code 5)"), std::string::npos) << table;
    EXPECT_NE(table.find("22 checks: 21 PASS, 1 FAIL, 0 SKIP"), std::string::npos) << table;
}

#if defined(VELK_LINKER_WRAP)
TEST_F(SelftestTest, AWrongPushBackFailsThePushBackCheckAlone) {
    sim.setLoopback(0);
    const struct {
        PushBack how;
        char byte;  // the check pushes back 'Z' before reading, then 'Y' before SioGets
    } cases[] = {{PushBack::Lost, 'Z'},     {PushBack::Changed, 'Z'}, {PushBack::Behind, 'Z'},
                 {PushBack::Kept, 'Z'},     {PushBack::Swallows, 'Z'}, {PushBack::Lost, 'Y'},
                 {PushBack::Changed, 'Y'},  {PushBack::Behind, 'Y'},   {PushBack::Kept, 'Y'},
                 {PushBack::Swallows, 'Y'}};
    for (const auto& c : cases) {
        pushBackFault = {c.how, c.byte, &sim, -1, false};
        int status = run();
        pushBackFault = {};
        std::string which = "fault " + std::to_string(static_cast<int>(c.how)) + " on " + c.byte + "\n" + table;
        EXPECT_EQ(status, velkcom::kExitFailed) << which;
        EXPECT_EQ(verdict("push-back"), "FAIL") << which;
        EXPECT_NE(table.find("22 checks: 21 PASS, 1 FAIL, 0 SKIP"), std::string::npos) << which;
    }
}
#else
TEST_F(SelftestTest, AWrongPushBackFailsThePushBackCheckAlone) {
    GTEST_SKIP() << "needs the linker's --wrap to put a faulty push-back in the library's place";
}
#endif

// A USB CDC device as cdc_acm shows it: data comes back, CTS, DSR and DCD
// read on whatever DTR and RTS do. On a CDC driver both failed modem rows,
// and no passing one, say why and suggest --data-only.
TEST_F(SelftestTest, FailedModemRowsOnAUsbCdcDriverSuggestDataOnly) {
    const struct {
        const char* driver;
        bool plug;  // the inputs follow the wiring: the rows pass
        std::size_t hinted;
    } cases[] = {{"cdc_acm", false, 2}, {"USBSER", false, 2}, {"ftdi_sio", false, 0}, {"cdc_acm", true, 0}};
    for (const auto& c : cases) {
        const DWORD in = c.plug ? 0 : MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
        sim.setLoopback(0);
        sim.setModemInputs(0, in, in);
        driver = c.driver;
        const int status = run();
        const std::string hint = "; " + driver + " drives USB CDC devices, and CDC devices do not loop their lines "
                                 "back: check the data with --data-only";
        std::size_t rows = 0;
        for (std::size_t at = table.find(hint); at != std::string::npos; at = table.find(hint, at + 1)) ++rows;
        EXPECT_EQ(status, c.plug ? velkcom::kExitOk : velkcom::kExitFailed) << table;
        EXPECT_EQ(rows, c.hinted) << driver << "\n" << table;
    }
}

// The driver comes from the port list: a device path or its by-id link.
TEST(SelftestDriver, ThePortListNamesTheDriverOfADeviceOrItsLink) {
    if (!velkcom::listRootSupported()) GTEST_SKIP() << "the port list reads no fake tree on this system";
    const std::string root = std::string(VELKCOM_SYSFS_TREES) + "/kernel-5.15";
    EXPECT_EQ(velkcom::portDriver(root, "/dev/ttyACM0"), "cdc_acm");
    EXPECT_EQ(velkcom::portDriver(root, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"), "ftdi_sio");
    EXPECT_EQ(velkcom::portDriver(root, "/dev/ttyACM1"), "");
}

// In the UART's internal loopback DCD comes from OUT2, which the driver
// keeps on: it must read on with DTR off as with DTR on. A DCD that follows
// DTR there (a plug's wiring, not the chip's) fails the row.
TEST_F(SelftestTest, InInternalLoopbackDcdIsOnWhateverDtrDoes) {
    sim.setLoopback(0);
    for (bool out2 : {true, false}) {
        SCOPED_TRACE(out2 ? "DCD from OUT2" : "DCD from DTR");
        sim.setModemInputs(0, out2 ? MS_RLSD_ON : 0, MS_RLSD_ON);
        runInInternalLoopback();
        EXPECT_EQ(verdict("DTR -> DSR, DCD from OUT2"), out2 ? "PASS" : "FAIL") << table;
        EXPECT_EQ(verdict("RTS -> CTS"), "PASS") << table;
    }
}

#if defined(VELK_LINKER_WRAP)
// A request the server left unanswered excuses the check it happened in, no
// later one: a real failure after it is FAIL.
TEST_F(SelftestTest, AfterOneUnansweredRequestALaterFailureIsStillFail) {
    sim.setLoopback(0);
    sim.setModemInputs(0, MS_CTS_ON, 0);  // CTS wire cut
    velkUnanswered = 0;
    SioReset(0, 4096, 4096);
    std::ostringstream out;
    velkcom::SelftestConfig cfg = config();
    velkcom::selftest::Checks checks(cfg, out);
    checks.heading(cfg.deviceLabel);
    velkUnanswered = 1;  // left unanswered during the first check
    checks.runAll();
    velkUnanswered = 0;
    SioDone(0);
    table = out.str();
    EXPECT_EQ(verdict("echo at 110 baud"), "PASS") << table;
    EXPECT_EQ(verdict("RTS -> CTS"), "FAIL") << table;
    EXPECT_EQ(table.find("did not answer"), std::string::npos) << table;
}
#endif

TEST_F(SelftestTest, APortThatDoesNotOpenIsOneErrorLine) {
    sim.setAbsent(0);
    EXPECT_EQ(run(), velkcom::kExitFailed);
    EXPECT_TRUE(table.empty()) << table;
    EXPECT_EQ(errors, "velkcom: COM1 (sim): SioReset failed: SIO_WIN_ERROR, error " + std::to_string(ENOENT) + " (" +
                          std::strerror(ENOENT) + ")\n");
}

}  // namespace
}  // namespace velk
