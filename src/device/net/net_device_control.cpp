// The network device's operations other than opening, closing and the data
// path: the settings, the modem lines and break, the status and the purges.
// On rfc2217:// ports they become RFC 2217 requests whose answers are awaited
// for a bounded time; on socket:// ports they are recorded or answered
// locally.
#include <poll.h>

#include <cstdint>
#include <mutex>

#include "device/net/net_connection.h"

namespace velk {

using rfc2217::AckKey;
using rfc2217::AckState;
using rfc2217::Engine;
using net::ackWaitMs;
using net::current;
using net::flushAll;
using net::kSendWaitMs;
using net::moveStaged;
using net::nowUs;
using net::pump;
using net::sampleRtt;
using net::unsentBytes;
using net::waitSocket;

namespace {

BOOL fail(int err) {
    return NetDevice::error(err);
}

// The most requests one call sends and awaits (SetCommState).
constexpr int kMaxRequests = 8;

// Sends the queued requests and waits for the answers of `keys` (Count
// entries are skipped), all together. How long an answer is waited for
// depends on what the server has shown of its kind on this connection: a
// kind it has answered, and one not asked before, up to the address's
// ack_timeout, so that an answer that comes, however slowly, decides; a kind
// it left unanswered, a few measured round trips (ackWaitMs, at most
// ack_timeout), until an answer to it comes late. Fails with EINVAL when an
// answer refused a value, with the connection's error when it is lost, EBADF
// when the handle was closed meanwhile; a missing or malformed answer, or a
// request the socket could not take in time, is recorded, not fatal.
BOOL awaitAnswers(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock, const AckKey* keys, int n) {
    using Habit = NetDevice::Slot::Habit;
    Engine& e = s.engine;
    if (n > kMaxRequests) n = kMaxRequests;
    std::int64_t limitMs[kMaxRequests] = {};
    std::int64_t longest = 0;
    for (int i = 0; i < n; ++i) {
        if (keys[i] == AckKey::Count) continue;
        Habit& habit = s.habit[static_cast<int>(keys[i])];
        if (e.takeLateAnswer(keys[i])) habit = Habit::Answers;  // it does answer, if slowly
        if (s.ackTimeoutMs == 0) {
            e.forget(keys[i]);  // never waited for
            continue;
        }
        limitMs[i] = habit == Habit::Silent ? ackWaitMs(s) : static_cast<std::int64_t>(s.ackTimeoutMs);
        if (limitMs[i] > longest) longest = limitMs[i];
    }
    // The requests go within the longest wait; an answer is not waited for
    // before its request has left.
    const int sendErr = flushAll(s, lock, longest);
    if (sendErr == EBADF) return fail(EBADF);
    const std::int64_t sent = nowUs();
    bool sampled = false;
    for (;;) {
        pump(s);
        if (s.lostErr != 0 || sendErr != 0) break;
        const std::int64_t now = nowUs();
        const std::int64_t elapsedMs = (now - sent) / 1000;
        std::int64_t left = 0;  // the longest still to wait for a pending answer
        bool answered = false;
        for (int i = 0; i < n; ++i) {
            if (keys[i] == AckKey::Count) continue;
            const AckState st = e.ack(keys[i]);
            if (st == AckState::Pending && limitMs[i] - elapsedMs > left) left = limitMs[i] - elapsedMs;
            if (st != AckState::Pending && st != AckState::Idle) answered = true;
        }
        if (answered && !sampled) {
            sampleRtt(s, now - sent);
            sampled = true;
        }
        if (left <= 0) break;
        if (!waitSocket(s, lock, POLLIN | (e.pendingOutput() > 0 ? POLLOUT : 0), left)) return fail(EBADF);
    }
    bool refused = false;
    for (int i = 0; i < n; ++i) {
        if (keys[i] == AckKey::Count) continue;
        const AckState st = e.ack(keys[i]);
        if (st == AckState::Pending) {
            ++s.unanswered;
            // Only a request that left unanswered tells of the server.
            if (sendErr == 0) s.habit[static_cast<int>(keys[i])] = Habit::Silent;
        } else if (st != AckState::Idle) {
            s.habit[static_cast<int>(keys[i])] = Habit::Answers;
        }
        if (st == AckState::Refused) refused = true;
        e.forget(keys[i]);
    }
    if (s.lostErr != 0) return fail(s.lostErr);
    return refused ? fail(EINVAL) : 1;
}

// Sends what was written ahead of a request, so that it takes effect after
// the data as on a UART; 0 when it could not (the errno recorded).
BOOL flushFirst(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock) {
    const int err = flushAll(s, lock, kSendWaitMs);
    return err != 0 ? fail(err) : 1;
}

// One SET-CONTROL request, answered or not.
BOOL control(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock, std::uint8_t value) {
    if (s.kind != NetKind::Rfc2217) return 1;
    if (!flushFirst(s, lock)) return 0;
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
    if (!current(*s, h)) return fail(EBADF);
    *t = s->timeouts;
    return 1;
}

BOOL NetDevice::SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (t == nullptr) return fail(EINVAL);
    std::lock_guard<std::mutex> lock(s->mu);
    if (!current(*s, h)) return fail(EBADF);
    s->timeouts = *t;
    return 1;
}

BOOL NetDevice::GetCommState(DevHandle h, DCB* dcb) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    if (dcb == nullptr || dcb->DCBlength != sizeof(DCB)) return fail(EINVAL);
    std::lock_guard<std::mutex> lock(s->mu);
    if (!current(*s, h)) return fail(EBADF);
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
    if (!current(*s, h)) return fail(EBADF);
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
    if (!flushFirst(*s, lock)) return 0;
    Engine& e = s->engine;
    AckKey keys[kMaxRequests];
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
    // DTR and RTS on the first settings of a connection, so that the
    // server's lines match what the line state says (the previous client may
    // have left them low), and whenever their control mode changes.
    if (!s->linesSent || d.fDtrControl != s->dcb.fDtrControl) {
        ask(rfc2217::kSetControl, d.fDtrControl == DTR_CONTROL_DISABLE ? rfc2217::kDtrOff : rfc2217::kDtrOn);
    }
    if ((!s->linesSent || d.fRtsControl != s->dcb.fRtsControl) && d.fRtsControl != RTS_CONTROL_HANDSHAKE) {
        ask(rfc2217::kSetControl, d.fRtsControl == RTS_CONTROL_DISABLE ? rfc2217::kRtsOff : rfc2217::kRtsOn);
    }
    s->linesSent = true;
    if (!awaitAnswers(*s, lock, keys, n)) return 0;
    s->dcb = d;
    return 1;
}

BOOL NetDevice::SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) {
    (void)outQueue;
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::lock_guard<std::mutex> lock(s->mu);
    if (!current(*s, h)) return fail(EBADF);
    // Resized at any time, its bytes kept in order; staged data then moves
    // into the room gained.
    if (!s->rx.resize(inQueue)) return fail(ENOMEM);
    moveStaged(*s);
    return 1;
}

BOOL NetDevice::SetCommMask(DevHandle h, DWORD mask) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::lock_guard<std::mutex> lock(s->mu);
    if (!current(*s, h)) return fail(EBADF);
    s->eventMask = mask;
    return 1;
}

// ---- Lines, break, status ------------------------------------------------------

BOOL NetDevice::EscapeCommFunction(DevHandle h, DWORD func) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    std::unique_lock<std::mutex> lock(s->mu);
    if (!current(*s, h)) return fail(EBADF);
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
    if (!current(*s, h)) return fail(EBADF);
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
    if (!current(*s, h)) return fail(EBADF);
    // As a tty's queue: while the caller takes bytes from a queue that still
    // holds some, the socket is not looked at; it is read again, in a
    // block, once the queue is empty or at the second query after a take.
    // (Two, not one: a caller that asks SioRxQue before each SioGetc, whose
    // own query follows, then drains with no socket read per byte.)
    if (s->queriesSinceTake < Slot::kQueriesToFetch && !s->rx.empty()) {
        moveStaged(*s);
        ++s->queriesSinceTake;
    } else {
        pump(*s);
    }
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
        // With what the socket has not yet seen acknowledged, so that
        // waiting for 0 waits until the data has left.
        DWORD out = static_cast<DWORD>(s->engine.pendingOutput());
        if (s->outPending) {
            const int unsent = unsentBytes(s->fd);
            if (unsent == 0) s->outPending = false;
            out += static_cast<DWORD>(unsent);
        }
        stat->cbOutQue = out;
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
    if (!current(*s, h)) return fail(EBADF);
    const auto clearReceived = [&] {
        s->rx.clear();
        s->staging.clear();
    };
    if (rx) clearReceived();
    if (!tx && !rx) return 1;
    // The unsent bytes are dropped, not waited for; the request goes at
    // once, ahead of nothing.
    if (tx) s->engine.discardData();
    pump(*s);
    if (s->lostErr != 0) return fail(s->lostErr);
    if (s->kind == NetKind::Socket) {
        if (rx) clearReceived();
        return 1;
    }
    s->engine.requestByte(rfc2217::kPurgeData, tx && rx ? 3 : (rx ? 1 : 2));
    const AckKey k = AckKey::Purge;
    const BOOL ok = awaitAnswers(*s, lock, &k, 1);
    // What arrived before the server's answer was sent before it purged.
    if (rx) clearReceived();
    return ok;
}

}  // namespace velk
