// The POSIX library's device: routes every operation to the kind of device
// behind the port. The routing table below is the one place where kinds are
// chosen: opening a port reads its mapping (velk_map_port, by default
// /dev/ttyS<n>) and gives it to the first kind whose prefix starts it; the
// kind's index is then kept in the handle's top bits (common/handle.h), and
// the kind itself in the router's table of kinds that have opened a port, so
// every later operation reaches it with a shift, one load and the kind's own
// virtual call: no accessor call, no allocation and no lock.
//
// Adding a kind of device: write it as a DeviceKind (device_kind.h) in a
// folder of its own under src/device/ whose file defines its accessor
// (DeviceKind& fooKind(), a function-local static), declare the accessor
// below and add one row to kKinds, ahead of the device-file row, which takes
// every mapping left.
#include <atomic>
#include <cerrno>
#include <cstring>

#include "device/kind/device_kind.h"

namespace velk {

DeviceKind& loopKind();  // inproc/loop_device.cpp
DeviceKind& ttyKind();   // posix/tty_device.cpp
DeviceKind& netKind();   // net/net_device.cpp

namespace {

struct KindRow {
    const char* prefix;
    DeviceKind& (*kind)();
};

const KindRow kKinds[] = {
    {"loop://", loopKind},
    {"rfc2217://", netKind},
    {"socket://", netKind},
    {"", ttyKind},  // a device file: every other mapping (keep last)
};
constexpr int kKindCount = static_cast<int>(sizeof kKinds / sizeof kKinds[0]);
static_assert(kKindCount < handle::kKindSlots - 1, "the top kind index is kNoDevice's: no row may have it");

BOOL failWith(int err) {
    setDeviceError(err);
    return 0;
}

// The kind a mapping names.
int kindOfTarget(const char* target) {
    for (int i = 0; i < kKindCount; ++i) {
        const char* prefix = kKinds[i].prefix;
        if (std::strncmp(target, prefix, std::strlen(prefix)) == 0) return i;
    }
    return kKindCount - 1;
}

// The kinds that have issued a handle, by the index kept in the handle's top
// bits. Sixteen entries, so that every value of the four top bits indexes it:
// the entries past the routing table, and those of kinds that never opened a
// port, stay null and fail as a handle no kind issued (kNoDevice lands on the
// last one). An entry is set before its kind's first handle is returned and
// never changes afterwards; zero-initialised, so loading runs no code.
std::atomic<DeviceKind*> opened[handle::kKindSlots];

// The kind that issued h, or null.
inline DeviceKind* kindOf(DevHandle h) {
    return opened[handle::kindOf(h)].load(std::memory_order_acquire);
}

// The kind's own handle inside a routed one.
inline DevHandle inner(DevHandle h) {
    return handle::unroute(h);
}

class PosixRouter final : public DeviceApi {
public:
    DevHandle CreateFileA(const char* name) override {
        char target[kTargetMax];
        const int port = resolvePort(name, target, sizeof target);
        if (port < 0) return kNoDevice;
        const int index = kindOfTarget(target);
        DeviceKind& kind = kKinds[index].kind();
        const DevHandle h = kind.open(port, target);
        if (h == kNoDevice) return kNoDevice;
        if (h >= handle::kKindLimit) {  // a kind broke its bound: never route it wrongly
            kind.CloseHandle(h);
            failWith(EMFILE);
            return kNoDevice;
        }
        opened[index].store(&kind, std::memory_order_release);
        return handle::route(h, index);
    }

    // Every other operation: the kind that issued the handle, or EBADF. Each
    // is a tail call into the kind.
    BOOL GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->GetCommTimeouts(inner(h), t) : failWith(EBADF);
    }
    BOOL SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->SetCommTimeouts(inner(h), t) : failWith(EBADF);
    }
    BOOL GetCommState(DevHandle h, DCB* dcb) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->GetCommState(inner(h), dcb) : failWith(EBADF);
    }
    BOOL SetCommState(DevHandle h, const DCB* dcb) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->SetCommState(inner(h), dcb) : failWith(EBADF);
    }
    BOOL SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->SetupComm(inner(h), inQueue, outQueue) : failWith(EBADF);
    }
    BOOL EscapeCommFunction(DevHandle h, DWORD func) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->EscapeCommFunction(inner(h), func) : failWith(EBADF);
    }
    BOOL ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->ClearCommError(inner(h), errors, stat) : failWith(EBADF);
    }
    BOOL SetCommMask(DevHandle h, DWORD mask) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->SetCommMask(inner(h), mask) : failWith(EBADF);
    }
    BOOL ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) override {
        DeviceKind* k = kindOf(h);
        if (k != nullptr) return k->ReadFile(inner(h), buf, n, got);
        if (got != nullptr) *got = 0;
        return failWith(EBADF);
    }
    BOOL WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) override {
        DeviceKind* k = kindOf(h);
        if (k != nullptr) return k->WriteFile(inner(h), buf, n, written);
        if (written != nullptr) *written = 0;
        return failWith(EBADF);
    }
    BOOL PurgeComm(DevHandle h, DWORD flags) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->PurgeComm(inner(h), flags) : failWith(EBADF);
    }
    BOOL GetCommModemStatus(DevHandle h, DWORD* status) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->GetCommModemStatus(inner(h), status) : failWith(EBADF);
    }
    BOOL SetCommBreak(DevHandle h) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->SetCommBreak(inner(h)) : failWith(EBADF);
    }
    BOOL ClearCommBreak(DevHandle h) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->ClearCommBreak(inner(h)) : failWith(EBADF);
    }
    BOOL WaitForReceive(DevHandle h, int timeoutMs, BOOL* ready) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->WaitForReceive(inner(h), timeoutMs, ready) : failWith(EBADF);
    }
    BOOL ReceiveDescriptor(DevHandle h, int* fd) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->ReceiveDescriptor(inner(h), fd) : failWith(EBADF);
    }
    BOOL UnansweredRequests(DevHandle h, DWORD* count) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->UnansweredRequests(inner(h), count) : failWith(EBADF);
    }
    BOOL CloseHandle(DevHandle h) override {
        DeviceKind* k = kindOf(h);
        return k != nullptr ? k->CloseHandle(inner(h)) : failWith(EBADF);
    }
    DWORD GetLastError() override { return static_cast<DWORD>(deviceError()); }
};

}  // namespace

DeviceKind* kindOfHandle(DevHandle h) {
    return kindOf(h);
}

namespace {

// The router, once made: every call of the library asks for it, so the
// common case is one load and a test instead of a guarded static's prologue.
std::atomic<DeviceApi*> router{nullptr};

__attribute__((noinline)) DeviceApi& makeRouter() {
    static PosixRouter made;
    router.store(&made, std::memory_order_release);
    return made;
}

}  // namespace

// The library's device on POSIX systems, constructed on first use.
DeviceApi& platformDevice() {
    DeviceApi* r = router.load(std::memory_order_acquire);
    return r != nullptr ? *r : makeRouter();
}

}  // namespace velk
