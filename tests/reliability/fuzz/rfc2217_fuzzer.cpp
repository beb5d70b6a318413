// The RFC 2217 engine fuzzer: libFuzzer's input is a server's byte stream. Its
// first byte chooses how the stream is cut into reads and which requests are
// pending while it arrives. Whatever the server sends, the engine must
// - produce no more data than it received, the same data however the stream
//   is cut, and data that survives being escaped and read back;
// - keep its output within its buffer and emit a bounded number of bytes per
//   byte received;
// - leave every acknowledgement in a defined state.
// ASan and UBSan (the fuzz build's flags) catch any out-of-bounds access.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/net/rfc2217_engine.h"

namespace {

using namespace velk::rfc2217;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "rfc2217 fuzzer: %s\n", what);
        std::abort();
    }
}

// Runs the stream through an engine in reads of the given sizes (cycled).
// Returns the data; the sent bytes are drained as they come.
std::vector<std::uint8_t> run(Engine& e, const std::uint8_t* in, std::size_t n, const std::uint8_t* cuts,
                              std::size_t ncuts, std::size_t* sentTotal) {
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> chunk(n + 1);
    std::size_t pos = 0;
    std::size_t c = 0;
    while (pos < n) {
        std::size_t len = ncuts == 0 ? n : 1 + cuts[c++ % ncuts] % 64;
        if (len > n - pos) len = n - pos;
        const std::size_t before = e.pendingOutput();
        std::size_t got = 0;
        e.receive(in + pos, len, chunk.data(), &got);
        check(got <= len, "more data out than bytes in");
        check(e.pendingOutput() <= Engine::kOutCapacity + Engine::kReplyCapacity, "output past its buffers");
        // At most one 12-byte signature reply or a 3-byte negotiation reply
        // per 3 bytes received.
        check(e.pendingOutput() - before <= 4 * len + 12, "output out of proportion to input");
        data.insert(data.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
        *sentTotal += e.pendingOutput();
        e.clearOutput();
        pos += len;
    }
    for (int k = 0; k < static_cast<int>(AckKey::Count); ++k) {
        const AckState s = e.ack(static_cast<AckKey>(k));
        check(s <= AckState::Malformed, "acknowledgement state out of range");
    }
    return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t mode = input[0];
    const std::size_t ncuts = input[1] % 8;
    if (size < 2 + ncuts) return 0;
    const std::uint8_t* cuts = input + 2;
    const std::uint8_t* stream = input + 2 + ncuts;
    const std::size_t n = size - 2 - ncuts;

    static Engine whole;
    static Engine pieces;
    whole.reset();
    pieces.reset();
    for (Engine* e : {&whole, &pieces}) {
        if (mode & 1) e->start();
        if (mode & 2) e->requestBaudRate(0xFF00FF00u ^ mode);
        if (mode & 4) e->requestByte(kSetControl, static_cast<std::uint8_t>(mode >> 3));
        if (mode & 8) e->requestByte(kSetParity, static_cast<std::uint8_t>(mode >> 4));
        e->clearOutput();
    }
    std::size_t sentWhole = 0;
    std::size_t sentPieces = 0;
    const std::vector<std::uint8_t> a = run(whole, stream, n, cuts, 0, &sentWhole);
    const std::vector<std::uint8_t> b = run(pieces, stream, n, cuts, ncuts, &sentPieces);
    check(a == b, "data depends on how the stream was cut");
    check(whole.modemState() == pieces.modemState() && whole.suspended() == pieces.suspended(),
          "state depends on how the stream was cut");
    for (int k = 0; k < static_cast<int>(AckKey::Count); ++k) {
        check(whole.ack(static_cast<AckKey>(k)) == pieces.ack(static_cast<AckKey>(k)),
              "acknowledgements depend on how the stream was cut");
    }
    check(whole.takeLineErrors() == pieces.takeLineErrors(), "line errors depend on the cut");

    // The data, escaped as we would send it, reads back unchanged.
    static Engine enc;
    static Engine dec;
    enc.reset();
    dec.reset();
    std::vector<std::uint8_t> wire;
    std::size_t done = 0;
    while (done < a.size()) {
        done += enc.sendData(a.data() + done, a.size() - done);
        wire.insert(wire.end(), enc.output(), enc.output() + enc.outputSize());
        enc.clearOutput();
    }
    std::vector<std::uint8_t> back(wire.size() + 1);
    std::size_t got = 0;
    dec.receive(wire.data(), wire.size(), back.data(), &got);
    back.resize(got);
    check(back == a, "escaped data does not read back");
    return 0;
}
