// The Telnet / Com Port Control (RFC 854, 856, 2217) client engine, as pure
// code over byte buffers: no socket, clock or allocation inside. The network
// device hands it every byte the server sends and sends whatever it puts in
// its output buffer.
//
// Receiving: server bytes in, data bytes out (IAC IAC becomes one 255), while
// the engine answers option negotiation, records the server's answers to our
// requests and its notifications (line state, modem state, flow-control
// suspend/resume). A subnegotiation longer than kSubnegLimit is discarded up to
// its end; an IAC inside one that is neither IAC nor SE ends it as malformed
// and is taken as the command it starts. Nothing the server sends grows memory
// or makes the engine emit more than a few bytes per byte received.
//
// Sending: data bytes are escaped (255 doubled) into the output buffer;
// requests are built as IAC SB 44 <command> <value> IAC SE with 255 doubled
// inside the value too. Data never takes the last kRequestReserve bytes of
// that buffer, so a request always finds room once the data ahead of it has
// gone. Negotiation replies have a buffer of their own, sent ahead of the
// data at the first command boundary: a reply is never dropped for data and
// never waits behind it.
//
// Negotiation: we offer WILL COM-PORT-OPTION, WILL/DO BINARY and WILL/DO SGA
// and refuse every other option (WONT to DO, DONT to WILL); an answer that
// confirms the state an option is in gets no reply, so no negotiation loops.
#ifndef VELK_DEVICE_NET_RFC2217_ENGINE_H
#define VELK_DEVICE_NET_RFC2217_ENGINE_H

#include <cstddef>
#include <cstdint>

namespace velk {
namespace rfc2217 {

// Telnet bytes and options.
constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kOptBinary = 0;
constexpr std::uint8_t kOptSga = 3;
constexpr std::uint8_t kOptComPort = 44;

// Client-to-server command codes; the server's own are these plus 100.
enum Command : std::uint8_t {
    kSignature = 0,
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyLineState = 6,
    kNotifyModemState = 7,
    kFlowSuspend = 8,
    kFlowResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
constexpr std::uint8_t kServerOffset = 100;

// SET-CONTROL values.
enum Control : std::uint8_t {
    kOutFlowNone = 1,
    kOutFlowXonXoff = 2,
    kOutFlowHardware = 3,
    kBreakOn = 5,
    kBreakOff = 6,
    kDtrOn = 8,
    kDtrOff = 9,
    kRtsOn = 11,
    kRtsOff = 12,
    kInFlowNone = 14,
    kInFlowXonXoff = 15,
    kInFlowHardware = 16,
};

// Line-state bits (NOTIFY-LINESTATE) and modem-state bits (NOTIFY-MODEMSTATE).
constexpr std::uint8_t kLineBreak = 16;
constexpr std::uint8_t kLineFraming = 8;
constexpr std::uint8_t kLineParity = 4;
constexpr std::uint8_t kLineOverrun = 2;
constexpr std::uint8_t kModemDcd = 128;
constexpr std::uint8_t kModemRi = 64;
constexpr std::uint8_t kModemDsr = 32;
constexpr std::uint8_t kModemCts = 16;

// What a request waits for: one slot per command, and per group of SET-CONTROL
// values (the server answers within the group it was asked about).
enum class AckKey : std::uint8_t { BaudRate, DataSize, Parity, StopSize, OutFlow, Break, Dtr, Rts, InFlow, Purge, Count };

enum class AckState : std::uint8_t {
    Idle,       // nothing asked since the last answer was taken
    Pending,    // asked, no answer yet
    Matched,    // answered with the value asked (or, for break/DTR/RTS/inbound flow, answered at all)
    Refused,    // answered with another value: the server did not take it
    Malformed,  // answered with a value of the wrong length
};

// The server answers the requests of one key in the order they were sent:
// an answer belongs to the oldest request of its key still unanswered. The
// engine remembers up to this many per key, so an answer that comes after
// its request was given up (a late answer) is still matched to it, not to a
// newer request of the same key.
constexpr int kMaxOutstanding = 4;

// Counts of what the server did wrong or oddly, for diagnosis and tests.
struct EngineStats {
    std::uint32_t malformed = 0;         // answers or notifications of the wrong shape
    std::uint32_t stray = 0;             // answers to nothing pending, unknown commands
    std::uint32_t mismatched = 0;        // break/DTR/RTS/inbound flow answered with another value
    std::uint32_t discardedSubneg = 0;   // over-long, unterminated or not ours
    std::uint32_t droppedReplies = 0;    // negotiation replies with no room to send
    std::uint32_t late = 0;              // answers to requests already given up
};

class Engine {
public:
    static constexpr std::size_t kOutCapacity = 8192;
    static constexpr std::size_t kRequestReserve = 64;
    static constexpr std::size_t kReplyCapacity = 512;
    static constexpr std::size_t kSubnegLimit = 64;
    static constexpr std::size_t kSignatureLimit = 64;

    Engine() { reset(); }

    // Forgets everything: a new connection.
    void reset();

    // Queues the opening offers: WILL COM-PORT-OPTION, WILL BINARY, DO BINARY,
    // WILL SGA, DO SGA.
    void start();

    // Runs n server bytes through the engine. The data among them is written
    // to `data` (room for n bytes is enough: data is never longer than its
    // input) and its length to *dataLen.
    void receive(const std::uint8_t* in, std::size_t n, std::uint8_t* data, std::size_t* dataLen);

    // Escapes data bytes into the output buffer as far as there is room
    // (leaving kRequestReserve for requests); returns how many of the n were
    // taken.
    std::size_t sendData(const std::uint8_t* in, std::size_t n);

    // Queues a request. A request whose answer can be waited for marks its
    // key Pending. Returns false, queuing nothing, when the output buffer
    // lacks room.
    bool request(std::uint8_t command, const std::uint8_t* value, std::size_t len);
    bool requestByte(std::uint8_t command, std::uint8_t value) { return request(command, &value, 1); }
    bool requestBaudRate(std::uint32_t rate);

    // The key a request of this command and value waits on; Count when its
    // answer is not waited for (masks, notifications, flow control).
    static AckKey keyOf(std::uint8_t command, const std::uint8_t* value, std::size_t len);

    // The state of the newest request of key k.
    AckState ack(AckKey k) const { return acks_[static_cast<int>(k)].state; }
    // Stops waiting for the newest request of k: its state reads Idle. A
    // request still unanswered stays remembered, so that its late answer is
    // matched to it (and counted in stats().late).
    void forget(AckKey k) { acks_[static_cast<int>(k)].state = AckState::Idle; }
    // Whether an answer came for key k after its request was given up, since
    // the last call; clears it.
    bool takeLateAnswer(AckKey k);

    // The next piece to send: pending replies when the data stream is at a
    // command boundary, else the data and requests. consumeOutput(n) drops
    // the first n bytes of that piece; pendingOutput() counts everything
    // waiting in both.
    const std::uint8_t* output() const { return replyFirst() ? reply_ : out_; }
    std::size_t outputSize() const { return replyFirst() ? replyLen_ : outLen_; }
    std::size_t pendingOutput() const { return replyLen_ + outLen_; }
    std::size_t outputRoom() const {
        return outLen_ + kRequestReserve >= kOutCapacity ? 0 : kOutCapacity - kRequestReserve - outLen_;
    }
    void consumeOutput(std::size_t n);
    void clearOutput() {
        outLen_ = replyLen_ = 0;
        sendState_ = SendState::Boundary;
    }
    // Drops the data and requests not yet sent, keeping only the rest of a
    // command already partly sent (so the stream stays well formed); the
    // replies stay. For a transmit purge.
    void discardData();

    // The server took COM-PORT-OPTION (DO 44) / refused it (DONT 44).
    bool comPortAccepted() const { return comPortAccepted_; }
    bool comPortRefused() const { return comPortRefused_; }
    // Line-state error bits (break, framing, parity, overrun) notified since
    // the last call; clears them.
    std::uint8_t takeLineErrors();
    // The last modem state notified (0 before any), and whether one came.
    std::uint8_t modemState() const { return modemState_; }
    bool modemStateKnown() const { return modemKnown_; }
    // The server asked us to stop sending (FLOWCONTROL-SUSPEND) and has not
    // resumed yet.
    bool suspended() const { return suspended_; }
    // The server's signature text, as far as it was sent (NUL-terminated).
    const char* signature() const { return signature_; }
    const EngineStats& stats() const { return stats_; }

private:
    enum class State : std::uint8_t { Data, Iac, Verb, SbOption, SbData, SbIac };
    // Where the bytes already sent from out_ left the stream.
    enum class SendState : std::uint8_t { Boundary, Iac, Verb, Sb, SbIac };
    struct Request {
        std::uint8_t value[4];
    };
    struct Ack {
        AckState state;      // of the newest request
        std::uint8_t count;  // requests unanswered, oldest first in fifo
        bool late;           // an answer came to a request given up
        Request fifo[kMaxOutstanding];
    };
    struct Option {
        bool localOn, localAsked, remoteOn, remoteAsked;
    };

    bool replyFirst() const { return replyLen_ > 0 && sendState_ == SendState::Boundary; }
    bool put(const std::uint8_t* bytes, std::size_t n);
    bool putReply(const std::uint8_t* bytes, std::size_t n);
    void reply(std::uint8_t verb, std::uint8_t option);
    std::size_t commandEnd(std::size_t from) const;
    void negotiate(std::uint8_t verb, std::uint8_t option);
    void subnegotiation();
    void serverCommand(std::uint8_t code, const std::uint8_t* value, std::size_t len);
    void answer(std::uint8_t command, const std::uint8_t* value, std::size_t len);
    static int wanted(std::uint8_t option);

    State state_;
    std::uint8_t verb_;
    std::uint8_t sbOption_;
    bool sbOverflow_;
    std::size_t sbLen_;
    std::uint8_t sb_[kSubnegLimit];
    std::uint8_t out_[kOutCapacity];
    std::size_t outLen_;
    SendState sendState_;
    std::uint8_t reply_[kReplyCapacity];
    std::size_t replyLen_;
    Option options_[3];  // COM-PORT-OPTION, BINARY, SGA
    Ack acks_[static_cast<int>(AckKey::Count)];
    bool comPortAccepted_, comPortRefused_;
    std::uint8_t lineErrors_;
    std::uint8_t modemState_;
    bool modemKnown_;
    bool suspended_;
    char signature_[kSignatureLimit + 1];
    EngineStats stats_;
};

}  // namespace rfc2217
}  // namespace velk

#endif  // VELK_DEVICE_NET_RFC2217_ENGINE_H
