// The command-line side of `velkcom selftest` and `velkcom probe`: options,
// usage texts and mapping the port to its device before the work starts.
#include <iostream>

#include "cli.h"
#include "commands.h"
#include "platform/platform.h"
#include "selftest.h"
#include "velk32.h"

namespace velkcom {

namespace {

const char* kSelftestUsage =
    "usage: velkcom selftest [--port N] [--device PATH] [--rate BAUD] [--slack MS]\n"
    "                        [--internal-loopback | --data-only]\n"
    "\n"
    "Checks a port that has a loopback plug on it (TX to RX, RTS to CTS, DTR to\n"
    "DSR and DCD) and prints one row per check: PASS, FAIL, or SKIP with the\n"
    "reason when the device cannot support the check. Exit status 0 only when\n"
    "no check failed.\n"
    "\n"
    "  --port N       the port, 0 for COM1 to 8 for COM9 (default 0)\n"
    "  --device PATH  (POSIX only) the device to use for the port, e.g.\n"
    "                 /dev/ttyUSB0, rfc2217://HOST:PORT or socket://HOST:PORT;\n"
    "                 loop:// is the library's built-in loopback plug. Without\n"
    "                 --port and --device the test runs on loop://.\n"
    "                 On Windows there is no loop://: give --port.\n"
    "  --rate BAUD    the rate of the literal-rate check (default 14400)\n"
    "  --slack MS     how long a read waits beyond the bytes' time on the line\n"
    "                 (default 500)\n"
    "  --internal-loopback\n"
    "                 (with --device) no plug: the UART's own loopback\n"
    "                 (TIOCM_LOOP), DCD and RI as the chip wires them (OUT2,\n"
    "                 OUT1); the modem bits are put back afterwards. Exit\n"
    "                 status 2 when the driver refuses the loopback.\n"
    "  --data-only    the far end returns data only (an echo program, a plug\n"
    "                 with TX and RX alone): the modem-line and break checks\n"
    "                 are SKIP\n"
    "  --help         this text\n";

const char* kProbeUsage =
    "usage: velkcom probe [--device PATH [--port N]]\n"
    "\n"
    "Tries to open COM1 to COM9 in turn and says for each whether it opens and,\n"
    "if not, why (the error code from SioWinError and its meaning). Exit status\n"
    "0 once every port has been tried.\n"
    "\n"
    "Opening a port is not harmless: each open sets 19200 8N1 and raises DTR and\n"
    "RTS, which resets many boards (Arduino-style ones among them), and on some\n"
    "machines /dev/ttyS0 is the system console. `velkcom list` finds the ports\n"
    "without opening any.\n"
    "\n"
    "  --device PATH  (POSIX only) try only this device, as COM1 or the --port\n"
    "                 given, e.g. /dev/ttyUSB0, rfc2217://HOST:PORT or\n"
    "                 socket://HOST:PORT\n"
    "  --port N       with --device: the port, 0 for COM1 to 8 for COM9\n"
    "  --help         this text\n";

}  // namespace

const char* mainUsage() {
    return "usage: velkcom COMMAND [OPTIONS]\n"
           "\n"
           "A companion to the velk32 serial-port library.\n"
           "\n"
           "commands:\n"
           "  selftest   check a port with a loopback plug (by default the built-in\n"
           "             loop:// plug, where the library has one)\n"
           "  term       a terminal: standard input to the port, the port to\n"
           "             standard output; Ctrl-] quits\n"
           "  list       list the machine's serial ports and USB adapters, opening none\n"
           "  monitor    show a port's lines, errors and traffic live\n"
           "  probe      open COM1 to COM9 in turn and say which open, and why not\n"
           "\n"
           "`velkcom COMMAND --help` describes each command's options.\n";
}

int cmdSelftest(const std::vector<std::string>& args) {
    std::vector<OptionDef> defs = {{"port", true}, {"rate", true}, {"slack", true}, {"internal-loopback", false},
                                   {"data-only", false}};
    if (deviceOptionSupported()) defs.push_back({"device", true});
    Options opts;
    std::string error;
    if (!opts.parse(args, defs, error)) return usageError("selftest", error, kSelftestUsage);
    if (opts.has("internal-loopback") && !opts.has("device")) {
        return usageError("selftest", "--internal-loopback needs --device PATH (a UART's device file)", kSelftestUsage);
    }
    if (opts.help()) {
        std::cout << kSelftestUsage;
        return kExitOk;
    }
    SelftestConfig cfg;
    long long v = 0;
    if (opts.has("port")) {
        if (!parseInt(opts.value("port"), 0, SIO_PORT_COUNT - 1, v)) {
            return usageError("selftest", "--port must be 0 to 8, not '" + opts.value("port") + "'", kSelftestUsage);
        }
        cfg.port = static_cast<int>(v);
    }
    if (opts.has("rate")) {
        // Codes 0 to 9 would be table rates, not literal ones.
        if (!parseInt(opts.value("rate"), 10, 0x7FFFFFFF, v)) {
            return usageError("selftest", "--rate must be a baud rate of 10 or more, not '" + opts.value("rate") + "'",
                              kSelftestUsage);
        }
        cfg.literalRate = v;
    }
    if (opts.has("slack")) {
        if (!parseInt(opts.value("slack"), 0, 600000, v)) {
            return usageError("selftest", "--slack must be 0 to 600000 ms, not '" + opts.value("slack") + "'",
                              kSelftestUsage);
        }
        cfg.slackMs = static_cast<int>(v);
    }
    std::string device;
    if (opts.has("device")) {
        device = opts.value("device");
        if (device.empty()) return usageError("selftest", "--device needs a path", kSelftestUsage);
    } else if (!opts.has("port")) {
        device = defaultSelftestDevice();
        if (device.empty()) {
            return usageError("selftest", "--port is needed: this library has no built-in loopback plug",
                              kSelftestUsage);
        }
    }
    if (!device.empty()) {
        int rc = mapPort(cfg.port, device);
        if (rc != 0) {
            reportFailure(std::cerr, comName(cfg.port) + " (" + device + ")", "velk_map_port", describeResult(rc));
            return kExitFailed;
        }
    }
    cfg.deviceLabel = device.empty() ? defaultDeviceName(cfg.port) : device;
    cfg.internalLoopback = opts.has("internal-loopback");
    cfg.dataOnly = opts.has("data-only");
    if (cfg.internalLoopback && cfg.dataOnly) {
        return usageError("selftest", "--internal-loopback and --data-only exclude each other", kSelftestUsage);
    }
    return runSelftest(cfg, std::cout, std::cerr);
}

int cmdProbe(const std::vector<std::string>& args) {
    std::vector<OptionDef> defs = {{"port", true}};
    if (deviceOptionSupported()) defs.push_back({"device", true});
    Options opts;
    std::string error;
    if (!opts.parse(args, defs, error)) return usageError("probe", error, kProbeUsage);
    if (opts.help()) {
        std::cout << kProbeUsage;
        return kExitOk;
    }
    int first = 0;
    int last = SIO_PORT_COUNT - 1;
    long long v = 0;
    if (opts.has("port")) {
        if (!parseInt(opts.value("port"), 0, SIO_PORT_COUNT - 1, v)) {
            return usageError("probe", "--port must be 0 to 8, not '" + opts.value("port") + "'", kProbeUsage);
        }
    }
    std::string mapped;
    if (opts.has("port") && !opts.has("device")) return usageError("probe", "--port needs --device", kProbeUsage);
    if (opts.has("device")) {
        mapped = opts.value("device");
        if (mapped.empty()) return usageError("probe", "--device needs a path", kProbeUsage);
        first = last = static_cast<int>(v);  // --port, or COM1
        int rc = mapPort(first, mapped);
        if (rc != 0) {
            reportFailure(std::cerr, comName(first) + " (" + mapped + ")", "velk_map_port", describeResult(rc));
            return kExitFailed;
        }
    }
    for (int port = first; port <= last; ++port) {
        std::string name = comName(port);
        std::string device = mapped.empty() ? defaultDeviceName(port) : mapped;
        std::string label = name + (device != name ? " (" + device + ")" : "");
        label.resize(label.size() < 20 ? 20 : label.size() + 1, ' ');  // a long name keeps a space
        int rc = SioReset(port, 1024, 1024);
        if (rc == 0) {
            int done = SioDone(port);
            std::cout << label << "opens" << (done == 1 ? "" : "; SioDone gave " + describeResult(done)) << "\n";
        } else {
            std::cout << label << "does not open: SioReset gave " << describeResult(rc) << "\n";
            SioDone(port);  // a configuration step may have failed after the open
        }
    }
    return kExitOk;
}

int openPortForCommand(int port, const std::string& device, std::string& where) {
    std::string label = device.empty() ? defaultDeviceName(port) : device;
    where = comName(port) + (label == comName(port) ? "" : " (" + label + ")");
    if (!device.empty()) {
        int rc = mapPort(port, device);
        if (rc != 0) {
            reportFailure(std::cerr, where, "velk_map_port", describeResult(rc));
            return kExitFailed;
        }
    }
    int rc = SioReset(port, 4096, 4096);
    if (rc != 0) {
        reportFailure(std::cerr, where, "SioReset", describeResult(rc));
        SioDone(port);  // a configuration step may have failed after the open
        return kExitFailed;
    }
    return 0;
}

}  // namespace velkcom
