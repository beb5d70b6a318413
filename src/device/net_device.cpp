// The network device (see net_device.h): its table of connections, one slot
// per open port, and opening (connecting, and for rfc2217:// negotiating Com
// Port Control and asking for notifications) and closing them. The settings
// and status are in net_device_ops.cpp, the data path in net_device_io.cpp,
// the socket traffic in net_connection.cpp.
#include "device/net_device.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "device/backend_common.h"
#include "device/net_connection.h"

namespace velk {

using net::connectTo;
using net::flushAll;
using net::flushOut;
using net::kSendWaitMs;
using net::nowMs;
using net::pump;
using net::waitSocket;

namespace {

constexpr int kSlotBits = 5;
constexpr std::uint8_t kLineMask = rfc2217::kLineBreak | rfc2217::kLineFraming | rfc2217::kLineParity |
                                   rfc2217::kLineOverrun;
constexpr std::uint8_t kModemMask = rfc2217::kModemDcd | rfc2217::kModemRi | rfc2217::kModemDsr | rfc2217::kModemCts;

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
    if (h == kNoDevice) return nullptr;
    const DevHandle index = h & ((DevHandle(1) << kSlotBits) - 1);
    if (index >= static_cast<DevHandle>(kSlots)) return nullptr;
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
        std::lock_guard<std::mutex> tableLock(tableMutex);
        s.taken = false;
        fail(code);
        return kNoDevice;
    };
    if (!s.rx.reset(0)) return giveUp(ENOMEM);
    int err = 0;
    const int fd = connectTo(url, &err);
    if (fd < 0) return giveUp(err);
    s.fd = fd;
    s.kind = url.kind;
    s.ackTimeoutMs = url.ackTimeoutMs;
    s.lostErr = 0;
    s.localHold = false;
    for (bool& q : s.silent) q = false;
    s.unanswered = 0;
    s.timeouts = COMMTIMEOUTS{};
    s.eventMask = 0;
    s.dcb = driverDefaultDcb();
    s.engine.reset();

    if (url.kind == NetKind::Rfc2217) {
        // Offer the options, wait (bounded) for the server to take Com Port
        // Control, then ask to be told of line errors and modem-line changes.
        s.engine.start();
        const std::int64_t deadline = nowMs() + url.ackTimeoutMs;
        flushAll(s, lock, url.ackTimeoutMs);
        while (s.lostErr == 0 && !s.engine.comPortAccepted() && !s.engine.comPortRefused()) {
            const std::int64_t left = deadline - nowMs();
            if (left <= 0) break;
            waitSocket(lock, fd, POLLIN, left);
            pump(s);
        }
        int openErr = s.lostErr;
        if (openErr == 0 && s.engine.comPortRefused()) openErr = EPROTONOSUPPORT;
        if (openErr == 0) {
            s.engine.requestByte(rfc2217::kSetLineStateMask, kLineMask);
            s.engine.requestByte(rfc2217::kSetModemStateMask, kModemMask);
            if (!flushAll(s, lock, kSendWaitMs)) {
                openErr = s.lostErr != 0 ? s.lostErr : ETIMEDOUT;
            }
        }
        if (openErr != 0) {
            ::close(fd);
            s.fd = -1;
            return giveUp(openErr);
        }
    }

    // A fresh generation in the handle: a stale handle never reaches the
    // slot's next connection.
    unsigned generation = (generation_.fetch_add(1, std::memory_order_relaxed) + 1) & 0xFFFFFFu;
    if (generation == 0) generation = 1;
    const DevHandle h = (static_cast<DevHandle>(generation) << kSlotBits) | static_cast<DevHandle>(index);
    s.handle.store(h, std::memory_order_release);
    return h;
}

BOOL NetDevice::CloseHandle(DevHandle h) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::lock_guard<std::mutex> lock(s->mu);
    s->handle.store(kNoDevice, std::memory_order_release);
    // Whatever is still queued for the server goes if the socket takes it now.
    if (s->lostErr == 0) flushOut(*s);
    ::close(s->fd);
    s->fd = -1;
    s->rx.release();
    s->engine.reset();
    std::lock_guard<std::mutex> tableLock(tableMutex);
    s->taken = false;
    return 1;
}

bool NetDevice::diagnostics(DevHandle h, Diagnostics* d) {
    Slot* s = h == kNoDevice ? nullptr : lookup(h & (kKindHandleLimit - 1));
    if (s == nullptr || d == nullptr) return false;
    std::lock_guard<std::mutex> lock(s->mu);
    const rfc2217::EngineStats& st = s->engine.stats();
    d->unanswered = s->unanswered;
    d->malformed = st.malformed;
    d->mismatched = st.mismatched;
    d->discarded = st.discardedSubneg;
    // Cut to the field, zero-filled (strncpy here trips GCC's truncation
    // warning in optimised sanitizer builds).
    const char* signature = s->engine.signature();
    std::memset(d->signature, 0, sizeof d->signature);
    std::memcpy(d->signature, signature, ::strnlen(signature, sizeof d->signature - 1));
    return true;
}

}  // namespace velk
