// The TCP connection under a network port (a slot of net_device.h):
// connecting with a time-out and the socket options a serial link needs, the
// traffic with the slot locked (reading what the server sent through the
// protocol engine into the receive queue, sending without SIGPIPE,
// recording the loss of the connection), and closing it with FIN. Waits
// sleep in poll with the slot's lock released, and read only while there is
// room to take what arrives. Error codes are errno values.
//
// Receiving: what the socket holds is read in blocks and run through the
// engine at once, so answers, notifications and flow control are seen even
// while the receive queue is full. The data that does not fit the queue waits
// in the slot's staging area (kStagingSize, allocated at open), in order,
// and moves into the queue as it is read. Once both are full nothing more is
// read: the TCP window holds the server.
#ifndef VELK_DEVICE_NET_NET_CONNECTION_H
#define VELK_DEVICE_NET_NET_CONNECTION_H

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "device/net/net_device.h"
#include "device/net/net_url.h"

namespace velk {

namespace net {

// The flags of every send: never waiting, and never raising SIGPIPE in the
// host when the server has gone (MSG_NOSIGNAL; where a system lacks it, as
// macOS does, the socket carries SO_NOSIGPIPE from the start instead).
#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
#else
constexpr int kSendFlags = MSG_DONTWAIT;
#endif

// How long the data written ahead of a request (and the open's notification
// masks) may take to leave the library's buffer when the socket is full; a
// bound of its own, stated with the others in docs/network.md.
constexpr std::int64_t kSendWaitMs = 5000;
// The most raw bytes one pump reads and parses: a call that must not wait
// does bounded work even when the server floods it.
constexpr std::size_t kPumpBudget = 16u * 1024;

// The monotonic clock in milliseconds and microseconds.
std::int64_t nowMs();
std::int64_t nowUs();

// Sleeps in poll until the socket has one of `events`, the connection ends,
// or waitMs passes (negative: without limit); returns the revents (0 when
// the time ran out). The end is always watched for: a hang-up and an error
// (RST, keep-alive or the user time-out giving up), and with endOnFin the
// server's FIN too (POLLRDHUP, Linux), which wakes the poll even when
// nothing more can be read.
short pollSocket(int fd, short events, std::int64_t waitMs, bool endOnFin);
// The error a poll's revents report the connection ended with: the socket's
// own (SO_ERROR), else ECONNRESET after a hang-up or the server's FIN; 0
// while it goes on.
int endedWith(int fd, short revents);

// Sleeps until the socket has one of `events`, the connection ends or waitMs
// passes (negative: without limit), with the slot's lock released. POLLIN in
// events is asked for only while the queue or the staging area has room; the
// end of the connection wakes the wait even when there is none, and is
// recorded as the connection's loss (lose()), so a caller never sleeps or
// spins on a connection that has gone. Returns false when the handle was
// closed (or the slot reused) while the lock was released.
bool waitSocket(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock, short events, std::int64_t waitMs);

// Connects to the address within its connect time-out. The addresses the
// host resolves to are tried as RFC 8305 describes: the families
// interleaved, a new attempt started every 250 ms while the earlier ones go
// on, the first to connect kept. Returns the non-blocking socket (TCP_NODELAY,
// keep-alive and the address's options set) or -1 with *err set to the errno.
int connectTo(const NetUrl& url, int* err);

// The bytes the socket has not yet had acknowledged (SIOCOUTQ; 0 where the
// system cannot tell).
int unsentBytes(int fd);

// Sends what is left, shuts the sending side (FIN), reads and drops what
// arrives until the server ends its side, everything sent is acknowledged
// and the line is quiet, or waitMs passes; then closes the socket. Ending
// this way, the server gets every byte and no RST.
void closeGracefully(NetDevice::Slot& s, std::int64_t waitMs);

// ---- With the slot locked ----------------------------------------------------

// Adds a round-trip sample (microseconds) to the slot's estimate.
void sampleRtt(NetDevice::Slot& s, std::int64_t us);
// How long to wait for an answer: a few round trips as measured, at least
// kAckFloorMs, at most the address's ack_timeout (all of it before the first
// sample).
constexpr std::int64_t kAckFloorMs = 50;
std::int64_t ackWaitMs(const NetDevice::Slot& s);

// Whether h still names the slot's connection (checked whenever the slot's
// lock has been taken, or taken again).
inline bool current(const NetDevice::Slot& s, DevHandle h) {
    return s.handle.load(std::memory_order_acquire) == h;
}

// Records err as the connection's loss, unless it is already lost.
void lose(NetDevice::Slot& s, int err);

// Sends what the engine holds, as far as the socket takes it now.
void flushOut(NetDevice::Slot& s);

// Moves staged data into the receive queue, then what the socket holds
// (through the engine for rfc2217) into the queue and the staging area, as
// far as they have room and up to kPumpBudget raw bytes, and sends the
// engine's replies. What the socket still holds after the connection was
// lost is read too: the bytes the server sent before it closed or reset
// are delivered before the loss.
void pump(NetDevice::Slot& s);
// Staged data into the queue, as far as it has room; no system call.
void moveStaged(NetDevice::Slot& s);

// Sends the engine's output completely, waiting up to waitMs. Returns 0, or
// ETIMEDOUT, the connection's error, or EBADF when the handle was closed
// meanwhile.
int flushAll(NetDevice::Slot& s, std::unique_lock<std::mutex>& lock, std::int64_t waitMs);

}  // namespace net
}  // namespace velk

#endif  // VELK_DEVICE_NET_NET_CONNECTION_H
