// `velkcom probe`: tries to open COM1 to COM9 (or one mapped device) in
// turn and says for each whether it opens and, if not, which call failed and
// why.
#include <iostream>

#include "cli.h"
#include "commands.h"
#include "platform/platform.h"
#include "velk32.h"

namespace velkcom {

namespace {

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

int cmdProbe(const std::vector<std::string>& args) {
    std::vector<OptionDef> defs = {{"port", true}};
    if (deviceOptionSupported()) defs.push_back({"device", true});
    Options opts;
    const int parsed = parseCommandLine("probe", args, defs, kProbeUsage, opts);
    if (parsed >= 0) return parsed;
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

}  // namespace velkcom
