// The network ports measured through ser2net, side by side with the floor: a
// plain TCP client on ser2net's raw port (TCP_NODELAY, TCP_QUICKACK re-armed
// after each read), the least any client can cost on that path.
// scripts/bench.sh starts ser2net on 127.0.0.1 in front of two pty pairs
// whose far ends echo (this program's --echo mode) and runs this program once
// per round, interleaved with bench/pyserial_net_bench.py.
//
//   velk_net_bench --echo LINK
//       the far end of the line: a pty pair whose slave path is linked at
//       LINK and whose master echoes every byte back, until killed. The pair
//       keeps its slave open, so ser2net's closes never hang the line up.
//   velk_net_bench --rfc2217 PORT --raw PORT [--round N] [--echoes N]
//                  [--trips N] [--idle-calls N] [--poll yield|spin] --out FILE.json
//       one connection per client (velk32 on rfc2217://, velk32 on
//       socket://, the floor), in an order rotated by the round: on each,
//       N echoes of 64 KiB (each timed apart, so the first and the tenth of
//       a connection can be compared), then N 1 KiB request/reply round
//       trips; then the cost per call of SioRxQue, SioGetc and SioCTS on an
//       idle rfc2217:// port. Every byte echoed is checked.
//   velk_net_bench --syscalls --rfc2217 PORT
//       each of those idle calls made between marker system calls (as
//       velk_syscalls does), for strace to count.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pty_peer.h"
#include "velk32.h"
#include "velk32_posix.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPort = 0;  // COM1, mapped to the network address
constexpr int kEcho = 64 * 1024;
constexpr int kTrip = 1024;
constexpr auto kLimit = std::chrono::seconds(10);  // for any one echo or round trip

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// ---- The far end: a pty pair that echoes ------------------------------------

int echoMain(const char* link) {
    velkbench::PtyPeer pty;
    unlink(link);
    if (symlink(pty.path(), link) != 0) {
        std::perror("symlink");
        return 1;
    }
    std::vector<char> buf(65536);
    const int fd = pty.master();
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, -1);
        ssize_t n = read(fd, buf.data(), buf.size());
        for (ssize_t done = 0; n > 0 && done < n;) {
            ssize_t w = write(fd, buf.data() + done, static_cast<size_t>(n - done));
            if (w > 0) {
                done += w;
            } else {
                pollfd q{fd, POLLOUT, 0};
                poll(&q, 1, 100);
            }
        }
    }
}

// ---- The clients ----------------------------------------------------------------

class Client {
public:
    virtual ~Client() = default;
    virtual const char* name() const = 0;
    virtual bool open() = 0;
    // Sends all of data and reads the same count back into back.
    virtual bool exchange(const char* data, char* back, int len) = 0;
    virtual void close() = 0;
    std::string error;
};

// How the library's clients wait for a reply. SioGets never waits, so the
// reply is polled for, as a program using the library does; by default the
// poll gives the CPU up (sched_yield) each time nothing has come, so that on a
// small machine the client does not hold a core that ser2net and the echo
// need. --poll spin polls without yielding.
bool g_yield = true;

// velk32 on rfc2217:// or socket://.
class VelkClient : public Client {
public:
    VelkClient(const char* scheme, int tcpPort)
        : url_(std::string(scheme) + "://127.0.0.1:" + std::to_string(tcpPort)),
          name_("velk32 " + std::string(scheme) + "://") {}
    const char* name() const override { return name_.c_str(); }
    bool open() override {
        velk_map_port(kPort, url_.c_str());
        if (SioReset(kPort, 65536, 65536) != 0) return fail("SioReset");
        return true;
    }
    bool exchange(const char* data, char* back, int len) override {
        if (SioPuts(kPort, data, len) != len) return fail("SioPuts");
        const auto t0 = Clock::now();
        for (int got = 0; got < len;) {
            int n = SioGets(kPort, back + got, len - got);
            if (n < 0) return fail("SioGets");
            got += n;
            if (n > 0) continue;
            if (Clock::now() - t0 > kLimit) return fail("no echo within 10 s:");
            if (g_yield) sched_yield();
        }
        return true;
    }
    void close() override {
        SioDone(kPort);
        velk_map_port(kPort, nullptr);
    }

private:
    bool fail(const char* what) {
        error = std::string(what) + " failed, SioWinError " + std::to_string(SioWinError());
        return false;
    }
    std::string url_, name_;
};

// The floor: a non-blocking TCP socket with TCP_NODELAY that sends and reads
// at once, sleeping in poll, and re-arms TCP_QUICKACK after each read (Linux
// drops it again after a while, and a delayed ACK stalls a request/reply
// exchange by tens of milliseconds).
class FloorClient : public Client {
public:
    explicit FloorClient(int tcpPort) : port_(tcpPort) {}
    const char* name() const override { return "floor: C client, raw port"; }
    bool open() override {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port_));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return fail("connect");
        int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        return true;
    }
    bool exchange(const char* data, char* back, int len) override {
        int sent = 0, got = 0;
        const auto t0 = Clock::now();
        while (got < len) {
            pollfd p{fd_, static_cast<short>(POLLIN | (sent < len ? POLLOUT : 0)), 0};
            if (poll(&p, 1, 1000) == 0 && Clock::now() - t0 > kLimit) return fail("no echo within 10 s:");
            if (sent < len && (p.revents & POLLOUT)) {
                ssize_t n = send(fd_, data + sent, static_cast<size_t>(len - sent), MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n < 0 && errno != EAGAIN) return fail("send");
                if (n > 0) sent += static_cast<int>(n);
            }
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t n = recv(fd_, back + got, static_cast<size_t>(len - got), MSG_DONTWAIT);
                if (n == 0) return fail("connection closed:");
                if (n < 0 && errno != EAGAIN) return fail("recv");
                if (n > 0) {
                    got += static_cast<int>(n);
                    int on = 1;
                    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
                }
            }
        }
        return true;
    }
    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

private:
    bool fail(const char* what) {
        error = std::string(what) + " " + std::strerror(errno);
        return false;
    }
    int port_;
    int fd_ = -1;
};

// ---- One round -----------------------------------------------------------------

// Bytes that differ from one exchange to the next and include 0xFF, which
// travels doubled on rfc2217://.
void fill(std::vector<char>& buf, int seed) {
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed) * 13) & 0xFF);
}

struct Result {
    double openS = 0;
    std::vector<double> echoS;  // one per echo, in order
    double tripsS = 0;          // all the round trips
    int trips = 0;
    std::string error;
};

Result runClient(Client& c, int echoes, int trips) {
    Result r;
    auto t0 = Clock::now();
    if (!c.open()) {
        r.error = c.error;
        c.close();
        return r;
    }
    r.openS = since(t0);
    std::vector<char> out(kEcho), back(kEcho);
    for (int i = 0; i < echoes && r.error.empty(); ++i) {
        fill(out, i);
        t0 = Clock::now();
        if (!c.exchange(out.data(), back.data(), kEcho)) {
            r.error = c.error;
        } else {
            r.echoS.push_back(since(t0));
            if (out != back) r.error = "64 KiB echo " + std::to_string(i + 1) + " came back changed";
        }
    }
    out.resize(kTrip);
    back.resize(kTrip);
    fill(out, 99);
    t0 = Clock::now();
    for (int i = 0; i < trips && r.error.empty(); ++i) {
        out[0] = static_cast<char>(i);
        if (!c.exchange(out.data(), back.data(), kTrip)) r.error = c.error;
        else if (out != back) r.error = "1 KiB reply " + std::to_string(i + 1) + " came back changed";
        else ++r.trips;
    }
    r.tripsS = since(t0);
    c.close();
    return r;
}

// Keeps a result the compiler would otherwise be free to drop.
volatile ssize_t g_sink;
void benchmark_sink(ssize_t v) { g_sink = v; }

// Nanoseconds per call of fn, over calls calls.
template <typename Fn>
double nsPerCall(int calls, Fn&& fn) {
    const auto t0 = Clock::now();
    for (int i = 0; i < calls; ++i) fn();
    return since(t0) * 1e9 / calls;
}

void printJsonList(FILE* f, const std::vector<double>& v) {
    std::fputc('[', f);
    for (size_t i = 0; i < v.size(); ++i) std::fprintf(f, "%s%.9g", i ? ", " : "", v[i]);
    std::fputc(']', f);
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
        if (ch == '"' || ch == '\\') out += '\\';
        if (static_cast<unsigned char>(ch) >= 0x20) out += ch;
    }
    return out + "\"";
}

struct Options {
    int rfc = 0, raw = 0, round = 0, echoes = 10, trips = 200, idleCalls = 20000;
    const char* out = nullptr;
    bool syscalls = false;
};

// The idle calls, on an rfc2217:// port with nothing arriving. Returns false
// when the port would not open.
bool openIdle(const Options& o) {
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(o.rfc);
    velk_map_port(kPort, url.c_str());
    if (SioReset(kPort, 4096, 4096) != 0) {
        std::fprintf(stderr, "rfc2217:// SioReset failed, SioWinError %d\n", SioWinError());
        return false;
    }
    // Let the connection's negotiation and the server's first notification
    // settle, so that the calls measured find nothing to parse.
    for (int i = 0; i < 50; ++i) {
        SioRxQue(kPort);
        usleep(2000);
    }
    return true;
}

void closeIdle() {
    SioDone(kPort);
    velk_map_port(kPort, nullptr);
}

int syscallsMain(const Options& o) {
    if (!openIdle(o)) return 1;
    auto fenced = [](const char* name, auto body) {
        const std::string begin = std::string("/velk-mark/B/") + name;
        for (int i = 0; i < 50; ++i) {
            access(begin.c_str(), F_OK);
            body();
            access("/velk-mark/E", F_OK);
        }
    };
    fenced("net:SioRxQue (idle rfc2217)", [] { SioRxQue(kPort); });
    fenced("net:SioGetc (idle rfc2217)", [] { SioGetc(kPort); });
    fenced("net:SioCTS (idle rfc2217)", [] { SioCTS(kPort); });
    closeIdle();
    return 0;
}

int roundMain(const Options& o) {
    std::vector<std::unique_ptr<Client>> clients;
    clients.emplace_back(new VelkClient("rfc2217", o.rfc));
    clients.emplace_back(new VelkClient("socket", o.raw));
    auto* floor = new FloorClient(o.raw);
    clients.emplace_back(floor);

    FILE* f = std::fopen(o.out, "w");
    if (!f) {
        std::perror(o.out);
        return 1;
    }
    std::fprintf(f, "{\"round\": %d, \"clients\": {", o.round);
    const size_t n = clients.size();
    for (size_t k = 0; k < n; ++k) {
        Client& c = *clients[(k + static_cast<size_t>(o.round)) % n];
        Result r = runClient(c, o.echoes, o.trips);
        if (!r.error.empty()) std::fprintf(stderr, "%s: %s\n", c.name(), r.error.c_str());
        std::fprintf(f, "%s\n  %s: {\"order\": %zu, \"open_s\": %.9g, \"echo_s\": ", k ? "," : "",
                     jsonString(c.name()).c_str(), k, r.openS);
        printJsonList(f, r.echoS);
        std::fprintf(f, ", \"trips\": %d, \"trips_s\": %.9g, \"error\": %s}", r.trips, r.tripsS,
                     jsonString(r.error).c_str());
    }
    std::fprintf(f, "},\n \"idle\": {");

    // Each call on an idle rfc2217:// port, in batches alternating with the
    // floor's answer to the same question on its own connection through the
    // same ser2net: recv() with MSG_DONTWAIT finding nothing (EAGAIN).
    // Per call: the mean over all batches; the ratio: the median of the
    // batches' ratios (the steady figure under load).
    FloorClient idleFloor(o.raw);
    if (idleFloor.open() && openIdle(o)) {
        const int fd = idleFloor.fd();
        char buf[4096];
        auto floorCall = [fd, &buf] { benchmark_sink(recv(fd, buf, sizeof buf, MSG_DONTWAIT)); };
        struct Call {
            const char* name;
            void (*fn)();
        };
        const Call calls[] = {{"SioRxQue", [] { SioRxQue(kPort); }},
                              {"SioGetc", [] { SioGetc(kPort); }},
                              {"SioCTS", [] { SioCTS(kPort); }}};
        constexpr int kBatch = 100;
        const int batches = std::max(1, o.idleCalls / kBatch);
        for (size_t k = 0; k < sizeof calls / sizeof calls[0]; ++k) {
            std::vector<double> ratios;
            double velkNs = 0, floorNs = 0;
            for (int i = 0; i < batches; ++i) {
                const double v = nsPerCall(kBatch, calls[k].fn);
                const double fl = nsPerCall(kBatch, floorCall);
                velkNs += v;
                floorNs += fl;
                ratios.push_back(v / fl);
            }
            std::sort(ratios.begin(), ratios.end());
            std::fprintf(f, "%s\n  %s: {\"ns\": %.6g, \"floor_ns\": %.6g, \"ratio\": %.6g}", k ? "," : "",
                         jsonString(calls[k].name).c_str(), velkNs / batches, floorNs / batches,
                         ratios[ratios.size() / 2]);
        }
        closeIdle();
    }
    idleFloor.close();
    std::fprintf(f, "}}\n");
    std::fclose(f);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--echo" && more) return echoMain(argv[i + 1]);
        if (a == "--syscalls") o.syscalls = true;
        else if (a == "--rfc2217" && more) o.rfc = std::atoi(argv[++i]);
        else if (a == "--raw" && more) o.raw = std::atoi(argv[++i]);
        else if (a == "--round" && more) o.round = std::atoi(argv[++i]);
        else if (a == "--echoes" && more) o.echoes = std::atoi(argv[++i]);
        else if (a == "--trips" && more) o.trips = std::atoi(argv[++i]);
        else if (a == "--idle-calls" && more) o.idleCalls = std::atoi(argv[++i]);
        else if (a == "--out" && more) o.out = argv[++i];
        else if (a == "--poll" && more) g_yield = std::string(argv[++i]) != "spin";
        else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (o.syscalls && o.rfc > 0) return syscallsMain(o);
    if (o.rfc <= 0 || o.raw <= 0 || o.out == nullptr || o.echoes < 1 || o.trips < 1 || o.idleCalls < 1) {
        std::fprintf(stderr, "usage: see the comment at the top of velk_net_bench.cpp\n");
        return 2;
    }
    return roundMain(o);
}
