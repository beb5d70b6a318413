// LineModel: the serial line of the in-process ports, as a Windows serial
// driver shows it to a program. Nine ports (0 for COM1 to 8 for COM9), each
// absent, present with nothing attached, looped back on itself (TX to RX, RTS
// to CTS, DTR to DSR and DCD) or cross-wired to another port as a null-modem
// pair (the same wires, each way). For each port it keeps:
//  - exclusive open, with handles in the format of common/handle.h;
//  - a receive queue of the size SetupComm asks (0 keeps it; at most
//    kMaxQueue): bytes beyond it are lost and raise CE_RXOVER. Its storage
//    is an RxQueue taken at the port's first open and grown only when
//    SetupComm asks for more; no other operation allocates;
//  - the line state, checked as a driver checks it, and the line-error
//    flags: CE_BREAK when the other end starts a break, CE_FRAME (and
//    CE_RXPARITY when parity is checked) for each byte sent in another line
//    format than the receiver's;
//  - modem inputs from the wiring: the other end's RTS as CTS, its DTR as
//    DSR and DCD, while it is open;
//  - hardware and software flow control: a receiver holds its sender off
//    (handshake RTS drops, XOFF goes out) once fewer than XoffLim bytes of its
//    queue are free, and releases it once no more than XonLim wait; under
//    output XON/XOFF a received XON or XOFF is flow control, not data;
//  - on request, a driver without escape functions (USB CDC drivers can be
//    so): only the line state's control modes set DTR and RTS;
//  - writes held off by flow control, which wait without the lock until a
//    read, a line change, a purge or a close releases them.
// Bytes move at once, one at a time, so limits and flow control apply byte by
// byte. A port not open takes nothing in: what reaches it is lost.
//
// The front ends: loop:// (loop_device.cpp), every port looped back, and the
// tests' simulated device (testing/sim_device.h), which rewires ports and
// injects line events through the protected members. The operations return
// 0 or the error code (kErr*) and keep no last error: each front end records
// it its own way. Every member is thread-safe. A front end may show a port's
// input outside the model (watchInput), as loop:// does on a descriptor.
#ifndef VELK_DEVICE_INPROC_LINE_MODEL_H
#define VELK_DEVICE_INPROC_LINE_MODEL_H

#include <condition_variable>
#include <mutex>

#include "device/common/rx_queue.h"
#include "device/device_api.h"

namespace velk {

class LineModel {
public:
    static constexpr int kPorts = 9;
    static constexpr DWORD kDefaultQueue = 4096;
    static constexpr DWORD kMaxQueue = RxQueue::kMaxCapacity;

    enum class Wiring { Absent, Unplugged, Loopback, NullModem };

    // Every port wired as `wiring` (Absent, Unplugged or Loopback), closed,
    // with the line state of a port nobody has configured.
    explicit LineModel(Wiring wiring);

    // Opens port (0..8) exclusively: kErrFileNotFound for a port outside
    // them or absent, kErrAccessDenied for one already open.
    DWORD open(int port, DevHandle* h);
    // Works on a port removed while open, as on any other.
    DWORD close(DevHandle h);

    // The rest fail with kErrInvalidHandle for a handle no open port holds,
    // kErrGenFailure for a port removed while open, kErrInvalidParameter for
    // a missing record or an unknown function; each stands for the DeviceApi
    // operation of the same meaning.
    DWORD timeouts(DevHandle h, COMMTIMEOUTS* t);
    DWORD setTimeouts(DevHandle h, const COMMTIMEOUTS* t);
    DWORD state(DevHandle h, DCB* dcb);
    DWORD setState(DevHandle h, const DCB* dcb);
    DWORD setQueue(DevHandle h, DWORD inQueue);
    DWORD escape(DevHandle h, DWORD func);
    DWORD clearErrors(DevHandle h, DWORD* errors, COMSTAT* stat);
    DWORD setEventMask(DevHandle h, DWORD mask);
    DWORD read(DevHandle h, void* buf, DWORD n, DWORD* got);  // never waits
    DWORD write(DevHandle h, const void* buf, DWORD n, DWORD* written);
    DWORD purge(DevHandle h, DWORD flags);
    DWORD modemStatus(DevHandle h, DWORD* status);
    DWORD setBreak(DevHandle h, bool on);

    // Watching a port's input from outside the model, for a front end that
    // shows it on a descriptor: the first call for an open port runs
    // startWatch(port), then inputChanged(port, hasInput) with the queue's
    // state; from then on, until the port closes, inputChanged runs each
    // time the receive queue turns from empty to holding bytes or back, and
    // endWatch(port) at the close. All of them run under the model's lock.
    // *port is the port's number. Returns 0 or the error code (startWatch's
    // own, kErrNotSupported by default).
    DWORD watchInput(DevHandle h, int* port);

protected:
    // The front end's side of watchInput (see above); the model's own do
    // nothing, and startWatch refuses.
    virtual DWORD startWatch(int port);
    virtual void inputChanged(int port, bool hasInput);
    virtual void endWatch(int port);

    struct Port {
        Wiring wiring = Wiring::Absent;
        int peer = -1;  // the other end of a null-modem pair
        bool open = false;
        DevHandle handle = kNoDevice;
        DCB dcb{};  // the line state (kept while closed)
        COMMTIMEOUTS timeouts{};
        RxQueue rx;
        DWORD queueSize = kDefaultQueue;  // the bytes rx may hold
        DWORD errors = 0;
        DWORD eventMask = 0;
        bool dtr = false;
        bool rts = false;
        bool brk = false;
        // A driver without escape functions (as USB CDC drivers can be):
        // SETDTR, CLRDTR, SETRTS, CLRRTS and RESETDEV fail with
        // kErrGenFailure; the line state's control modes still set the lines.
        bool noEscapes = false;
        bool xoffReceived = false;  // the transmitter is held by an XOFF
        bool xoffSent = false;      // the receiver has sent XOFF
        bool rtsHeld = false;       // handshake RTS dropped because the queue is full
        DWORD forcedMask = 0;       // modem inputs (MS_*) set from outside the wiring
        DWORD forcedValues = 0;
        DWORD txPending = 0;  // bytes of writes in progress
        int heldWriters = 0;
        unsigned abortGeneration = 0;  // moves on a purge or close: held writes end
        int opens = 0;
        bool watched = false;     // watchInput was called since the open
        bool inputShown = false;  // inputChanged last said the queue holds bytes
    };

    // The members below expect mu_ held.
    // Where the port's TX goes, which is also whose outputs drive its inputs
    // (the wiring is symmetric); -1 for none.
    int receiverOf(int port) const {
        const Port& p = ports_[port];
        return p.wiring == Wiring::Loopback ? port : p.wiring == Wiring::NullModem ? p.peer : -1;
    }
    // The modem inputs as GetCommModemStatus reports them.
    DWORD inputsOf(int port) const {
        const int src = receiverOf(port);
        DWORD status = 0;
        if (src >= 0 && ports_[src].open) {
            if (ports_[src].rts) status |= MS_CTS_ON;
            if (ports_[src].dtr) status |= MS_DSR_ON | MS_RLSD_ON;
        }
        return (status & ~ports_[port].forcedMask) | ports_[port].forcedValues;
    }
    // A write started now would wait (CTS low under CTS flow control, or an
    // XOFF received under output XON/XOFF).
    bool txHeld(int port) const {
        const Port& p = ports_[port];
        if (p.dcb.fOutxCtsFlow && (inputsOf(port) & MS_CTS_ON) == 0) return true;
        return p.dcb.fOutX && p.xoffReceived;
    }
    // One byte arriving at the port's receiver; framingError when it was
    // sent in another line format.
    void receive(int port, BYTE b, bool framingError);

    mutable std::mutex mu_;
    mutable std::condition_variable cv_;  // notified on every change a held write may wait for
    Port ports_[kPorts];

private:
    Port* portOf(DevHandle h);          // the open port of a handle, or null
    DWORD live(DevHandle h, Port*& p);  // the same, still present, or the error
    int indexOf(const Port& p) const { return static_cast<int>(&p - ports_); }
    struct Wire {
        int to;         // the receiver, or -1
        BYTE mask;      // the sender's data bits
        bool mismatch;  // the two ends differ in line format
    };
    Wire wireOf(int from) const;
    void sendControl(int from, int control);
    void breakLocked(int port, bool on);
    int applyLineState(Port& p, const DCB& dcb);
    int holdOffWhenFull(Port& p);
    int releaseAfterDrain(Port& p);
    // Tells a watcher when the queue has turned empty or not.
    void noteInput(Port& p) {
        if (p.watched && p.rx.empty() == p.inputShown) {
            p.inputShown = !p.inputShown;
            inputChanged(indexOf(p), p.inputShown);
        }
    }

    unsigned generation_ = 0;
};

}  // namespace velk

#endif  // VELK_DEVICE_INPROC_LINE_MODEL_H
