// The network device's operations other than opening, closing and the data
// path: the settings, the modem lines and break, the status and the purges.
// On rfc2217:// ports they become RFC 2217 requests whose answers are awaited
// for a bounded time; on socket:// ports they are recorded or answered
// locally.
#include <poll.h>

#include <cstdint>
#include <mutex>

#include "device/net_connection.h"

namespace velk {

using rfc2217::AckKey;
using rfc2217::AckState;
using rfc2217::Engine;
using net::flushAll;
using net::kSendWaitMs;
using net::nowMs;
using net::pump;
using net::waitSocket;

namespace {

BOOL fail(int err) {
    return NetDevice::error(err);
}

// Sends the queued requests and waits, up to the address's acknowledgement
// time-out, for the answers of `keys` (Count entries are skipped). A key left
// unanswered is not waited for again on this connection. Fails with EINVAL
// when an answer refused a value, with the connection's error when it is
// lost; a missing or malformed answer is recorded, not fatal.
BOOL awaitAnswers(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock, const AckKey* keys, int n) {
    Engine& e = s.engine;
    for (int i = 0; i < n; ++i) {
        if (keys[i] != AckKey::Count && (s.silent[static_cast<int>(keys[i])] || s.ackTimeoutMs == 0)) {
            e.forget(keys[i]);
        }
    }
    const std::int64_t deadline = nowMs() + s.ackTimeoutMs;
    flushAll(s, lock, s.ackTimeoutMs);
    for (;;) {
        pump(s);
        if (s.lostErr != 0) break;
        bool pending = false;
        for (int i = 0; i < n; ++i) {
            if (keys[i] != AckKey::Count && e.ack(keys[i]) == AckState::Pending) pending = true;
        }
        if (!pending) break;
        const std::int64_t left = deadline - nowMs();
        if (left <= 0) break;
        waitSocket(lock, s.fd, POLLIN, left);
    }
    bool refused = false;
    for (int i = 0; i < n; ++i) {
        if (keys[i] == AckKey::Count) continue;
        const AckState st = e.ack(keys[i]);
        if (st == AckState::Pending) {
            s.silent[static_cast<int>(keys[i])] = true;
            ++s.unanswered;
        }
        if (st == AckState::Refused) refused = true;
        e.forget(keys[i]);
    }
    if (s.lostErr != 0) return fail(s.lostErr);
    return refused ? fail(EINVAL) : 1;
}

// One SET-CONTROL request, answered or not.
BOOL control(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock, std::uint8_t value) {
    if (s.kind != NetKind::Rfc2217) return 1;
    if (!flushAll(s, lock, kSendWaitMs) && s.lostErr == 0) return fail(ETIMEDOUT);
    if (s.lostErr != 0) return fail(s.lostErr);
    s.engine.requestByte(rfc2217::kSetControl, value);
    const AckKey k = Engine::keyOf(rfc2217::kSetControl, &value, 1);
    return awaitAnswers(s, lock, &k, 1);
}

}  // namespace

// ---- Settings ----------------------------------------------------------------

BOOL NetDevice::GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (t == nullptr) return fail(EINVAL);
    std::lock_guard<std::mutex> lock(s->mu);
    *t = s->timeouts;
    return 1;
}

BOOL NetDevice::SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (t == nullptr) return fail(EINVAL);
    std::lock_guard<std::mutex> lock(s->mu);
    s->timeouts = *t;
    return 1;
}

BOOL NetDevice::GetCommState(DevHandle h, DCB* dcb) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (dcb == nullptr || dcb->DCBlength != sizeof(DCB)) return fail(EINVAL);
    std::lock_guard<std::mutex> lock(s->mu);
    *dcb = s->dcb;
    return 1;
}

BOOL NetDevice::SetCommState(DevHandle h, const DCB* dcb) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (dcb == nullptr || dcb->DCBlength != sizeof(DCB)) return fail(EINVAL);
    const DCB& d = *dcb;
    if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY || d.StopBits > TWOSTOPBITS) {
        return fail(EINVAL);
    }
    std::unique_lock<std::mutex> lock(s->mu);
    pump(*s);
    if (s->lostErr != 0) return fail(s->lostErr);
    if (s->kind == NetKind::Socket) {
        s->dcb = d;
        return 1;
    }
    // Parity and stop bits in the protocol's numbering.
    static const std::uint8_t kParity[] = {1, 2, 3, 4, 5};    // none, odd, even, mark, space
    static const std::uint8_t kStopSize[] = {1, 3, 2};        // one, one and a half, two
    const std::uint8_t outFlow =
        d.fOutxCtsFlow ? rfc2217::kOutFlowHardware : (d.fOutX ? rfc2217::kOutFlowXonXoff : rfc2217::kOutFlowNone);
    const std::uint8_t inFlow = d.fRtsControl == RTS_CONTROL_HANDSHAKE
                                    ? rfc2217::kInFlowHardware
                                    : (d.fInX ? rfc2217::kInFlowXonXoff : rfc2217::kInFlowNone);
    if (!flushAll(*s, lock, kSendWaitMs) && s->lostErr == 0) return fail(ETIMEDOUT);
    Engine& e = s->engine;
    AckKey keys[8];
    int n = 0;
    auto ask = [&](std::uint8_t command, std::uint8_t value) {
        e.requestByte(command, value);
        keys[n++] = Engine::keyOf(command, &value, 1);
    };
    e.requestBaudRate(d.BaudRate);
    keys[n++] = AckKey::BaudRate;
    ask(rfc2217::kSetDataSize, d.ByteSize);
    ask(rfc2217::kSetParity, kParity[d.Parity]);
    ask(rfc2217::kSetStopSize, kStopSize[d.StopBits]);
    ask(rfc2217::kSetControl, outFlow);
    ask(rfc2217::kSetControl, inFlow);
    if (d.fDtrControl != s->dcb.fDtrControl) {
        ask(rfc2217::kSetControl, d.fDtrControl == DTR_CONTROL_DISABLE ? rfc2217::kDtrOff : rfc2217::kDtrOn);
    }
    if (d.fRtsControl != s->dcb.fRtsControl && d.fRtsControl != RTS_CONTROL_HANDSHAKE) {
        ask(rfc2217::kSetControl, d.fRtsControl == RTS_CONTROL_DISABLE ? rfc2217::kRtsOff : rfc2217::kRtsOn);
    }
    if (!awaitAnswers(*s, lock, keys, n)) return 0;
    s->dcb = d;
    return 1;
}

BOOL NetDevice::SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) {
    (void)outQueue;
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::lock_guard<std::mutex> lock(s->mu);
    // The queue is resized only while empty, so nothing received is lost.
    if (s->rx.empty() && RxQueue::capacityFor(inQueue) != s->rx.capacity() && !s->rx.reset(inQueue)) {
        return fail(ENOMEM);
    }
    return 1;
}

BOOL NetDevice::SetCommMask(DevHandle h, DWORD mask) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::lock_guard<std::mutex> lock(s->mu);
    s->eventMask = mask;
    return 1;
}

// ---- Lines, break, status ------------------------------------------------------

BOOL NetDevice::EscapeCommFunction(DevHandle h, DWORD func) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::unique_lock<std::mutex> lock(s->mu);
    pump(*s);
    if (s->lostErr != 0) return fail(s->lostErr);
    switch (func) {
    case SETDTR: return control(*s, lock, rfc2217::kDtrOn);
    case CLRDTR: return control(*s, lock, rfc2217::kDtrOff);
    case SETRTS:
    case CLRRTS:
        if (s->dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return fail(EINVAL);
        return control(*s, lock, func == SETRTS ? rfc2217::kRtsOn : rfc2217::kRtsOff);
    case SETBREAK: return control(*s, lock, rfc2217::kBreakOn);
    case CLRBREAK: return control(*s, lock, rfc2217::kBreakOff);
    case SETXOFF: s->localHold = true; return 1;
    case SETXON: s->localHold = false; return 1;
    case RESETDEV: return 1;
    default: return fail(EINVAL);
    }
}

BOOL NetDevice::SetCommBreak(DevHandle h) {
    return EscapeCommFunction(h, SETBREAK);
}

BOOL NetDevice::ClearCommBreak(DevHandle h) {
    return EscapeCommFunction(h, CLRBREAK);
}

BOOL NetDevice::GetCommModemStatus(DevHandle h, DWORD* status) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (status == nullptr) return fail(EINVAL);
    std::lock_guard<std::mutex> lock(s->mu);
    pump(*s);
    if (s->lostErr != 0) return fail(s->lostErr);
    if (s->kind == NetKind::Socket) {
        *status = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
        return 1;
    }
    // The RFC 2217 modem-state bits are the MS_* values; off until notified.
    const std::uint8_t m = s->engine.modemState();
    DWORD ms = 0;
    if (m & rfc2217::kModemCts) ms |= MS_CTS_ON;
    if (m & rfc2217::kModemDsr) ms |= MS_DSR_ON;
    if (m & rfc2217::kModemRi) ms |= MS_RING_ON;
    if (m & rfc2217::kModemDcd) ms |= MS_RLSD_ON;
    *status = ms;
    return 1;
}

BOOL NetDevice::ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::lock_guard<std::mutex> lock(s->mu);
    pump(*s);
    // Bytes received before the loss are still to be had.
    if (s->lostErr != 0 && s->rx.empty()) return fail(s->lostErr);
    const std::uint8_t line = s->engine.takeLineErrors();
    DWORD flags = 0;
    if (line & rfc2217::kLineBreak) flags |= CE_BREAK;
    if (line & rfc2217::kLineFraming) flags |= CE_FRAME;
    if (line & rfc2217::kLineParity) flags |= CE_RXPARITY;
    if (line & rfc2217::kLineOverrun) flags |= CE_OVERRUN;
    if (errors != nullptr) *errors = flags;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->fXoffHold = (s->engine.suspended() || s->localHold) ? 1 : 0;
        stat->cbInQue = s->rx.size();
        stat->cbOutQue = static_cast<DWORD>(s->engine.outputSize());
    }
    return 1;
}

BOOL NetDevice::PurgeComm(DevHandle h, DWORD flags) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    const bool tx = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
    const bool rx = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
    if (tx) s->txAborts.fetch_add(1, std::memory_order_acq_rel);  // ends a held write at once
    std::unique_lock<std::mutex> lock(s->mu);
    if (rx) s->rx.clear();
    if (!tx && !rx) return 1;
    pump(*s);
    if (s->lostErr != 0) return fail(s->lostErr);
    if (s->kind == NetKind::Socket) {
        if (rx) s->rx.clear();
        return 1;
    }
    if (!flushAll(*s, lock, kSendWaitMs) && s->lostErr == 0) return fail(ETIMEDOUT);
    s->engine.requestByte(rfc2217::kPurgeData, tx && rx ? 3 : (rx ? 1 : 2));
    const AckKey k = AckKey::Purge;
    const BOOL ok = awaitAnswers(*s, lock, &k, 1);
    // What arrived before the server's answer was sent before it purged.
    if (rx) s->rx.clear();
    return ok;
}

}  // namespace velk
