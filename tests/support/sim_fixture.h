// The test fixtures over the simulated device: SimTest puts the library in
// front of a fresh simulated device wrapped in the fault shim, and gives the module-wide state back as it was
// at load when the test ends (ports closed, push-back and line requests
// cleared, no error kept); NullModemTest adds two open ports joined by a
// null-modem cable.
#ifndef VELK_TESTS_SUPPORT_SIM_FIXTURE_H
#define VELK_TESTS_SUPPORT_SIM_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/testing/fault_shim.h"
#include "device/testing/sim_device.h"
#include "port/port_table.h"
#include "support/library_state.h"
#include "velk32.h"

namespace velk {

class SimTest : public ::testing::Test {
protected:
    SimTest() : shim(sim) {}

    void SetUp() override {
        resetLibraryState();
        setDevice(&shim);
    }

    void TearDown() override {
        shim.clearFaults();
        resetLibraryState();
        setDevice(nullptr);
    }

    // Opens a port with the usual queue sizes and clears the log.
    void open(int port, int inQueue = 1024, int outQueue = 1024) {
        ASSERT_EQ(SioReset(port, inQueue, outQueue), 0) << "SioWinError " << SioWinError();
        shim.clearLog();
    }

    // The names of the logged operations, in order.
    std::vector<std::string> ops() const {
        std::vector<std::string> names;
        for (const auto& c : shim.log()) names.push_back(FaultShim::name(c.op));
        return names;
    }

    SimDevice sim;
    FaultShim shim;
};

// The usual set-up of the library's tests: ports 0 and 1 joined by a
// null-modem cable (TX to RX, RTS to CTS, DTR to DSR and DCD, each way), both
// open, port 0 last, and the log cleared.
class NullModemTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim.connectNullModem(0, 1);
        open(1);
        open(0);
    }
};

}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_SIM_FIXTURE_H
