// TtyDevice: the POSIX ports that stand for a device file, over termios and
// the tty ioctls (on-board UARTs, USB adapters, ptys). A port opens the path
// its mapping names, exclusively and in raw mode. The kind's own per-handle
// state (the time-outs, the event mask, the DCB fields termios has no place
// for, the line-error counters last seen) sits in a fixed table: no operation
// allocates. Error codes are errno values.
#ifndef VELK_DEVICE_POSIX_TTY_DEVICE_H
#define VELK_DEVICE_POSIX_TTY_DEVICE_H

#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "device/kind/device_kind.h"
#include "device/posix/line_state.h"
#include "device/common/rx_queue.h"

namespace velk {

class TtyDevice : public DeviceKind {
public:
    // Open handles at a time (the library holds at most nine).
    static constexpr int kSlots = 16;
    static_assert(kSlots <= handle::kMaxSlots, "handles name at most handle::kMaxSlots slots");

    TtyDevice() = default;
    TtyDevice(const TtyDevice&) = delete;
    TtyDevice& operator=(const TtyDevice&) = delete;

    // Opens the file at target: O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC,
    // then flock(LOCK_EX | LOCK_NB) and TIOCEXCL (a device held elsewhere
    // fails with EBUSY), then raw mode with CLOCAL and CREAD, the rest of the
    // line state as the device had it, and the driver's low-latency mode on
    // where it has one (low_latency.h). A file that is not a terminal
    // fails with ENOTTY.
    DevHandle open(int port, const char* target) override;
    // The time-outs are the handle's own (all zero at open) and govern
    // ReadFile and WriteFile as on Windows (common/deadline.h).
    BOOL GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) override;
    BOOL SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) override;
    // Reads the line state back from the driver (rate through TCGETS2 on
    // Linux); the fields termios does not hold come from the last record
    // applied.
    BOOL GetCommState(DevHandle h, DCB* dcb) override;
    // Maps the record onto termios in one request; a value termios cannot
    // express fails with EINVAL and changes nothing. What the driver does
    // with a request it takes is its own (a pty keeps 8 data bits and no
    // parity whatever is asked); GetCommState shows it. A changed DTR/RTS
    // control mode is then carried out on the line (ignored on devices
    // without modem lines, such as ptys); when that fails, the previous
    // termios and lines are put back before the failure is reported.
    BOOL SetCommState(DevHandle h, const DCB* dcb) override;
    // Sizes the handle's receive queue (RxQueue::capacityFor(inQueue)) while
    // it is empty; a queue holding bytes keeps its size. The driver's own
    // queues have fixed sizes.
    BOOL SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) override;
    // SETDTR/CLRDTR/SETRTS/CLRRTS on the modem lines (RTS refused with
    // EINVAL under RTS handshaking), SETBREAK/CLRBREAK, SETXOFF/SETXON via
    // tcflow; RESETDEV succeeds without effect.
    BOOL EscapeCommFunction(DevHandle h, DWORD func) override;
    // The bytes waiting in the handle's receive queue. The query fetches
    // fresh bytes from the kernel (FIONREAD, then a read into the queue's
    // free space when that finds any) unless ReadFile has taken bytes since
    // the query before the previous one and the queue still holds some:
    // then the queue alone answers, and the caller, busy taking bytes, comes
    // back for the rest once it is empty. (Two queries, not one: a caller
    // that asks SioRxQue before each SioGetc, whose own query follows, then
    // drains with no system call per byte.) A caller that only waits on the
    // count fetches at every query but the first two after a take, and so
    // sees every byte as it arrives. A full queue reads
    // nothing more: the rest stays in the kernel, whose flow control holds
    // the sender off, and is added to the count as FIONREAD found it.
    // TIOCOUTQ is asked only while something written may still wait to go
    // out (0 otherwise); the line errors come from the driver's counters
    // where it keeps them (asked once otherwise), read at every query but
    // the first after a take. A hung-up device fails (EIO), once its queue
    // is empty.
    BOOL ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) override;
    // Records the mask.
    BOOL SetCommMask(DevHandle h, DWORD mask) override;
    // Takes what the receive queue holds, then reads the rest straight from
    // the kernel under the handle's time-outs; waits sleep in poll. End of
    // file means the tty hung up: EIO when nothing was read. Bytes taken
    // before a failure are delivered; the failure shows at the next call.
    BOOL ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) override;
    // Hands every byte to the driver, continuing partial writes and waiting
    // while its queue is full; with write time-outs set, ends when they
    // expire and reports the bytes taken (success). A hung-up tty: EIO.
    BOOL WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) override;
    // Ready at once when the receive queue holds bytes; otherwise sleeps in
    // poll on the file until the kernel has bytes for it, or the device
    // hangs up or fails (the next read reports it), or the time runs out.
    BOOL WaitForReceive(DevHandle h, int timeoutMs, BOOL* ready) override;
    // The device file's own descriptor: it shows what the kernel holds, not
    // the handle's receive queue.
    BOOL ReceiveDescriptor(DevHandle h, int* fd) override;
    // tcflush of the queues named: TCIFLUSH for the receive side (which
    // empties the handle's receive queue too), TCOFLUSH for the transmit side.
    BOOL PurgeComm(DevHandle h, DWORD flags) override;
    // TIOCMGET: CTS, DSR, RI and DCD as MS_* bits (ptys have no modem
    // lines: ENOTTY, *status untouched).
    BOOL GetCommModemStatus(DevHandle h, DWORD* status) override;
    // TIOCSBRK / TIOCCBRK.
    BOOL SetCommBreak(DevHandle h) override;
    BOOL ClearCommBreak(DevHandle h) override;
    // Waits for written output while it keeps draining, however slowly; once
    // nothing has left for a second (or ten character times at the line's
    // rate, when longer) discards the rest (TCOFLUSH), so that the close
    // never waits for the driver's closing_wait (30 s on most) behind a peer
    // that holds the line with XOFF or CTS. Then puts the driver's
    // low-latency mode back as open found it, gives up exclusivity and
    // closes the file; the handle is dead after it whatever the result.
    BOOL CloseHandle(DevHandle h) override;

protected:
    // TIOCOUTQ: the bytes written and not yet sent, or -1 when the device
    // fails the request. Virtual so that a test can stand for a driver
    // whose queue drains or is held.
    virtual int queuedOutput(int fd);
    // Raises or lowers one modem output line (TIOCM_DTR, TIOCM_RTS) with
    // TIOCMBIS/TIOCMBIC. Returns 0 or the errno. Virtual so that a test can
    // make the line fail as a vanishing device does.
    virtual int setModemLine(int fd, int bit, bool on);

private:
    // The status queries after a take that answer from the queue alone.
    static constexpr std::uint8_t kQueriesToFetch = 2;

    // The fields a read or a status query touches come first, in one cache
    // line.
    struct alignas(64) Slot {
        // kNoDevice when free. Written under mu_ when the slot is taken or
        // freed; read without it by lookup(), which every call makes.
        std::atomic<DevHandle> handle{kNoDevice};
        int fd = -1;
        // ClearCommErrors since ReadFile last took from rx, up to
        // kQueriesToFetch (also when nothing was taken since the open or a
        // purge): below it, a query answers from rx alone while rx holds bytes.
        std::uint8_t queriesSinceTake = kQueriesToFetch;
        bool outPending = false;       // written since TIOCOUTQ last answered 0
        RxQueue rx;                    // read from the kernel, not yet taken; storage kept across opens
        COMMTIMEOUTS timeouts{};
        DWORD eventMask = 0;
        bool noCounters = false;  // the driver keeps no line-error counters
        bool lowLatencySet = false;  // open turned the driver's low-latency mode on
        LineCounters seen{};      // counters at the last query
        DCB dcb{};                // the last record applied (for the fields termios lacks)
    };

    // The slot whose handle h is, or null. No lock: one atomic load tells
    // whether the handle is still this slot's (taking and freeing a slot
    // store it under mu_). kNoDevice's index is past the table.
    Slot* lookup(DevHandle h) {
        const unsigned index = handle::slotOf(h);
        if (index >= static_cast<unsigned>(kSlots)) return nullptr;
        Slot& s = slots_[index];
        return s.handle.load(std::memory_order_acquire) == h ? &s : nullptr;
    }
    // The driver's answer when it has no such request: the device lacks the
    // feature (ptys have neither modem lines nor error counters).
    static bool unsupported(int err) { return err == ENOTTY || err == EINVAL; }
    // The monotonic clock, in milliseconds.
    static std::int64_t nowMs();
    BOOL line(Slot& s, int bit, bool on);
    void drainForClose(Slot& s);
    BOOL readState(Slot& s, DCB* dcb);
    int fetch(Slot& s, int& avail);
    BOOL query(Slot* s, int avail, DWORD* errors, COMSTAT* stat);
    BOOL readLoop(Slot& s, unsigned char* buf, DWORD n, DWORD count, DWORD* got);
    BOOL writeLoop(Slot& s, const unsigned char* buf, DWORD n, ssize_t first, std::int64_t startMs,
                   DWORD* written);
    BOOL blockingRest(Slot& s, const unsigned char* buf, DWORD n, DWORD count, DWORD* written);

    std::mutex mu_;  // guards the slot table while a slot is taken or freed
    Slot slots_[kSlots];
    unsigned generation_ = 0;
};

}  // namespace velk

#endif  // VELK_DEVICE_POSIX_TTY_DEVICE_H
