// The fault sweep: every exported function is first called once in a state
// where it does real work (an open port on a loopback plug or a null-modem
// pair, data waiting, lines raised), with the fault shim logging each device
// operation it makes. Then, for every entry of that log, the same call is
// repeated from the same state with exactly that operation failing under a
// code of its own, and the outcome is held against what the function may do
// when that operation fails: report SIO_WIN_ERROR with the code for
// SioWinError, pass a success flag of 0 through, read a failed query as 0, or
// go on as if nothing happened where the result is not looked at. Each run
// also checks the slot afterwards (open or not, and then on a handle the
// device still knows), that a following SioDone works, and that no device is
// left open. The cases come from the log, so a device operation added to a
// function is swept without touching this file.
#include <algorithm>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "reliability/exported_names.h"
#include "support/sim_fixture.h"

namespace velk {
namespace {

using Op = FaultShim::Op;
using Call = FaultShim::Call;

// lastWinError before each swept call: a call that must leave it alone has to
// leave exactly this.
constexpr DWORD kSentinel = 0x5E17;
// Each fault point fails with a code of its own, so a stale code is caught.
constexpr DWORD kCodeBase = 70000;

// A fresh simulated device behind a fresh shim, and the library's state as at
// load; everything is given back when the run ends.
struct World {
    SimDevice sim;
    FaultShim shim{sim};
    World() {
        resetLibraryState();
        setDevice(&shim);
    }
    ~World() {
        shim.clearFaults();
        resetLibraryState();
        setDevice(nullptr);
    }
};

// What a call must give when one of its operations fails.
struct Expect {
    int result;
    bool reportsCode;  // SioWinError gives the injected code; otherwise it is unchanged
    bool open;         // the port's slot still holds a device
};

Expect winError() { return {SIO_WIN_ERROR, true, true}; }
Expect flagZero() { return {0, false, true}; }  // a success flag of 0, or a failed query read as 0
Expect unaffected(int result) { return {result, false, true}; }

using Log = std::vector<Call>;

struct Scenario {
    std::string name;      // test name: the function and the state it is called in
    std::string function;  // the exported function swept
    int port;              // the port it works on; -1 for the functions without one
    std::function<void(World&)> prepare;
    std::function<int()> call;
    int success;  // its result when nothing fails
    // The contract: the outcome when operation n of the clean log fails.
    std::function<Expect(const Log& clean, std::size_t n)> onFault;
    // Further checks after the faulted call, before the port is closed.
    std::function<void(World&, const Log& log, std::size_t n)> after;
};

void openPort(int port, int inQueue = 1024) {
    ASSERT_EQ(SioReset(port, inQueue, 1024), 0) << "SioWinError " << SioWinError();
}

// Port 0 on a loopback plug, open.
void loopback(World& w) {
    w.sim.setLoopback(0);
    openPort(0);
}

// Ports 0 and 1 cross-wired and open.
void nullModem(World& w) {
    w.sim.connectNullModem(0, 1);
    openPort(0);
    openPort(1);
}

// Port 0 open with five bytes waiting, sent by its null-modem peer.
void dataWaiting(World& w) {
    nullModem(w);
    ASSERT_EQ(SioPuts(1, "hello", 5), 5);
    ASSERT_EQ(w.sim.snapshot(0).rxCount, 5u);
}

// Port 0 on a loopback plug with DTR and RTS raised by the caller, so that
// the line settings raise them again after applying a record.
void linesRaised(World& w) {
    loopback(w);
    ASSERT_EQ(SioDTR(0, 'S'), 1);
    ASSERT_EQ(SioRTS(0, 'S'), 1);
}

// SioReset: a failed open leaves the slot empty; the two steps whose result
// is not looked at change nothing; any later failing step leaves the port
// open with its handle.
Expect resetOnFault(Op op) {
    switch (op) {
    case Op::CreateFileA: return {SIO_WIN_ERROR, true, false};
    case Op::SetupComm:
    case Op::ClearCommError: return unaffected(0);
    default: return winError();
    }
}

auto always(Expect e) {
    return [e](const Log&, std::size_t) { return e; };
}

// The waiting bytes are all still there: a failed receive loses nothing.
void nothingConsumed(World& w, const Log&, std::size_t) {
    EXPECT_EQ(w.sim.snapshot(0).rxCount, 5u);
}

// A failed send put nothing on the wire.
void nothingSent(World& w, const Log&, std::size_t) {
    EXPECT_EQ(w.sim.snapshot(1).rxCount, 0u);
}

// When applying the record fails, the lines are not touched afterwards.
void nothingAfterRejectedRecord(World&, const Log& log, std::size_t n) {
    if (log[n].op == Op::SetCommState) {
        EXPECT_EQ(log.size(), n + 1);
    }
}

std::vector<Scenario> scenarios() {
    std::vector<Scenario> s;
    // ---- Port management. ----------------------------------------------
    s.push_back({"SioReset_closedPort", "SioReset", 0, [](World& w) { w.sim.setLoopback(0); },
                 [] { return SioReset(0, 1024, 1024); }, 0,
                 [](const Log& clean, std::size_t n) { return resetOnFault(clean[n].op); }, nullptr});
    s.push_back({"SioReset_openPort", "SioReset", 0, loopback, [] { return SioReset(0, 1024, 1024); }, 0,
                 [](const Log& clean, std::size_t n) -> Expect {
                     // The device already open is closed first whatever its
                     // close reports; faults from the fresh open on count.
                     auto open = std::find_if(clean.begin(), clean.end(),
                                              [](const Call& c) { return c.op == Op::CreateFileA; });
                     std::size_t openAt = static_cast<std::size_t>(open - clean.begin());
                     return n < openAt ? unaffected(0) : resetOnFault(clean[n].op);
                 },
                 nullptr});
    s.push_back({"SioDone_openPort", "SioDone", 0, loopback, [] { return SioDone(0); }, 1,
                 [](const Log& clean, std::size_t n) -> Expect {
                     // The slot is empty afterwards whatever the close reports.
                     if (clean[n].op == Op::CloseHandle) return {0, false, false};
                     return {1, false, false};
                 },
                 nullptr});
    s.push_back({"SioWinError_codeKept", "SioWinError", -1, [](World&) {}, [] { return SioWinError(); },
                 static_cast<int>(kSentinel), always(unaffected(static_cast<int>(kSentinel))), nullptr});

    // ---- Transmit. -----------------------------------------------------
    s.push_back({"SioPutc_nullModem", "SioPutc", 0, nullModem, [] { return SioPutc(0, 'x'); }, 0,
                 always(winError()), nothingSent});
    s.push_back({"SioPuts_nullModem", "SioPuts", 0, nullModem, [] { return SioPuts(0, "abc", 3); }, 3,
                 always(winError()), nothingSent});
    s.push_back({"SioTxQue_open", "SioTxQue", 0, nullModem, [] { return SioTxQue(0); }, 0,
                 always(flagZero()), nullptr});
    s.push_back({"SioTxClear_open", "SioTxClear", 0, nullModem, [] { return SioTxClear(0); }, 0,
                 always(unaffected(0)), nullptr});

    // ---- Receive. ------------------------------------------------------
    s.push_back({"SioGetc_dataWaiting", "SioGetc", 0, dataWaiting, [] { return SioGetc(0); }, 'h',
                 always(winError()), nothingConsumed});
    s.push_back({"SioGets_dataWaiting", "SioGets", 0, dataWaiting,
                 [] {
                     char buf[16];
                     return SioGets(0, buf, sizeof buf);
                 },
                 5, always(winError()), nothingConsumed});
    s.push_back({"SioUnGetc_open", "SioUnGetc", 0, loopback, [] { return SioUnGetc(0, 'A'); }, 0,
                 always(unaffected(0)), nullptr});
    s.push_back({"SioRxQue_dataWaiting", "SioRxQue", 0, dataWaiting, [] { return SioRxQue(0); }, 5,
                 always(flagZero()), nullptr});
    // Draining ends at the first failure, whose code is then kept; it still
    // returns 0.
    s.push_back({"SioRxClear_dataWaiting", "SioRxClear", 0, dataWaiting, [] { return SioRxClear(0); }, 0,
                 always({0, true, true}), nullptr});

    // ---- Line settings. --------------------------------------------------
    s.push_back({"SioBaud_open", "SioBaud", 0, linesRaised, [] { return SioBaud(0, 5); }, 1,
                 always(flagZero()), nullptr});
    s.push_back({"SioParms_linesRaised", "SioParms", 0, linesRaised, [] { return SioParms(0, 2, 0, 7); }, 0,
                 always(unaffected(0)), nothingAfterRejectedRecord});
    for (char mode : {'N', 'S', 'H'}) {
        s.push_back({std::string("SioFlow_") + mode + "_linesRaised", "SioFlow", 0, linesRaised,
                     [mode] { return SioFlow(0, mode); }, 0, always(unaffected(0)),
                     nothingAfterRejectedRecord});
    }

    // ---- Output lines and break. ---------------------------------------
    // The request is recorded in lineBits whether or not the device obeyed.
    auto lineBitsAre = [](std::uint8_t bits) {
        return [bits](World&, const Log&, std::size_t) { EXPECT_EQ(PortTable[0].lineBits, bits); };
    };
    s.push_back({"SioDTR_S", "SioDTR", 0, loopback, [] { return SioDTR(0, 'S'); }, 1, always(flagZero()),
                 lineBitsAre(kLineDtr)});
    s.push_back({"SioDTR_C", "SioDTR", 0, linesRaised, [] { return SioDTR(0, 'C'); }, 1, always(flagZero()),
                 lineBitsAre(kLineRts)});
    s.push_back({"SioRTS_S", "SioRTS", 0, loopback, [] { return SioRTS(0, 'S'); }, 1, always(flagZero()),
                 lineBitsAre(kLineRts)});
    s.push_back({"SioRTS_C", "SioRTS", 0, linesRaised, [] { return SioRTS(0, 'C'); }, 1, always(flagZero()),
                 lineBitsAre(kLineDtr)});
    s.push_back({"SioBrkSig_A", "SioBrkSig", 0, nullModem, [] { return SioBrkSig(0, 'A'); }, 1,
                 always(flagZero()), nullptr});
    s.push_back({"SioBrkSig_C", "SioBrkSig", 0, nullModem,
                 [] { return SioBrkSig(0, 'C'); }, 1, always(flagZero()), nullptr});
    s.back().prepare = [](World& w) {
        nullModem(w);
        ASSERT_EQ(SioBrkSig(0, 'A'), 1);
    };

    // ---- Input lines and error status. ---------------------------------
    // On a loopback plug RTS drives CTS and DTR drives DSR and DCD; RI is
    // set from outside.
    auto ringing = [](World& w) {
        loopback(w);
        w.sim.setModemInputs(0, MS_RING_ON, MS_RING_ON);
    };
    s.push_back({"SioCTS_active", "SioCTS", 0, loopback, [] { return SioCTS(0); }, 0x10, always(flagZero()),
                 nullptr});
    s.push_back({"SioDSR_active", "SioDSR", 0, loopback, [] { return SioDSR(0); }, 0x20, always(flagZero()),
                 nullptr});
    s.push_back({"SioRI_active", "SioRI", 0, ringing, [] { return SioRI(0); }, 0x40, always(flagZero()),
                 nullptr});
    s.push_back({"SioDCD_active", "SioDCD", 0, loopback, [] { return SioDCD(0); }, 0x80, always(flagZero()),
                 nullptr});
    s.push_back({"SioStatus_errorsPending", "SioStatus", 0,
                 [](World& w) {
                     loopback(w);
                     w.sim.injectErrors(0, CE_FRAME | CE_BREAK);
                 },
                 [] { return SioStatus(0, -1); }, CE_FRAME | CE_BREAK, always(flagZero()), nullptr});

    // ---- Library information. ------------------------------------------
    s.push_back({"SioInfo_version", "SioInfo", -1, [](World&) {}, [] { return SioInfo('V'); }, 0x20,
                 always(unaffected(0x20)), nullptr});
    s.push_back({"SioDebug_negative", "SioDebug", -1, [](World&) {}, [] { return SioDebug(-5); }, -5,
                 always(unaffected(-5)), nullptr});
    return s;
}

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

std::string describe(const Log& log) {
    std::string text;
    for (const Call& c : log) {
        if (!text.empty()) text += ", ";
        text += FaultShim::name(c.op);
        text += "(" + std::to_string(c.arg) + (c.ok ? ")" : ") failed");
    }
    return text;
}

// The clean run: the call's result, the operations it made and whether the
// port is open afterwards.
int cleanRun(const Scenario& s, Log& log, bool* openAfter = nullptr) {
    World w;
    s.prepare(w);
    w.shim.clearLog();
    lastWinError = kSentinel;
    int result = s.call();
    log = w.shim.log();
    if (openAfter != nullptr) *openAfter = s.port >= 0 && PortTable[s.port].handle != kNoDevice;
    EXPECT_EQ(lastWinError, kSentinel) << s.name << ": a successful call changed SioWinError";
    return result;
}

class FaultSweep : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultSweep, EveryDeviceOperationFailing) {
    const Scenario& s = GetParam();
    Log clean;
    bool cleanOpen = false;
    const int cleanResult = cleanRun(s, clean, &cleanOpen);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(cleanResult, s.success) << "clean run made: " << describe(clean);

    // One run per logged operation, and one more with the fault armed just
    // past the end: it must never fire, so the log is the whole story.
    for (std::size_t n = 0; n <= clean.size(); ++n) {
        SCOPED_TRACE(s.name + ": operation " + std::to_string(n) + " of [" + describe(clean) + "] failing");
        World w;
        s.prepare(w);
        ASSERT_FALSE(HasFatalFailure());
        w.shim.clearLog();
        lastWinError = kSentinel;
        const DWORD code = kCodeBase + static_cast<DWORD>(n);
        w.shim.failNth(n, code);
        const int result = s.call();
        const Log log = w.shim.log();
        w.shim.clearFaults();

        Expect e{cleanResult, false, cleanOpen};
        if (n < clean.size()) {
            // Up to the failing operation the call did exactly what it did
            // before, and the fault hit the operation it was aimed at.
            ASSERT_GT(log.size(), n) << "made: " << describe(log);
            for (std::size_t k = 0; k < n; ++k) {
                EXPECT_EQ(log[k].op, clean[k].op) << "operation " << k;
                EXPECT_EQ(log[k].arg, clean[k].arg) << "operation " << k;
            }
            EXPECT_EQ(log[n].op, clean[n].op);
            EXPECT_FALSE(log[n].ok);
            e = s.onFault(clean, n);
        } else {
            EXPECT_EQ(describe(log), describe(clean));
        }
        EXPECT_EQ(result, e.result) << "made: " << describe(log);
        EXPECT_EQ(static_cast<DWORD>(SioWinError()), e.reportsCode ? code : kSentinel);
        if (s.after && n < clean.size()) s.after(w, log, n);

        if (s.port >= 0) {
            const DevHandle h = PortTable[s.port].handle;
            const bool slotOpen = h != kNoDevice;
            EXPECT_EQ(slotOpen, e.open) << "slot state";
            EXPECT_EQ(w.sim.snapshot(s.port).open, slotOpen) << "slot and device disagree";
            if (slotOpen) {
                DWORD status = 0;
                EXPECT_EQ(w.sim.GetCommModemStatus(h, &status), 1) << "the slot keeps a stale handle";
            }
            EXPECT_EQ(SioDone(s.port), slotOpen ? 1 : SIO_NOT_OPEN);
            EXPECT_FALSE(w.sim.snapshot(s.port).open);
        }
        for (int p = 0; p < SIO_PORT_COUNT; ++p) {
            if (PortTable[p].handle != kNoDevice) {
                EXPECT_EQ(SioDone(p), 1) << "port " << p;
            }
            EXPECT_FALSE(w.sim.snapshot(p).open) << "device of port " << p << " left open";
        }
    }
    RecordProperty("fault_points", static_cast<int>(clean.size()));
    std::cout << "[ sweep    ] " << s.name << ": " << clean.size() << " fault points\n";
}

INSTANTIATE_TEST_SUITE_P(AllFunctions, FaultSweep, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& p) { return p.param.name; });

// Every exported function has at least one scenario, and the sweep's size is
// reported as one figure.
TEST(FaultSweepCoverage, EveryExportedFunctionIsSwept) {
    std::set<std::string> swept;
    std::size_t points = 0;
    for (const Scenario& s : scenarios()) {
        swept.insert(s.function);
        Log clean;
        cleanRun(s, clean);
        points += clean.size();
    }
    const std::set<std::string> exported = exportedNames();
    ASSERT_EQ(exported.size(), 25u);
    for (const std::string& name : exported) EXPECT_TRUE(swept.count(name)) << name << " is not swept";
    EXPECT_GE(points, 50u);
    RecordProperty("fault_points", static_cast<int>(points));
    std::cout << "[ sweep    ] fault points covered: " << points << " in " << scenarios().size()
              << " scenarios over " << swept.size() << " functions\n";
}

}  // namespace
}  // namespace velk
