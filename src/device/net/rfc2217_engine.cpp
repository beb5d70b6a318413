// The RFC 2217 client engine (see rfc2217_engine.h), its Telnet layer: the
// option negotiation, a byte-at-a-time parser feeding data to the caller's
// buffer and subnegotiations to the Com Port Control handling
// (rfc2217_com_port.cpp), and the output buffer with its escaping.
#include "device/net/rfc2217_engine.h"

#include <cstring>

namespace velk {
namespace rfc2217 {

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

}  // namespace rfc2217
}  // namespace velk
