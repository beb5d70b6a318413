// `velkcom monitor`: a port's lines and traffic, live. It reads (and counts,
// or dumps in hex) what arrives as it arrives, sleeping on the port and the
// keys together (consoleWait) in between, and samples the input lines, the
// output lines as set, the queue counts and the line errors at its refresh
// rate: line changes wake no wait. On a terminal it keeps one status line
// refreshed in place and takes keys (d, r, b, q, Ctrl-]); otherwise it
// writes a time-stamped line whenever something changed, and at least once a
// second.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <iostream>
#include <string>
#include <utility>

#include "cli.h"
#include "commands.h"
#include "platform/platform.h"
#include "velk32.h"

namespace velkcom {

namespace {

constexpr int kPollMs = 20;           // between two looks at the port where it cannot be waited for
constexpr int kRefreshMs = 200;       // between two samples of the lines, and two status lines
constexpr int kIdleLineMs = 1000;     // longest gap between two lines in a pipe
constexpr int kBreakMs = 250;         // how long `b` holds the break
constexpr unsigned char kEscapeKey = 0x1D;  // Ctrl-]
constexpr unsigned char kCtrlC = 0x03;

const char* kMonitorUsage =
    "usage: velkcom monitor --port N [--device PATH] [--baud B] [--parms 8N1]\n"
    "                       [--count K] [--hex]\n"
    "\n"
    "Opens a port and shows it live: the input lines CTS, DSR, RI and DCD, the\n"
    "output lines DTR and RTS as set (+ on, - off), the receive and transmit\n"
    "queue counts, the line errors seen since the start (ovr: overrun or receive\n"
    "queue overflow, par: parity, frm: framing, brk: break received), and the\n"
    "bytes received with their rate over the last second. Opening the port\n"
    "raises DTR and RTS, as every open does.\n"
    "\n"
    "On a terminal the status line is refreshed in place and these keys work:\n"
    "  d  toggle DTR     r  toggle RTS     b  send a break (a quarter second)\n"
    "  q or Ctrl-]  quit (the terminal gets its settings back)\n"
    "Otherwise a time-stamped line is written whenever something changes, and\n"
    "at least once a second when nothing does; a quit signal (Ctrl-C) ends it.\n"
    "\n"
    "  --port N       the port, 0 for COM1 to 8 for COM9 (default 0 with --device)\n"
    "  --device PATH  (POSIX only) the device to open as the port, e.g.\n"
    "                 /dev/ttyUSB0; loop:// is the built-in loopback plug\n"
    "  --baud B       baud rate, e.g. 115200 (0 to 9 are the library's rate codes);\n"
    "                 default 19200\n"
    "  --parms FMT    data bits, parity (N, O, E, M, S), stop bits; default 8N1\n"
    "  --count K      stop after K status lines\n"
    "  --hex          also show the received data as a hex dump (otherwise it is\n"
    "                 counted and dropped)\n"
    "  --help         this text\n";

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Whole milliseconds until t, rounded up; 0 once it has passed.
long long msUntil(Clock::time_point t) {
    const long long us = std::chrono::duration_cast<std::chrono::microseconds>(t - Clock::now()).count();
    return us > 0 ? (us + 999) / 1000 : 0;
}

// What the status line shows, apart from the rate.
struct Status {
    bool cts = false, dsr = false, ri = false, dcd = false;
    bool dtr = false, rts = false;
    int rxQueue = 0, txQueue = 0;
    std::uint64_t overrun = 0, parity = 0, framing = 0, breaks = 0;
    std::uint64_t received = 0;

    bool operator==(const Status& o) const {
        return cts == o.cts && dsr == o.dsr && ri == o.ri && dcd == o.dcd && dtr == o.dtr && rts == o.rts &&
               rxQueue == o.rxQueue && txQueue == o.txQueue && overrun == o.overrun && parity == o.parity &&
               framing == o.framing && breaks == o.breaks && received == o.received;
    }
    bool operator!=(const Status& o) const { return !(*this == o); }
};

std::string rateText(double bytesPerSecond) {
    char buf[32];
    if (bytesPerSecond >= 1e6) {
        std::snprintf(buf, sizeof buf, "%.1f MB/s", bytesPerSecond / 1e6);
    } else if (bytesPerSecond >= 1e4) {
        std::snprintf(buf, sizeof buf, "%.1f kB/s", bytesPerSecond / 1e3);
    } else {
        std::snprintf(buf, sizeof buf, "%.0f B/s", bytesPerSecond);
    }
    return buf;
}

std::string statusText(const Status& s, double rate) {
    auto mark = [](bool on) { return on ? "+" : "-"; };
    return std::string("CTS") + mark(s.cts) + " DSR" + mark(s.dsr) + " RI" + mark(s.ri) + " DCD" + mark(s.dcd) +
           "  DTR" + mark(s.dtr) + " RTS" + mark(s.rts) + "  rxq " + std::to_string(s.rxQueue) + " txq " +
           std::to_string(s.txQueue) + "  ovr " + std::to_string(s.overrun) + " par " + std::to_string(s.parity) +
           " frm " + std::to_string(s.framing) + " brk " + std::to_string(s.breaks) + "  rx " +
           std::to_string(s.received) + " B " + rateText(rate);
}

class Monitor {
public:
    Monitor(int port, std::string where, bool keys, int columns, long long count, bool hex)
        : port_(port), where_(std::move(where)), keys_(keys), columns_(columns), count_(count), hex_(hex) {}

    int run() {
        start_ = Clock::now();
        Clock::time_point lastShown = start_ - std::chrono::milliseconds(kRefreshMs);
        Clock::time_point nextSample = start_;
        bool first = true;
        for (;;) {
            if (quitRequested()) return finish(kExitOk);
            // Asleep until a key, data, the next sample or the end of a break
            // (rounded up to whole milliseconds: a wait cut short would only
            // look again at once).
            long long wait = msUntil(nextSample);
            if (breakOn_) wait = std::min(wait, msUntil(breakSince_ + std::chrono::milliseconds(kBreakMs)));
            const int ready = consoleWait(port_, keys_, static_cast<int>(std::max(wait, 0LL)), kPollMs);
            if (ready == kConsoleError) {
                std::cerr << "velkcom: " << where_ << ": waiting for input failed: error " << consoleError() << " ("
                          << errorText(consoleError()) << ")\n";
                return finish(kExitFailed);
            }
            if (keys_ && (ready & kReadyInput)) {
                unsigned char in[64];
                int n = consoleRead(in, sizeof in, 0);
                if (n == kConsoleError) {
                    std::cerr << "velkcom: " << where_ << ": reading standard input failed: error "
                              << consoleError() << " (" << errorText(consoleError()) << ")\n";
                    return finish(kExitFailed);
                }
                if (n == kConsoleEof) keys_ = false;
                for (int i = 0; i < n; ++i) {
                    int rc = key(in[i]);
                    if (rc >= 0) return finish(rc);
                }
            }
            if (breakOn_ && msSince(breakSince_) >= kBreakMs) {
                breakOn_ = false;
                if (!call(SioBrkSig(port_, SIO_BREAK_CANCEL), "SioBrkSig('C')")) return finish(kExitFailed);
            }
            if ((ready & kReadyPort) && !receive()) return finish(kExitFailed);
            if (Clock::now() < nextSample) continue;
            nextSample = Clock::now() + std::chrono::milliseconds(kRefreshMs);
            if (!sample()) return finish(kExitFailed);
            double rate = currentRate();
            if (columns_ > 0) {
                showInPlace(statusText(status_, rate));
            } else if (first || status_ != shown_ || msSince(lastShown) >= kIdleLineMs) {
                char stamp[32];
                std::snprintf(stamp, sizeof stamp, "%8.3f  ", static_cast<double>(msSince(start_)) / 1000.0);
                std::cout << stamp << statusText(status_, rate) << "\n" << std::flush;
            } else {
                continue;
            }
            first = false;
            shown_ = status_;
            lastShown = Clock::now();
            if (count_ > 0 && ++lines_ >= count_) return finish(kExitOk);
        }
    }

private:
    // Acts on one key; returns the exit status when it ends the monitor, else -1.
    int key(unsigned char c) {
        switch (c) {
        case 'q': case 'Q': case kEscapeKey: case kCtrlC:
            return kExitOk;
        case 'd': case 'D': {
            int raised = SioDTR(port_, SIO_LINE_READ);
            if (!call(raised, "SioDTR('R')")) return kExitFailed;
            int rc = SioDTR(port_, raised == 1 ? SIO_LINE_CLEAR : SIO_LINE_SET);
            if (!call(rc, "SioDTR")) return kExitFailed;
            if (rc == 0) note("the device did not change DTR");
            return -1;
        }
        case 'r': case 'R': {
            int raised = SioRTS(port_, SIO_LINE_READ);
            if (!call(raised, "SioRTS('R')")) return kExitFailed;
            int rc = SioRTS(port_, raised == 2 ? SIO_LINE_CLEAR : SIO_LINE_SET);
            if (!call(rc, "SioRTS")) return kExitFailed;
            if (rc == 0) note("the device did not change RTS");
            return -1;
        }
        case 'b': case 'B':
            if (breakOn_) return -1;
            if (!call(SioBrkSig(port_, SIO_BREAK_ASSERT), "SioBrkSig('A')")) return kExitFailed;
            breakOn_ = true;
            breakSince_ = Clock::now();
            return -1;
        default:
            return -1;
        }
    }

    // A library result: false (and the failure reported) when negative.
    bool call(int rc, const char* what) {
        if (rc >= 0) return true;
        clearLine();
        reportFailure(std::cerr, where_, what, describeResult(rc));
        return false;
    }

    // Reads the port's state and what has arrived. The line errors are taken
    // first: the queue counts clear them.
    bool sample() {
        int errors = SioStatus(port_, SIO_CE_ALL);
        if (!call(errors, "SioStatus")) return false;
        if (errors & (SIO_CE_OVERRUN | SIO_CE_RXOVER)) ++status_.overrun;
        if (errors & SIO_CE_RXPARITY) ++status_.parity;
        if (errors & SIO_CE_FRAME) ++status_.framing;
        if (errors & SIO_CE_BREAK) ++status_.breaks;
        int rx = SioRxQue(port_), tx = SioTxQue(port_);
        int cts = SioCTS(port_), dsr = SioDSR(port_), ri = SioRI(port_), dcd = SioDCD(port_);
        int dtr = SioDTR(port_, SIO_LINE_READ), rts = SioRTS(port_, SIO_LINE_READ);
        if (!call(rx, "SioRxQue") || !call(tx, "SioTxQue") || !call(cts, "SioCTS") || !call(dsr, "SioDSR") ||
            !call(ri, "SioRI") || !call(dcd, "SioDCD") || !call(dtr, "SioDTR('R')") || !call(rts, "SioRTS('R')")) {
            return false;
        }
        status_.rxQueue = rx;
        status_.txQueue = tx;
        status_.cts = cts != 0;
        status_.dsr = dsr != 0;
        status_.ri = ri != 0;
        status_.dcd = dcd != 0;
        status_.dtr = dtr == 1;
        status_.rts = rts == 2;
        if (!receive()) return false;
        Clock::time_point now = Clock::now();
        samples_.emplace_back(now, status_.received);
        while (samples_.size() > 2 && now - samples_[1].first >= std::chrono::seconds(1)) samples_.pop_front();
        return true;
    }

    // Takes everything waiting at the port: counted, and dumped with --hex.
    // Ends with the port read dry, so that the next wait sleeps only when
    // nothing is left.
    bool receive() {
        char buf[4096];
        for (;;) {
            int n = SioGets(port_, buf, sizeof buf);
            if (!call(n, "SioGets")) return false;
            if (n == 0) return true;
            if (hex_) dump(reinterpret_cast<const unsigned char*>(buf), n);
            status_.received += static_cast<std::uint64_t>(n);
        }
    }

    // Bytes a second over about the last second.
    double currentRate() const {
        if (samples_.size() < 2) return 0.0;
        double seconds = std::chrono::duration<double>(samples_.back().first - samples_.front().first).count();
        if (seconds <= 0.0) return 0.0;
        return static_cast<double>(samples_.back().second - samples_.front().second) / seconds;
    }

    // Hex dump lines of 16 bytes, with the offset in the received data.
    void dump(const unsigned char* p, int n) {
        static const char* hex = "0123456789abcdef";
        for (int i = 0; i < n; ++i) {
            if (dumpFill_ == 0) dumpAt_ = status_.received + static_cast<std::uint64_t>(i);
            dumpLine_[dumpFill_++] = p[i];
            if (dumpFill_ < 16 && i + 1 < n) continue;
            char off[24];
            std::snprintf(off, sizeof off, "%08llx  ", static_cast<unsigned long long>(dumpAt_));
            std::string line = off, text;
            for (int k = 0; k < 16; ++k) {
                if (k < dumpFill_) {
                    line += hex[dumpLine_[k] >> 4];
                    line += hex[dumpLine_[k] & 15];
                    line += ' ';
                    text += dumpLine_[k] >= 0x20 && dumpLine_[k] < 0x7f ? static_cast<char>(dumpLine_[k]) : '.';
                } else {
                    line += "   ";
                }
                if (k == 7) line += ' ';
            }
            clearLine();
            std::cout << line << " |" << text << "|\n";
            dumpFill_ = 0;
        }
        std::cout.flush();
    }

    void note(const std::string& text) {
        clearLine();
        std::cerr << "velkcom monitor: " << where_ << ": " << text << "\n";
    }

    // The status line, written over the last one and cut to the terminal's width.
    void showInPlace(std::string text) {
        std::size_t room = columns_ > 1 ? static_cast<std::size_t>(columns_ - 1) : 79;
        if (text.size() > room) {  // narrow: the groups one space apart
            for (std::size_t at; (at = text.find("  ")) != std::string::npos;) text.erase(at, 1);
        }
        if (text.size() > room) text.resize(room);
        std::string pad = shownWidth_ > text.size() ? std::string(shownWidth_ - text.size(), ' ') : "";
        std::cout << "\r" << text << pad << std::flush;
        shownWidth_ = text.size();
    }

    // Takes the status line off the screen before other output.
    void clearLine() {
        if (columns_ > 0 && shownWidth_ > 0) {
            std::cout << "\r" << std::string(shownWidth_, ' ') << "\r" << std::flush;
            shownWidth_ = 0;
        }
    }

    int finish(int status) {
        if (breakOn_) SioBrkSig(port_, SIO_BREAK_CANCEL);
        breakOn_ = false;
        if (columns_ > 0 && shownWidth_ > 0) std::cout << "\n" << std::flush;
        shownWidth_ = 0;
        return status;
    }

    int port_;
    std::string where_;
    bool keys_;
    int columns_;
    long long count_;
    bool hex_;
    Clock::time_point start_;
    Status status_, shown_;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;
    long long lines_ = 0;
    bool breakOn_ = false;
    Clock::time_point breakSince_;
    std::size_t shownWidth_ = 0;
    unsigned char dumpLine_[16] = {0};
    int dumpFill_ = 0;
    std::uint64_t dumpAt_ = 0;
};

}  // namespace

int cmdMonitor(const std::vector<std::string>& args) {
    std::vector<OptionDef> defs = {{"port", true}, {"baud", true}, {"parms", true}, {"count", true}, {"hex", false}};
    if (deviceOptionSupported()) defs.push_back({"device", true});
    Options opts;
    const int parsed = parseCommandLine("monitor", args, defs, kMonitorUsage, opts);
    if (parsed >= 0) return parsed;
    long long v = 0;
    int port = 0;
    if (opts.has("port")) {
        if (!parseInt(opts.value("port"), 0, SIO_PORT_COUNT - 1, v)) {
            return usageError("monitor", "--port must be 0 to 8, not '" + opts.value("port") + "'", kMonitorUsage);
        }
        port = static_cast<int>(v);
    } else if (!opts.has("device")) {
        return usageError("monitor", deviceOptionSupported() ? "--port or --device is needed" : "--port is needed",
                          kMonitorUsage);
    }
    long long baud = -1;
    if (opts.has("baud") && !parseInt(opts.value("baud"), 0, 0x7FFFFFFF, baud)) {
        return usageError("monitor", "--baud must be a rate such as 9600, or a code 0 to 9, not '" +
                                         opts.value("baud") + "'", kMonitorUsage);
    }
    LineFormat format;
    if (opts.has("parms") && !parseLineFormat(opts.value("parms"), format)) {
        return usageError("monitor", "--parms must be data bits 5-8, parity N/O/E/M/S and stop bits 1/1.5/2 "
                                     "(e.g. 8N1), not '" + opts.value("parms") + "'", kMonitorUsage);
    }
    long long count = 0;
    if (opts.has("count") && !parseInt(opts.value("count"), 1, 1000000000, count)) {
        return usageError("monitor", "--count must be 1 or more, not '" + opts.value("count") + "'", kMonitorUsage);
    }
    std::string device = opts.has("device") ? opts.value("device") : "";
    if (opts.has("device") && device.empty()) return usageError("monitor", "--device needs a path", kMonitorUsage);
    std::string where;
    int rc = openPortForCommand(port, device, where);
    if (rc != 0) return rc;
    if (baud >= 0 && (rc = SioBaud(port, static_cast<int>(baud))) != 1) {
        reportFailure(std::cerr, where, "SioBaud(" + std::to_string(baud) + ")", describeResult(rc));
        SioDone(port);
        return kExitFailed;
    }
    if (opts.has("parms") && (rc = SioParms(port, format.parity, format.stopBits, format.dataBits)) != 0) {
        reportFailure(std::cerr, where, "SioParms", describeResult(rc));
        SioDone(port);
        return kExitFailed;
    }

    // The open raised DTR and RTS; raising them again records it, so that
    // reading them back (the status line, the d and r keys) tells the truth.
    SioDTR(port, SIO_LINE_SET);
    SioRTS(port, SIO_LINE_SET);

    bool keys = consoleOpen();
    int columns = consoleColumns();
    if (columns > 0 || keys) {
        std::cerr << "velkcom monitor: " << where << " at " << (baud >= 0 ? opts.value("baud") : "19200") << " baud"
                  << (keys ? "; keys: d DTR, r RTS, b break, q quit" : "") << "\n";
    }
    Monitor monitor(port, where, keys, columns, count, opts.has("hex"));
    int status = monitor.run();
    consoleRestore();
    int done = SioDone(port);
    if (done != 1) {
        reportFailure(std::cerr, where, "SioDone", describeResult(done));
        return kExitFailed;
    }
    return status;
}

}  // namespace velkcom
