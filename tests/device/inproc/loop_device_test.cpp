// The built-in loopback plug of the POSIX library: a port mapped to "loop://"
// with velk_map_port, driven through the public functions only, with the
// library's own device (no test device installed).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "device/device_api.h"
#include "port/port_table.h"
#include "support/posix_pty_fixture.h"
#include "velk32.h"
#include "velk32_posix.h"

namespace velk {
namespace {

class PosixLoop : public PosixLibraryTest {};

TEST_F(PosixLoop, MapPortChecksThePortNumber) {
    EXPECT_EQ(velk_map_port(-1, "loop://"), SIO_BAD_PORT);
    EXPECT_EQ(velk_map_port(9, "loop://"), SIO_BAD_PORT);
    EXPECT_EQ(velk_map_port(0, "loop://"), 0);
    EXPECT_EQ(velk_map_port(8, nullptr), 0);
}

TEST_F(PosixLoop, DataComesBackUnchanged) {
    ASSERT_EQ(velk_map_port(2, "loop://"), 0);
    ASSERT_EQ(SioReset(2, 1024, 1024), 0) << SioWinError();
    const char out[] = {'h', 'i', '\0', static_cast<char>(0xFF), '\r', '\n'};
    EXPECT_EQ(SioPuts(2, out, sizeof out), static_cast<int>(sizeof out));
    EXPECT_EQ(SioRxQue(2), static_cast<int>(sizeof out));
    EXPECT_EQ(SioGetc(2), 'h');
    char in[16] = {};
    EXPECT_EQ(SioGets(2, in, sizeof in), 5);
    EXPECT_EQ(std::string(in, 5), std::string(out + 1, 5));
    EXPECT_EQ(SioGetc(2), SIO_NO_DATA);
    EXPECT_EQ(SioPutc(2, 0x1FF), 0);
    EXPECT_EQ(SioGetc(2), 0xFF);
    EXPECT_EQ(SioDone(2), 1);
    EXPECT_EQ(SioDone(2), SIO_NOT_OPEN);
}

TEST_F(PosixLoop, ModemLinesFollowThePlug) {
    ASSERT_EQ(velk_map_port(0, "loop://"), 0);
    ASSERT_EQ(SioReset(0, 512, 512), 0);
    EXPECT_EQ(SioCTS(0), SIO_MS_CTS_ON);
    EXPECT_EQ(SioDSR(0), SIO_MS_DSR_ON);
    EXPECT_EQ(SioDCD(0), SIO_MS_RLSD_ON);
    EXPECT_EQ(SioRI(0), 0);
    EXPECT_EQ(SioRTS(0, 'C'), 1);
    EXPECT_EQ(SioCTS(0), 0);
    EXPECT_EQ(SioDTR(0, 'C'), 1);
    EXPECT_EQ(SioDSR(0), 0);
    EXPECT_EQ(SioDCD(0), 0);
    EXPECT_EQ(SioDTR(0, 'S'), 1);
    EXPECT_EQ(SioDSR(0), SIO_MS_DSR_ON);
    EXPECT_EQ(SioBrkSig(0, 'A'), 1);
    EXPECT_EQ(SioStatus(0, SIO_CE_ALL), SIO_CE_BREAK);
    EXPECT_EQ(SioBrkSig(0, 'C'), 1);
    EXPECT_EQ(SioStatus(0, SIO_CE_ALL), 0);
    EXPECT_EQ(SioDone(0), 1);
}

TEST_F(PosixLoop, LineSettingsAndFlowControl) {
    ASSERT_EQ(velk_map_port(4, "loop://"), 0);
    ASSERT_EQ(SioReset(4, 1024, 1024), 0);
    EXPECT_EQ(SioBaud(4, 250000), 1);
    EXPECT_EQ(SioBaud(4, 0), 1);
    EXPECT_EQ(SioParms(4, SIO_EVEN_PARITY, SIO_TWO_STOP_BITS, 7), 0);
    EXPECT_EQ(SioFlow(4, 'H'), 0);
    // RTS is handed to the handshake, which keeps CTS raised on the plug.
    EXPECT_EQ(SioCTS(4), SIO_MS_CTS_ON);
    EXPECT_EQ(SioPuts(4, "abc", 3), 3);
    char in[4] = {};
    EXPECT_EQ(SioGets(4, in, 4), 3);
    EXPECT_EQ(std::string(in, 3), "abc");
    EXPECT_EQ(SioDone(4), 1);
}

TEST_F(PosixLoop, EachMappedPortIsItsOwnPlugAndHeldAlone) {
    ASSERT_EQ(velk_map_port(0, "loop://"), 0);
    ASSERT_EQ(velk_map_port(1, "loop://"), 0);
    ASSERT_EQ(SioReset(0, 1024, 1024), 0);
    ASSERT_EQ(SioReset(1, 1024, 1024), 0);
    EXPECT_EQ(SioPutc(0, 'a'), 0);
    EXPECT_EQ(SioRxQue(1), 0);
    EXPECT_EQ(SioGetc(1), SIO_NO_DATA);
    EXPECT_EQ(SioGetc(0), 'a');
    // The plug is exclusive, as a COM port is, even to the library's own
    // device below the port table.
    EXPECT_EQ(platformDevice().CreateFileA("COM1"), kNoDevice);
    EXPECT_EQ(platformDevice().GetLastError(), static_cast<DWORD>(EBUSY));
    EXPECT_EQ(SioDone(0), 1);
    EXPECT_EQ(SioDone(1), 1);
}

TEST_F(PosixLoop, RemappingTakesEffectAtTheNextOpen) {
    ASSERT_EQ(velk_map_port(0, "loop://"), 0);
    ASSERT_EQ(SioReset(0, 1024, 1024), 0);
    ASSERT_EQ(velk_map_port(0, "/nonexistent/velk-port"), 0);
    EXPECT_EQ(SioPutc(0, 'z'), 0);  // still the plug until reopened
    EXPECT_EQ(SioGetc(0), 'z');
    EXPECT_EQ(SioReset(0, 1024, 1024), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), ENOENT);
    ASSERT_EQ(velk_map_port(0, "loop://"), 0);
    EXPECT_EQ(SioReset(0, 1024, 1024), 0);
    EXPECT_EQ(SioDone(0), 1);
}

}  // namespace
}  // namespace velk
