// NetDevice: DeviceApi over a TCP connection, for ports mapped to
// "rfc2217://host:port" (a Telnet Com Port Control server such as ser2net:
// line settings, modem lines, break and purges travel as RFC 2217 requests)
// or "socket://host:port" (raw TCP: data only). The library keeps no thread:
// whatever the server has sent is read and run through the protocol engine in
// the caller's thread, during the calls, into the port's receive queue. When
// the connection is lost the bytes already received are still delivered;
// after them every operation fails with the socket's error (ECONNRESET when
// the server closed). Error codes are errno values.
#ifndef VELK_DEVICE_NET_NET_DEVICE_H
#define VELK_DEVICE_NET_NET_DEVICE_H

#include <atomic>
#include <cstdint>
#include <mutex>

#include "device/common/rx_queue.h"
#include "device/net/net_url.h"
#include "device/net/rfc2217_engine.h"
#include "device/kind/device_kind.h"

namespace velk {

class NetDevice;

// The network kind of this process (constructed on first use); the routing
// reaches it as netKind().
NetDevice& netDevice();
DeviceKind& netKind();

class NetDevice final : public DeviceKind {
public:
    static constexpr int kSlots = 16;

    NetDevice() = default;

    // Connects to the address (see net_url.h); kNoDevice with the errno on
    // failure: EINVAL for a malformed address, the connection's error
    // (ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH ...) otherwise, EPROTONOSUPPORT
    // when an rfc2217 peer has not agreed to the Com Port Control option
    // within the acknowledgement time-out (the connect time-out when that
    // is 0).
    DevHandle open(int port, const char* address) override;

    BOOL GetCommTimeouts(DevHandle h, COMMTIMEOUTS* t) override;
    BOOL SetCommTimeouts(DevHandle h, const COMMTIMEOUTS* t) override;
    // The last record applied (a driver's defaults at first).
    BOOL GetCommState(DevHandle h, DCB* dcb) override;
    // rfc2217: rate, data size, parity, stop size and both flow-control
    // directions are requested every time, DTR and RTS when their control
    // mode changes; a value the server answers differently fails with
    // EINVAL. socket://: recorded only.
    BOOL SetCommState(DevHandle h, const DCB* dcb) override;
    // Sizes the receive queue, keeping what it holds in order.
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
    // Ready at once when the receive queue holds bytes or the connection is
    // lost; otherwise sleeps on the socket, and each time it wakes runs what
    // arrived through the engine (answers, notifications and NOPs are taken
    // in and the wait goes on) until data comes, the connection ends or the
    // time runs out (net_wait.cpp).
    BOOL WaitForReceive(DevHandle h, int timeoutMs, BOOL* ready) override;
    // The socket: readable when the server has sent something, data or not
    // (the next ReadFile takes it in).
    BOOL ReceiveDescriptor(DevHandle h, int* fd) override;
    // The requests this connection's server has left unanswered
    // (Diagnostics::unanswered); 0 on a socket:// port.
    BOOL UnansweredRequests(DevHandle h, DWORD* count) override;

    // What a connection has seen of its server, for tests and diagnosis.
    struct Diagnostics {
        unsigned unanswered;  // requests whose answer did not come within their wait
        unsigned malformed;   // answers and notifications of the wrong shape
        unsigned mismatched;  // break/DTR/RTS answered with another value
        unsigned discarded;   // subnegotiations dropped
        unsigned late;        // answers that came after their request was given up
        char signature[65];   // the server's signature, when it sent one
    };
    // h: this kind's handle or the routed one.
    bool diagnostics(DevHandle h, Diagnostics* d);

    // One connection: the socket, the protocol engine, the receive queue
    // and the staging area behind it (see net_connection.h), and the port's
    // settings; defined below.
    struct Slot;
    // Records err as this thread's last error; returns 0.
    static BOOL error(int err) { return fail(err); }

private:
    Slot* lookup(DevHandle h);
    std::atomic<unsigned> generation_{0};
};

struct NetDevice::Slot {
    static constexpr std::uint32_t kStagingSize = 64u * 1024;

    std::atomic<DevHandle> handle{kNoDevice};
    bool taken = false;  // opening or open; under the device's table lock
    std::mutex mu;       // serialises the operations on this connection
    int fd = -1;
    NetKind kind = NetKind::None;
    unsigned ackTimeoutMs = 0;
    unsigned closeTimeoutMs = 0;
    // The round trip measured from the answers, in microseconds, smoothed
    // as TCP's retransmission timer does (RFC 6298); samples 0: none yet.
    std::int64_t srttUs = 0;
    std::int64_t rttvarUs = 0;
    unsigned rttSamples = 0;
    bool linesSent = false;  // DTR and RTS requested on this connection
    bool outPending = false;  // sent since the socket's queue was last seen empty
    // Status queries since ReadFile last took from the queue, up to
    // kQueriesToFetch (also when nothing was taken since the open): below
    // it, a query answers from the queue alone while the queue holds bytes.
    static constexpr std::uint8_t kQueriesToFetch = 2;
    std::uint8_t queriesSinceTake = kQueriesToFetch;
    int lostErr = 0;  // the connection's error once it is gone
    bool localHold = false;  // SETXOFF: transmit held as after an XOFF
    std::atomic<unsigned> txAborts{0};  // transmit purges so far
    // What the server has shown of each kind of request on this connection:
    // Unknown until one is asked, then whether it answered in time.
    enum class Habit : std::uint8_t { Unknown, Answers, Silent };
    Habit habit[static_cast<int>(rfc2217::AckKey::Count)] = {};
    unsigned unanswered = 0;
    COMMTIMEOUTS timeouts{};
    DWORD eventMask = 0;
    DCB dcb{};
    RxQueue rx;
    RxQueue staging;  // data beyond the queue's room, oldest first
    rfc2217::Engine engine;
    std::uint8_t raw[4096];
};

}  // namespace velk

#endif  // VELK_DEVICE_NET_NET_DEVICE_H
