// `velkcom term`: a terminal on a port. Standard input goes to the port and
// what arrives from the port goes to standard output, until the escape key
// (Ctrl-], only when standard input is a terminal), a quit signal, or the end
// of piped input. At the end of input it waits for the port's transmit queue
// to empty and passes on what still arrives until the port has been quiet for
// the drain time, so that a script's last answer is not lost. It always
// closes the port and gives the terminal back its settings before exiting.
// Between events it sleeps on the console and the port together
// (consoleWait): no fixed poll interval, and no CPU while both are silent;
// only input held back by CTS is looked at again every kPollMs, since a
// modem line wakes no wait (and on Windows, whose DLL cannot wait, the port
// is polled at that interval as before).
#include <chrono>
#include <iostream>
#include <string>
#include <utility>

#include "cli.h"
#include "commands.h"
#include "platform/platform.h"
#include "velk32.h"

namespace velkcom {

namespace {

constexpr unsigned char kEscapeKey = 0x1D;  // Ctrl-]
constexpr int kPollMs = 5;  // CTS held, or a platform that cannot wait for the port
constexpr int kTxDrainLimitMs = 10000;
constexpr std::size_t kPendingLimit = 4096;
constexpr std::size_t kPiece = 256;

const char* kTermUsage =
    "usage: velkcom term --port N [--device PATH] [--baud B] [--parms 8N1] [--flow N|H|S]\n"
    "                    [--drain MS]\n"
    "\n"
    "A terminal on a port: standard input goes to the port, the port's data to\n"
    "standard output, byte for byte. Press Ctrl-] to quit (when standard input\n"
    "is a terminal; keys are sent raw, Ctrl-C included). With input piped in,\n"
    "every byte is sent as it is and the command ends at the end of the input,\n"
    "once the port's output has been passed on.\n"
    "\n"
    "  --port N       the port, 0 for COM1 to 8 for COM9 (default 0 with --device)\n"
    "  --device PATH  (POSIX only) the device to open as the port, e.g.\n"
    "                 /dev/ttyUSB0, /dev/pts/3, rfc2217://HOST:PORT or\n"
    "                 socket://HOST:PORT; loop:// is the built-in loopback plug\n"
    "  --baud B       baud rate, e.g. 115200 (0 to 9 are the library's rate codes);\n"
    "                 default 19200\n"
    "  --parms FMT    data bits, parity (N, O, E, M, S), stop bits (1, 1.5, 2);\n"
    "                 default 8N1\n"
    "  --flow F       flow control: N none (default), H hardware RTS/CTS, S XON/XOFF.\n"
    "                 Under H, input waits while CTS is off (Ctrl-] still quits).\n"
    "                 Under S, bytes 0x11 and 0x13 are XON and XOFF: an XOFF that\n"
    "                 comes back (on a loopback) stops the port's own output.\n"
    "  --drain MS     at the end of piped input, how long the port must be quiet\n"
    "                 before the command ends (default 500)\n"
    "  --help         this text\n";

int termUsageError(const std::string& why) {
    return usageError("term", why, kTermUsage);
}

class Terminal {
public:
    // ctsGate: hold input back while CTS is off (hardware flow control on a
    // port with modem lines), so that the library's write, which waits with
    // no time limit, is not entered while the peer holds the line off; the
    // escape key and quit signals keep working meanwhile.
    Terminal(int port, std::string where, int drainMs, bool ctsGate)
        : port_(port), where_(std::move(where)), drainMs_(drainMs), ctsGate_(ctsGate) {}

    int run(bool interactive) {
        unsigned char in[512];
        std::string pending;  // read from standard input, not yet sent
        bool eof = false;
        for (;;) {
            if (quitRequested()) return kExitOk;
            const bool wantInput = !eof && pending.size() < kPendingLimit;
            // Sleeps until a key or the port, except while a piece can go out
            // now, or waits for CTS, which no event announces.
            int timeout = -1;
            if (!pending.empty()) timeout = mayWrite() ? 0 : kPollMs;
            const int ready = consoleWait(port_, wantInput, timeout, kPollMs);
            if (ready == kConsoleError) {
                std::cerr << "velkcom: " << where_ << ": waiting for input failed: error " << consoleError() << " ("
                          << errorText(consoleError()) << ")\n";
                return kExitFailed;
            }
            if (wantInput && (ready & kReadyInput)) {
                int n = consoleRead(in, sizeof in, 0);
                if (n == kConsoleError) {
                    std::cerr << "velkcom: " << where_ << ": reading standard input failed: error " << consoleError()
                              << " (" << errorText(consoleError()) << ")\n";
                    return kExitFailed;
                }
                if (n == kConsoleEof) eof = true;
                if (n > 0) {
                    int take = n;
                    bool quit = false;
                    for (int i = 0; interactive && i < n; ++i) {
                        if (in[i] == kEscapeKey) {
                            take = i;
                            quit = true;
                            break;
                        }
                    }
                    pending.append(reinterpret_cast<const char*>(in), static_cast<std::size_t>(take));
                    if (quit) {
                        // Quits at once: keys still held off by flow control are dropped.
                        if (!pending.empty() && mayWrite() && !send(pending)) return kExitFailed;
                        return kExitOk;
                    }
                }
            }
            // Small pieces, with the port read in between: on a loopback the
            // port's own receive queue then never fills far enough for flow
            // control to hold the write off.
            if (!pending.empty() && mayWrite()) {
                std::size_t piece = pending.size() < kPiece ? pending.size() : kPiece;
                if (!send(pending.substr(0, piece))) return kExitFailed;
                pending.erase(0, piece);
            }
            // Every turn ends with the port read dry, so that the next wait
            // sleeps only when nothing is left to pass on.
            if (!pump(nullptr)) return kExitFailed;
            if (eof && pending.empty()) return finish();
        }
    }

private:
    bool mayWrite() const { return !ctsGate_ || SioCTS(port_) != 0; }

    bool send(const std::string& data) {
        int n = static_cast<int>(data.size());
        int rc = SioPuts(port_, data.data(), n);
        if (rc == n) return true;
        reportFailure(std::cerr, where_, "SioPuts",
                      rc < 0 ? describeResult(rc) : "the device took " + std::to_string(rc) + " of " +
                                                        std::to_string(n) + " bytes");
        return false;
    }

    // Passes everything waiting at the port to standard output. Sets *got
    // (when given) to whether anything came.
    bool pump(bool* got) {
        if (got != nullptr) *got = false;
        char buf[4096];
        for (;;) {
            int rc = SioGets(port_, buf, sizeof buf);
            if (rc < 0) {
                reportFailure(std::cerr, where_, "SioGets", describeResult(rc));
                return false;
            }
            if (rc == 0) return true;
            if (got != nullptr) *got = true;
            if (!consoleWrite(reinterpret_cast<unsigned char*>(buf), rc)) {
                std::cerr << "velkcom: " << where_ << ": writing standard output failed: error " << consoleError()
                          << " (" << errorText(consoleError()) << ")\n";
                return false;
            }
        }
    }

    // The end of input: lets the transmit queue empty, then passes on what
    // arrives until the port has been quiet for the drain time.
    int finish() {
        using Clock = std::chrono::steady_clock;
        auto since = [](Clock::time_point t) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
        };
        Clock::time_point start = Clock::now();
        while (SioTxQue(port_) > 0 && since(start) < kTxDrainLimitMs && !quitRequested()) {
            if (!pump(nullptr)) return kExitFailed;
            sleepMs(kPollMs);
        }
        Clock::time_point quietSince = Clock::now();
        while (since(quietSince) < drainMs_ && !quitRequested()) {
            bool got = false;
            if (!pump(&got)) return kExitFailed;
            const long long quietLeft = drainMs_ - since(quietSince);
            if (got) {
                quietSince = Clock::now();
            } else if (quietLeft > 0 && consoleWait(port_, false, static_cast<int>(quietLeft), kPollMs) == kConsoleError) {
                return kExitFailed;
            }
        }
        return kExitOk;
    }

    int port_;
    std::string where_;
    int drainMs_;
    bool ctsGate_;
};

}  // namespace

int cmdTerm(const std::vector<std::string>& args) {
    std::vector<OptionDef> defs = {{"port", true}, {"baud", true}, {"parms", true}, {"flow", true}, {"drain", true}};
    if (deviceOptionSupported()) defs.push_back({"device", true});
    Options opts;
    std::string error;
    if (!opts.parse(args, defs, error)) return termUsageError(error);
    if (opts.help()) {
        std::cout << kTermUsage;
        return kExitOk;
    }
    long long v = 0;
    int port = 0;
    if (opts.has("port")) {
        if (!parseInt(opts.value("port"), 0, SIO_PORT_COUNT - 1, v)) {
            return termUsageError("--port must be 0 to 8, not '" + opts.value("port") + "'");
        }
        port = static_cast<int>(v);
    } else if (!opts.has("device")) {
        return termUsageError(deviceOptionSupported() ? "--port or --device is needed" : "--port is needed");
    }
    long long baud = -1;
    if (opts.has("baud") && !parseInt(opts.value("baud"), 0, 0x7FFFFFFF, baud)) {
        return termUsageError("--baud must be a rate such as 9600, or a code 0 to 9, not '" + opts.value("baud") + "'");
    }
    LineFormat format;
    if (opts.has("parms") && !parseLineFormat(opts.value("parms"), format)) {
        return termUsageError("--parms must be data bits 5-8, parity N/O/E/M/S and stop bits 1/1.5/2 (e.g. 8N1), not '" +
                          opts.value("parms") + "'");
    }
    char flow = SIO_FLOW_NONE;
    if (opts.has("flow") && !parseFlow(opts.value("flow"), flow)) {
        return termUsageError("--flow must be N, H or S, not '" + opts.value("flow") + "'");
    }
    int drainMs = 500;
    if (opts.has("drain")) {
        if (!parseInt(opts.value("drain"), 0, 600000, v)) {
            return termUsageError("--drain must be 0 to 600000 ms, not '" + opts.value("drain") + "'");
        }
        drainMs = static_cast<int>(v);
    }

    std::string device = opts.has("device") ? opts.value("device") : "";
    if (opts.has("device") && device.empty()) return termUsageError("--device needs a path");
    std::string where;
    int rc = openPortForCommand(port, device, where);
    if (rc != 0) return rc;
    if (baud >= 0) {
        rc = SioBaud(port, static_cast<int>(baud));
        if (rc != 1) {
            reportFailure(std::cerr, where, "SioBaud(" + std::to_string(baud) + ")", describeResult(rc));
            SioDone(port);
            return kExitFailed;
        }
    }
    if (opts.has("parms") && (rc = SioParms(port, format.parity, format.stopBits, format.dataBits)) != 0) {
        reportFailure(std::cerr, where, "SioParms", describeResult(rc));
        SioDone(port);
        return kExitFailed;
    }
    if ((rc = SioFlow(port, flow)) != 0) {
        reportFailure(std::cerr, where, std::string("SioFlow('") + flow + "')", describeResult(rc));
        SioDone(port);
        return kExitFailed;
    }

    bool interactive = consoleOpen();
    if (interactive) {
        std::cerr << "velkcom term: " << where << " at " << (baud >= 0 ? opts.value("baud") : "19200") << " baud, "
                  << (opts.has("parms") ? opts.value("parms") : "8N1") << ", flow " << flow
                  << "; press Ctrl-] to quit\n";
    }
    // Raising DTR (already raised by the open) tells whether the device has
    // modem lines at all: on one without them (a pty) CTS always reads off,
    // and input must not wait for it.
    bool ctsGate = flow == SIO_FLOW_HARDWARE && SioDTR(port, SIO_LINE_SET) == 1;
    Terminal term(port, where, drainMs, ctsGate);
    int status = term.run(interactive);
    consoleRestore();
    if (interactive) std::cerr << "\nvelkcom term: closed " << where << "\n";
    int done = SioDone(port);
    if (done != 1) {
        reportFailure(std::cerr, where, "SioDone", describeResult(done));
        return kExitFailed;
    }
    return status;
}

}  // namespace velkcom
