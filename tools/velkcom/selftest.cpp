// `velkcom selftest`: its options and usage, mapping the port to its device,
// and the run of the checks (selftest_checks.h) on the opened port, with the
// count of PASS, FAIL and SKIP at the end.
#include "selftest.h"

#include <iostream>

#include "cli.h"
#include "commands.h"
#include "platform/platform.h"
#include "platform/ports.h"
#include "selftest_checks.h"
#include "velk32.h"

namespace velkcom {

namespace {

constexpr int kInQueue = 4096;
constexpr int kOutQueue = 4096;

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
    "  --data-only    the far end returns data only (an echo program, a USB\n"
    "                 CDC device, a plug with TX and RX alone): the modem-line\n"
    "                 and break checks are SKIP\n"
    "  --help         this text\n";

}  // namespace

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
    cfg.driver = portDriver("", cfg.deviceLabel);
    cfg.internalLoopback = opts.has("internal-loopback");
    cfg.dataOnly = opts.has("data-only");
    if (cfg.internalLoopback && cfg.dataOnly) {
        return usageError("selftest", "--internal-loopback and --data-only exclude each other", kSelftestUsage);
    }
    return runSelftest(cfg, std::cout, std::cerr);
}

int runSelftest(const SelftestConfig& config, std::ostream& out, std::ostream& err) {
    const std::string& label = config.deviceLabel;
    const std::string where =
        comName(config.port) + (label.empty() || label == comName(config.port) ? "" : " (" + label + ")");
    if (config.internalLoopback) {
        const std::string why = loopbackEnter(label);
        if (!why.empty()) {
            err << "velkcom selftest: " << where << ": --internal-loopback: " << why << "\n";
            return kExitUsage;
        }
    }
    int rc = SioReset(config.port, kInQueue, kOutQueue);
    if (rc != 0) {
        reportFailure(err, where, "SioReset", describeResult(rc));
        if (rc != SIO_BAD_PORT && rc != SIO_NOT_OPEN) SioDone(config.port);  // a later step may have left it open
        loopbackLeave();
        return kExitFailed;
    }
    selftest::Checks test(config, out);
    test.heading(config.deviceLabel);
    test.runAll();
    int done = SioDone(config.port);
    loopbackLeave();
    out << "\n" << (test.passed() + test.failed() + test.skipped()) << " checks: " << test.passed() << " PASS, "
        << test.failed() << " FAIL, " << test.skipped() << " SKIP\n";
    out.flush();
    if (done != 1) {
        reportFailure(err, where, "SioDone", describeResult(done));
        return kExitFailed;
    }
    return test.failed() == 0 ? kExitOk : kExitFailed;
}

}  // namespace velkcom
