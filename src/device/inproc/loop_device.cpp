// The loop:// kind of the POSIX library: a loopback plug on each port mapped
// to "loop://", with no hardware. What the port sends comes back to it: TX to
// RX, RTS to CTS, DTR to DSR and DCD, a break to CE_BREAK. Everything else a
// program sees of the plug -- exclusive open, the receive queue and its
// limit, the line state a driver accepts, flow control, held writes -- is the
// in-process line model (line_model.h) with every port looped back on
// itself; this file only hands each operation to it and records its error
// code (an errno value on POSIX) as the thread's last error.
//
// Waiting: the queue is in-process, so a port shows its input on a
// descriptor of its own, made at the first wait or request for it and
// closed with the port: an eventfd on Linux, a pipe elsewhere, readable
// exactly while the port's receive queue holds bytes (the model tells each
// change under its lock, so the descriptor never says "readable" over an
// empty queue). Only the port writes to its own queue, so bytes written
// before a wait end it at once, and with nothing written it lasts its
// time-out.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#if defined(__linux__)
#include <sys/eventfd.h>
#endif

#include "device/inproc/line_model.h"
#include "device/kind/device_kind.h"

namespace velk {

namespace {

// The line model with every port looped back, each watched port showing its
// input on a descriptor.
class LoopModel final : public LineModel {
public:
    LoopModel() : LineModel(Wiring::Loopback) {}

    // The descriptor of h's port, made now if the port has none yet.
    DWORD descriptor(DevHandle h, int* fd) {
        int port = -1;
        const DWORD err = watchInput(h, &port);
        if (err != 0) return err;
        std::lock_guard<std::mutex> lock(mu_);
        *fd = signal_[port].read;
        return *fd >= 0 ? 0 : kErrInvalidHandle;  // closed by another thread meanwhile
    }

private:
    struct Signal {
        int read = -1;   // what the program watches
        int write = -1;  // the same descriptor for an eventfd
    };

    DWORD startWatch(int port) override {
        Signal& sig = signal_[port];
#if defined(__linux__)
        const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd < 0) return static_cast<DWORD>(errno);
        sig.read = sig.write = fd;
#else
        int fds[2];
        if (::pipe(fds) != 0) return static_cast<DWORD>(errno);
        for (int fd : fds) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
        }
        sig.read = fds[0];
        sig.write = fds[1];
#endif
        return 0;
    }

    // One token while the queue holds bytes, none while it is empty.
    void inputChanged(int port, bool hasInput) override {
        const Signal& sig = signal_[port];
        std::uint64_t token = 1;
#if defined(__linux__)
        const std::size_t size = sizeof token;
#else
        const std::size_t size = 1;
#endif
        ssize_t r;
        do {
            r = hasInput ? ::write(sig.write, &token, size) : ::read(sig.read, &token, size);
        } while (r < 0 && errno == EINTR);
    }

    void endWatch(int port) override {
        Signal& sig = signal_[port];
        ::close(sig.read);
        if (sig.write != sig.read) ::close(sig.write);
        sig = Signal{};
    }

    Signal signal_[kPorts];
};

class LoopDevice final : public DeviceKind {
public:
    LoopDevice() = default;

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
    // Ready at once while the queue holds bytes; otherwise sleeps on the
    // port's descriptor until a write (from another thread) fills it.
    BOOL WaitForReceive(DevHandle h, int timeoutMs, BOOL* ready) override {
        if (ready == nullptr) return fail(EINVAL);
        *ready = 0;
        int fd = -1;
        if (!done(model_.descriptor(h, &fd))) return 0;
        const int r = waitReadable(fd, timeoutMs);
        if (r < 0) return fail(errno);
        *ready = r;
        return 1;
    }
    BOOL ReceiveDescriptor(DevHandle h, int* fd) override {
        if (fd == nullptr) return fail(EINVAL);
        return done(model_.descriptor(h, fd));
    }

private:
    static BOOL done(DWORD err) { return err == 0 ? 1 : fail(static_cast<int>(err)); }

    LoopModel model_;
};

}  // namespace

DeviceKind& loopKind() {
    static LoopDevice loop;
    return loop;
}

}  // namespace velk
