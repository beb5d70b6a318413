// Network ports under real traffic, against the scripted server of
// support/fake_rfc2217_server.h on 127.0.0.1: a receive queue full with more
// data waiting, the server suspending us behind data, a queue resized while a
// device streams, a peer that stops reading, a close with data in flight both
// ways, a flood of Telnet NOPs, and the reopen and loss cases.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "device/net/net_device.h"
#include "port/port_table.h"
#include "support/async_call.h"
#include "support/net_port_fixture.h"
#include "support/socket_calls.h"

namespace velk {
namespace {

using Bytes = FakeRfc2217Server::Bytes;

// More than a connection to a peer that has stopped reading holds: Linux's
// largest send buffer by default (tcp_wmem) is 4 MiB and the receiver's
// adds some (a stalled loopback connection took 4.09 MiB on Debian 12), so
// a write of 4 MiB was at times taken whole. A write of this size waits.
constexpr std::size_t kStallingWrite = 8u << 20;

// n bytes of a pattern that shows loss and reordering; no 255 unless asked.
Bytes pattern(std::size_t n, std::size_t from = 0, bool with255 = false) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>((from + i) * 7 + (from + i) / 251);
        if (!with255 && b[i] == 255) b[i] = 254;
    }
    return b;
}

using NetTraffic = NetPortFixture;

TEST_F(NetTraffic, SettingsBehindAFullQueueTakeARoundTripAndRefusalsAreSeen) {
    FakeRfc2217Server server;
    server.setAnswerer([](std::uint8_t command, const Bytes& value) {
        if (command == 1 && value == Bytes{0, 0, 0xE1, 0}) return FakeRfc2217Server::subneg(101, {0, 0, 0x25, 0x80});
        return FakeRfc2217Server::subneg(static_cast<std::uint8_t>(command + 100), value);
    });
    ASSERT_EQ(reset(server.url()), 0);
    const Bytes first = pattern(8192);
    ASSERT_TRUE(server.send(first));
    ASSERT_TRUE(waitUntil([] { return SioRxQue(0) == 4096; }));
    // The answers come behind 4 KiB more than the queue holds: each is
    // matched as it comes (none is given up), refusals included.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(SioBaud(0, SIO_BAUD9600), 1);
        ASSERT_TRUE(server.send(pattern(8192, 8192 * (round + 1))));
        EXPECT_EQ(SioBaud(0, SIO_BAUD57600), 0);  // answered 9600: refused, though behind data
    }
    NetDevice::Diagnostics d{};
    ASSERT_TRUE(netDevice().diagnostics(PortTable[0].handle, &d));
    EXPECT_EQ(d.unanswered, 0u);
    EXPECT_EQ(receive(3 * 8192), pattern(3 * 8192));
}

TEST_F(NetTraffic, SuspendThenDataThenResumeNeverHangsAWrite) {
    FakeRfc2217Server server;
    ASSERT_EQ(reset(server.url()), 0);
    Bytes burst = FakeRfc2217Server::subneg(108, {});
    const Bytes data = pattern(65536, 0, true);
    for (std::uint8_t b : data) {
        burst.push_back(b);
        if (b == 255) burst.push_back(255);
    }
    const Bytes resume = FakeRfc2217Server::subneg(109, {});
    burst.insert(burst.end(), resume.begin(), resume.end());
    // The write waits asleep, woken by what arrives and a tick of 50 ms (a
    // spin polls tens of thousands of times a second).
    const int fd = socketTo(server.port());
    socket_calls::watch(fd);
    auto sender = std::async(std::launch::async, [&] { return server.send(burst); });
    auto writer = std::async(std::launch::async, [] { return SioPuts(0, "x", 1); });
    ASSERT_EQ(writer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(writer.get(), 1);
    EXPECT_LT(socket_calls::polls(), 1000);
    EXPECT_TRUE(sender.get());
    EXPECT_TRUE(waitUntil([&] { return server.data() == Bytes{'x'}; }));
    EXPECT_EQ(receive(data.size()), data);

    // Suspended behind more than the queue and the staging area hold: the
    // write waits out its time-out asleep, not polling a readable socket.
    Bytes more = FakeRfc2217Server::subneg(108, {});
    const Bytes big = pattern(256 * 1024);
    more.insert(more.end(), big.begin(), big.end());
    auto sender2 = std::async(std::launch::async, [&] { return server.send(more); });
    EXPECT_TRUE(waitUntil([] { return SioRxQue(0) == 4096; }));
    COMMTIMEOUTS t2{};
    t2.WriteTotalTimeoutConstant = 300;
    ASSERT_TRUE(device().SetCommTimeouts(PortTable[0].handle, &t2));
    socket_calls::watch(fd);
    EXPECT_EQ(SioPuts(0, "y", 1), 0);
    EXPECT_LT(socket_calls::polls(), 100);  // the tick: some 6
    socket_calls::watch(-1);
    EXPECT_EQ(receive(big.size()), big);
    EXPECT_TRUE(sender2.get());
    if (!socket_calls::available()) GTEST_SKIP() << socket_calls::kUncounted;
}

TEST_F(NetTraffic, QueueResizedWhileTheDeviceStreamsKeepsEveryByte) {
    FakeRfc2217Server server;
    const Bytes greeting = pattern(32768);
    server.sendOnConnect(greeting);
    ASSERT_EQ(reset(server.url(), 65536), 0);
    EXPECT_TRUE(waitUntil([&] { return SioRxQue(0) == 32768; })) << SioRxQue(0);
    // Shrinking below what it holds keeps it all; growing again too.
    EXPECT_TRUE(device().SetupComm(PortTable[0].handle, 4096, 4096));
    EXPECT_EQ(SioRxQue(0), 32768);
    char head[100];
    ASSERT_EQ(SioGets(0, head, sizeof head), 100);
    EXPECT_TRUE(Bytes(head, head + 100) == Bytes(greeting.begin(), greeting.begin() + 100));
    EXPECT_TRUE(device().SetupComm(PortTable[0].handle, 1 << 20, 4096));
    EXPECT_TRUE(receive(greeting.size() - 100) == Bytes(greeting.begin() + 100, greeting.end()));
}

TEST_F(NetTraffic, PeerThatStopsReadingStaysConnectedWithoutAUserTimeout) {
    for (const char* scheme : {"rfc2217", "socket"}) {
        SCOPED_TRACE(scheme);
        FakeRfc2217Server server;
        ASSERT_EQ(reset(server.url(scheme, "keepalive=1")), 0);
        const int fd = socketTo(server.port());
        ASSERT_GE(fd, 0);
        unsigned userTimeout = 1;
        socklen_t len = sizeof userTimeout;
        ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, &len), 0);
        EXPECT_EQ(userTimeout, 0u);
        server.holdReading(true);
        const Bytes data = pattern(kStallingWrite);
        auto writer = std::async(std::launch::async, [&] {
            return SioPuts(0, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()));
        });
        // Held off for several keep-alive periods: the write waits, alive,
        // and the output queue shows what the server has not taken.
        EXPECT_EQ(writer.wait_for(std::chrono::seconds(3)), std::future_status::timeout);
        EXPECT_GT(SioTxQue(0), 0);
        server.holdReading(false);
        ASSERT_EQ(writer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        EXPECT_EQ(writer.get(), static_cast<int>(data.size())) << SioWinError();
        EXPECT_TRUE(waitUntil([&] { return server.dataSize() >= data.size(); }));
        EXPECT_TRUE(server.data() == data);
        EXPECT_TRUE(waitUntil([] { return SioTxQue(0) == 0; }));
        EXPECT_EQ(SioDone(0), 1);
    }
    // Asked for, a user time-out does end such a connection.
    FakeRfc2217Server server;
    ASSERT_EQ(reset(server.url("socket", "user_timeout=500")), 0);
    server.holdReading(true);
    const Bytes data = pattern(kStallingWrite);
    const auto t = Clock::now();
    EXPECT_EQ(SioPuts(0, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size())), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), ETIMEDOUT);
    EXPECT_LT(msSince(t), 10000);
}

TEST_F(NetTraffic, CloseRightAfterALargeWriteDeliversEveryByteThenFin) {
    for (const char* scheme : {"rfc2217", "socket"}) {
        SCOPED_TRACE(scheme);
        FakeRfc2217Server server;
        ASSERT_EQ(reset(server.url(scheme)), 0);
        std::atomic<bool> streaming{true};
        auto streamer = std::async(std::launch::async, [&] {
            const Bytes chunk = pattern(1024);
            while (streaming && server.clientEnd() == 0 && server.send(chunk)) {
            }
        });
        const Bytes data = pattern(256 * 1024, 3);
        EXPECT_EQ(SioPuts(0, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size())),
                  static_cast<int>(data.size()));
        const auto t = Clock::now();
        EXPECT_EQ(SioDone(0), 1);
        EXPECT_LT(msSince(t), 5000);  // close_timeout: 1 s
        RecordProperty(std::string(scheme) + "_close_ms", static_cast<int>(msSince(t)));
        EXPECT_TRUE(waitUntil([&] { return server.clientEnd() != 0; }));
        EXPECT_EQ(server.clientEnd(), 1);  // FIN, not RST
        EXPECT_EQ(server.dataSize(), data.size());
        EXPECT_TRUE(server.data() == data);
        streaming = false;
        streamer.wait();
    }
}

// A server that starts reading only some 200 ms into SioDone still gets
// every byte written, those the library held included, then FIN.
TEST_F(NetTraffic, CloseHandsEverythingToAServerThatReadsLate) {
    for (const char* scheme : {"rfc2217", "socket"}) {
        SCOPED_TRACE(scheme);
        FakeRfc2217Server server;
        ASSERT_EQ(reset(server.url(scheme, "close_timeout=10000")), 0);
        server.holdReading(true);
        COMMTIMEOUTS t{};
        t.WriteTotalTimeoutConstant = 300;  // the write ends with the socket full
        ASSERT_TRUE(device().SetCommTimeouts(PortTable[0].handle, &t));
        const Bytes data = pattern(kStallingWrite);
        const int written = SioPuts(0, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()));
        ASSERT_GT(written, 0);
        auto reader = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            server.holdReading(false);
        });
        EXPECT_EQ(SioDone(0), 1);
        reader.wait();
        EXPECT_TRUE(waitUntil([&] { return server.clientEnd() != 0; }, std::chrono::seconds(10)));
        EXPECT_EQ(server.clientEnd(), 1);  // FIN, not RST
        EXPECT_EQ(server.dataSize(), static_cast<std::size_t>(written));
        EXPECT_TRUE(server.data() == Bytes(data.begin(), data.begin() + written));
    }
}

// A server flooding Telnet NOPs (for at most 10 s) holds neither a call
// that must not wait nor the close past its close_timeout.
TEST_F(NetTraffic, NopFloodKeepsEveryCallThatMustNotWaitBounded) {
    FakeRfc2217Server server;
    server.outliveClientFin();
    ASSERT_EQ(reset(server.url("rfc2217", "close_timeout=200")), 0);
    std::atomic<bool> flooding{true};
    auto flood = std::async(std::launch::async, [&] {
        Bytes nops;
        for (int i = 0; i < 8192; ++i) nops.insert(nops.end(), {255, 241});
        nops.push_back('d');
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (flooding && Clock::now() < end && server.send(nops)) {
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Each call reads at most 16 KiB of what the socket holds, however much
    // the flood has queued: counted, not timed.
    const int fd = socketTo(server.port());
    long worst = 0;
    long total = 0;
    int data = 0;
    for (int i = 0; i < 200; ++i) {
        socket_calls::watch(fd);
        const int c = SioGetc(0);
        SioRxQue(0);
        SioCTS(0);
        worst = std::max(worst, socket_calls::received());
        total += socket_calls::received();
        if (c == 'd') ++data;
    }
    // The close reads and drops what arrives until its time-out, though the
    // server sends faster than it reads (1 ms a read here).
    socket_calls::watch(fd);
    socket_calls::slowRecv(1000);
    const auto t = Clock::now();
    EXPECT_EQ(SioDone(0), 1);
    EXPECT_LT(msSince(t), 2000);
    socket_calls::watch(-1);
    flooding = false;
    flood.wait();
    EXPECT_GT(data, 0);  // the data among the NOPs still arrives
    if (!socket_calls::available()) GTEST_SKIP() << socket_calls::kUncounted;
    EXPECT_GT(total, 0);
    EXPECT_LE(worst, 3 * 16384);
}

TEST_F(NetTraffic, DrainingAQueueMakesNoSocketReadPerByte) {
    if (!socket_calls::available()) GTEST_SKIP() << socket_calls::kUncounted;
    for (const char* scheme : {"rfc2217", "socket"}) {
        SCOPED_TRACE(scheme);
        FakeRfc2217Server server;
        const Bytes data = pattern(1000);
        server.sendOnConnect(data);
        ASSERT_EQ(reset(server.url(scheme)), 0);
        ASSERT_TRUE(waitUntil([] { return SioRxQue(0) == 1000; })) << SioRxQue(0);
        // After a take, a program that waits on the count alone still sees
        // what arrives behind the bytes queued.
        Bytes got{static_cast<std::uint8_t>(SioGetc(0))};
        const Bytes more = pattern(100, 1000);
        ASSERT_TRUE(server.send(more));
        EXPECT_TRUE(waitUntil([] { return SioRxQue(0) == 1099; })) << SioRxQue(0);
        // As a polling program drains it: a byte at a time while the count
        // says there is one, then in pieces until none comes.
        socket_calls::watch(socketTo(server.port()));
        while (got.size() < 500 && SioRxQue(0) > 0) got.push_back(static_cast<std::uint8_t>(SioGetc(0)));
        char buf[7];
        for (int n; (n = SioGets(0, buf, sizeof buf)) > 0;) got.insert(got.end(), buf, buf + n);
        EXPECT_EQ(SioRxQue(0), 0);
        const int reads = socket_calls::recvs();
        socket_calls::watch(-1);
        Bytes sent = data;
        sent.insert(sent.end(), more.begin(), more.end());
        EXPECT_TRUE(got == sent) << got.size() << " bytes";
        // The empty queue's refills and its last query do read the socket.
        EXPECT_GE(reads, 1);
        EXPECT_LE(reads, 8);
        EXPECT_EQ(SioDone(0), 1);
    }
}

TEST_F(NetTraffic, ReopenedPortsStartEmptyAndWorkAfterACloseOrALostConnection) {
    FakeRfc2217Server server;
    // ack_timeout=0: nothing waits for answers, the open still negotiates.
    for (const char* options : {"", "ack_timeout=0"}) {
        SCOPED_TRACE(options);
        for (int round = 0; round < 2; ++round) {
            ASSERT_EQ(reset(server.url("rfc2217", options)), 0) << SioWinError();
            ASSERT_TRUE(server.send({'o', 'k', 255, 255}));
            EXPECT_EQ(receive(3), (Bytes{'o', 'k', 255}));
            EXPECT_EQ(SioPuts(0, "hi", 2), 2);
            EXPECT_TRUE(waitUntil([&] {
                const Bytes d = server.data();
                return d.size() >= 2 && d[d.size() - 2] == 'h' && d.back() == 'i';
            }));
            EXPECT_EQ(SioDone(0), 1);
        }
    }
    // Bytes in two bursts around a status query, then the server gone: all
    // counted until read, in order, then the loss; a new open works.
    ASSERT_EQ(reset(server.url()), 0);
    ASSERT_TRUE(server.send({'a', 'b'}));
    EXPECT_TRUE(waitUntil([] { return SioRxQue(0) == 2; }));
    ASSERT_TRUE(server.send({'c', 'd', 'e'}));
    server.closeClient();
    EXPECT_TRUE(waitUntil([] { return SioRxQue(0) == 5; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(SioRxQue(0), 5);
    EXPECT_EQ(receive(5), (Bytes{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(SioGetc(0), SIO_WIN_ERROR);
    EXPECT_EQ(SioWinError(), ECONNRESET);
    ASSERT_EQ(reset(server.url()), 0);
    ASSERT_TRUE(server.send({'n', 'e', 'w'}));
    EXPECT_EQ(receive(3), (Bytes{'n', 'e', 'w'}));
    // Bytes left unread at the close, in the queue and behind it, are not
    // seen after the reopen, whose queue and staging area then take more
    // than they hold, every byte in order.
    ASSERT_TRUE(server.send(pattern(8192)));
    ASSERT_TRUE(waitUntil([] { return SioRxQue(0) == 4096; }));
    EXPECT_EQ(SioDone(0), 1);
    ASSERT_EQ(reset(server.url(), 8192), 0);
    EXPECT_EQ(SioRxQue(0), 0);
    const Bytes big = pattern(256 * 1024, 1);
    auto sender = std::async(std::launch::async, [&] { return server.send(big); });
    EXPECT_EQ(receive(big.size()), big);
    EXPECT_TRUE(sender.get());
}

TEST_F(NetTraffic, RefusedConnectionIsEconnrefusedAtTheDeviceLevel) {
    const int port = [] {
        FakeRfc2217Server gone;
        return gone.port();
    }();
    const std::string address = "rfc2217://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(netDevice().open(0, address.c_str()), kNoDevice);
    EXPECT_EQ(netDevice().GetLastError(), static_cast<DWORD>(ECONNREFUSED));
}

TEST_F(NetTraffic, ACallWaitingWhileAnotherThreadClosesFailsWithEbadf) {
    FakeRfc2217Server server;
    ASSERT_EQ(reset(server.url()), 0);
    const DevHandle h = PortTable[0].handle;
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 1500;
    ASSERT_TRUE(device().SetCommTimeouts(h, &t));
    auto reader = std::async(std::launch::async, [h] {
        char buf[16];
        DWORD got = 0;
        const BOOL ok = device().ReadFile(h, buf, sizeof buf, &got);
        return std::make_pair(ok, device().GetLastError());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(SioDone(0), 1);
    // A new connection may take the same slot meanwhile: never served to
    // the old handle.
    ASSERT_EQ(reset(server.url()), 0);
    ASSERT_TRUE(server.send({'n', 'e', 'w'}));
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const auto r = reader.get();
    EXPECT_FALSE(r.first);
    EXPECT_EQ(r.second, static_cast<DWORD>(EBADF));
    EXPECT_EQ(receive(3), (Bytes{'n', 'e', 'w'}));
}

TEST_F(NetTraffic, TransmitPurgeOnAStalledLinkGoesAtOnce) {
    FakeRfc2217Server server;
    ASSERT_EQ(reset(server.url()), 0);
    server.holdReading(true);
    COMMTIMEOUTS t{};
    t.WriteTotalTimeoutConstant = 300;  // the write gives up with bytes unsent
    ASSERT_TRUE(device().SetCommTimeouts(PortTable[0].handle, &t));
    const Bytes data = pattern(kStallingWrite);
    const int written = SioPuts(0, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()));
    ASSERT_GT(written, 0);
    // The purge waits for no data, at most for the socket to take its
    // request, within ack_timeout (500 ms).
    const auto start = Clock::now();
    EXPECT_EQ(SioTxClear(0), 0);
    EXPECT_LT(msSince(start), 2500);
    server.holdReading(false);
    // The purge request reaches the server once the socket's queue has gone.
    // With no thread of its own, the library sends what the full socket did
    // not take on its next call, so the wait keeps calling, as a program
    // polling its port does. The bytes the library held (its 8 KiB buffer)
    // never arrive; those the socket had, do.
    EXPECT_TRUE(waitUntil(
        [&] {
            SioRxQue(0);
            return server.sawRequest({12, 2});
        },
        std::chrono::seconds(30)));
    const std::size_t got = server.dataSize();
    EXPECT_LT(got, static_cast<std::size_t>(written));
    EXPECT_GE(got + 8192, static_cast<std::size_t>(written));
    EXPECT_TRUE(server.data() == Bytes(data.begin(), data.begin() + got));
}

// A write held by the server's suspend while the queue and the staging area
// are full ends once the server goes away, with a FIN or with an RST: -103,
// ECONNRESET, after the bytes sent before it are delivered. The wait sleeps
// in poll (a tick of 50 ms lets a purge end it): its poll calls are counted.
TEST_F(NetTraffic, SuspendedWriteEndsWhenTheServerClosesOrResets) {
    if (!socket_calls::available()) GTEST_SKIP() << socket_calls::kUncounted;
    for (const bool rst : {false, true}) {
        SCOPED_TRACE(rst ? "RST" : "FIN");
        FakeRfc2217Server server;
        ASSERT_EQ(reset(server.url()), 0);
        const int fd = socketTo(server.port());
        ASSERT_GE(fd, 0);
        // More than the queue and the staging area hold, not more than the
        // client's kernel takes besides: a FIN behind bytes that its window
        // refuses would never leave the server's host.
        Bytes burst = FakeRfc2217Server::subneg(108, {});
        const Bytes data = pattern(100000);
        burst.insert(burst.end(), data.begin(), data.end());
        ASSERT_EQ(server.sendWithin(burst, std::chrono::seconds(10)), burst.size());
        ASSERT_TRUE(waitUntil([&] { return server.unacknowledged() == 0 && SioRxQue(0) == 4096; }));
        socket_calls::watch(fd);
        AsyncCall writer([] { return SioPuts(0, "x", 1); }, [] { SioTxClear(0); });
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_FALSE(writer.done());  // held
        rst ? server.resetClient() : server.closeClient();
        const auto closed = Clock::now();
        const bool done = writer.waitDone(std::chrono::seconds(10));
        const std::string name = rst ? "rst_" : "fin_";
        RecordProperty(name + "return_ms", static_cast<int>(msSince(closed)));
        const int polls = socket_calls::polls();
        socket_calls::watch(-1);
        RecordProperty(name + "polls", polls);
        // A spin polls hundreds of thousands of times; the tick, some 20.
        EXPECT_LT(polls, 500);
        ASSERT_TRUE(done);
        EXPECT_EQ(writer.result(), SIO_WIN_ERROR);
        EXPECT_EQ(SioWinError(), ECONNRESET);
        const Bytes got = receive(data.size());
        EXPECT_GE(got.size(), 4096u + 65536u);
        EXPECT_TRUE(got == Bytes(data.begin(), data.begin() + got.size()));
        if (!rst) {
            EXPECT_EQ(got.size(), data.size());
        }
        RecordProperty(name + "received", static_cast<int>(got.size()));
        EXPECT_EQ(SioGetc(0), SIO_WIN_ERROR);
        EXPECT_TRUE(server.data().empty());  // the held byte never went
    }
}

}  // namespace
}  // namespace velk
