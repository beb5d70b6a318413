// The self-test's reporting, port helpers and data checks: the echoes at
// each rate, every byte value, a 64 KiB block, push-back and the queue
// counts (see selftest_checks.h).
#include "selftest_checks.h"

#include <cstdio>

#include "cli.h"
#include "platform/platform.h"

namespace velkcom {
namespace selftest {

namespace {

constexpr int kBlockSize = 64 * 1024;
constexpr int kBlockChunk = 1024;
constexpr int kCodeRates[10] = {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

}  // namespace

void Checks::heading(const std::string& label) {
    int version = SioInfo(SIO_INFO_VERSION);
    out_ << "velkcom selftest on " << comName(port_);
    if (!label.empty() && label != comName(port_)) out_ << " (" << label << ")";
    out_ << ", velk32 " << (version >> 4) << "." << (version & 15) << "\n\n";
    row("check", "result", "seen");
    row(std::string(26, '-'), "------", std::string(50, '-'));
    unansweredSeen_ = unansweredRequests(port_);
}

void Checks::runAll() {
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

long long Checks::elapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

bool Checks::waitUntil(const std::function<bool()>& cond, int ms) {
    Clock::time_point start = Clock::now();
    for (;;) {
        if (cond()) return true;
        if (elapsedMs(start) >= ms) return cond();
        sleepMs(1);
    }
}

std::string Checks::hex(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

std::string Checks::flagNames(int flags) {
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

void Checks::row(const std::string& check, const std::string& result, const std::string& seen) {
    std::string line = check;
    line.resize(28, ' ');
    std::string r = result;
    r.resize(8, ' ');
    out_ << line << r << seen << "\n";
    out_.flush();
}

void Checks::report(const std::string& check, Verdict v, std::string seen) {
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

std::string Checks::callFailed(const std::string& call, int rc) {
    return call + " gave " + describeResult(rc);
}

int Checks::lineTimeMs(int n) const {
    long long ms = static_cast<long long>(n) * 10 * 1000 / (baud_ > 0 ? baud_ : 1);
    return static_cast<int>(ms) + cfg_.slackMs;
}

void Checks::drain() {
    SioRxClear(port_);
    SioStatus(port_, SIO_CE_ALL);
}

bool Checks::setRate(int rate, long long baud) {
    int rc = SioBaud(port_, rate);
    if (rc == 1) baud_ = baud;
    return rc == 1;
}

bool Checks::send(const Bytes& data, std::string& why) {
    int rc = SioPuts(port_, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()));
    if (rc == static_cast<int>(data.size())) return true;
    why = rc < 0 ? callFailed("SioPuts", rc)
                 : "SioPuts took " + std::to_string(rc) + " of " + std::to_string(data.size()) + " bytes";
    return false;
}

bool Checks::receive(Bytes& into, std::size_t n, int idleMs, std::string& why) {
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

std::string Checks::difference(const Bytes& sent, const Bytes& got) {
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

Verdict Checks::echo(const Bytes& data, std::string& seen) {
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

Bytes Checks::pattern(std::size_t n, unsigned seed) {
    Bytes data(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = static_cast<std::uint8_t>(x >> 24);
    }
    return data;
}

void Checks::echoAtCode(int code) {
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

void Checks::echoAtLiteral() {
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

void Checks::allByteValues() {
    Bytes data(256);
    for (int i = 0; i < 256; ++i) data[i] = static_cast<std::uint8_t>(i);
    std::string seen;
    Verdict v = echo(data, seen);
    if (v == Verdict::Pass) seen = "0x00 to 0xFF back intact, in order";
    report("all 256 byte values", v, seen);
}

void Checks::block64k() {
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

void Checks::pushBack() {
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

void Checks::queueCounts() {
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

}  // namespace selftest
}  // namespace velkcom
