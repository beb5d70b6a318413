// The loopback-plug self-test behind `velkcom selftest`: with TX wired to RX,
// RTS to CTS and DTR to DSR and DCD, it opens the port and runs each check
// through the library's public functions, printing one table row per check
// (PASS, FAIL, or SKIP with the reason when the device cannot support it).
// Every wait is bounded, and no write is made that flow control could hold
// forever, so the test ends on any device, plugged or not.
#ifndef VELKCOM_SELFTEST_H
#define VELKCOM_SELFTEST_H

#include <ostream>
#include <string>

namespace velkcom {

struct SelftestConfig {
    int port = 0;              // 0 for COM1
    long long literalRate = 14400;  // the rate of the literal-rate echo
    int slackMs = 500;         // how long a read waits beyond the bytes' time on the line
    // What the port is ("loop://", "/dev/ttyUSB0", "socket://host:port"): the
    // heading shows it, and on a socket:// address the modem-line, break and
    // XON/XOFF checks are SKIP, as raw TCP carries data only.
    std::string deviceLabel;
    // No plug: the UART's own internal loopback (TIOCM_LOOP) on the device
    // deviceLabel names, entered before the test and left after it. DCD and
    // RI are then checked as the chip wires them (DCD from OUT2, which the
    // driver keeps on; RI from OUT1).
    bool internalLoopback = false;
    // The far end returns data only (an echo program behind an adapter, a
    // plug with TX and RX alone): the modem-line and break checks are SKIP.
    bool dataOnly = false;
    // The port's driver as the system's port list names it (cdc_acm,
    // usbser), empty when unknown. On a USB CDC device's driver a failed
    // modem-line check says that such devices do not loop their lines.
    std::string driver;
};

// Runs the self-test on an unopened port and prints the table to out, and a
// failing library call outside the checks (opening, closing) to err.
// Returns the exit status: kExitOk only when no check failed; kExitUsage
// when the driver refuses the internal loopback asked for.
int runSelftest(const SelftestConfig& config, std::ostream& out, std::ostream& err);

}  // namespace velkcom

#endif  // VELKCOM_SELFTEST_H
