// Test builds only (velk32_testing); never in a shipped library.
// SimDevice: an in-process serial device behind DeviceApi, for tests: the
// line model of the in-process ports (inproc/line_model.h, the same one that
// loop:// keeps) with controls to wire its nine ports, "COM1" to "COM9", and
// to make things happen on their lines. A port is absent, present with
// nothing attached, wired to a loopback plug (TX to RX, RTS to CTS, DTR to
// DSR and DCD) or cross-wired to another simulated port as a null-modem pair
// (the same wires, each way). Everything else -- exclusive open, the receive
// queue and its limit, line errors, break, modem inputs, flow control and
// held writes, the line states a driver refuses, a driver without escape
// functions, framing errors between ends that do not share a line format --
// is the model's. Error codes are the
// platform's (kErr*), kept per thread for GetLastError. All of it is
// thread-safe: a writer blocked by flow control waits without holding the
// device's lock.
#ifndef VELK_DEVICE_TESTING_SIM_DEVICE_H
#define VELK_DEVICE_TESTING_SIM_DEVICE_H

#include <chrono>
#include <cstddef>

#include "device/device_api.h"
#include "device/inproc/line_model.h"

namespace velk {

class SimDevice final : public DeviceApi, private LineModel {
public:
    using LineModel::kDefaultQueue;
    using LineModel::kPorts;
    using LineModel::Wiring;

    SimDevice();  // every port absent

    // ---- Wiring (ports are 0 for COM1 to 8 for COM9; any other port number
    // stops the test with an assertion). -------------------------------------
    // Absent: opening fails. A port removed while open keeps its handle, but
    // every operation on it but CloseHandle fails (kErrGenFailure), as with
    // an unplugged USB adapter; a write in progress is aborted.
    void setAbsent(int port);
    void setUnplugged(int port);  // present, nothing on the other end
    void setLoopback(int port);
    void connectNullModem(int a, int b);

    // ---- Test controls. -------------------------------------------------
    // Bytes arriving from the line, as if sent by a peer in the port's own
    // format (they are subject to the queue limit and software flow control;
    // a port not open loses them).
    void injectReceived(int port, const void* data, std::size_t n);
    // Line errors as the UART would report them (CE_* flags).
    void injectErrors(int port, DWORD ceFlags);
    // Overrides the modem inputs under mask (MS_* bits) with values; the rest
    // follow the wiring. A mask of 0 returns every input to the wiring.
    void setModemInputs(int port, DWORD mask, DWORD values);
    // The line state and time-outs the device holds while closed, as another
    // program or the driver's defaults would have left them.
    void setDeviceState(int port, const DCB& dcb);
    void setDeviceTimeouts(int port, const COMMTIMEOUTS& t);
    // The port's driver has no escape functions: SETDTR, CLRDTR, SETRTS,
    // CLRRTS and RESETDEV fail with kErrGenFailure (as USB CDC drivers are
    // known to answer), while SetCommState still sets DTR and RTS by their
    // control modes. Kept until changed, across opens.
    void setNoEscapes(int port, bool on);

    // ---- Observation. ---------------------------------------------------
    // Everything a test looks at of one port, taken at one instant under
    // the device's lock.
    struct Snapshot {
        Wiring wiring;
        bool open;
        int openCount;  // successful opens so far
        DCB dcb;        // the line state (kept while closed)
        COMMTIMEOUTS timeouts;
        bool dtr;
        bool rts;
        bool breakOn;
        DWORD modemStatus;  // the inputs as GetCommModemStatus reports them
        std::size_t rxCount;
        DWORD pendingErrors;
        DWORD queueSize;  // as SetupComm asked, at most LineModel::kMaxQueue
        DWORD eventMask;
        std::size_t txPending;  // bytes of writes in progress
        // The transmitter is held off by flow control (CTS low under CTS
        // handshaking, or an XOFF received under XON/XOFF): a write started
        // now would wait for the peer.
        bool txHeldOff;
    };
    Snapshot snapshot(int port) const;

    // Waits up to timeout until a write on the port is held off by flow
    // control; true when one is.
    bool waitForHeldWrite(int port, std::chrono::milliseconds timeout) const;

    // ---- DeviceApi. -----------------------------------------------------
    DevHandle CreateFileA(const char* name) override;
    BOOL GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) override;
    BOOL SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) override;
    BOOL GetCommState(DevHandle h, DCB* dcb) override;
    BOOL SetCommState(DevHandle h, const DCB* dcb) override;
    BOOL SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) override;
    BOOL EscapeCommFunction(DevHandle h, DWORD func) override;
    BOOL ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) override;
    BOOL SetCommMask(DevHandle h, DWORD mask) override;
    BOOL ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) override;
    BOOL WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) override;
    BOOL PurgeComm(DevHandle h, DWORD flags) override;
    BOOL GetCommModemStatus(DevHandle h, DWORD* status) override;
    BOOL SetCommBreak(DevHandle h) override;
    BOOL ClearCommBreak(DevHandle h) override;
    BOOL CloseHandle(DevHandle h) override;
    // The simulated device offers no wait (kErrNotSupported): velk_wait's
    // tests run on the POSIX kinds themselves.
    BOOL WaitForReceive(DevHandle h, int timeoutMs, BOOL* ready) override;
    BOOL ReceiveDescriptor(DevHandle h, int* fd) override;
    DWORD GetLastError() override;

private:
    static void checkPort(int port);
    Port& at(int port);
    const Port& at(int port) const;
    void unwire(int port);
    static BOOL done(DWORD err);
};

}  // namespace velk

#endif  // VELK_DEVICE_TESTING_SIM_DEVICE_H
