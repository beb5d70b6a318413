// The RFC 2217 engine over byte buffers: negotiation, data escaping both
// ways, requests and how their answers are judged, notifications, and the
// server's malformed or hostile input.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device/net/rfc2217_engine.h"

namespace velk {
namespace rfc2217 {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct EngineTest : ::testing::Test {
    Engine e;

    // Feeds server bytes; returns the data they carried.
    Bytes feed(const Bytes& in) {
        Bytes data(in.size() + 1);
        std::size_t n = 99999;
        e.receive(in.data(), in.size(), data.data(), &n);
        EXPECT_LE(n, in.size());
        data.resize(n);
        return data;
    }
    // Takes everything the engine has queued to send.
    Bytes sent() {
        Bytes out;
        while (e.pendingOutput() > 0) {
            out.insert(out.end(), e.output(), e.output() + e.outputSize());
            e.consumeOutput(e.outputSize());
        }
        return out;
    }
    static Bytes sb(std::uint8_t code, Bytes value) {
        Bytes m = {kIac, kSb, kOptComPort, code};
        m.insert(m.end(), value.begin(), value.end());
        m.push_back(kIac);
        m.push_back(kSe);
        return m;
    }
};

TEST_F(EngineTest, NegotiatesComPortBinaryAndSgaAndRefusesTheRest) {
    e.start();
    EXPECT_EQ(sent(), (Bytes{kIac, kWill, 44, kIac, kWill, 0, kIac, kDo, 0, kIac, kWill, 3, kIac, kDo, 3}));
    // What ser2net 4.3 offers on connect: agreements to ours get no reply,
    // ECHO is refused, nothing loops.
    EXPECT_TRUE(feed({kIac, kWill, 3, kIac, kDo, 3, kIac, kWill, 1, kIac, kDont, 1, kIac, kDo, 0, kIac, kWill, 0,
                      kIac, kDo, 44})
                    .empty());
    EXPECT_EQ(sent(), (Bytes{kIac, kDont, 1}));
    EXPECT_TRUE(e.comPortAccepted());
    // Confirmations of the state we are in stay unanswered; an option turned
    // off by the server is acknowledged once.
    feed({kIac, kDo, 44, kIac, kWill, 0, kIac, kWont, 1});
    EXPECT_TRUE(sent().empty());
    feed({kIac, kWont, 3, kIac, kWont, 3, kIac, kDo, 24, kIac, kWill, 44});
    EXPECT_EQ(sent(), (Bytes{kIac, kDont, 3, kIac, kWont, 24, kIac, kDont, 44}));
    feed({kIac, kDont, 44});
    EXPECT_EQ(sent(), (Bytes{kIac, kWont, 44}));
    EXPECT_TRUE(e.comPortRefused());
}

TEST_F(EngineTest, DataEscapingBothWaysAndInsideRequests) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(e.sendData(all.data(), all.size()), 256u);
    Bytes wire = sent();
    ASSERT_EQ(wire.size(), 257u);
    EXPECT_EQ(wire[255], 255);
    EXPECT_EQ(wire[256], 255);
    // The same wire form read back, split at every point, gives the bytes.
    for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
        Engine r;
        Bytes out(wire.size());
        std::size_t a = 0, b = 0;
        r.receive(wire.data(), cut, out.data(), &a);
        r.receive(wire.data() + cut, wire.size() - cut, out.data() + a, &b);
        out.resize(a + b);
        ASSERT_EQ(out, all) << "cut at " << cut;
    }
    // A full output buffer takes what fits, never half an escape, and keeps
    // room for requests.
    Bytes ff(Engine::kOutCapacity, 0xFF);
    EXPECT_EQ(e.sendData(ff.data(), ff.size()), (Engine::kOutCapacity - Engine::kRequestReserve) / 2);
    EXPECT_EQ(e.outputRoom(), 0u);
    EXPECT_TRUE(e.requestByte(kSetDataSize, 8));
    e.clearOutput();
    // 255 inside a request's value is doubled too.
    ASSERT_TRUE(e.requestBaudRate(0x0003FFFF));
    EXPECT_EQ(sent(), (Bytes{kIac, kSb, 44, 1, 0, 3, 255, 255, 255, 255, kIac, kSe}));
}

TEST_F(EngineTest, AnswersAreMatchedRefusedOrMalformedByKey) {
    ASSERT_TRUE(e.requestBaudRate(250000));
    ASSERT_TRUE(e.requestByte(kSetParity, 4));
    ASSERT_TRUE(e.requestByte(kSetControl, kOutFlowHardware));
    ASSERT_TRUE(e.requestByte(kSetControl, kInFlowHardware));
    ASSERT_TRUE(e.requestByte(kSetControl, kBreakOff));
    ASSERT_TRUE(e.requestByte(kSetControl, kDtrOn));
    ASSERT_TRUE(e.requestByte(kSetStopSize, 2));
    ASSERT_TRUE(e.requestByte(kSetDataSize, 7));
    ASSERT_TRUE(e.requestByte(kSetLineStateMask, 0x1E));
    EXPECT_EQ(e.ack(AckKey::BaudRate), AckState::Pending);
    EXPECT_EQ(e.ack(AckKey::Purge), AckState::Idle);
    feed(sb(101, {0, 3, 0xD0, 0x90}));  // 250000
    feed(sb(103, {3}));                 // even instead of mark: refused
    feed(sb(105, {1}));                 // no flow instead of hardware: refused
    feed(sb(105, {5}));                 // ser2net's answer to any break request: taken
    feed(sb(105, {14}));                // ser2net's usual answer to inbound flow: taken
    feed(sb(104, {2, 2}));              // wrong length
    feed(sb(110, {0}));                 // a mask answer: nothing waits
    EXPECT_EQ(e.ack(AckKey::BaudRate), AckState::Matched);
    EXPECT_EQ(e.ack(AckKey::Parity), AckState::Refused);
    EXPECT_EQ(e.ack(AckKey::OutFlow), AckState::Refused);
    EXPECT_EQ(e.ack(AckKey::Break), AckState::Matched);
    EXPECT_EQ(e.ack(AckKey::InFlow), AckState::Matched);
    EXPECT_EQ(e.ack(AckKey::StopSize), AckState::Malformed);
    EXPECT_EQ(e.ack(AckKey::Dtr), AckState::Pending);  // ser2net on a pty never answers
    EXPECT_EQ(e.ack(AckKey::DataSize), AckState::Pending);
    EXPECT_EQ(e.stats().mismatched, 2u);
    // An answer to nothing asked is stray. An answer after the wait was given
    // up is late: it belongs to its own request, not to a newer one of the
    // same key, which is judged by its own answer.
    feed(sb(112, {3}));
    EXPECT_EQ(e.stats().stray, 1u);
    e.forget(AckKey::DataSize);
    ASSERT_TRUE(e.requestByte(kSetDataSize, 5));
    feed(sb(102, {7}));
    EXPECT_EQ(e.ack(AckKey::DataSize), AckState::Pending);
    EXPECT_EQ(e.stats().late, 1u);
    EXPECT_TRUE(e.takeLateAnswer(AckKey::DataSize));
    EXPECT_FALSE(e.takeLateAnswer(AckKey::DataSize));
    feed(sb(102, {6}));
    EXPECT_EQ(e.ack(AckKey::DataSize), AckState::Refused);
}

TEST_F(EngineTest, SubnegotiationOfTheLimitIsTakenOneByteMoreIsDropped) {
    const Bytes data = {'q', 255, 'r'};
    ASSERT_EQ(e.sendData(data.data(), data.size()), 3u);
    Bytes at = sb(100, Bytes(Engine::kSubnegLimit - 1, 'S'));  // code + 63: 64 bytes
    Bytes over = sb(100, Bytes(Engine::kSubnegLimit, 'T'));    // 65
    feed(at);
    EXPECT_EQ(std::string(e.signature()), std::string(Engine::kSubnegLimit - 1, 'S'));
    feed(over);
    EXPECT_EQ(std::string(e.signature()), std::string(Engine::kSubnegLimit - 1, 'S'));
    EXPECT_EQ(e.stats().discardedSubneg, 1u);
    EXPECT_EQ(sent(), (Bytes{'q', 255, 255, 'r'}));  // the queued output untouched
}

TEST_F(EngineTest, RepliesGoAheadOfQueuedDataAtACommandBoundary) {
    const Bytes data = {'a', 255, 'b'};
    ASSERT_EQ(e.sendData(data.data(), data.size()), 3u);
    e.consumeOutput(2);  // 'a' and the first half of the escaped 255 left
    feed({kIac, kDo, 99});
    // The reply waits for the escape to be whole, then goes before 'b'.
    ASSERT_EQ(e.outputSize(), 2u);
    EXPECT_EQ(e.output()[0], 255);
    e.consumeOutput(1);
    EXPECT_EQ(sent(), (Bytes{kIac, kWont, 99, 'b'}));
    // A purge drops the unsent data, not the rest of a command under way.
    Bytes big(Engine::kOutCapacity, 'x');
    e.sendData(big.data(), big.size());
    ASSERT_TRUE(e.requestBaudRate(9600));
    e.discardData();
    EXPECT_EQ(e.pendingOutput(), 0u);
    ASSERT_TRUE(e.requestBaudRate(9600));
    e.consumeOutput(3);
    e.discardData();
    EXPECT_EQ(sent(), (Bytes{1, 0, 0, 0x25, 0x80, kIac, kSe}));
}

TEST_F(EngineTest, NotificationsAndServerFlowControl) {
    EXPECT_FALSE(e.modemStateKnown());
    EXPECT_EQ(e.modemState(), 0);
    EXPECT_EQ(feed(sb(107, {kModemCts | kModemDcd | 0x01})), Bytes{});
    EXPECT_TRUE(e.modemStateKnown());
    EXPECT_EQ(e.modemState(), kModemCts | kModemDcd | 0x01);
    // Line errors accumulate until taken; data-ready and the like are not errors.
    feed(sb(106, {kLineFraming | 0x01 | 0x60}));
    feed(sb(106, {kLineBreak | kLineOverrun}));
    feed(sb(106, {kLineParity, 9}));  // malformed: ignored
    EXPECT_EQ(e.takeLineErrors(), kLineFraming | kLineBreak | kLineOverrun);
    EXPECT_EQ(e.takeLineErrors(), 0);
    EXPECT_EQ(e.stats().malformed, 1u);
    // 108 / 109 are the server's own suspend and resume; ser2net's answer to
    // a client's (105 1) is not.
    feed(sb(108, {}));
    EXPECT_TRUE(e.suspended());
    feed(sb(105, {1}));
    EXPECT_TRUE(e.suspended());
    feed(sb(109, {}));
    EXPECT_FALSE(e.suspended());
    // The server's signature, and ours when asked.
    feed(sb(100, {'s', 'e', 'r', '2', 'n', 'e', 't', 1}));
    EXPECT_STREQ(e.signature(), "ser2net?");
    feed(sb(100, {}));
    EXPECT_EQ(sent(), (Bytes{kIac, kSb, 44, 0, 'v', 'e', 'l', 'k', '3', '2', kIac, kSe}));
}

TEST_F(EngineTest, HostileInputIsBoundedAndDataSurvivesIt) {
    // An over-long subnegotiation is dropped whole, the data around it kept.
    Bytes in = {'a'};
    Bytes longSb = sb(107, Bytes(10000, 0x10));
    in.insert(in.end(), longSb.begin(), longSb.end());
    in.push_back('b');
    EXPECT_EQ(feed(in), (Bytes{'a', 'b'}));
    EXPECT_FALSE(e.modemStateKnown());
    // A subnegotiation cut short by another command: dropped, the command
    // taken, and data flows again.
    EXPECT_EQ(feed({kIac, kSb, 44, 107, 0x30, kIac, kDo, 99, 'c', kIac, kIac}), (Bytes{'c', 255}));
    EXPECT_EQ(sent(), (Bytes{kIac, kWont, 99}));
    EXPECT_FALSE(e.modemStateKnown());
    // Other options' subnegotiations, empty ones, stray SE, NOP, GA: nothing.
    EXPECT_EQ(feed({kIac, kSb, 24, 1, kIac, kSe, kIac, kSb, kIac, kSe, kIac, kSb, 44, kIac, kSe, kIac, kSe, kIac,
                    241, kIac, 249, 'd'}),
              Bytes{'d'});
    EXPECT_EQ(e.stats().discardedSubneg, 5u);
    // A flood of option requests: replies stop at their buffer's size.
    Bytes flood;
    for (int i = 0; i < 10000; ++i) flood.insert(flood.end(), {kIac, kDo, 99});
    feed(flood);
    EXPECT_EQ(e.pendingOutput(), Engine::kReplyCapacity - Engine::kReplyCapacity % 3);
    EXPECT_GT(e.stats().droppedReplies, 0u);
}

}  // namespace
}  // namespace rfc2217
}  // namespace velk
