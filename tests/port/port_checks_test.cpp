// The two checks every port function begins with: the port number in range
// (SIO_BAD_PORT before anything else happens) and the slot holding a device
// (SIO_NOT_OPEN), across all 23 port functions.
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "support/sim_fixture.h"

namespace velk {
namespace {

struct PortCall {
    const char* name;
    std::function<int(int)> call;
};

// Every function that takes a port, with harmless arguments. SioDone comes
// last so that a sweep over an open port leaves it open until the end.
std::vector<PortCall> portFunctions() {
    static char buf[16];
    return {
        {"SioReset", [](int p) { return SioReset(p, 1024, 1024); }},
        {"SioPutc", [](int p) { return SioPutc(p, 'a'); }},
        {"SioPuts", [](int p) { return SioPuts(p, "ab", 2); }},
        {"SioTxQue", [](int p) { return SioTxQue(p); }},
        {"SioTxClear", [](int p) { return SioTxClear(p); }},
        {"SioGetc", [](int p) { return SioGetc(p); }},
        {"SioGets", [](int p) { return SioGets(p, buf, sizeof buf); }},
        {"SioUnGetc", [](int p) { return SioUnGetc(p, 'x'); }},
        {"SioRxQue", [](int p) { return SioRxQue(p); }},
        {"SioRxClear", [](int p) { return SioRxClear(p); }},
        {"SioBaud", [](int p) { return SioBaud(p, 5); }},
        {"SioParms", [](int p) { return SioParms(p, 0, 0, 8); }},
        {"SioFlow", [](int p) { return SioFlow(p, 'N'); }},
        {"SioDTR", [](int p) { return SioDTR(p, 'S'); }},
        {"SioRTS", [](int p) { return SioRTS(p, 'S'); }},
        {"SioBrkSig", [](int p) { return SioBrkSig(p, 'C'); }},
        {"SioCTS", [](int p) { return SioCTS(p); }},
        {"SioDSR", [](int p) { return SioDSR(p); }},
        {"SioRI", [](int p) { return SioRI(p); }},
        {"SioDCD", [](int p) { return SioDCD(p); }},
        {"SioStatus", [](int p) { return SioStatus(p, -1); }},
        {"SioDone", [](int p) { return SioDone(p); }},
    };
}

class PortChecks : public SimTest {};

TEST_F(PortChecks, OutOfRangePortsGiveBadPortBeforeAnyDeviceCall) {
    for (int p = 0; p < SIO_PORT_COUNT; ++p) sim.setLoopback(p);
    open(0);
    open(8);
    SioUnGetc(0, 'q');
    // A failure code that must survive: the checks store nothing.
    lastWinError = 1234;
    for (int port : {INT_MIN, -1000, -1, 9, 10, INT_MAX}) {
        for (const auto& f : portFunctions()) {
            EXPECT_EQ(f.call(port), SIO_BAD_PORT) << f.name << "(" << port << ")";
        }
    }
    EXPECT_TRUE(shim.log().empty()) << "a device call was made for a bad port";
    EXPECT_EQ(SioWinError(), 1234);
    // Nothing about the open ports changed.
    EXPECT_EQ(PortTable[0].pushedBack, 'q');
    EXPECT_TRUE(sim.isOpen(0));
    EXPECT_TRUE(sim.isOpen(8));
}

TEST_F(PortChecks, EveryFunctionButResetGivesNotOpenOnANeverOpenedPort) {
    for (int p = 0; p < SIO_PORT_COUNT; ++p) sim.setLoopback(p);
    for (int port : {0, 4, 8}) {
        for (const auto& f : portFunctions()) {
            if (std::string(f.name) == "SioReset") continue;
            EXPECT_EQ(f.call(port), SIO_NOT_OPEN) << f.name << "(" << port << ")";
        }
    }
    EXPECT_TRUE(shim.log().empty());
    EXPECT_EQ(SioWinError(), 0);
    // SioUnGetc on a closed port stores nothing.
    EXPECT_EQ(PortTable[4].pushedBack, 0);
}

TEST_F(PortChecks, EveryFunctionGivesNotOpenAfterDone) {
    sim.setLoopback(3);
    open(3);
    ASSERT_EQ(SioDone(3), 1);
    shim.clearLog();
    for (const auto& f : portFunctions()) {
        if (std::string(f.name) == "SioReset") continue;
        EXPECT_EQ(f.call(3), SIO_NOT_OPEN) << f.name;
    }
    EXPECT_TRUE(shim.log().empty());
}

TEST_F(PortChecks, FirstAndLastPortsPassTheChecks) {
    sim.setLoopback(0);
    sim.setLoopback(8);
    for (int port : {0, 8}) {
        for (const auto& f : portFunctions()) {
            int r = f.call(port);
            EXPECT_NE(r, SIO_BAD_PORT) << f.name << "(" << port << ")";
            EXPECT_NE(r, SIO_NOT_OPEN) << f.name << "(" << port << ")";
            EXPECT_NE(r, SIO_WIN_ERROR) << f.name << "(" << port << ")";
        }
        EXPECT_FALSE(sim.isOpen(port)) << "the sweep ends with SioDone";
    }
}

TEST_F(PortChecks, PortNumberNamesTheDevice) {
    // Port N opens COM(N+1) and no other: only COM9 is present.
    sim.setLoopback(8);
    EXPECT_EQ(SioReset(7, 64, 64), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), static_cast<int>(kErrFileNotFound));
    EXPECT_EQ(SioReset(8, 64, 64), 0);
    EXPECT_STREQ(deviceName, "COM9");
    EXPECT_TRUE(sim.isOpen(8));
    EXPECT_FALSE(sim.isOpen(7));
}

TEST_F(PortChecks, InfoFunctionsAndWinErrorTakeNoPort) {
    // No port open at all, and a code kept: they neither check nor change it.
    lastWinError = 77;
    EXPECT_EQ(SioWinError(), 77);
    EXPECT_EQ(SioInfo('V'), 0x20);
    EXPECT_EQ(SioDebug(-1), -1);
    EXPECT_EQ(SioWinError(), 77);
    EXPECT_TRUE(shim.log().empty());
}

}  // namespace
}  // namespace velk
