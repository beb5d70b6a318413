// PosixDevice: DeviceApi over a real serial driver through termios and the
// tty ioctls, for Linux and the other POSIX systems (on-board UARTs, USB
// adapters, ptys). Port COMn opens the device file that velk_map_port chose
// (by default /dev/ttyS<n-1>), exclusively and in raw mode; a port mapped to
// "loop://" is served by an internal simulated device wired as a loopback
// plug, whose handles carry a tag bit so that every operation reaches the
// device that issued the handle. The backend's own per-handle state (the
// time-outs, the event mask, the DCB fields termios has no place for, the
// line-error counters last seen) sits in a fixed table: no operation
// allocates. Error codes are errno values.
#ifndef VELK_DEVICE_POSIX_DEVICE_H
#define VELK_DEVICE_POSIX_DEVICE_H

#include <atomic>
#include <mutex>

#include "device/device_api.h"
#include "device/posix_line_state.h"
#include "device/rx_queue.h"
#include "device/sim_device.h"

namespace velk {

class PosixDevice final : public DeviceApi {
public:
    // Open handles at a time (the library holds at most nine).
    static constexpr int kSlots = 16;
    // Set in every handle of the loopback plug's simulated device.
    static constexpr DevHandle kLoopTag = DevHandle(1) << (sizeof(DevHandle) * 8 - 2);

    PosixDevice();

    // The simulated device behind "loop://" ports (for tests to observe).
    SimDevice& loopDevice() { return loop_; }

    // Opens the device mapped to "COM1" .. "COM9": O_RDWR | O_NOCTTY |
    // O_NONBLOCK | O_CLOEXEC, then flock(LOCK_EX | LOCK_NB) and TIOCEXCL
    // (a device held elsewhere fails with EBUSY), then raw mode with CLOCAL
    // and CREAD, the rest of the line state as the device had it. A file
    // that is not a terminal fails with ENOTTY.
    DevHandle CreateFileA(const char* name) override;
    // The time-outs are the handle's own (all zero at open) and govern
    // ReadFile and WriteFile as on Windows.
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
    // control mode is then carried out with TIOCMBIS/TIOCMBIC (ignored on
    // devices without modem lines, such as ptys).
    BOOL SetCommState(DevHandle h, const DCB* dcb) override;
    // Sizes the handle's receive queue (RxQueue::capacityFor(inQueue)) while
    // it is empty; a queue holding bytes keeps its size. The driver's own
    // queues have fixed sizes.
    BOOL SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) override;
    // SETDTR/CLRDTR/SETRTS/CLRRTS via TIOCMBIS/TIOCMBIC (RTS refused with
    // EINVAL under RTS handshaking), SETBREAK/CLRBREAK, SETXOFF/SETXON via
    // tcflow; RESETDEV succeeds without effect.
    BOOL EscapeCommFunction(DevHandle h, DWORD func) override;
    // The bytes waiting in the handle's receive queue, fetched fresh from the
    // kernel (FIONREAD, then one read into the queue's free space when it
    // finds bytes) unless ReadFile has taken bytes since the previous query
    // and the queue still holds some: then the queue alone answers, and the
    // caller, busy taking bytes, comes back for the rest. A caller that only
    // waits on the count therefore fetches at every query and sees every
    // byte as it arrives. A full queue reads nothing more: the rest stays in
    // the kernel, whose flow control holds the sender off, and is added to
    // the count (FIONREAD). TIOCOUTQ is asked only while something written
    // may still be waiting to go out (0 otherwise), the line errors since
    // the last fetch from the TIOCGICOUNT counters where the driver has them
    // (asked once otherwise). A hung-up device fails (EIO) once its queue is
    // empty.
    BOOL ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) override;
    // Records the mask.
    BOOL SetCommMask(DevHandle h, DWORD mask) override;
    // Takes the bytes the receive queue holds first, then reads the rest
    // straight from the kernel under the handle's time-outs as Windows
    // documents them (see readLoop); waits sleep in poll. End of file means
    // the tty hung up: EIO when nothing was read, and bytes taken before a
    // failure are delivered, the failure left for the next call.
    BOOL ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) override;
    // Hands every byte to the driver, continuing partial writes and waiting
    // in poll while its queue is full; with write time-outs set, ends when
    // they expire and reports the bytes taken (success). A hung-up tty: EIO.
    BOOL WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) override;
    // tcflush of the queues named; the receive side empties the handle's
    // queue too.
    BOOL PurgeComm(DevHandle h, DWORD flags) override;
    // TIOCMGET: CTS, DSR, RI and DCD as MS_* bits (ptys have no modem
    // lines: ENOTTY, *status untouched).
    BOOL GetCommModemStatus(DevHandle h, DWORD* status) override;
    // TIOCSBRK / TIOCCBRK.
    BOOL SetCommBreak(DevHandle h) override;
    BOOL ClearCommBreak(DevHandle h) override;
    // Gives up exclusivity and closes the file; the handle is dead after it
    // whatever the result.
    BOOL CloseHandle(DevHandle h) override;
    // The errno of the operation that last failed on this thread.
    DWORD GetLastError() override;

private:
    struct Slot {
        // kNoDevice when free. Written under mu_ when the slot is taken or
        // freed; read without it by lookup(), which every call makes.
        std::atomic<DevHandle> handle{kNoDevice};
        int fd = -1;
        COMMTIMEOUTS timeouts{};
        DWORD eventMask = 0;
        bool noCounters = false;  // the driver answered TIOCGICOUNT with ENOTTY/EINVAL
        LineCounters seen{};      // counters at the last query
        DCB dcb{};                // the last record applied (for the fields termios lacks)
        RxQueue rx;               // bytes read from the kernel, not yet taken (storage kept across opens)
        bool takenSinceQuery = false;  // ReadFile took from rx since the last ClearCommError
        bool outPending = false;       // written since TIOCOUTQ was last seen 0
    };

    Slot* lookup(DevHandle h);
    BOOL fail(int err);
    BOOL fromLoop(BOOL ok);
    DevHandle openLoop(int port);
    int fetch(Slot& s);
    BOOL readLoop(Slot& s, unsigned char* buf, DWORD n, DWORD count, DWORD* got);
    BOOL writeLoop(Slot& s, const unsigned char* buf, DWORD n, DWORD* written);
    BOOL blockingRest(Slot& s, const unsigned char* buf, DWORD n, DWORD count, DWORD* written);
    BOOL setLine(Slot& s, int bit, bool on);
    BOOL readState(Slot& s, DCB* dcb);

    std::mutex mu_;  // guards the slot table while a slot is taken or freed
    Slot slots_[kSlots];
    unsigned generation_ = 0;
    SimDevice loop_;
};

}  // namespace velk

#endif  // VELK_DEVICE_POSIX_DEVICE_H
