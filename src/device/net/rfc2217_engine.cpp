// The RFC 2217 client engine (see rfc2217_engine.h): a byte-at-a-time Telnet
// parser feeding data to the caller's buffer and subnegotiations to the Com
// Port Control handling, and the builders of everything we send.
#include "device/net/rfc2217_engine.h"

#include <cstring>

namespace velk {
namespace rfc2217 {

namespace {

constexpr std::uint8_t kErrorBits = kLineBreak | kLineFraming | kLineParity | kLineOverrun;

// Whether another value than the one asked means the server refused the
// request. Break, DTR, RTS and inbound flow-control answers are not trusted:
// servers answer them with the request's group or a fixed value (ser2net 4.3
// answers every break request with 5, and inbound flow requests with 14 or
// 16 whatever was asked).
bool refusable(AckKey k) {
    return k != AckKey::Break && k != AckKey::Dtr && k != AckKey::Rts && k != AckKey::InFlow;
}

}  // namespace

void Engine::reset() {
    state_ = State::Data;
    verb_ = 0;
    sbOption_ = 0;
    sbOverflow_ = false;
    sbLen_ = 0;
    outLen_ = 0;
    sendState_ = SendState::Boundary;
    replyLen_ = 0;
    for (Option& o : options_) o = Option{false, false, false, false};
    for (Ack& a : acks_) a = Ack{AckState::Idle, 0, false, {}};
    comPortAccepted_ = false;
    comPortRefused_ = false;
    lineErrors_ = 0;
    modemState_ = 0;
    modemKnown_ = false;
    suspended_ = false;
    signature_[0] = '\0';
    stats_ = EngineStats{};
}

// Index into options_ of an option we take, or -1. COM-PORT-OPTION is ours
// to do (WILL) only; BINARY and SGA both ways.
int Engine::wanted(std::uint8_t option) {
    switch (option) {
    case kOptComPort: return 0;
    case kOptBinary: return 1;
    case kOptSga: return 2;
    default: return -1;
    }
}

bool Engine::put(const std::uint8_t* bytes, std::size_t n) {
    if (n > kOutCapacity - outLen_) return false;
    std::memcpy(out_ + outLen_, bytes, n);
    outLen_ += n;
    return true;
}

bool Engine::putReply(const std::uint8_t* bytes, std::size_t n) {
    if (n > kReplyCapacity - replyLen_) {
        ++stats_.droppedReplies;
        return false;
    }
    std::memcpy(reply_ + replyLen_, bytes, n);
    replyLen_ += n;
    return true;
}

void Engine::reply(std::uint8_t verb, std::uint8_t option) {
    const std::uint8_t msg[3] = {kIac, verb, option};
    putReply(msg, 3);
}

namespace {

// One byte further through a stream of our own making (data with 255
// doubled, 2- and 3-byte commands, subnegotiations ending IAC SE).
template <typename S>
S advance(S st, std::uint8_t b) {
    switch (st) {
    case S::Boundary: return b == kIac ? S::Iac : S::Boundary;
    case S::Iac:
        if (b == kSb) return S::Sb;
        if (b >= kWill && b <= kDont) return S::Verb;
        return S::Boundary;  // IAC IAC (a data 255) or a 2-byte command
    case S::Verb: return S::Boundary;
    case S::Sb: return b == kIac ? S::SbIac : S::Sb;
    case S::SbIac: return b == kSe ? S::Boundary : S::Sb;
    }
    return S::Boundary;
}

}  // namespace

void Engine::consumeOutput(std::size_t n) {
    if (replyFirst()) {
        if (n >= replyLen_) n = replyLen_;
        std::memmove(reply_, reply_ + n, replyLen_ - n);
        replyLen_ -= n;
        return;
    }
    if (n > outLen_) n = outLen_;
    for (std::size_t i = 0; i < n; ++i) sendState_ = advance(sendState_, out_[i]);
    std::memmove(out_, out_ + n, outLen_ - n);
    outLen_ -= n;
}

// The end in out_ of the command the bytes already sent are inside (0 at a
// boundary).
std::size_t Engine::commandEnd(std::size_t from) const {
    SendState st = sendState_;
    std::size_t i = from;
    while (st != SendState::Boundary && i < outLen_) st = advance(st, out_[i++]);
    return i;
}

void Engine::discardData() {
    outLen_ = commandEnd(0);
}

bool Engine::takeLateAnswer(AckKey k) {
    Ack& a = acks_[static_cast<int>(k)];
    const bool late = a.late;
    a.late = false;
    return late;
}

void Engine::start() {
    const std::uint8_t offers[] = {kIac, kWill, kOptComPort, kIac, kWill, kOptBinary, kIac, kDo, kOptBinary,
                                   kIac, kWill, kOptSga,     kIac, kDo,   kOptSga};
    if (put(offers, sizeof offers)) {
        for (Option& o : options_) o.localAsked = true;
        options_[1].remoteAsked = true;
        options_[2].remoteAsked = true;
    }
}

// One negotiation command from the server. A request we asked for ourselves is
// answered by the server's agreement, so it gets no reply; a change of state
// the server starts is acknowledged; a state confirmed again is left alone.
void Engine::negotiate(std::uint8_t verb, std::uint8_t option) {
    const int i = wanted(option);
    Option* o = i >= 0 ? &options_[i] : nullptr;
    const bool remoteWanted = o != nullptr && option != kOptComPort;
    switch (verb) {
    case kDo:
        if (o == nullptr) {
            reply(kWont, option);
        } else if (!o->localOn) {
            if (!o->localAsked) reply(kWill, option);
            o->localOn = true;
            o->localAsked = false;
            if (option == kOptComPort) {
                comPortAccepted_ = true;
                comPortRefused_ = false;
            }
        }
        break;
    case kDont:
        if (o != nullptr && (o->localOn || o->localAsked)) {
            if (o->localOn) reply(kWont, option);
            o->localOn = false;
            o->localAsked = false;
            if (option == kOptComPort) {
                comPortAccepted_ = false;
                comPortRefused_ = true;
            }
        }
        break;
    case kWill:
        if (!remoteWanted) {
            reply(kDont, option);
        } else if (!o->remoteOn) {
            if (!o->remoteAsked) reply(kDo, option);
            o->remoteOn = true;
            o->remoteAsked = false;
        }
        break;
    case kWont:
        if (remoteWanted && (o->remoteOn || o->remoteAsked)) {
            if (o->remoteOn) reply(kDont, option);
            o->remoteOn = false;
            o->remoteAsked = false;
        }
        break;
    default:
        break;
    }
}

void Engine::receive(const std::uint8_t* in, std::size_t n, std::uint8_t* data, std::size_t* dataLen) {
    std::size_t d = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = in[i];
        switch (state_) {
        case State::Data:
            if (b == kIac) {
                state_ = State::Iac;
            } else {
                data[d++] = b;
            }
            break;
        case State::Iac:
            if (b == kIac) {
                data[d++] = b;
                state_ = State::Data;
            } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                verb_ = b;
                state_ = State::Verb;
            } else if (b == kSb) {
                sbLen_ = 0;
                sbOverflow_ = false;
                state_ = State::SbOption;
            } else {
                state_ = State::Data;  // NOP, GA, a stray SE and the rest: nothing for us
            }
            break;
        case State::Verb:
            negotiate(verb_, b);
            state_ = State::Data;
            break;
        case State::SbOption:
            sbOption_ = b;
            state_ = b == kIac ? State::SbIac : State::SbData;
            if (b == kIac) sbOverflow_ = true;  // no option: malformed whatever follows
            break;
        case State::SbData:
            if (b == kIac) {
                state_ = State::SbIac;
            } else if (sbLen_ < kSubnegLimit) {
                sb_[sbLen_++] = b;
            } else {
                sbOverflow_ = true;
            }
            break;
        case State::SbIac:
            if (b == kIac) {
                if (sbLen_ < kSubnegLimit) {
                    sb_[sbLen_++] = b;
                } else {
                    sbOverflow_ = true;
                }
                state_ = State::SbData;
            } else if (b == kSe) {
                subnegotiation();
                state_ = State::Data;
            } else {
                // An unterminated subnegotiation: dropped, and this IAC is
                // taken as the command it starts.
                ++stats_.discardedSubneg;
                state_ = State::Iac;
                --i;
            }
            break;
        }
    }
    *dataLen = d;
}

void Engine::subnegotiation() {
    if (sbOverflow_ || sbOption_ != kOptComPort || sbLen_ == 0) {
        ++stats_.discardedSubneg;
        return;
    }
    serverCommand(sb_[0], sb_ + 1, sbLen_ - 1);
}

void Engine::serverCommand(std::uint8_t code, const std::uint8_t* value, std::size_t len) {
    if (code < kServerOffset) {
        ++stats_.stray;  // a client's code from the server
        return;
    }
    const std::uint8_t command = static_cast<std::uint8_t>(code - kServerOffset);
    switch (command) {
    case kSignature:
        if (len == 0) {
            // The server asks for ours.
            static const std::uint8_t sig[] = {kIac, kSb, kOptComPort, kSignature, 'v', 'e', 'l', 'k', '3', '2',
                                               kIac, kSe};
            putReply(sig, sizeof sig);
        } else {
            const std::size_t n = len < kSignatureLimit ? len : kSignatureLimit;
            for (std::size_t i = 0; i < n; ++i) {
                const char c = static_cast<char>(value[i]);
                signature_[i] = (value[i] >= 32 && value[i] < 127) ? c : '?';
            }
            signature_[n] = '\0';
        }
        break;
    case kNotifyLineState:
        if (len != 1) {
            ++stats_.malformed;
        } else {
            lineErrors_ |= static_cast<std::uint8_t>(value[0] & kErrorBits);
        }
        break;
    case kNotifyModemState:
        if (len != 1) {
            ++stats_.malformed;
        } else {
            modemState_ = value[0];
            modemKnown_ = true;
        }
        break;
    case kFlowSuspend:
        suspended_ = true;
        break;
    case kFlowResume:
        suspended_ = false;
        break;
    case kSetLineStateMask:
    case kSetModemStateMask:
        break;  // answers to our masks: nothing waits on them
    case kSetBaudRate:
    case kSetDataSize:
    case kSetParity:
    case kSetStopSize:
    case kSetControl:
    case kPurgeData:
        answer(command, value, len);
        break;
    default:
        ++stats_.stray;
        break;
    }
}

AckKey Engine::keyOf(std::uint8_t command, const std::uint8_t* value, std::size_t len) {
    switch (command) {
    case kSetBaudRate: return AckKey::BaudRate;
    case kSetDataSize: return AckKey::DataSize;
    case kSetParity: return AckKey::Parity;
    case kSetStopSize: return AckKey::StopSize;
    case kPurgeData: return AckKey::Purge;
    case kSetControl:
        if (len < 1) return AckKey::Count;
        if (value[0] <= 3 || (value[0] >= 17 && value[0] <= 19)) return AckKey::OutFlow;
        if (value[0] <= 6) return AckKey::Break;
        if (value[0] <= 9) return AckKey::Dtr;
        if (value[0] <= 12) return AckKey::Rts;
        if (value[0] <= 16) return AckKey::InFlow;
        return AckKey::Count;
    default: return AckKey::Count;
    }
}

void Engine::answer(std::uint8_t command, const std::uint8_t* value, std::size_t len) {
    const std::size_t want = command == kSetBaudRate ? 4 : 1;
    const AckKey k = keyOf(command, value, len);
    if (k == AckKey::Count) {
        ++stats_.malformed;
        return;
    }
    Ack& a = acks_[static_cast<int>(k)];
    if (a.count == 0) {
        ++stats_.stray;
        return;
    }
    // The oldest request of the key still unanswered.
    const Request asked = a.fifo[0];
    --a.count;
    std::memmove(a.fifo, a.fifo + 1, a.count * sizeof(Request));
    AckState result;
    if (len != want) {
        ++stats_.malformed;
        result = AckState::Malformed;
    } else if (std::memcmp(value, asked.value, want) == 0) {
        result = AckState::Matched;
    } else if (refusable(k)) {
        result = AckState::Refused;
    } else {
        ++stats_.mismatched;
        result = AckState::Matched;
    }
    if (a.count == 0 && a.state == AckState::Pending) {
        a.state = result;  // the newest request's own answer
    } else {
        ++stats_.late;  // a request given up, or one before the newest
        a.late = true;
    }
}

std::size_t Engine::sendData(const std::uint8_t* in, std::size_t n) {
    std::size_t i = 0;
    const std::size_t room = outputRoom();
    const std::size_t limit = outLen_ + room;
    for (; i < n; ++i) {
        const std::size_t need = in[i] == kIac ? 2 : 1;
        if (limit - outLen_ < need) break;
        out_[outLen_++] = in[i];
        if (need == 2) out_[outLen_++] = kIac;
    }
    return i;
}

bool Engine::request(std::uint8_t command, const std::uint8_t* value, std::size_t len) {
    if (len > 4) return false;
    std::uint8_t msg[4 + 2 * 4 + 2];
    std::size_t m = 0;
    msg[m++] = kIac;
    msg[m++] = kSb;
    msg[m++] = kOptComPort;
    msg[m++] = command;
    for (std::size_t i = 0; i < len; ++i) {
        msg[m++] = value[i];
        if (value[i] == kIac) msg[m++] = kIac;
    }
    msg[m++] = kIac;
    msg[m++] = kSe;
    if (!put(msg, m)) return false;
    const AckKey k = keyOf(command, value, len);
    if (k != AckKey::Count) {
        Ack& a = acks_[static_cast<int>(k)];
        if (a.count == kMaxOutstanding) {  // the oldest is given up for good
            --a.count;
            std::memmove(a.fifo, a.fifo + 1, a.count * sizeof(Request));
        }
        Request& r = a.fifo[a.count++];
        std::memset(r.value, 0, sizeof r.value);
        std::memcpy(r.value, value, len);
        a.state = AckState::Pending;
    }
    return true;
}

bool Engine::requestBaudRate(std::uint32_t rate) {
    const std::uint8_t v[4] = {static_cast<std::uint8_t>(rate >> 24), static_cast<std::uint8_t>(rate >> 16),
                               static_cast<std::uint8_t>(rate >> 8), static_cast<std::uint8_t>(rate)};
    return request(kSetBaudRate, v, 4);
}

std::uint8_t Engine::takeLineErrors() {
    const std::uint8_t e = lineErrors_;
    lineErrors_ = 0;
    return e;
}

}  // namespace rfc2217
}  // namespace velk
