// The loop:// kind of the POSIX library: a loopback plug on each port mapped
// to "loop://", with no hardware. What the port sends comes back to it: TX to
// RX, RTS to CTS, DTR to DSR and DCD, a break to CE_BREAK. It keeps the line
// model a program sees on a real plug: exclusive open, a receive queue of the
// size SetupComm asks (bytes beyond it are lost and raise CE_RXOVER),
// validation of the line state as a driver does it, and hardware and software
// flow control (the receiver holds the sender off once fewer than XoffLim
// bytes of the queue are free, a received XON or XOFF is flow control, not
// data). A write held off waits, without the lock, until a read, a line
// change, a purge or the close releases it. Bytes move at once, one at a
// time; the receive queue is the device layer's RxQueue, with room for the
// largest size SetupComm may ask, allocated at the port's first open.
#include <condition_variable>
#include <mutex>

#include "device/common/driver_rules.h"
#include "device/common/handle.h"
#include "device/posix/device_kind.h"
#include "device/common/rx_queue.h"

namespace velk {

namespace {

constexpr int kPorts = 9;
constexpr DWORD kDefaultQueue = 4096;
constexpr DWORD kMaxQueue = RxQueue::kMaxCapacity;  // the largest receive queue a port keeps

class LoopDevice final : public DeviceKind {
public:
    LoopDevice() {
        for (Port& p : ports_) p.dcb = driverDefaultDcb();
    }

    DevHandle open(int port, const char*) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (port < 0 || port >= kPorts) return fail(ENOENT), kNoDevice;
        Port& p = ports_[port];
        if (p.open) return fail(EBUSY), kNoDevice;
        if (p.rx.capacity() == 0 && !p.rx.reset(kMaxQueue)) return fail(ENOMEM), kNoDevice;
        generation_ = handle::nextGeneration(generation_);
        p.open = true;
        p.handle = handle::make(generation_, port);
        p.rx.clear();
        p.errors = 0;
        p.brk = p.xoffReceived = p.xoffSent = p.rtsHeld = false;
        // Opening raises the lines whose control mode says so.
        p.dtr = p.dcb.fDtrControl != DTR_CONTROL_DISABLE;
        p.rts = p.dcb.fRtsControl == RTS_CONTROL_ENABLE || p.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
        return p.handle;
    }

    BOOL CloseHandle(DevHandle h) override {
        std::lock_guard<std::mutex> lock(mu_);
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        p->open = false;
        p->handle = kNoDevice;
        p->dtr = p->rts = p->brk = false;
        p->rx.clear();
        ++p->abortGeneration;
        cv_.notify_all();
        return 1;
    }

    BOOL GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) override {
        std::lock_guard<std::mutex> lock(mu_);
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        if (t == nullptr) return fail(EINVAL);
        *t = p->timeouts;
        return 1;
    }

    BOOL SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) override {
        std::lock_guard<std::mutex> lock(mu_);
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        if (t == nullptr) return fail(EINVAL);
        p->timeouts = *t;
        return 1;
    }

    BOOL GetCommState(DevHandle h, DCB* dcb) override {
        std::lock_guard<std::mutex> lock(mu_);
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        if (dcb == nullptr) return fail(EINVAL);
        *dcb = p->dcb;
        return 1;
    }

    BOOL SetCommState(DevHandle h, const DCB* dcb) override {
        std::lock_guard<std::mutex> lock(mu_);
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        if (dcb == nullptr || !driverAcceptsLineState(*dcb)) return fail(EINVAL);
        sendOwn(*p, applyLineState(*p, *dcb));
        cv_.notify_all();
        return 1;
    }

    BOOL SetupComm(DevHandle h, DWORD inQueue, DWORD) override {
        std::lock_guard<std::mutex> lock(mu_);
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        // 0 keeps the driver's size; the queue holds at most kMaxQueue.
        if (inQueue != 0) p->queueSize = inQueue < kMaxQueue ? inQueue : kMaxQueue;
        return 1;
    }

    BOOL EscapeCommFunction(DevHandle h, DWORD func) override {
        std::lock_guard<std::mutex> lock(mu_);
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        switch (func) {
        case SETDTR:
        case CLRDTR:
            p->dtr = func == SETDTR;
            break;
        case SETRTS:
        case CLRRTS:
            if (p->dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return fail(EINVAL);
            p->rts = func == SETRTS;
            break;
        case SETBREAK:
        case CLRBREAK:
            setBreak(*p, func == SETBREAK);
            break;
        case SETXOFF:
        case SETXON:
            p->xoffReceived = func == SETXOFF;
            break;
        case RESETDEV:
            break;
        default:
            return fail(EINVAL);
        }
        cv_.notify_all();
        return 1;
    }

    BOOL ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) override {
        std::lock_guard<std::mutex> lock(mu_);
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        if (errors != nullptr) *errors = p->errors;
        p->errors = 0;
        if (stat != nullptr) {
            *stat = COMSTAT{};
            stat->fCtsHold = p->dcb.fOutxCtsFlow && !p->rts;
            stat->fXoffHold = p->dcb.fOutX && p->xoffReceived;
            stat->fXoffSent = p->xoffSent;
            stat->cbInQue = p->rx.size();
            stat->cbOutQue = p->txPending;
        }
        return 1;
    }

    BOOL SetCommMask(DevHandle h, DWORD) override {
        std::lock_guard<std::mutex> lock(mu_);
        return lookup(h) == nullptr ? fail(EBADF) : 1;
    }

    // Never waits, whatever the time-outs: what has come back is all there
    // will be until the port writes again.
    BOOL ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (got != nullptr) *got = 0;
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        if (got == nullptr || (buf == nullptr && n > 0)) return fail(EINVAL);
        const DWORD count = p->rx.pop(buf, n);
        *got = count;
        if (count > 0) {
            afterDrain(*p);
            cv_.notify_all();
        }
        return 1;
    }

    BOOL WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) override {
        std::unique_lock<std::mutex> lock(mu_);
        if (written != nullptr) *written = 0;
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        if (written == nullptr || (buf == nullptr && n > 0)) return fail(EINVAL);
        const unsigned generation = p->abortGeneration;
        const BYTE* in = static_cast<const BYTE*>(buf);
        DWORD count = 0;
        p->txPending += n;
        while (count < n) {
            if (txHeld(*p)) {
                cv_.wait(lock, [&] { return p->abortGeneration != generation || !txHeld(*p); });
            }
            if (p->abortGeneration != generation) {
                // Purged or closed while held: the rest is discarded.
                p->txPending -= n - count;
                *written = count;
                return fail(ECANCELED);
            }
            BYTE b = in[count];
            if (p->dcb.ByteSize < 8) b = static_cast<BYTE>(b & ((1u << p->dcb.ByteSize) - 1));
            receive(*p, b);
            ++count;
            --p->txPending;
        }
        *written = count;
        cv_.notify_all();
        return 1;
    }

    BOOL PurgeComm(DevHandle h, DWORD flags) override {
        std::lock_guard<std::mutex> lock(mu_);
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) ++p->abortGeneration;
        if (flags & PURGE_RXCLEAR) {
            p->rx.clear();
            afterDrain(*p);
        }
        cv_.notify_all();
        return 1;
    }

    BOOL GetCommModemStatus(DevHandle h, DWORD* status) override {
        std::lock_guard<std::mutex> lock(mu_);
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        if (status == nullptr) return fail(EINVAL);
        *status = (p->rts ? MS_CTS_ON : 0) | (p->dtr ? MS_DSR_ON | MS_RLSD_ON : 0);
        return 1;
    }

    BOOL SetCommBreak(DevHandle h) override { return breakCall(h, true); }
    BOOL ClearCommBreak(DevHandle h) override { return breakCall(h, false); }

private:
    struct Port {
        bool open = false;
        DevHandle handle = kNoDevice;
        DCB dcb{};
        COMMTIMEOUTS timeouts{};
        RxQueue rx;                      // the receive queue (capacity kMaxQueue)
        DWORD queueSize = kDefaultQueue;  // the bytes it may hold, as SetupComm asked
        DWORD errors = 0;
        DWORD txPending = 0;
        bool dtr = false;
        bool rts = false;
        bool brk = false;
        bool xoffReceived = false;  // the transmitter is held by an XOFF
        bool xoffSent = false;      // the receiver has sent XOFF
        bool rtsHeld = false;       // handshake RTS dropped because the queue is full
        unsigned abortGeneration = 0;
    };

    Port* lookup(DevHandle h) {
        const unsigned slot = handle::slotOf(h);
        if (slot >= static_cast<unsigned>(kPorts)) return nullptr;
        Port& p = ports_[slot];
        return p.open && p.handle == h ? &p : nullptr;
    }

    // CTS is the port's own RTS.
    static bool txHeld(const Port& p) {
        return (p.dcb.fOutxCtsFlow && !p.rts) || (p.dcb.fOutX && p.xoffReceived);
    }

    // One byte arriving at the port's receiver.
    void receive(Port& p, BYTE b) {
        if (p.dcb.fOutX && (b == static_cast<BYTE>(p.dcb.XoffChar) || b == static_cast<BYTE>(p.dcb.XonChar))) {
            p.xoffReceived = b == static_cast<BYTE>(p.dcb.XoffChar);
            return;
        }
        if (p.rx.size() >= p.queueSize) {
            p.errors |= CE_RXOVER;
            return;
        }
        p.rx.push(&b, 1);
        sendOwn(p, holdOffWhenFull(p, static_cast<DWORD>(p.rx.size()), p.queueSize));
    }

    // After bytes left the receive queue: release the sender.
    void afterDrain(Port& p) { sendOwn(p, releaseAfterDrain(p, static_cast<DWORD>(p.rx.size()))); }

    // A flow-control byte the port sends reaches its own receiver.
    void sendOwn(Port& p, int control) {
        if (control >= 0) receive(p, static_cast<BYTE>(control));
    }

    // Starting a break is seen by the receiver as CE_BREAK.
    static void setBreak(Port& p, bool on) {
        if (on && !p.brk) p.errors |= CE_BREAK;
        p.brk = on;
    }

    BOOL breakCall(DevHandle h, bool on) {
        std::lock_guard<std::mutex> lock(mu_);
        Port* p = lookup(h);
        if (p == nullptr) return fail(EBADF);
        setBreak(*p, on);
        return 1;
    }

    std::mutex mu_;
    std::condition_variable cv_;
    Port ports_[kPorts];
    unsigned generation_ = 0;
};

}  // namespace

DeviceKind& loopKind() {
    static LoopDevice loop;
    return loop;
}

}  // namespace velk
