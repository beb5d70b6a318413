// The self-test's checks of the modem lines, break and flow control (see
// selftest_checks.h): RTS to CTS, DTR to DSR and DCD, OUT1 to RI in internal
// loopback, a break seen as CE_BREAK and cleared once read, and each flow
// control mode, without a write that a held-off transmitter could keep.
#include "selftest_checks.h"

#include "cli.h"
#include "platform/platform.h"

namespace velkcom {
namespace selftest {

namespace {

constexpr int kHoldOffLimit = 16384;  // bytes sent at most while waiting for CTS to drop

// The drivers of USB CDC-ACM devices (Arduino boards, the Raspberry Pi Pico,
// "virtual COM ports"): Linux's cdc_acm and Windows' usbser (a service name,
// in whatever case SetupAPI gives it).
bool usbCdcDriver(const std::string& driver) {
    if (driver == "cdc_acm") return true;
    std::string lower = driver;
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower == "usbser";
}

}  // namespace

std::string Checks::modemHint() const {
    if (!usbCdcDriver(cfg_.driver)) return "";
    return "; " + cfg_.driver +
           " drives USB CDC devices, and CDC devices do not loop their lines back: check the data with --data-only";
}

void Checks::outputToInputs(const std::string& name, const char* lineName, int(VELK_CALL* lineCall)(int, int),
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
        if (rc != 1) return report(name, Verdict::Fail, callFailed(call, rc) + modemHint());
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
    report(name, ok ? Verdict::Pass : Verdict::Fail, ok ? seen : seen + modemHint());
}

void Checks::rtsToCts() {
    outputToInputs("RTS -> CTS", "RTS", SioRTS, {{"CTS", SioCTS, SIO_MS_CTS_ON}}, 2);
}

void Checks::dtrToDsrDcd() {
    if (cfg_.internalLoopback) {
        return outputToInputs("DTR -> DSR, DCD from OUT2", "DTR", SioDTR,
                              {{"DSR", SioDSR, SIO_MS_DSR_ON}, {"DCD", SioDCD, SIO_MS_RLSD_ON, true}}, 1);
    }
    outputToInputs("DTR -> DSR, DCD", "DTR", SioDTR,
                   {{"DSR", SioDSR, SIO_MS_DSR_ON}, {"DCD", SioDCD, SIO_MS_RLSD_ON}}, 1);
}

void Checks::out1ToRi() {
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

int Checks::sendBreak(std::string& why) {
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

void Checks::breakSeen() {
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

void Checks::statusCleared() {
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

void Checks::flowNone() {
    const std::string name = "flow control N (none)";
    int rc = SioFlow(port_, SIO_FLOW_NONE);
    if (rc != 0) return report(name, Verdict::Fail, callFailed("SioFlow('N')", rc));
    Bytes data = {'A', 0x11, 'B', 0x13, 'C', 0x00, 0xFF};
    std::string seen;
    Verdict v = echo(data, seen);
    report(name, v, v == Verdict::Pass ? "XON and XOFF bytes pass as data, 7 bytes intact" : seen);
}

void Checks::flowHardware() {
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

std::string Checks::checkHoldOff() {
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

void Checks::flowSoftware() {
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

}  // namespace selftest
}  // namespace velkcom
