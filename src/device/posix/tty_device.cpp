// The tty kind of the POSIX library: each DeviceApi operation carried out with
// open, flock, termios, the tty ioctls, read, write and poll on the device
// file that the port's mapping names. The descriptor stays non-blocking with
// VMIN = 1, so a read of an empty queue gives EAGAIN while end of file means
// the device has hung up. This file opens and closes; the settings, status
// and modem lines are in tty_device_control.cpp, the data path (ReadFile and
// WriteFile) in tty_device_io.cpp.
#include "device/posix/tty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "device/common/deadline.h"
#include "device/common/driver_rules.h"
#include "device/posix/line_counters.h"
#include "device/posix/low_latency.h"
#include "device/posix/tty_rate.h"

namespace velk {

namespace {

// How often a close looks at the output queue while it drains.
constexpr int kDrainStepMs = 20;

}  // namespace

DeviceKind& ttyKind() {
    static TtyDevice tty;
    return tty;
}

// ---- Open and close --------------------------------------------------------

DevHandle TtyDevice::open(int /*port*/, const char* path) {
    std::lock_guard<std::mutex> lock(mu_);
    int index = -1;
    for (int i = 0; i < kSlots; ++i) {
        if (slots_[i].handle.load(std::memory_order_relaxed) == kNoDevice) {
            index = i;
            break;
        }
    }
    if (index < 0) return fail(EMFILE), kNoDevice;

    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(errno), kNoDevice;
    // From here on a failure closes the file again.
    auto abandon = [&](int code) {
        ::close(fd);
        fail(code);
        return kNoDevice;
    };
    if (!isatty(fd)) return abandon(ENOTTY);
    // Exclusive as a COM port: flock holds against every other open (root's
    // too), TIOCEXCL against other opens of the tty where the system has it.
    // Both before the line state is touched.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return abandon(errno == EWOULDBLOCK ? EBUSY : errno);
#ifdef TIOCEXCL
    if (::ioctl(fd, TIOCEXCL) != 0 && !unsupported(errno)) return abandon(errno);
#endif
    struct termios t;
    if (::tcgetattr(fd, &t) != 0) return abandon(errno);
    makeRaw(t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        const int code = errno;
#ifdef TIOCNXCL
        ::ioctl(fd, TIOCNXCL);
#endif
        return abandon(code);
    }

    Slot& s = slots_[index];
    // The receive queue's storage is the slot's from its first open on (a
    // reopen allocates nothing); each handle starts with the queue empty.
    if (s.rx.capacity() == 0 && !s.rx.reset(0)) {
#ifdef TIOCNXCL
        ::ioctl(fd, TIOCNXCL);
#endif
        return abandon(ENOMEM);
    }
    s.rx.clear();
    s.queriesSinceTake = kQueriesToFetch;
    s.outPending = false;
    // Received bytes leave a USB adapter at once rather than after its
    // latency timer; not every driver has the mode.
    s.lowLatencySet = lowLatencyOn(fd);
    s.fd = fd;
    s.timeouts = COMMTIMEOUTS{};
    s.eventMask = 0;
    // The fields termios has no place for start as a driver's defaults
    // (opening a tty raises DTR and RTS).
    s.dcb = driverDefaultDcb();
    // Errors from before the open are not this handle's to report.
    s.seen = LineCounters{};
    s.noCounters = unsupported(readLineCounters(fd, &s.seen));
    generation_ = handle::nextGeneration(generation_);
    const DevHandle h = handle::make(generation_, index);
    s.handle.store(h, std::memory_order_release);
    return h;
}

int TtyDevice::queuedOutput(int fd) {
    int out = 0;
    return ::ioctl(fd, TIOCOUTQ, &out) == 0 ? out : -1;
}

// Waits for the written bytes to leave while they keep leaving (DrainWatch),
// then discards what is left, so that the driver's close finds its queue
// empty and does not wait out its closing_wait for a peer that holds the
// line. A device that fails the query (gone) is not waited for.
void TtyDevice::drainForClose(Slot& s) {
    if (!s.outPending) return;
    int queued = queuedOutput(s.fd);
    if (queued <= 0) return;
    struct termios t;
    DWORD rate = 0;
    if (::tcgetattr(s.fd, &t) != 0 || readRate(s.fd, t, &rate) != 0) rate = 0;
    DrainWatch watch(rate, nowMs(), queued);
    do {
        ::poll(nullptr, 0, kDrainStepMs);
        queued = queuedOutput(s.fd);
    } while (watch.keepWaiting(nowMs(), queued));
    if (queued > 0) ::tcflush(s.fd, TCOFLUSH);
}

BOOL TtyDevice::CloseHandle(DevHandle h) {
    Slot* s = lookup(h);
    if (s == nullptr) return fail(EBADF);
    const int fd = s->fd;
    drainForClose(*s);
    if (s->lowLatencySet) lowLatencyOff(fd);
    {
        std::lock_guard<std::mutex> lock(mu_);
        s->handle.store(kNoDevice, std::memory_order_release);
        s->fd = -1;
    }
    // A pty's tty outlives this close while its master is open; leave it
    // open to others again. The flock goes with the descriptor.
#ifdef TIOCNXCL
    ::ioctl(fd, TIOCNXCL);
#endif
    // The descriptor is gone after close whatever it reports; never retried.
    if (::close(fd) != 0 && errno != EINTR) return fail(errno);
    return 1;
}

}  // namespace velk
