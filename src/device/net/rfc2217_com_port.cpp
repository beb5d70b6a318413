// The RFC 2217 client engine's Com Port Control layer (see rfc2217_engine.h):
// the server's notifications and answers, matched to the requests they answer
// (refused, late or trusted as they come), and the requests we build.
#include <cstring>

#include "device/net/rfc2217_engine.h"

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

bool Engine::takeLateAnswer(AckKey k) {
    Ack& a = acks_[static_cast<int>(k)];
    const bool late = a.late;
    a.late = false;
    return late;
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
