// The library's state at load, checked in a process of its own before any
// call (built as a separate program: the other tests change this state). All
// of it must come from constant initialisation, with no code run at load.
#include <cstring>

#include <gtest/gtest.h>

#include "port/port_table.h"

namespace velk {
namespace {

TEST(LoadState, EverySlotIsEmptyAndEveryWordIsAtItsInitialValue) {
    for (int i = 0; i < SIO_PORT_COUNT; ++i) {
        EXPECT_EQ(PortTable[i].handle, kNoDevice) << i;
        EXPECT_EQ(PortTable[i].lineBits, 0) << i;
        EXPECT_EQ(PortTable[i].pushedBack, 0) << i;
        EXPECT_EQ(PortTable[i].dcb, &dcbTable[i]) << i;
        const COMMTIMEOUTS zero{};
        EXPECT_EQ(std::memcmp(&PortTable[i].savedTimeouts, &zero, sizeof zero), 0) << i;
    }
    EXPECT_STREQ(deviceName, "COM1");
    EXPECT_EQ(lastWinError, 0u);
    EXPECT_EQ(SioWinError(), 0);
    for (int i = 0; i < SIO_PORT_COUNT; ++i) EXPECT_EQ(SioGetc(i), SIO_NOT_OPEN) << i;
}

}  // namespace
}  // namespace velk
