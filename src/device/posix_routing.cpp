// The POSIX library's device: routes every operation to the kind of device
// behind the port. The routing table below is the one place where kinds are
// chosen: opening a port reads its mapping (velk_map_port, by default
// /dev/ttyS<n>) and gives it to the first kind whose prefix starts it; the
// kind's index is then kept in the handle's top bits (see posix_kind.h), so
// every later operation reaches that kind with a shift and a table look-up,
// no allocation and no lock.
//
// Adding a kind of device: write it as a DeviceKind in one new file of
// src/device/ that defines its accessor (DeviceKind& fooKind(), a function-
// local static), declare the accessor below and add one row to kKinds, ahead
// of the device-file row, which takes every mapping left.
#include <cerrno>
#include <cstring>

#include "device/backend_common.h"
#include "device/posix_kind.h"
#include "device/posix_port_map.h"

namespace velk {

DeviceKind& loopKind();  // posix_loop.cpp
DeviceKind& ttyKind();   // posix_tty.cpp
DeviceKind& netKind();   // net_device.cpp

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
static_assert(kKindCount <= 8, "the kind index has three bits: the handle's top bit stays clear");

thread_local int lastError = 0;

BOOL failWith(int err) {
    lastError = err;
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

// Reads "COM1".."COM9" and the port's mapping into target. Returns the port,
// or -1 with the errno recorded.
int resolve(const char* name, char* target, std::size_t n) {
    const int port = comPortOfName(name);
    if (port < 0) return failWith(ENOENT), -1;
    const int err = portPath(port, target, n);
    if (err != 0) return failWith(err), -1;
    return port;
}

constexpr std::size_t kTargetMax = 4096;

class PosixRouter final : public DeviceApi {
public:
    DevHandle CreateFileA(const char* name) override {
        char target[kTargetMax];
        const int port = resolve(name, target, sizeof target);
        if (port < 0) return kNoDevice;
        const int index = kindOfTarget(target);
        DeviceKind& kind = kKinds[index].kind();
        const DevHandle h = kind.open(port, target);
        if (h == kNoDevice) return kNoDevice;
        if (h >= kKindHandleLimit) {  // a kind broke its bound: never route it wrongly
            kind.CloseHandle(h);
            failWith(EMFILE);
            return kNoDevice;
        }
        return h | (static_cast<DevHandle>(index) << kKindHandleBits);
    }

    BOOL GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.GetCommTimeouts(in, t); });
    }
    BOOL SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.SetCommTimeouts(in, t); });
    }
    BOOL GetCommState(DevHandle h, DCB* dcb) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.GetCommState(in, dcb); });
    }
    BOOL SetCommState(DevHandle h, const DCB* dcb) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.SetCommState(in, dcb); });
    }
    BOOL SetupComm(DevHandle h, DWORD inQueue, DWORD outQueue) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.SetupComm(in, inQueue, outQueue); });
    }
    BOOL EscapeCommFunction(DevHandle h, DWORD func) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.EscapeCommFunction(in, func); });
    }
    BOOL ClearCommError(DevHandle h, DWORD* errors, COMSTAT* stat) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.ClearCommError(in, errors, stat); });
    }
    BOOL SetCommMask(DevHandle h, DWORD mask) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.SetCommMask(in, mask); });
    }
    BOOL ReadFile(DevHandle h, void* buf, DWORD n, DWORD* got) override {
        if (got != nullptr) *got = 0;
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.ReadFile(in, buf, n, got); });
    }
    BOOL WriteFile(DevHandle h, const void* buf, DWORD n, DWORD* written) override {
        if (written != nullptr) *written = 0;
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.WriteFile(in, buf, n, written); });
    }
    BOOL PurgeComm(DevHandle h, DWORD flags) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.PurgeComm(in, flags); });
    }
    BOOL GetCommModemStatus(DevHandle h, DWORD* status) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.GetCommModemStatus(in, status); });
    }
    BOOL SetCommBreak(DevHandle h) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.SetCommBreak(in); });
    }
    BOOL ClearCommBreak(DevHandle h) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.ClearCommBreak(in); });
    }
    BOOL CloseHandle(DevHandle h) override {
        return route(h, [&](DeviceKind& k, DevHandle in) { return k.CloseHandle(in); });
    }
    DWORD GetLastError() override { return static_cast<DWORD>(lastError); }

private:
    // Calls op with the kind that issued h and the kind's own handle; a
    // handle no kind issued fails with EBADF.
    template <class Op>
    static BOOL route(DevHandle h, Op&& op) {
        const DevHandle index = h >> kKindHandleBits;
        if (h == kNoDevice || index >= static_cast<DevHandle>(kKindCount)) return failWith(EBADF);
        return op(kKinds[index].kind(), h & (kKindHandleLimit - 1));
    }
};

}  // namespace

DevHandle DeviceKind::CreateFileA(const char* name) {
    char target[kTargetMax];
    const int port = resolve(name, target, sizeof target);
    return port < 0 ? kNoDevice : open(port, target);
}

DWORD DeviceKind::GetLastError() {
    return static_cast<DWORD>(lastError);
}

BOOL DeviceKind::fail(int err) {
    return failWith(err);
}

// The library's device on POSIX systems, constructed on first use.
DeviceApi& platformDevice() {
    static PosixRouter router;
    return router;
}

}  // namespace velk
