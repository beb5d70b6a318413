// The checks of the loopback-plug self-test, behind `velkcom selftest`
// (selftest.cpp opens the port and runs them): the reporting, the port
// helpers and the data checks are in selftest_checks.cpp, the modem-line,
// break and flow-control checks in selftest_lines.cpp. Each check drains the
// port, does its exchange with bounded waits (the bytes' time on the line at
// the current rate plus a slack), and reports what it saw. Checks that need
// modem lines or a break are SKIPped, never PASSed, when the device refuses
// the line calls (success flag 0), as a pty does. On a socket:// port (raw
// TCP, known by its --device address) DTR, RTS and break are accepted and do
// nothing, CTS, DSR and DCD always read on, and XON/XOFF is the server's own
// port setting: those checks are SKIPped there too. Flow-control checks never
// hand the library a write that a held-off transmitter could keep forever:
// under hardware flow control bytes go one at a time and only while CTS is
// on, and under software flow control no XOFF byte is ever sent. A check
// during which a network port's server left a request unanswered is SKIPped
// ("the server did not answer") rather than FAILed.
#ifndef VELKCOM_SELFTEST_CHECKS_H
#define VELKCOM_SELFTEST_CHECKS_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "selftest.h"
#include "velk32.h"

namespace velkcom {
namespace selftest {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

enum class Verdict { Pass, Fail, Skip };

// One run of the checks on an open port, printing one table row per check.
class Checks {
public:
    Checks(const SelftestConfig& config, std::ostream& out)
        : cfg_(config), port_(config.port), out_(out), rawTcp_(config.deviceLabel.rfind("socket://", 0) == 0) {}

    // The table's heading: the port, the device label and the library's version.
    void heading(const std::string& label);
    void runAll();

    int passed() const { return passed_; }
    int failed() const { return failed_; }
    int skipped() const { return skipped_; }

private:
    // ---- Reporting (selftest_checks.cpp) --------------------------------
    void row(const std::string& check, const std::string& result, const std::string& seen);
    void report(const std::string& check, Verdict v, std::string seen);
    // "SioPuts gave SIO_WIN_ERROR, error 5 (...)".
    static std::string callFailed(const std::string& call, int rc);
    // "0x1F".
    static std::string hex(unsigned v);
    // "CE_RXOVER|CE_BREAK".
    static std::string flagNames(int flags);

    // ---- Port helpers (selftest_checks.cpp) -----------------------------
    static long long elapsedMs(Clock::time_point since);
    // Polls cond until it holds or ms have passed; returns its last value.
    static bool waitUntil(const std::function<bool()>& cond, int ms);
    // Milliseconds a read of n bytes may take at the current rate.
    int lineTimeMs(int n) const;
    // Empties the receive queue and the pending line errors.
    void drain();
    bool setRate(int rate, long long baud);
    bool send(const Bytes& data, std::string& why);
    // Reads until n bytes have come or nothing has come for idleMs. Returns
    // the bytes read, or false with why on a failed read.
    bool receive(Bytes& into, std::size_t n, int idleMs, std::string& why);
    // Compares what came back with what was sent; empty when equal.
    static std::string difference(const Bytes& sent, const Bytes& got);
    // Sends data and expects exactly it back, with no line error. Returns
    // the verdict and says what was seen.
    Verdict echo(const Bytes& data, std::string& seen);
    static Bytes pattern(std::size_t n, unsigned seed);

    // ---- Data checks (selftest_checks.cpp) ------------------------------
    void echoAtCode(int code);
    void echoAtLiteral();
    void allByteValues();
    void block64k();
    void pushBack();
    void queueCounts();

    // ---- Modem lines, break, flow control (selftest_lines.cpp) ----------
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
                        const std::vector<Input>& inputs, int readBack);
    // Appended to a failed modem-line row when the port's driver serves USB
    // CDC devices (which do not loop their lines): why, and --data-only.
    std::string modemHint() const;
    void rtsToCts();
    void dtrToDsrDcd();
    // In internal loopback the chip's OUT1 output drives RI.
    void out1ToRi();
    // Sends a break and collects the line errors reported for up to the
    // slack. Returns the flags seen, or -1 when the device refused the break
    // (why says how).
    int sendBreak(std::string& why);
    void breakSeen();
    void statusCleared();
    void flowNone();
    void flowHardware();
    // Under hardware flow control on a loopback plug the receiver's RTS is the
    // sender's CTS: fills the receive queue one byte at a time, only while CTS
    // is on, until the receiver drops RTS; then reads everything and expects
    // CTS back. Returns empty on success (heldSeen_ says what was seen).
    std::string checkHoldOff();
    void flowSoftware();

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

}  // namespace selftest
}  // namespace velkcom

#endif  // VELKCOM_SELFTEST_CHECKS_H
