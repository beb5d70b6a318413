// The network device (see net_device.h): its table of connections, one slot
// per open port, and opening (connecting, and for rfc2217:// negotiating Com
// Port Control and asking for notifications) and closing them. The settings
// and status are in net_device_control.cpp, the data path in net_device_io.cpp,
// the socket traffic in net_connection.cpp.
#include "device/net/net_device.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "device/common/driver_rules.h"
#include "device/net/net_connection.h"

namespace velk {

using net::closeGracefully;
using net::connectTo;
using net::flushAll;
using net::kSendWaitMs;
using net::nowMs;
using net::nowUs;
using net::pump;
using net::waitSocket;

namespace {

static_assert(NetDevice::kSlots <= handle::kMaxSlots, "handles name at most handle::kMaxSlots slots");

constexpr std::uint8_t kLineMask = rfc2217::kLineBreak | rfc2217::kLineFraming | rfc2217::kLineParity |
                                   rfc2217::kLineOverrun;
// Every modem-state bit: a server that notifies only when state & mask is
// non-zero must still report the lines all going off (the change bits).
constexpr std::uint8_t kModemMask = 0xFF;

NetDevice::Slot* slotTable() {
    static NetDevice::Slot table[NetDevice::kSlots];
    return table;
}
std::mutex tableMutex;  // guards the taking and freeing of slots (not held while connecting)

}  // namespace

NetDevice& netDevice() {
    static NetDevice instance;
    return instance;
}

DeviceKind& netKind() {
    return netDevice();
}

NetDevice::Slot* NetDevice::lookup(DevHandle h) {
    const unsigned index = handle::slotOf(h);
    if (index >= static_cast<unsigned>(kSlots)) return nullptr;
    Slot& s = slotTable()[index];
    return s.handle.load(std::memory_order_acquire) == h ? &s : nullptr;
}

// ---- Open and close ----------------------------------------------------------

DevHandle NetDevice::open(int port, const char* address) {
    (void)port;
    NetUrl url;
    if (parseNetUrl(address, &url) != 0) {
        fail(EINVAL);
        return kNoDevice;
    }
    Slot* table = slotTable();
    int index = -1;
    {
        std::lock_guard<std::mutex> tableLock(tableMutex);
        for (int i = 0; i < kSlots && index < 0; ++i) {
            if (!table[i].taken) index = i;
        }
        if (index >= 0) table[index].taken = true;
    }
    if (index < 0) {
        fail(EMFILE);
        return kNoDevice;
    }
    Slot& s = table[index];
    std::unique_lock<std::mutex> lock(s.mu);
    // A failed open gives the slot back.
    const auto giveUp = [&](int code) {
        s.rx.release();
        s.staging.release();
        std::lock_guard<std::mutex> tableLock(tableMutex);
        s.taken = false;
        fail(code);
        return kNoDevice;
    };
    if (!s.rx.reset(0) || !s.staging.reset(Slot::kStagingSize)) return giveUp(ENOMEM);
    int err = 0;
    const int fd = connectTo(url, &err);
    if (fd < 0) return giveUp(err);
    s.fd = fd;
    s.kind = url.kind;
    s.ackTimeoutMs = url.ackTimeoutMs;
    s.closeTimeoutMs = url.closeTimeoutMs;
    s.srttUs = s.rttvarUs = 0;
    s.rttSamples = 0;
    s.linesSent = false;
    s.outPending = false;
    s.queriesSinceTake = Slot::kQueriesToFetch;
    s.lostErr = 0;
    s.localHold = false;
    for (Slot::Habit& k : s.habit) k = Slot::Habit::Unknown;
    s.unanswered = 0;
    s.timeouts = COMMTIMEOUTS{};
    s.eventMask = 0;
    s.dcb = driverDefaultDcb();
    s.engine.reset();

    if (url.kind == NetKind::Rfc2217) {
        // Offer the options and wait (bounded) for the server to take Com
        // Port Control: a server that does not (a plain TCP listener, a
        // Telnet server without it) fails the open, nothing but the offers
        // sent to it. Then ask to be told of line errors and modem lines.
        s.engine.start();
        const std::int64_t waitMs = url.ackTimeoutMs > 0 ? url.ackTimeoutMs : url.connectTimeoutMs;
        const std::int64_t sent = nowUs();
        const std::int64_t deadline = nowMs() + waitMs;
        flushAll(s, lock, waitMs);
        while (s.lostErr == 0 && !s.engine.comPortAccepted() && !s.engine.comPortRefused()) {
            const std::int64_t left = deadline - nowMs();
            if (left <= 0) break;
            waitSocket(s, lock, POLLIN, left);
            pump(s);
        }
        int openErr = s.lostErr;
        if (openErr == 0 && !s.engine.comPortAccepted()) openErr = EPROTONOSUPPORT;
        if (openErr == 0) {
            net::sampleRtt(s, nowUs() - sent);
            s.engine.requestByte(rfc2217::kSetLineStateMask, kLineMask);
            s.engine.requestByte(rfc2217::kSetModemStateMask, kModemMask);
            openErr = flushAll(s, lock, kSendWaitMs);
        }
        if (openErr != 0) {
            ::close(fd);
            s.fd = -1;
            s.engine.reset();
            return giveUp(openErr);
        }
    }

    // A fresh generation in the handle: a stale handle never reaches the
    // slot's next connection.
    const DevHandle h =
        handle::make(handle::nextGeneration(generation_.fetch_add(1, std::memory_order_relaxed)), index);
    s.handle.store(h, std::memory_order_release);
    return h;
}

BOOL NetDevice::CloseHandle(DevHandle h) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::lock_guard<std::mutex> lock(s->mu);
    if (s->handle.load(std::memory_order_acquire) != h) return fail(EBADF);  // closed meanwhile
    s->handle.store(kNoDevice, std::memory_order_release);
    // What was written goes, then FIN; what arrives meanwhile is dropped.
    closeGracefully(*s, s->closeTimeoutMs);
    s->rx.release();
    s->staging.release();
    s->engine.reset();
    std::lock_guard<std::mutex> tableLock(tableMutex);
    s->taken = false;
    return 1;
}

BOOL NetDevice::UnansweredRequests(DevHandle h, DWORD* count) {
    Diagnostics d{};
    if (!diagnostics(h, &d)) return fail(EBADF);
    if (count != nullptr) *count = d.unanswered;
    return 1;
}

bool NetDevice::diagnostics(DevHandle h, Diagnostics* d) {
    Slot* s = h == kNoDevice ? nullptr : lookup(handle::unroute(h));
    if (s == nullptr || d == nullptr) return false;
    std::lock_guard<std::mutex> lock(s->mu);
    const rfc2217::EngineStats& st = s->engine.stats();
    d->unanswered = s->unanswered;
    d->malformed = st.malformed;
    d->mismatched = st.mismatched;
    d->discarded = st.discardedSubneg;
    d->late = st.late;
    // Cut to the field, zero-filled (strncpy here trips GCC's truncation
    // warning in optimised sanitizer builds).
    const char* signature = s->engine.signature();
    std::memset(d->signature, 0, sizeof d->signature);
    std::memcpy(d->signature, signature, ::strnlen(signature, sizeof d->signature - 1));
    return true;
}

}  // namespace velk
