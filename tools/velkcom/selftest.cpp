// `velkcom selftest`: its options and usage, and the loopback-plug self-test
// itself (see selftest.h). Each check drains the port,
// does its exchange with bounded waits (the bytes' time on the line at the
// current rate plus a slack), and reports what it saw. Checks that need modem
// lines or a break are SKIPped, never PASSed, when the device refuses the
// line calls (success flag 0), as a pty does. On a socket:// port (raw TCP,
// known by its --device address) DTR, RTS and break are accepted and do
// nothing, CTS, DSR and DCD always read on, and XON/XOFF is the server's own
// port setting: those checks are SKIPped there too. Flow-control checks never
// hand the library a write that a held-off transmitter could keep forever:
// under hardware flow control bytes go one at a time and only while CTS is
// on, and under software flow control no XOFF byte is ever sent. A check
// during which a network port's server left a request unanswered is SKIPped
// ("the server did not answer") rather than FAILed.
#include "selftest.h"

#include <chrono>
#include <iostream>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "platform/platform.h"
#include "velk32.h"

namespace velkcom {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr int kInQueue = 4096;
constexpr int kOutQueue = 4096;
constexpr int kBlockSize = 64 * 1024;
constexpr int kBlockChunk = 1024;
constexpr int kHoldOffLimit = 16384;  // bytes sent at most while waiting for CTS to drop
constexpr int kCodeRates[10] = {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

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

enum class Verdict { Pass, Fail, Skip };

long long elapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Polls cond until it holds or ms have passed; returns its last value.
bool waitUntil(const std::function<bool()>& cond, int ms) {
    Clock::time_point start = Clock::now();
    for (;;) {
        if (cond()) return true;
        if (elapsedMs(start) >= ms) return cond();
        sleepMs(1);
    }
}

std::string hex(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

std::string flagNames(int flags) {
    static const struct {
        int bit;
        const char* name;
    } names[] = {{SIO_CE_RXOVER, "CE_RXOVER"}, {SIO_CE_OVERRUN, "CE_OVERRUN"},
                 {SIO_CE_RXPARITY, "CE_RXPARITY"}, {SIO_CE_FRAME, "CE_FRAME"},
                 {SIO_CE_BREAK, "CE_BREAK"}, {SIO_CE_TXFULL, "CE_TXFULL"}};
    std::string text;
    for (const auto& n : names) {
        if (flags & n.bit) text += (text.empty() ? "" : "|") + std::string(n.name);
    }
    int rest = flags & ~(SIO_CE_RXOVER | SIO_CE_OVERRUN | SIO_CE_RXPARITY | SIO_CE_FRAME |
                         SIO_CE_BREAK | SIO_CE_TXFULL);
    if (rest != 0) text += (text.empty() ? "" : "|") + hex(static_cast<unsigned>(rest));
    return text;
}

class Selftest {
public:
    Selftest(const SelftestConfig& config, std::ostream& out)
        : cfg_(config), port_(config.port), out_(out), rawTcp_(config.deviceLabel.rfind("socket://", 0) == 0) {}

    void runAll() {
        for (int code = 0; code < 10; ++code) echoAtCode(code);
        echoAtLiteral();
        setRate(SIO_BAUD115200, kCodeRates[9]);
        allByteValues();
        block64k();
        pushBack();
        queueCounts();
        rtsToCts();
        dtrToDsrDcd();
        if (cfg_.internalLoopback) out1ToRi();
        breakSeen();
        statusCleared();
        flowNone();
        flowHardware();
        flowSoftware();
    }

    void heading(const std::string& label) {
        int version = SioInfo(SIO_INFO_VERSION);
        out_ << "velkcom selftest on " << comName(port_);
        if (!label.empty() && label != comName(port_)) out_ << " (" << label << ")";
        out_ << ", velk32 " << (version >> 4) << "." << (version & 15) << "\n\n";
        row("check", "result", "seen");
        row(std::string(26, '-'), "------", std::string(50, '-'));
        unansweredSeen_ = unansweredRequests(port_);
    }

    int passed() const { return passed_; }
    int failed() const { return failed_; }
    int skipped() const { return skipped_; }

private:
    // ---- Reporting -----------------------------------------------------

    void row(const std::string& check, const std::string& result, const std::string& seen) {
        std::string line = check;
        line.resize(28, ' ');
        std::string r = result;
        r.resize(8, ' ');
        out_ << line << r << seen << "\n";
        out_.flush();
    }

    void report(const std::string& check, Verdict v, std::string seen) {
        // A network server that left a request of this check unanswered
        // cannot have shown it working or failing: not a failure seen.
        const int unanswered = unansweredRequests(port_);
        if (v == Verdict::Fail && unanswered > unansweredSeen_) {
            v = Verdict::Skip;
            seen = "the server did not answer (" + seen + ")";
        }
        unansweredSeen_ = unanswered;
        const char* word = "PASS";
        if (v == Verdict::Pass) ++passed_;
        if (v == Verdict::Fail) { ++failed_; word = "FAIL"; }
        if (v == Verdict::Skip) { ++skipped_; word = "SKIP"; }
        row(check, word, seen);
    }

    // "SioPuts gave SIO_WIN_ERROR, error 5 (...)".
    static std::string callFailed(const std::string& call, int rc) {
        return call + " gave " + describeResult(rc);
    }

    // ---- Port helpers --------------------------------------------------

    // Milliseconds a read of n bytes may take at the current rate.
    int lineTimeMs(int n) const {
        long long ms = static_cast<long long>(n) * 10 * 1000 / (baud_ > 0 ? baud_ : 1);
        return static_cast<int>(ms) + cfg_.slackMs;
    }

    // Empties the receive queue and the pending line errors.
    void drain() {
        SioRxClear(port_);
        SioStatus(port_, SIO_CE_ALL);
    }

    bool setRate(int rate, long long baud) {
        int rc = SioBaud(port_, rate);
        if (rc == 1) baud_ = baud;
        return rc == 1;
    }

    bool send(const Bytes& data, std::string& why) {
        int rc = SioPuts(port_, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()));
        if (rc == static_cast<int>(data.size())) return true;
        why = rc < 0 ? callFailed("SioPuts", rc)
                     : "SioPuts took " + std::to_string(rc) + " of " + std::to_string(data.size()) + " bytes";
        return false;
    }

    // Reads until n bytes have come or nothing has come for idleMs. Returns
    // the bytes read, or false with why on a failed read.
    bool receive(Bytes& into, std::size_t n, int idleMs, std::string& why) {
        into.clear();
        std::vector<char> buf(n > 0 ? n : 1);
        Clock::time_point lastProgress = Clock::now();
        while (into.size() < n) {
            int rc = SioGets(port_, buf.data(), static_cast<int>(n - into.size()));
            if (rc < 0) {
                why = callFailed("SioGets", rc);
                return false;
            }
            if (rc > 0) {
                into.insert(into.end(), buf.begin(), buf.begin() + rc);
                lastProgress = Clock::now();
            } else if (elapsedMs(lastProgress) >= idleMs) {
                break;
            } else {
                sleepMs(1);
            }
        }
        return true;
    }

    // Compares what came back with what was sent; empty when equal.
    static std::string difference(const Bytes& sent, const Bytes& got) {
        std::size_t n = sent.size() < got.size() ? sent.size() : got.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (sent[i] != got[i]) {
                return "byte " + std::to_string(i) + ": sent " + hex(sent[i]) + ", got " + hex(got[i]);
            }
        }
        if (got.size() != sent.size()) {
            return "sent " + std::to_string(sent.size()) + " bytes, got " + std::to_string(got.size());
        }
        return "";
    }

    // Sends data and expects exactly it back, with no line error. Returns
    // the verdict and says what was seen.
    Verdict echo(const Bytes& data, std::string& seen) {
        drain();
        if (!send(data, seen)) return Verdict::Fail;
        Bytes got;
        if (!receive(got, data.size(), lineTimeMs(static_cast<int>(data.size())), seen)) return Verdict::Fail;
        std::string diff = difference(data, got);
        if (!diff.empty()) {
            seen = diff;
            return Verdict::Fail;
        }
        char extra;
        int more = SioGets(port_, &extra, 1);
        if (more != 0) {
            seen = more > 0 ? "more bytes came back than were sent" : callFailed("SioGets", more);
            return Verdict::Fail;
        }
        int errors = SioStatus(port_, SIO_CE_ALL);
        if (errors != 0) {
            seen = "data intact but SioStatus reports " + flagNames(errors);
            return Verdict::Fail;
        }
        seen = std::to_string(data.size()) + " bytes back intact";
        return Verdict::Pass;
    }

    static Bytes pattern(std::size_t n, unsigned seed) {
        Bytes data(n);
        std::uint32_t x = seed * 2654435761u + 1;
        for (std::size_t i = 0; i < n; ++i) {
            x = x * 1664525u + 1013904223u;
            data[i] = static_cast<std::uint8_t>(x >> 24);
        }
        return data;
    }

    // ---- Checks --------------------------------------------------------

    void echoAtCode(int code) {
        std::string name = "echo at " + std::to_string(kCodeRates[code]) + " baud";
        int rc = SioBaud(port_, code);
        if (rc != 1) {
            report(name, Verdict::Fail, callFailed("SioBaud(" + std::to_string(code) + ")", rc));
            return;
        }
        baud_ = kCodeRates[code];
        std::string seen;
        Verdict v = echo(pattern(kCodeRates[code] <= 300 ? 4 : 16, static_cast<unsigned>(code)), seen);
        report(name, v, seen + " (code " + std::to_string(code) + ")");
    }

    void echoAtLiteral() {
        std::string name = "echo at " + std::to_string(cfg_.literalRate) + " baud";
        int rc = SioBaud(port_, static_cast<int>(cfg_.literalRate));
        if (rc != 1) {
            report(name, Verdict::Fail, callFailed("SioBaud(" + std::to_string(cfg_.literalRate) + ")", rc));
            return;
        }
        baud_ = cfg_.literalRate;
        std::string seen;
        Verdict v = echo(pattern(16, 99), seen);
        report(name, v, seen + " (literal rate)");
    }

    void allByteValues() {
        Bytes data(256);
        for (int i = 0; i < 256; ++i) data[i] = static_cast<std::uint8_t>(i);
        std::string seen;
        Verdict v = echo(data, seen);
        if (v == Verdict::Pass) seen = "0x00 to 0xFF back intact, in order";
        report("all 256 byte values", v, seen);
    }

    void block64k() {
        const std::string name = "64 KiB block";
        drain();
        Bytes data = pattern(kBlockSize, 64);
        Clock::time_point start = Clock::now();
        std::string seen;
        for (int off = 0; off < kBlockSize; off += kBlockChunk) {
            Bytes chunk(data.begin() + off, data.begin() + off + kBlockChunk);
            Bytes got;
            if (!send(chunk, seen) || !receive(got, chunk.size(), lineTimeMs(kBlockChunk), seen)) {
                report(name, Verdict::Fail, seen + " at offset " + std::to_string(off));
                return;
            }
            std::string diff = difference(chunk, got);
            if (!diff.empty()) {
                report(name, Verdict::Fail, "at offset " + std::to_string(off) + ": " + diff);
                return;
            }
        }
        double secs = std::chrono::duration<double>(Clock::now() - start).count();
        int errors = SioStatus(port_, SIO_CE_ALL);
        if (errors != 0) {
            report(name, Verdict::Fail, "data intact but SioStatus reports " + flagNames(errors));
            return;
        }
        char rate[64];
        if (secs > 0) {
            std::snprintf(rate, sizeof rate, ", %.0f KiB/s", kBlockSize / 1024.0 / secs);
        } else {
            std::snprintf(rate, sizeof rate, ", too fast to time");
        }
        report(name, Verdict::Pass, "65536 bytes intact in 1 KiB chunks at " + std::to_string(baud_) +
                                        " baud" + rate);
    }

    void pushBack() {
        const std::string name = "push-back";
        drain();
        int rc = SioUnGetc(port_, 'Z');
        if (rc != 0) return report(name, Verdict::Fail, callFailed("SioUnGetc", rc));
        if ((rc = SioPutc(port_, 'a')) != 0) return report(name, Verdict::Fail, callFailed("SioPutc", rc));
        int queued = 0;
        waitUntil([&] { return (queued = SioRxQue(port_)) >= 1; }, lineTimeMs(1));
        if (queued != 1) {
            return report(name, Verdict::Fail, "SioRxQue gave " + std::to_string(queued) +
                                                   " with 'a' waiting and 'Z' pushed back (want 1)");
        }
        int g1 = SioGetc(port_), g2 = SioGetc(port_), g3 = SioGetc(port_);
        if (g1 != 'Z' || g2 != 'a' || g3 != SIO_NO_DATA) {
            return report(name, Verdict::Fail, "SioGetc gave " + std::to_string(g1) + ", " + std::to_string(g2) +
                                                   ", " + std::to_string(g3) + " (want 90, 97, -100)");
        }
        // A pushed-back byte comes alone from SioGets, ahead of what waits.
        SioUnGetc(port_, 'Y');
        SioPutc(port_, 'b');
        waitUntil([&] { return SioRxQue(port_) >= 1; }, lineTimeMs(1));
        char buf[8] = {0};
        int n1 = SioGets(port_, buf, 8);
        char c1 = buf[0];
        int n2 = SioGets(port_, buf, 8);
        if (n1 != 1 || c1 != 'Y' || n2 != 1 || buf[0] != 'b') {
            return report(name, Verdict::Fail, "SioGets after SioUnGetc('Y') gave " + std::to_string(n1) +
                                                   " byte(s) then " + std::to_string(n2) + " (want Y alone, then b)");
        }
        report(name, Verdict::Pass, "Z before a, not counted by SioRxQue; SioGets gave Y alone");
    }

    void queueCounts() {
        const std::string name = "queue counts";
        drain();
        std::string seen;
        if (!send(pattern(100, 7), seen)) return report(name, Verdict::Fail, seen);
        int rx = 0;
        waitUntil([&] { return (rx = SioRxQue(port_)) >= 100; }, lineTimeMs(100));
        int tx = -1;
        waitUntil([&] { return (tx = SioTxQue(port_)) == 0; }, lineTimeMs(100));
        char buf[40];
        int got = SioGets(port_, buf, 40);
        int rxAfter = SioRxQue(port_);
        int cleared = SioRxClear(port_);
        int rxCleared = SioRxQue(port_);
        int none = SioGetc(port_);
        std::string counts = "rx " + std::to_string(rx) + ", " + std::to_string(rxAfter) + " after reading " +
                             std::to_string(got) + ", " + std::to_string(rxCleared) + " after SioRxClear; tx " +
                             std::to_string(tx);
        bool ok = rx == 100 && tx == 0 && got == 40 && rxAfter == 60 && cleared == 0 && rxCleared == 0 &&
                  none == SIO_NO_DATA;
        report(name, ok ? Verdict::Pass : Verdict::Fail, ok ? counts : counts + " (want 100, 60, 0; tx 0)");
    }

    // Drives an output line and reads the inputs wired to it, in both states.
    // lineCall is SioRTS or SioDTR; inputs are the wired inputs and the
    // value each reads when on.
    struct Input {
        const char* name;
        int(VELK_CALL* read)(int);
        int onValue;
        bool alwaysOn = false;  // on whatever the line does (DCD from OUT2 in internal loopback)
    };
    void outputToInputs(const std::string& name, const char* lineName, int(VELK_CALL* lineCall)(int, int),
                        const std::vector<Input>& inputs, int readBack) {
        if (cfg_.dataOnly) {
            modemRefused_ = true;
            return report(name, Verdict::Skip, "--data-only: the far end returns data, not the modem lines");
        }
        if (rawTcp_) {
            modemRefused_ = true;
            return report(name, Verdict::Skip,
                          std::string("socket:// has no modem lines: Sio") + lineName + " does nothing, " +
                              (lineCall == SioRTS ? "CTS reads" : "DSR and DCD read") + " on");
        }
        std::string states[2];
        bool ok = true;
        for (int on = 0; on <= 1; ++on) {
            char cmd = on ? SIO_LINE_SET : SIO_LINE_CLEAR;
            int rc = lineCall(port_, cmd);
            std::string call = std::string("Sio") + lineName + "('" + cmd + "')";
            if (rc == 0) {
                modemRefused_ = true;
                return report(name, Verdict::Skip, call + " gave success flag 0: the device has no modem lines");
            }
            if (rc != 1) return report(name, Verdict::Fail, callFailed(call, rc));
            std::string& text = states[on];
            text = std::string(lineName) + (on ? " on:" : " off:");
            for (const Input& in : inputs) {
                int want = on || in.alwaysOn ? in.onValue : 0;
                int value = 0;
                waitUntil([&] { return (value = in.read(port_)) == want; }, cfg_.slackMs);
                text += std::string(" ") + in.name + " " + std::to_string(value);
                if (value != want) ok = false;
            }
        }
        int back = lineCall(port_, SIO_LINE_READ);
        std::string seen = states[0] + "; " + states[1];
        if (back != readBack) {
            ok = false;
            seen += "; read back " + std::to_string(back) + " (want " + std::to_string(readBack) + ")";
        }
        if (ok && lineCall == SioRTS) ctsFollowsRts_ = true;
        report(name, ok ? Verdict::Pass : Verdict::Fail, seen);
    }

    void rtsToCts() {
        outputToInputs("RTS -> CTS", "RTS", SioRTS, {{"CTS", SioCTS, SIO_MS_CTS_ON}}, 2);
    }

    void dtrToDsrDcd() {
        if (cfg_.internalLoopback) {
            return outputToInputs("DTR -> DSR, DCD from OUT2", "DTR", SioDTR,
                                  {{"DSR", SioDSR, SIO_MS_DSR_ON}, {"DCD", SioDCD, SIO_MS_RLSD_ON, true}}, 1);
        }
        outputToInputs("DTR -> DSR, DCD", "DTR", SioDTR,
                       {{"DSR", SioDSR, SIO_MS_DSR_ON}, {"DCD", SioDCD, SIO_MS_RLSD_ON}}, 1);
    }

    // In internal loopback the chip's OUT1 output drives RI.
    void out1ToRi() {
        const std::string name = "OUT1 -> RI";
        std::string seen;
        bool ok = true;
        for (int on = 0; on <= 1; ++on) {
            if (!loopbackSetOut1(on != 0)) return report(name, Verdict::Fail, "the driver refused to set OUT1");
            const int want = on ? SIO_MS_RING_ON : 0;
            int value = 0;
            waitUntil([&] { return (value = SioRI(port_)) == want; }, cfg_.slackMs);
            seen += std::string(on ? "; OUT1 on: RI " : "OUT1 off: RI ") + std::to_string(value);
            if (value != want) ok = false;
        }
        loopbackSetOut1(false);
        report(name, ok ? Verdict::Pass : Verdict::Fail, seen);
    }

    // Sends a break and collects the line errors reported for up to the
    // slack. Returns the flags seen, or -1 when the device refused the break
    // (why says how).
    int sendBreak(std::string& why) {
        drain();
        int rc = SioBrkSig(port_, SIO_BREAK_ASSERT);
        if (rc != 1) {
            why = callFailed("SioBrkSig('A')", rc);
            return rc == 0 ? -1 : -2;
        }
        // Hold the break for at least a few characters' time.
        int charMs = static_cast<int>(10 * 1000 / (baud_ > 0 ? baud_ : 1));
        sleepMs(charMs * 4 > 20 ? charMs * 4 : 20);
        rc = SioBrkSig(port_, SIO_BREAK_CANCEL);
        if (rc != 1) {
            why = callFailed("SioBrkSig('C')", rc);
            return -2;
        }
        int seen = 0;
        waitUntil([&] { return ((seen |= SioStatus(port_, SIO_CE_ALL)) & SIO_CE_BREAK) != 0; }, cfg_.slackMs);
        return seen;
    }

    void breakSeen() {
        const std::string name = "break -> CE_BREAK";
        if (rawTcp_) return report(name, Verdict::Skip, "socket:// cannot send a break: SioBrkSig does nothing");
        if (cfg_.dataOnly) return report(name, Verdict::Skip, "--data-only: the far end returns data, not a break");
        std::string why;
        int flags = sendBreak(why);
        SioRxClear(port_);  // a UART may also receive a zero byte with the break
        if (flags == -1) return report(name, Verdict::Skip, why + ": the device cannot send a break");
        if (flags == -2) return report(name, Verdict::Fail, why);
        if (flags & SIO_CE_BREAK) {
            breakWorks_ = true;
            return report(name, Verdict::Pass, "SioStatus gave " + flagNames(flags));
        }
        std::string seen = flags ? "SioStatus gave " + flagNames(flags) + ", no CE_BREAK" : "SioStatus gave 0";
        if (modemRefused_) {
            return report(name, Verdict::Skip, seen + "; the device reports no line status (no modem lines either)");
        }
        if (cfg_.internalLoopback) {
            return report(name, Verdict::Skip,
                          seen + ": not every UART loops a break back internally (QEMU's 16550 does not); "
                                 "check it with a plug");
        }
        report(name, Verdict::Fail, seen + " after a break");
    }

    void statusCleared() {
        const std::string name = "status cleared on read";
        if (!breakWorks_) return report(name, Verdict::Skip, "no line error to read: break not reported");
        drain();
        if (SioBrkSig(port_, SIO_BREAK_ASSERT) != 1) return report(name, Verdict::Fail, "SioBrkSig('A') failed");
        int charMs = static_cast<int>(10 * 1000 / (baud_ > 0 ? baud_ : 1));
        sleepMs(charMs * 4 > 20 ? charMs * 4 : 20);
        SioBrkSig(port_, SIO_BREAK_CANCEL);
        int first = 0;
        waitUntil([&] { return ((first |= SioStatus(port_, SIO_CE_BREAK))) != 0; }, cfg_.slackMs);
        int second = SioStatus(port_, SIO_CE_ALL);
        SioRxClear(port_);
        std::string seen = "SioStatus gave " + (first ? flagNames(first) : std::string("0")) + ", then " +
                           (second ? flagNames(second) : std::string("0"));
        bool ok = first == SIO_CE_BREAK && second == 0;
        report(name, ok ? Verdict::Pass : Verdict::Fail, ok ? seen : seen + " (want CE_BREAK, then 0)");
    }

    void flowNone() {
        const std::string name = "flow control N (none)";
        int rc = SioFlow(port_, SIO_FLOW_NONE);
        if (rc != 0) return report(name, Verdict::Fail, callFailed("SioFlow('N')", rc));
        Bytes data = {'A', 0x11, 'B', 0x13, 'C', 0x00, 0xFF};
        std::string seen;
        Verdict v = echo(data, seen);
        report(name, v, v == Verdict::Pass ? "XON and XOFF bytes pass as data, 7 bytes intact" : seen);
    }

    void flowHardware() {
        const std::string name = "flow control H (RTS/CTS)";
        if (modemRefused_) return report(name, Verdict::Skip, "the device has no modem lines");
        if (!ctsFollowsRts_) return report(name, Verdict::Skip, "not tried: CTS does not follow RTS (see above)");
        drain();
        int rc = SioFlow(port_, SIO_FLOW_HARDWARE);
        if (rc != 0) return report(name, Verdict::Fail, callFailed("SioFlow('H')", rc));
        std::string seen = checkHoldOff();
        SioFlow(port_, SIO_FLOW_NONE);
        SioRTS(port_, SIO_LINE_SET);
        drain();
        report(name, seen.empty() ? Verdict::Pass : Verdict::Fail, seen.empty() ? heldSeen_ : seen);
    }

    // Under hardware flow control on a loopback plug the receiver's RTS is the
    // sender's CTS: fills the receive queue one byte at a time, only while CTS
    // is on, until the receiver drops RTS; then reads everything and expects
    // CTS back. Returns empty on success (heldSeen_ says what was seen).
    std::string checkHoldOff() {
        int cts = 0;
        if (!waitUntil([&] { return (cts = SioCTS(port_)) == SIO_MS_CTS_ON; }, cfg_.slackMs)) {
            return "CTS off under hardware flow control (SioCTS " + std::to_string(cts) + "); no write tried";
        }
        Bytes data = pattern(kHoldOffLimit, 5);
        int sent = 0;
        bool held = false;
        while (sent < kHoldOffLimit) {
            if (SioCTS(port_) == 0) {
                held = true;
                break;
            }
            int rc = SioPutc(port_, data[sent]);
            if (rc != 0) return callFailed("SioPutc", rc) + " after " + std::to_string(sent) + " bytes";
            ++sent;
        }
        if (!held) {
            return "sent " + std::to_string(sent) + " bytes and CTS never dropped: the receiver did not hold the sender off";
        }
        int queued = SioRxQue(port_);
        Bytes got;
        std::string why;
        data.resize(sent);
        if (!receive(got, data.size(), lineTimeMs(sent), why)) return why;
        std::string diff = difference(data, got);
        if (!diff.empty()) return "after the hold-off: " + diff;
        if (!waitUntil([&] { return SioCTS(port_) == SIO_MS_CTS_ON; }, cfg_.slackMs)) {
            return "CTS dropped at " + std::to_string(queued) + " bytes queued but did not come back after reading";
        }
        heldSeen_ = "CTS dropped at " + std::to_string(queued) + " bytes queued, back after reading; " +
                    std::to_string(sent) + " bytes intact";
        return "";
    }

    void flowSoftware() {
        const std::string name = "flow control S (XON/XOFF)";
        if (rawTcp_) {
            return report(name, Verdict::Skip,
                          "socket:// carries data only: XON and XOFF are left to the server's port settings");
        }
        drain();
        // With bytes left in the receive queue the receiver could send XOFF
        // to itself, and a write would then wait forever.
        int left = SioRxQue(port_);
        if (left != 0) {
            return report(name, Verdict::Fail, "the receive queue could not be emptied (" + std::to_string(left) +
                                                   " bytes); not tried, as a write could wait forever");
        }
        int rc = SioFlow(port_, SIO_FLOW_SOFTWARE);
        if (rc != 0) return report(name, Verdict::Fail, callFailed("SioFlow('S')", rc));
        // A received XON releases the transmitter and is not data; an XOFF is
        // never sent here, as nothing on a loopback plug could release it.
        std::string seen;
        Bytes got;
        Verdict v = Verdict::Pass;
        if (!send({'A', 0x11, 'B'}, seen) || !receive(got, 3, lineTimeMs(3), seen)) {
            v = Verdict::Fail;
        } else if (got != Bytes{'A', 'B'}) {
            v = Verdict::Fail;
            seen = "sent A XON B, got " + std::to_string(got.size()) + " bytes (want A B: XON taken as flow control)";
        } else {
            Bytes data = pattern(512, 11);
            for (auto& b : data) {
                if (b == 0x11 || b == 0x13) b = 0x55;
            }
            v = echo(data, seen);
            if (v == Verdict::Pass) seen = "XON taken as flow control, not data; 512 bytes intact";
        }
        SioFlow(port_, SIO_FLOW_NONE);
        SioRTS(port_, SIO_LINE_SET);
        drain();
        report(name, v, seen);
    }

    const SelftestConfig& cfg_;
    int port_;
    std::ostream& out_;
    const bool rawTcp_;  // a socket:// port: no modem lines, no break, no XON/XOFF of ours
    long long baud_ = 19200;
    bool modemRefused_ = false;   // a modem-line call gave success flag 0
    bool ctsFollowsRts_ = false;  // the RTS -> CTS check passed
    bool breakWorks_ = false;
    std::string heldSeen_;
    int passed_ = 0, failed_ = 0, skipped_ = 0;
    int unansweredSeen_ = 0;  // the port's unanswered requests when the last check ended
};

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
    Selftest test(config, out);
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
