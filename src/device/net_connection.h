// The TCP connection under a network port: the per-connection slot that the
// network device keeps, connecting with a time-out and the socket options a
// serial link needs, and the traffic with the slot locked (reading what the
// server sent through the protocol engine into the receive queue, sending
// with MSG_NOSIGNAL, recording the loss of the connection). Waits sleep in
// poll with the slot's lock released. Error codes are errno values.
#ifndef VELK_DEVICE_NET_CONNECTION_H
#define VELK_DEVICE_NET_CONNECTION_H

#include <atomic>
#include <cstdint>
#include <mutex>

#include "device/net_device.h"
#include "device/net_url.h"
#include "device/rfc2217_engine.h"
#include "device/rx_queue.h"

namespace velk {

struct NetDevice::Slot {
    std::atomic<DevHandle> handle{kNoDevice};
    bool taken = false;  // opening or open; under the device's table lock
    std::mutex mu;       // serialises the operations on this connection
    int fd = -1;
    NetKind kind = NetKind::None;
    unsigned ackTimeoutMs = 0;
    int lostErr = 0;  // the connection's error once it is gone
    bool localHold = false;  // SETXOFF: transmit held as after an XOFF
    std::atomic<unsigned> txAborts{0};  // transmit purges so far
    bool silent[static_cast<int>(rfc2217::AckKey::Count)] = {};  // answers known not to come
    unsigned unanswered = 0;
    COMMTIMEOUTS timeouts{};
    DWORD eventMask = 0;
    DCB dcb{};
    RxQueue rx;
    rfc2217::Engine engine;
    std::uint8_t raw[4096];
};

namespace net {

// How long a request may wait for room to be queued when the socket is full.
constexpr std::int64_t kSendWaitMs = 5000;

// The monotonic clock in milliseconds.
std::int64_t nowMs();

// Sleeps until the socket has one of `events` or waitMs passes (negative:
// without limit), with the slot's lock released.
void waitSocket(std::unique_lock<std::mutex>& lock, int fd, short events, std::int64_t waitMs);

// Connects to the address within its connect time-out, trying each address
// the host resolves to; returns the non-blocking socket (TCP_NODELAY and
// keep-alive set) or -1 with *err set to the errno.
int connectTo(const NetUrl& url, int* err);

// ---- With the slot locked ----------------------------------------------------

// Records err as the connection's loss, unless it is already lost.
void lose(NetDevice::Slot& s, int err);

// Sends what the engine holds, as far as the socket takes it now.
void flushOut(NetDevice::Slot& s);

// Moves what the socket holds into the receive queue (through the engine for
// rfc2217), as far as the queue has room, and sends the engine's replies.
void pump(NetDevice::Slot& s);

// Sends the engine's output completely, waiting up to waitMs; false when it
// could not (time-out or connection lost).
bool flushAll(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock, std::int64_t waitMs);

}  // namespace net
}  // namespace velk

#endif  // VELK_DEVICE_NET_CONNECTION_H
