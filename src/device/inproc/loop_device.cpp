// The loop:// kind of the POSIX library: a loopback plug on each port mapped
// to "loop://", with no hardware. What the port sends comes back to it: TX to
// RX, RTS to CTS, DTR to DSR and DCD, a break to CE_BREAK. Everything else a
// program sees of the plug -- exclusive open, the receive queue and its
// limit, the line state a driver accepts, flow control, held writes -- is the
// in-process line model (line_model.h) with every port looped back on
// itself; this file only hands each operation to it and records its error
// code (an errno value on POSIX) as the thread's last error.
#include "device/inproc/line_model.h"
#include "device/kind/device_kind.h"

namespace velk {

namespace {

class LoopDevice final : public DeviceKind {
public:
    LoopDevice() : model_(LineModel::Wiring::Loopback) {}

    DevHandle open(int port, const char*) override {
        DevHandle h = kNoDevice;
        const DWORD err = model_.open(port, &h);
        if (err != 0) fail(static_cast<int>(err));
        return h;
    }

    BOOL CloseHandle(DevHandle h) override { return done(model_.close(h)); }
    BOOL GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) override { return done(model_.timeouts(h, t)); }
    BOOL SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) override { return done(model_.setTimeouts(h, t)); }
    BOOL GetCommState(DevHandle h, DCB* dcb) override { return done(model_.state(h, dcb)); }
    BOOL SetCommState(DevHandle h, const DCB* dcb) override { return done(model_.setState(h, dcb)); }
    BOOL SetupComm(DevHandle h, DWORD inQueue, DWORD) override { return done(model_.setQueue(h, inQueue)); }
    BOOL EscapeCommFunction(DevHandle h, DWORD func) override { return done(model_.escape(h, func)); }
    BOOL ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) override {
        return done(model_.clearErrors(h, errors, stat));
    }
    BOOL SetCommMask(DevHandle h, DWORD mask) override { return done(model_.setEventMask(h, mask)); }
    BOOL ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) override { return done(model_.read(h, buf, n, got)); }
    BOOL WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) override {
        return done(model_.write(h, buf, n, written));
    }
    BOOL PurgeComm(DevHandle h, DWORD flags) override { return done(model_.purge(h, flags)); }
    BOOL GetCommModemStatus(DevHandle h, DWORD* status) override { return done(model_.modemStatus(h, status)); }
    BOOL SetCommBreak(DevHandle h) override { return done(model_.setBreak(h, true)); }
    BOOL ClearCommBreak(DevHandle h) override { return done(model_.setBreak(h, false)); }

private:
    static BOOL done(DWORD err) { return err == 0 ? 1 : fail(static_cast<int>(err)); }

    LineModel model_;
};

}  // namespace

DeviceKind& loopKind() {
    static LoopDevice loop;
    return loop;
}

}  // namespace velk
