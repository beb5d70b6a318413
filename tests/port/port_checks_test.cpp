// The two checks every port function begins with: the first and last port
// numbers pass them, a port number names its device, and the functions that
// take no port make neither check. (Every function swept over out-of-range
// and closed ports is in tests/reliability/bad_input_test.cpp.)
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "support/port_functions.h"
#include "support/sim_fixture.h"

namespace velk {
namespace {

class PortChecks : public SimTest {};

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
        EXPECT_FALSE(sim.snapshot(port).open) << "the sweep ends with SioDone";
    }
}

TEST_F(PortChecks, PortNumberNamesTheDevice) {
    // Port N opens COM(N+1) and no other: only COM9 is present.
    sim.setLoopback(8);
    EXPECT_EQ(SioReset(7, 64, 64), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), static_cast<int>(kErrFileNotFound));
    EXPECT_EQ(SioReset(8, 64, 64), 0);
    EXPECT_STREQ(deviceName, "COM9");
    EXPECT_TRUE(sim.snapshot(8).open);
    EXPECT_FALSE(sim.snapshot(7).open);
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
