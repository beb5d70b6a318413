// velk_wait and velk_port_fd on every kind of POSIX port -- a pty, loop://,
// socket:// and rfc2217:// against the scripted server -- where waiting goes
// wrong: a byte that comes during the wait or is already queued, the
// time-out, a far end that goes away, protocol traffic without data, the
// drain-then-poll loop of an event loop, and the descriptor's life across
// SioDone and a reopening. That nothing spins is shown by counting the
// poll() calls of the waiting thread (support/call_count.h).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/fake_rfc2217_server.h"
#include "support/posix_pty_fixture.h"
#include "velk32.h"
#include "velk32_posix.h"

#include "support/call_count.h"

namespace velk {
namespace {

using Clock = std::chrono::steady_clock;
using FakeBytes = FakeRfc2217Server::Bytes;

// poll() calls of this thread so far; -1 where they cannot be counted.
long polls() {
    return call_count::kCounting ? call_count::inThisThread(call_count::Call::Poll) : -1;
}

// This thread made at most `most` poll() calls since `before`.
void expectPollsAtMost(long before, long most) {
    if (before < 0) return;  // no --wrap here: not counted
    EXPECT_LE(polls() - before, most) << "the wait woke without cause";
}

// The far end of port 0, for each kind: what it sends arrives at the port.
struct FarEnd {
    virtual ~FarEnd() = default;
    virtual std::string target() = 0;  // what port 0 is mapped to
    virtual void send(const std::string& bytes) = 0;
    virtual bool hangUp() = 0;  // false: the kind has no far end to lose
};

struct PtyEnd : FarEnd {
    Pty pty;
    std::string target() override { return pty.path; }
    void send(const std::string& b) override { ASSERT_TRUE(pty.send(b)); }
    bool hangUp() override { return pty.closeMaster(), true; }
};

// On the plug, what the port itself writes is what arrives.
struct LoopEnd : FarEnd {
    std::string target() override { return "loop://"; }
    void send(const std::string& b) override {
        ASSERT_EQ(SioPuts(0, b.data(), static_cast<int>(b.size())), static_cast<int>(b.size()));
    }
    bool hangUp() override { return false; }
};

struct NetEnd : FarEnd {
    explicit NetEnd(const char* scheme) : scheme_(scheme) {}
    FakeRfc2217Server server;
    std::string target() override { return server.url(scheme_); }
    void send(const std::string& b) override { ASSERT_TRUE(server.send(FakeBytes(b.begin(), b.end()))); }
    bool hangUp() override { return server.closeClient(), true; }
    std::string scheme_;
};

class WaitOnEveryKind : public PosixLibraryTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        PosixLibraryTest::SetUp();
        const std::string& kind = GetParam();
        if (kind == "pty") end.reset(new PtyEnd);
        if (kind == "loop") end.reset(new LoopEnd);
        if (kind == "socket" || kind == "rfc2217") end.reset(new NetEnd(kind.c_str()));
        ASSERT_EQ(velk_map_port(0, end->target().c_str()), 0);
        ASSERT_EQ(SioReset(0, 1024, 1024), 0) << "SioWinError " << SioWinError();
    }
    void TearDown() override {
        if (sender.joinable()) sender.join();
        PosixLibraryTest::TearDown();
    }
    // Sends the bytes from another thread after ms, while the test waits.
    void sendLater(const std::string& bytes, int ms = 50) {
        sender = std::thread([this, bytes, ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            end->send(bytes);
        });
    }

    std::unique_ptr<FarEnd> end;
    std::thread sender;
};

TEST_P(WaitOnEveryKind, AByteArrivingDuringTheWaitEndsItAndIsThere) {
    sendLater("k");
    const long before = polls();
    EXPECT_EQ(velk_wait(0, 20000), 1);  // 0 would mean the 20 s ran out
    expectPollsAtMost(before, 3);
    EXPECT_EQ(SioGetc(0), 'k');
}

TEST_P(WaitOnEveryKind, BytesAlreadyQueuedOrPushedBackEndItAtOnce) {
    EXPECT_EQ(velk_wait(0, 0), 0);
    end->send("ab");
    ASSERT_EQ(velk_wait(0, 20000), 1);
    // 'b' now sits in the library's own queue, which no descriptor shows.
    EXPECT_EQ(SioGetc(0), 'a');
    EXPECT_EQ(velk_wait(0, 0), 1);
    EXPECT_EQ(SioGetc(0), 'b');
    EXPECT_EQ(velk_wait(0, 0), 0);
    EXPECT_EQ(SioUnGetc(0, 'c'), 0);
    EXPECT_EQ(velk_wait(0, 0), 1);
    EXPECT_EQ(SioGetc(0), 'c');
    EXPECT_EQ(velk_wait(0, 0), 0);
}

TEST_P(WaitOnEveryKind, ASilentPortWaitsOutItsTimeOutAsleep) {
    const long before = polls();
    const auto start = Clock::now();
    EXPECT_EQ(velk_wait(0, 200), 0);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(ms, 195);
    EXPECT_LT(ms, 1000) << "the time-out plus scheduling, with a margin of 5";
    expectPollsAtMost(before, 2);
}

TEST_P(WaitOnEveryKind, AFarEndGoingAwayEndsAWaitWithoutLimit) {
    end->send("z");
    ASSERT_EQ(velk_wait(0, 20000), 1);
    EXPECT_EQ(SioGetc(0), 'z');
    sender = std::thread([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!end->hangUp()) SioPutc(0, 'x');  // loop:// has no far end: a byte ends it
    });
    EXPECT_EQ(velk_wait(0, -1), 1);
    sender.join();
    if (GetParam() == "loop") return;
    EXPECT_EQ(SioGetc(0), SIO_WIN_ERROR);
    EXPECT_EQ(velk_wait(0, 0), 1) << "the failure stays to be reported";
}

// An event loop's way: read until SioGets returns 0, then poll the
// descriptor. A small buffer leaves bytes in the library's queue after a
// read; the loop must still get every byte, without a wake-up per byte.
TEST_P(WaitOnEveryKind, TheDrainThenPollLoopMissesNothingAfterAPartialRead) {
    const int fd = velk_port_fd(0);
    ASSERT_GE(fd, 0);
    const std::string first = "0123456789abcdefghij", second = "klmnopqrstuvwxyz";
    end->send(first);
    std::string got;
    char buf[3];
    int wakeUps = 0;
    const auto end_ = Clock::now() + std::chrono::seconds(20);
    while (got.size() < first.size() + second.size() && Clock::now() < end_) {
        int n;
        while ((n = SioGets(0, buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
        ASSERT_EQ(n, 0);
        if (got.size() == first.size() && !sender.joinable()) sendLater(second);
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 1000) > 0) ++wakeUps;
    }
    EXPECT_EQ(got, first + second);
    EXPECT_LE(wakeUps, 6) << "each burst wakes the loop a few times at most";
}

TEST_P(WaitOnEveryKind, SioDoneMakesTheDescriptorStaleAndAReopenGivesOneThatWorks) {
    const int fd = velk_port_fd(0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(velk_port_fd(0), fd) << "one descriptor for the port's whole opening";
    EXPECT_EQ(SioDone(0), 1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the library closed it";
    EXPECT_EQ(velk_port_fd(0), SIO_NOT_OPEN);
    EXPECT_EQ(velk_wait(0, 0), SIO_NOT_OPEN);

    ASSERT_EQ(SioReset(0, 1024, 1024), 0) << "SioWinError " << SioWinError();
    const int again = velk_port_fd(0);
    ASSERT_GE(again, 0);
    sendLater("r");
    pollfd p = {again, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 20000), 1);
    EXPECT_EQ(SioGetc(0), 'r');
}

INSTANTIATE_TEST_SUITE_P(Kinds, WaitOnEveryKind, ::testing::Values("pty", "loop", "socket", "rfc2217"),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });

TEST_F(PosixLibraryTest, WaitAndDescriptorCheckThePort) {
    EXPECT_EQ(velk_wait(-1, 0), SIO_BAD_PORT);
    EXPECT_EQ(velk_wait(SIO_PORT_COUNT, 0), SIO_BAD_PORT);
    EXPECT_EQ(velk_port_fd(SIO_PORT_COUNT), SIO_BAD_PORT);
    EXPECT_EQ(velk_wait(0, 0), SIO_NOT_OPEN);
    EXPECT_EQ(velk_port_fd(0), SIO_NOT_OPEN);
}

// Answers, notifications and NOPs carry no data: velk_wait takes them in and
// goes on waiting, and the descriptor loop wakes at most once for each.
TEST_F(PosixLibraryTest, Rfc2217TrafficWithoutDataEndsNoWaitAndWakesTheLoopOncePerMessage) {
    FakeRfc2217Server server;
    ASSERT_TRUE(server.listening());
    ASSERT_EQ(velk_map_port(0, server.url().c_str()), 0);
    ASSERT_EQ(SioReset(0, 1024, 1024), 0) << "SioWinError " << SioWinError();
    const FakeBytes nop = {255, 241};
    const FakeBytes modemState = FakeRfc2217Server::subneg(107, {0x30});
    const FakeBytes lineState = FakeRfc2217Server::subneg(106, {0x60});
    const FakeBytes baudAnswer = FakeRfc2217Server::subneg(101, {0, 0, 0x4B, 0});
    const int messages = 4;
    std::thread talker([&] {
        for (const FakeBytes* m : {&nop, &modemState, &lineState, &baudAnswer}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            server.send(*m);
        }
    });
    const long before = polls();
    EXPECT_EQ(velk_wait(0, 400), 0) << "no data came";
    talker.join();
    expectPollsAtMost(before, messages + 2);

    const int fd = velk_port_fd(0);
    ASSERT_GE(fd, 0);
    talker = std::thread([&] {
        for (const FakeBytes* m : {&nop, &modemState, &lineState, &baudAnswer}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            server.send(*m);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        server.send({'E'});
    });
    int wakeUps = 0, c = SIO_NO_DATA;
    const auto limit = Clock::now() + std::chrono::seconds(20);
    char buf[16];
    while (c == SIO_NO_DATA && Clock::now() < limit) {
        int n;
        while ((n = SioGets(0, buf, sizeof buf)) > 0) c = buf[0];
        ASSERT_EQ(n, 0);
        if (c != SIO_NO_DATA) break;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 1000) > 0) ++wakeUps;
    }
    talker.join();
    EXPECT_EQ(c, 'E');
    EXPECT_LE(wakeUps, messages + 1);
}

}  // namespace
}  // namespace velk
