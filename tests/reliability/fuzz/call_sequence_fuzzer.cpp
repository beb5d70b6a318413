// The call-sequence fuzzer: libFuzzer's input is read as a program of calls
// to all 25 exported functions, with ports, commands, lengths and buffers
// drawn from it, run on the simulated device with ports 0 and 1 as a
// null-modem pair, 2 and 8 on loopback plugs, 3 present with nothing attached
// and the rest absent. Between the calls the program may also put bytes on a
// port's line from outside, set its modem inputs or raise line errors.
//
// A model of what the caller can know follows every call: which slots are
// open, the pushed-back byte and the line requests of each, SioWinError, and
// for each receiving port the bytes that must be waiting there, in order.
// After every call the result must be one the function may return in that
// state, and the open slots, the devices held and the bytes waiting must
// agree with the model. Bytes sent from one end arrive intact and in order at
// the other unless its receive queue overflowed, and then the next SioStatus
// that asks for it reports CE_RXOVER (and only then).
//
// Writes under flow control wait for the peer by contract, and this runs in
// one thread: a write that could be held off now, or during the write by the
// receiver's own flow control, is not made.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "device/testing/sim_device.h"
#include "port/port_table.h"
#include "support/library_state.h"
#include "velk32.h"

namespace {

using namespace velk;

constexpr int kPorts = SIO_PORT_COUNT;

// What the harness knows of each port.
struct PortModel {
    bool open = false;
    std::uint8_t pushedBack = 0;
    std::uint8_t lineBits = 0;
    // The bytes waiting in the device's receive queue; exact while tracked.
    std::deque<std::uint8_t> waiting;
    bool tracked = true;
    // The queue overflowed since the last status query (CE_RXOVER pending);
    // exact while overflowKnown.
    bool overflowPending = false;
    bool overflowKnown = true;
};

struct Harness {
    SimDevice sim;
    PortModel port[kPorts];
    DWORD lastErr = 0;
    int step = 0;
    std::string call;  // the call being checked, for the report

    [[noreturn]] void fail(const char* fmt, long a = 0, long b = 0) {
        std::fprintf(stderr, "\ncall-sequence fuzzer: step %d, %s: ", step, call.c_str());
        std::fprintf(stderr, fmt, a, b);
        std::fprintf(stderr, "\n");
        std::abort();
    }
    void check(bool ok, const char* fmt, long a = 0, long b = 0) {
        if (!ok) fail(fmt, a, b);
    }

    static bool inRange(int p) { return p >= 0 && p < kPorts; }

    // Where a port's transmitted bytes go: its null-modem peer, itself on a
    // loopback plug, or nowhere.
    int receiverOf(int p) const {
        switch (sim.snapshot(p).wiring) {
        case SimDevice::Wiring::Loopback: return p;
        case SimDevice::Wiring::NullModem: return p == 0 ? 1 : p == 1 ? 0 : -1;
        default: return -1;
        }
    }

    void forget(int p) {  // the receive queue's content is no longer known exactly
        port[p].tracked = false;
        port[p].waiting.clear();
    }

    void emptied(int p) {  // the device's queue is empty and its errors cleared
        port[p].waiting.clear();
        port[p].tracked = true;
        port[p].overflowPending = false;
        port[p].overflowKnown = true;
    }

    void statusQueried(int p) {
        port[p].overflowPending = false;
        port[p].overflowKnown = true;
    }

    // Bytes arriving at r's UART: masked to the sender's data bits, XON/XOFF
    // taken out under software flow control, dropped with CE_RXOVER past the
    // queue size.
    void arrive(int r, const std::uint8_t* data, std::size_t n, unsigned mask, bool mismatch) {
        if (!port[r].open) return;
        const DCB dr = sim.snapshot(r).dcb;
        const std::size_t queue = sim.snapshot(r).queueSize;
        std::size_t count = sim.snapshot(r).rxCount;
        if (port[r].tracked) check(count == port[r].waiting.size(), "model expects %ld bytes waiting, device has %ld",
                                   static_cast<long>(port[r].waiting.size()), static_cast<long>(count));
        if (mismatch) forget(r);  // framing errors: the bytes are garbage by design
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t b = static_cast<std::uint8_t>(data[i] & mask);
            if (dr.fOutX && !mismatch &&
                (b == static_cast<std::uint8_t>(dr.XoffChar) || b == static_cast<std::uint8_t>(dr.XonChar))) {
                continue;
            }
            if (count >= queue) {
                port[r].overflowPending = true;
                continue;
            }
            ++count;
            if (port[r].tracked) port[r].waiting.push_back(b);
        }
    }

    static bool sameFormat(const DCB& a, const DCB& b) {
        return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
               a.StopBits == b.StopBits;
    }

    // The bytes of a write from s, as they will reach its receiver (called
    // just before the write).
    void sent(int s, const std::uint8_t* data, std::size_t n) {
        const int r = receiverOf(s);
        if (r < 0 || !sim.snapshot(r).open) return;
        const DCB ds = sim.snapshot(s).dcb;
        const unsigned mask = ds.ByteSize < 8 ? (1u << ds.ByteSize) - 1 : 0xFFu;
        arrive(r, data, n, mask, !sameFormat(ds, sim.snapshot(r).dcb));
    }

    // Whether a write of these bytes from s can complete in this thread: not
    // held off now, and not to be held off halfway by the receiver's flow
    // control or by an XOFF it sends itself over a loopback plug.
    bool writeCannotBlock(int s, const std::uint8_t* data, std::size_t n) const {
        if (!sim.snapshot(s).open) return true;
        const DCB ds = sim.snapshot(s).dcb;
        if (!ds.fOutxCtsFlow && !ds.fOutX) return true;
        if (sim.snapshot(s).txHeldOff) return false;
        const int r = receiverOf(s);
        if (r < 0 || !sim.snapshot(r).open) return true;
        const DCB dr = sim.snapshot(r).dcb;
        if ((ds.fOutxCtsFlow && dr.fRtsControl == RTS_CONTROL_HANDSHAKE) || (ds.fOutX && dr.fInX)) {
            const std::size_t queue = sim.snapshot(r).queueSize;
            if (dr.XoffLim > queue || sim.snapshot(r).rxCount + n > queue - dr.XoffLim) return false;
        }
        if (ds.fOutX && r == s) {
            const unsigned mask = ds.ByteSize < 8 ? (1u << ds.ByteSize) - 1 : 0xFFu;
            for (std::size_t i = 0; i < n; ++i) {
                if ((data[i] & mask) == static_cast<std::uint8_t>(ds.XoffChar)) return false;
            }
        }
        return true;
    }

    // Before each step: a port under XON/XOFF input control may send XON or
    // XOFF into its receiver's queue on any read or arrival, so that queue's
    // content and overflow are no longer known exactly.
    void beforeStep() {
        for (int p = 0; p < kPorts; ++p) {
            if (!port[p].tracked && sim.snapshot(p).rxCount == 0) port[p].tracked = true;
        }
        for (int p = 0; p < kPorts; ++p) {
            if (sim.snapshot(p).open && sim.snapshot(p).dcb.fInX) {
                const int r = receiverOf(p);
                if (r >= 0) {
                    forget(r);
                    port[r].overflowKnown = false;
                }
            }
        }
    }

    // After each step: slots, devices and queues agree with the model.
    void afterStep() {
        for (int p = 0; p < kPorts; ++p) {
            const bool slotOpen = PortTable[p].handle != kNoDevice;
            check(slotOpen == port[p].open, "port %ld: slot open %ld disagrees with the model", p, slotOpen);
            check(sim.snapshot(p).open == slotOpen, "port %ld: device open %ld disagrees with the slot", p, sim.snapshot(p).open);
            check(PortTable[p].pushedBack == port[p].pushedBack, "port %ld: pushed-back byte %ld", p,
                  PortTable[p].pushedBack);
            check(PortTable[p].lineBits == port[p].lineBits, "port %ld: line bits %ld", p, PortTable[p].lineBits);
            if (port[p].open && port[p].tracked) {
                check(sim.snapshot(p).rxCount == port[p].waiting.size(), "port %ld: %ld bytes waiting, model differs", p,
                      static_cast<long>(sim.snapshot(p).rxCount));
            }
        }
        check(static_cast<DWORD>(SioWinError()) == lastErr, "SioWinError %ld, expected %ld", SioWinError(),
              static_cast<long>(lastErr));
    }

    // The checks every port function begins with. Returns true when the call
    // is to do its own work.
    bool portChecks(int p, int r, bool needsOpen = true) {
        if (!inRange(p)) {
            check(r == SIO_BAD_PORT, "bad port gave %ld", r);
            return false;
        }
        if (needsOpen && !port[p].open) {
            check(r == SIO_NOT_OPEN, "port not open gave %ld", r);
            return false;
        }
        return true;
    }

    void winErrorResult(int r, DWORD code) {
        check(r == SIO_WIN_ERROR, "expected SIO_WIN_ERROR, got %ld", r);
        lastErr = code;
    }
};

int pickPort(FuzzedDataProvider& in) {
    const std::uint8_t b = in.ConsumeIntegral<std::uint8_t>();
    static const int busy[] = {0, 1, 0, 1, 2, 3, 8};
    if (b < 210) return busy[b % 7];
    if (b < 240) return b % kPorts;
    return in.ConsumeIntegral<int>();
}

// A command argument: mostly a letter some function knows, in any case with
// random high bits now and then.
int pickCommand(FuzzedDataProvider& in) {
    static const char letters[] = "SCRADHNV3Isrcahnv";
    const std::uint8_t b = in.ConsumeIntegral<std::uint8_t>();
    int c = b < 170 ? letters[b % (sizeof letters - 1)] : in.ConsumeIntegral<std::uint8_t>();
    if (in.ConsumeIntegralInRange(0, 7) == 0) c |= in.ConsumeIntegral<int>() & ~0xFF;
    return c;
}

int pickLength(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 15)) {
    case 0: return -1;
    case 1: return in.ConsumeIntegral<int>() | INT_MIN;
    case 2: return 0;
    case 3: return in.ConsumeIntegralInRange(0, 5000);
    default: return in.ConsumeIntegralInRange(1, 64);
    }
}

// The bytes of a write: taken from the input, or a pseudo-random or counting
// pattern, so that every byte value (XON, XOFF, 0x00, 0xFF) turns up often.
std::vector<std::uint8_t> pickData(FuzzedDataProvider& in, std::size_t n) {
    std::vector<std::uint8_t> data;
    const int mode = in.ConsumeIntegralInRange(0, 3);
    std::uint32_t x = in.ConsumeIntegral<std::uint32_t>();
    if (mode == 0) data = in.ConsumeBytes<std::uint8_t>(n);
    while (data.size() < n) {
        if (mode == 3) {
            data.push_back(static_cast<std::uint8_t>(x + data.size()));
        } else {
            x = x * 1103515245u + 12345u;
            data.push_back(static_cast<std::uint8_t>(x >> 16));
        }
    }
    return data;
}

int pickQueue(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: return in.ConsumeIntegral<int>();
    case 1: return 0;
    case 2: return 1024;
    default: return in.ConsumeIntegralInRange(1, 96);
    }
}

const DWORD kBaudTable[10] = {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

void runStep(Harness& h, FuzzedDataProvider& in) {
    PortModel* pm = nullptr;
    // Every call and event, with the ones that move data drawn more often.
    static const std::uint8_t ops[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                       16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 2,  3,  3,  6,
                                       6,  6,  7,  7,  9,  21, 25, 3,  6,  7};
    const int op = ops[in.ConsumeIntegral<std::uint8_t>() % sizeof ops];
    const int p = op < 22 || op >= 25 ? pickPort(in) : 0;
    if (Harness::inRange(p)) pm = &h.port[p];
    char text[96];
    int r = 0;

    switch (op) {
    case 0: {  // SioReset
        const int iq = pickQueue(in), oq = pickQueue(in);
        std::snprintf(text, sizeof text, "SioReset(%d, %d, %d)", p, iq, oq);
        h.call = text;
        r = SioReset(p, iq, oq);
        if (!h.portChecks(p, r, false)) break;
        if (h.sim.snapshot(p).wiring == SimDevice::Wiring::Absent) {
            h.winErrorResult(r, kErrFileNotFound);
            pm->open = false;
        } else {
            h.check(r == 0, "gave %ld on a present port", r);
            pm->open = true;
            h.emptied(p);
        }
        break;
    }
    case 1:  // SioDone
        h.call = "SioDone(" + std::to_string(p) + ")";
        r = SioDone(p);
        if (!h.portChecks(p, r)) break;
        h.check(r == 1, "gave %ld", r);
        pm->open = false;
        h.emptied(p);
        break;
    case 2: {  // SioPutc
        const int ch = in.ConsumeIntegral<int>();
        const std::uint8_t b = static_cast<std::uint8_t>(ch & 0xFF);
        h.call = "SioPutc(" + std::to_string(p) + ", " + std::to_string(ch) + ")";
        if (pm != nullptr && !h.writeCannotBlock(p, &b, 1)) break;
        if (pm != nullptr && pm->open) h.sent(p, &b, 1);  // the model goes first
        r = SioPutc(p, ch);
        if (!h.portChecks(p, r)) break;
        h.check(r == 0, "gave %ld", r);
        break;
    }
    case 3: {  // SioPuts
        const int length = pickLength(in);
        const bool null = in.ConsumeIntegralInRange(0, 15) == 0;
        std::vector<std::uint8_t> data;
        if (!null && length > 0) data = pickData(in, static_cast<std::size_t>(length));
        const char* buf = null ? nullptr : data.empty() ? "" : reinterpret_cast<const char*>(data.data());
        std::snprintf(text, sizeof text, "SioPuts(%d, %s, %d)", p, null ? "null" : "buf", length);
        h.call = text;
        if (pm != nullptr && length > 0 && !null && !h.writeCannotBlock(p, data.data(), data.size())) break;
        if (pm != nullptr && pm->open && length > 0 && !null) h.sent(p, data.data(), data.size());
        r = SioPuts(p, buf, length);
        if (!h.portChecks(p, r)) break;
        if (length < 0 || (null && length > 0)) {
            h.winErrorResult(r, kErrInvalidParameter);
        } else {
            h.check(r == length, "gave %ld for a length of %ld", r, length);
        }
        break;
    }
    case 4:  // SioTxQue
        h.call = "SioTxQue(" + std::to_string(p) + ")";
        r = SioTxQue(p);
        if (!h.portChecks(p, r)) break;
        h.check(r == 0, "gave %ld with no write in progress", r);
        h.statusQueried(p);
        break;
    case 5:  // SioTxClear
        h.call = "SioTxClear(" + std::to_string(p) + ")";
        r = SioTxClear(p);
        if (!h.portChecks(p, r)) break;
        h.check(r == 0, "gave %ld", r);
        break;
    case 6: {  // SioGetc
        h.call = "SioGetc(" + std::to_string(p) + ")";
        const std::size_t before = Harness::inRange(p) ? h.sim.snapshot(p).rxCount : 0;
        r = SioGetc(p);
        if (!h.portChecks(p, r)) break;
        if (pm->pushedBack != 0) {
            h.check(r == pm->pushedBack, "gave %ld, the pushed-back byte is %ld", r, pm->pushedBack);
            pm->pushedBack = 0;
            break;
        }
        h.statusQueried(p);
        if (before == 0) {
            h.check(r == SIO_NO_DATA, "gave %ld with nothing waiting", r);
        } else if (pm->tracked) {
            h.check(r == pm->waiting.front(), "gave %ld, the next byte sent was %ld", r, pm->waiting.front());
            pm->waiting.pop_front();
        } else {
            h.check(r >= 0 && r <= 255, "gave %ld with bytes waiting", r);
        }
        break;
    }
    case 7: {  // SioGets
        const int size = pickLength(in);
        const bool null = in.ConsumeIntegralInRange(0, 15) == 0;
        std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 1, '\x7E');
        std::snprintf(text, sizeof text, "SioGets(%d, %s, %d)", p, null ? "null" : "buf", size);
        h.call = text;
        const std::size_t before = Harness::inRange(p) ? h.sim.snapshot(p).rxCount : 0;
        r = SioGets(p, null ? nullptr : buf.data(), size);
        if (!h.portChecks(p, r)) break;
        if (size < 0) {
            h.winErrorResult(r, kErrInvalidParameter);
        } else if (pm->pushedBack != 0) {
            if (size == 0) {
                h.check(r == 0, "gave %ld for a size of 0", r);
            } else if (null) {
                h.winErrorResult(r, kErrInvalidParameter);
            } else {
                h.check(r == 1 && static_cast<std::uint8_t>(buf[0]) == pm->pushedBack,
                        "gave %ld / byte %ld instead of the pushed-back byte", r, static_cast<std::uint8_t>(buf[0]));
                pm->pushedBack = 0;
            }
        } else if (null && size > 0) {
            h.winErrorResult(r, kErrInvalidParameter);
        } else {
            const long expected = static_cast<long>(std::min<std::size_t>(before, static_cast<std::size_t>(size)));
            h.check(r == expected, "gave %ld, expected %ld", r, expected);
            if (pm->tracked) {
                for (int i = 0; i < r; ++i) {
                    h.check(static_cast<std::uint8_t>(buf[i]) == pm->waiting.front(),
                            "byte %ld arrived as %ld, out of order or changed", i, static_cast<std::uint8_t>(buf[i]));
                    pm->waiting.pop_front();
                }
            }
            for (std::size_t i = static_cast<std::size_t>(std::max(r, 0)); i < buf.size(); ++i) {
                h.check(buf[i] == '\x7E', "wrote past the count it returned, at %ld", static_cast<long>(i));
            }
        }
        break;
    }
    case 8: {  // SioUnGetc
        const int ch = in.ConsumeIntegral<int>();
        h.call = "SioUnGetc(" + std::to_string(p) + ", " + std::to_string(ch) + ")";
        r = SioUnGetc(p, ch);
        if (!h.portChecks(p, r)) break;
        h.check(r == 0, "gave %ld", r);
        pm->pushedBack = static_cast<std::uint8_t>(ch & 0xFF);
        break;
    }
    case 9: {  // SioRxQue
        h.call = "SioRxQue(" + std::to_string(p) + ")";
        const long before = Harness::inRange(p) ? static_cast<long>(h.sim.snapshot(p).rxCount) : 0;
        r = SioRxQue(p);
        if (!h.portChecks(p, r)) break;
        h.check(r == before, "gave %ld, %ld waiting", r, before);
        h.statusQueried(p);
        break;
    }
    case 10:  // SioRxClear
        h.call = "SioRxClear(" + std::to_string(p) + ")";
        r = SioRxClear(p);
        if (!h.portChecks(p, r)) break;
        h.check(r == 0, "gave %ld", r);
        h.check(h.sim.snapshot(p).rxCount == 0, "left %ld bytes waiting", static_cast<long>(h.sim.snapshot(p).rxCount));
        pm->pushedBack = 0;
        pm->waiting.clear();
        pm->tracked = true;
        h.statusQueried(p);
        break;
    case 11: {  // SioBaud
        const int rate = in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 12) : in.ConsumeIntegral<int>();
        h.call = "SioBaud(" + std::to_string(p) + ", " + std::to_string(rate) + ")";
        const DCB before = Harness::inRange(p) ? h.sim.snapshot(p).dcb : DCB{};
        r = SioBaud(p, rate);
        if (!h.portChecks(p, r)) break;
        const DCB after = h.sim.snapshot(p).dcb;
        const auto u = static_cast<DWORD>(rate);
        if (r == 1) {
            h.check(after.BaudRate == (u < 10 ? kBaudTable[u] : u), "accepted, but the device runs at %ld",
                    static_cast<long>(after.BaudRate));
        } else {
            h.check(r == 0, "gave %ld", r);
            h.check(std::memcmp(&before, &after, sizeof(DCB)) == 0, "rejected, but the device changed");
        }
        break;
    }
    case 12: {  // SioParms
        const bool wild = in.ConsumeIntegralInRange(0, 7) == 0;
        const int parity = wild ? in.ConsumeIntegral<int>() : in.ConsumeIntegralInRange(0, 4);
        const int stop = wild ? in.ConsumeIntegral<int>() : in.ConsumeIntegralInRange(0, 2);
        const int data = wild ? in.ConsumeIntegral<int>() : in.ConsumeIntegralInRange(5, 8);
        std::snprintf(text, sizeof text, "SioParms(%d, %d, %d, %d)", p, parity, stop, data);
        h.call = text;
        const DCB before = Harness::inRange(p) ? h.sim.snapshot(p).dcb : DCB{};
        r = SioParms(p, parity, stop, data);
        if (!h.portChecks(p, r)) break;
        h.check(r == 0, "gave %ld", r);
        const DCB after = h.sim.snapshot(p).dcb;
        const bool applied = after.Parity == (parity & 0xFF) && after.StopBits == (stop & 0xFF) &&
                             after.ByteSize == (data & 0xFF);
        h.check(applied || std::memcmp(&before, &after, sizeof(DCB)) == 0, "the device took part of the record");
        break;
    }
    case 13: {  // SioFlow
        const int mode = pickCommand(in);
        h.call = "SioFlow(" + std::to_string(p) + ", " + std::to_string(mode) + ")";
        r = SioFlow(p, mode);
        if (!h.portChecks(p, r)) break;
        h.check(r == 0, "gave %ld", r);
        break;
    }
    case 14:
    case 15: {  // SioDTR, SioRTS
        const bool dtr = op == 14;
        const int cmd = pickCommand(in);
        h.call = std::string(dtr ? "SioDTR(" : "SioRTS(") + std::to_string(p) + ", " + std::to_string(cmd) + ")";
        const DCB before = Harness::inRange(p) ? h.sim.snapshot(p).dcb : DCB{};
        r = dtr ? SioDTR(p, cmd) : SioRTS(p, cmd);
        if (!h.portChecks(p, r)) break;
        const std::uint8_t bit = dtr ? kLineDtr : kLineRts;
        const bool handshake = dtr ? before.fDtrControl == DTR_CONTROL_HANDSHAKE
                                   : before.fRtsControl == RTS_CONTROL_HANDSHAKE;
        switch (cmd & 0xFF) {
        case 'S':
        case 'C':
            // The line is driven unless the device drives it by handshake.
            h.check(r == (handshake ? 0 : 1), "gave %ld", r);
            if ((cmd & 0xFF) == 'S') {
                pm->lineBits |= bit;
            } else {
                pm->lineBits = static_cast<std::uint8_t>(pm->lineBits & ~bit);
            }
            break;
        case 'R': h.check(r == (pm->lineBits & bit), "read back %ld", r); break;
        default: h.check(r == SIO_NO_DATA, "gave %ld for an unknown command", r);
        }
        break;
    }
    case 16: {  // SioBrkSig
        const int cmd = pickCommand(in);
        h.call = "SioBrkSig(" + std::to_string(p) + ", " + std::to_string(cmd) + ")";
        r = SioBrkSig(p, cmd);
        if (!h.portChecks(p, r)) break;
        const int c = cmd & 0xFF;
        h.check(r == (c == 'A' || c == 'C' ? 1 : c == 'D' ? 0 : SIO_BAD_COMMAND), "gave %ld", r);
        if (c == 'A' || c == 'C') h.check(h.sim.snapshot(p).breakOn == (c == 'A'), "break state %ld", h.sim.snapshot(p).breakOn);
        break;
    }
    case 17:
    case 18:
    case 19:
    case 20: {  // SioCTS, SioDSR, SioRI, SioDCD
        static int (*const fns[])(int) = {SioCTS, SioDSR, SioRI, SioDCD};
        static const DWORD bits[] = {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};
        static const char* const names[] = {"SioCTS(", "SioDSR(", "SioRI(", "SioDCD("};
        h.call = names[op - 17] + std::to_string(p) + ")";
        const DWORD status = Harness::inRange(p) ? h.sim.snapshot(p).modemStatus : 0;
        r = fns[op - 17](p);
        if (!h.portChecks(p, r)) break;
        h.check(r == static_cast<int>(status & bits[op - 17]), "gave %ld, the line status is %ld", r,
                static_cast<long>(status));
        break;
    }
    case 21: {  // SioStatus
        const int mask = in.ConsumeBool() ? -1 : in.ConsumeIntegral<int>();
        h.call = "SioStatus(" + std::to_string(p) + ", " + std::to_string(mask) + ")";
        r = SioStatus(p, mask);
        if (!h.portChecks(p, r)) break;
        h.check((r & ~mask) == 0, "gave %ld, outside the mask", r);
        if (pm->overflowKnown) {
            const bool reported = (r & CE_RXOVER) != 0;
            const bool due = pm->overflowPending && (mask & CE_RXOVER) != 0;
            h.check(reported == due, due ? "a queue overflow went unreported (%ld)" : "CE_RXOVER without an overflow (%ld)",
                    r);
        }
        h.statusQueried(p);
        break;
    }
    case 22: {  // SioInfo
        const int q = pickCommand(in);
        h.call = "SioInfo(" + std::to_string(q) + ")";
        r = SioInfo(q);
        const int c = q & 0xFF;
        h.check(r == (c == 'V' ? 0x20 : c == '3' || c == 'I' ? 1 : -1), "gave %ld", r);
        break;
    }
    case 23: {  // SioDebug
        const int v = in.ConsumeIntegral<int>();
        h.call = "SioDebug(" + std::to_string(v) + ")";
        r = SioDebug(v);
        h.check(r == v, "gave %ld", r);
        break;
    }
    case 24:  // SioWinError
        h.call = "SioWinError()";
        r = SioWinError();
        h.check(static_cast<DWORD>(r) == h.lastErr, "gave %ld", r);
        break;
    case 25: {  // bytes arriving from outside, in the port's own format
        if (pm == nullptr) break;
        const std::vector<std::uint8_t> data = pickData(in, in.ConsumeIntegralInRange<std::size_t>(1, 300));
        h.call = "line sends " + std::to_string(data.size()) + " bytes to port " + std::to_string(p);
        h.arrive(p, data.data(), data.size(), 0xFF, false);
        h.sim.injectReceived(p, data.data(), data.size());
        break;
    }
    case 26: {  // modem inputs forced from outside, or given back to the wiring
        if (pm == nullptr) break;
        const DWORD mask = in.ConsumeIntegral<std::uint8_t>() & 0xF0u;
        const DWORD values = in.ConsumeIntegral<std::uint8_t>() & 0xF0u;
        h.call = "modem inputs of port " + std::to_string(p);
        h.sim.setModemInputs(p, mask, values);
        break;
    }
    case 27: {  // line errors other than overflow
        if (pm == nullptr) break;
        h.call = "line errors at port " + std::to_string(p);
        h.sim.injectErrors(p, in.ConsumeIntegral<std::uint8_t>() & (CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK));
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Harness h;
    h.sim.connectNullModem(0, 1);
    h.sim.setLoopback(2);
    h.sim.setUnplugged(3);
    h.sim.setLoopback(8);
    resetLibraryState();
    setDevice(&h.sim);
    // Ports 0, 1, 2 and 8 start open, as an application has them after its
    // SioReset calls; the program may close and reopen them.
    for (int p : {0, 1, 2, 8}) {
        h.check(SioReset(p, 1024, 1024) == 0, "opening port %ld", p);
        h.port[p].open = true;
    }
    while (in.remaining_bytes() > 0 && h.step < 400) {
        h.beforeStep();
        runStep(h, in);
        h.afterStep();
        ++h.step;
    }
    // Closing every open port leaves no device held.
    h.call = "closing every port";
    for (int p = 0; p < kPorts; ++p) {
        if (h.port[p].open) h.check(SioDone(p) == 1, "SioDone(%ld) failed", p);
        h.check(!h.sim.snapshot(p).open, "device of port %ld left open", p);
    }
    resetLibraryState();
    setDevice(nullptr);
    return 0;
}
