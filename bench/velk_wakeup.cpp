// Wake-up latency and the cost of an idle wait: a peer writes one byte into
// a pty, and the time until the program has it is measured for each way of
// waiting, the samples of the ways interleaved at random so that all see the
// same load:
//   velk_wait    velk_wait(port, limit) and SioGetc
//   port_fd      poll() on velk_port_fd and SioGets (an event loop's way)
//   floor        poll() and read() on a descriptor of the same pty
//   sleep_1ms    SioGetc, and a 1 ms sleep each time it finds nothing
// The peer is a process of its own (this program with --peer), shared with
// bench/pyserial_wakeup.py: told "g" on its standard input, it sleeps 1 to 3
// ms (so that the waiter is asleep by then), reads CLOCK_MONOTONIC, writes
// the byte to the pty's master end and prints the time it read. The waiter
// reads the clock once it has the byte; the difference is one sample.
//
//   velk_wakeup --peer [--link PATH]
//       the peer; prints the slave's path first (and makes PATH a symbolic
//       link to it, for ser2net's configuration).
//   velk_wakeup --pty --samples N --out FILE
//       the four ways on a pty.
//   velk_wakeup --net --rfc2217 PORT --raw PORT --link-rfc PATH --link-raw PATH
//               --samples N --out FILE
//       through ser2net (scripts/bench-net.sh starts it, its two ports in
//       front of the peers' ptys at the two links): velk_wait, port_fd and
//       sleep_1ms on rfc2217://127.0.0.1:PORT, and the floor, poll() and
//       recv() on a TCP connection to the raw port.
//   velk_wakeup --idle --out FILE
//       velk_wait(port, 1000) on a silent pty and the 1 ms loop for a second,
//       each fenced by the markers of velk_syscalls (access("/velk-mark/...")),
//       so that strace -f counts their system calls; the CPU time of each
//       (getrusage) goes to FILE.
// Results are JSON for bench/report_wakeup.py. Never run by the tests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/pty_pair.h"
#include "velk32.h"
#include "velk32_posix.h"

namespace {

constexpr int kPort = 0;
constexpr int kLimitMs = 5000;  // no sample may take this long: counted as lost

long long nowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void sleepMs(int ms) {
    struct timespec ts = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

// ---- The peer -------------------------------------------------------------

int peerMain(const char* link) {
    velk::Pty pty;
    if (pty.path.empty()) return 1;
    termios t{};
    tcgetattr(pty.slave, &t);
    cfmakeraw(&t);
    tcsetattr(pty.slave, TCSANOW, &t);
    if (link != nullptr) {
        unlink(link);
        if (symlink(pty.path.c_str(), link) != 0) return 1;
    }
    std::printf("%s\n", pty.path.c_str());
    std::fflush(stdout);
    std::mt19937 rng(static_cast<unsigned>(getpid()));
    std::uniform_int_distribution<int> delayUs(1000, 3000);
    char buf[4096];
    for (;;) {
        pollfd p[2] = {{0, POLLIN, 0}, {pty.master, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) continue;
        if (p[1].revents & POLLIN) {
            while (read(pty.master, buf, sizeof buf) > 0) {  // what the port sends: dropped
            }
        }
        if ((p[0].revents & (POLLIN | POLLHUP)) == 0) continue;
        char cmd = 0;
        if (read(0, &cmd, 1) != 1 || cmd != 'g') break;
        usleep(static_cast<useconds_t>(delayUs(rng)));
        const long long t0 = nowNs();
        if (write(pty.master, "w", 1) != 1) break;
        std::printf("%lld\n", t0);
        std::fflush(stdout);
    }
    if (link != nullptr) unlink(link);
    return 0;
}

// A peer process, started from this program.
struct Peer {
    pid_t pid = -1;
    int cmd = -1;       // its standard input
    FILE* out = nullptr;  // its standard output
    std::string path;

    bool start(const char* link) {
        int in[2], outp[2];
        if (pipe(in) != 0 || pipe(outp) != 0) return false;
        pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(outp[1], 1);
            for (int fd : {in[0], in[1], outp[0], outp[1]}) close(fd);
            _exit(peerMain(link));
        }
        close(in[0]);
        close(outp[1]);
        cmd = in[1];
        out = fdopen(outp[0], "r");
        char line[512];
        if (pid < 0 || out == nullptr || std::fgets(line, sizeof line, out) == nullptr) return false;
        path = line;
        path.erase(path.find_last_not_of("\n") + 1);
        return true;
    }
    void go() { (void)!write(cmd, "g", 1); }
    long long sentAt() {
        char line[64];
        return std::fgets(line, sizeof line, out) != nullptr ? std::atoll(line) : -1;
    }
    ~Peer() {
        if (cmd >= 0) close(cmd);
        if (out != nullptr) std::fclose(out);
        if (pid > 0) waitpid(pid, nullptr, 0);
    }
};

// ---- The ways of waiting ------------------------------------------------------

struct Way {
    const char* name;
    std::function<bool()> take;  // waits for the byte and takes it
    std::vector<long long> ns;
    int lost = 0;
};

bool velkWait() {
    return velk_wait(kPort, kLimitMs) == 1 && SioGetc(kPort) == 'w';
}

bool portFd() {
    pollfd p = {velk_port_fd(kPort), POLLIN, 0};
    char buf[16];
    return poll(&p, 1, kLimitMs) == 1 && SioGets(kPort, buf, sizeof buf) == 1;
}

bool sleepLoop() {
    for (int i = 0; i < kLimitMs; ++i) {
        const int c = SioGetc(kPort);
        if (c != SIO_NO_DATA) return c == 'w';
        sleepMs(1);
    }
    return false;
}

// Runs samples of every way, in a random order, one peer per way.
void measure(std::vector<Way>& ways, std::vector<Peer*>& peers, int samples) {
    std::vector<int> order;
    for (int w = 0; w < static_cast<int>(ways.size()); ++w) order.insert(order.end(), samples, w);
    std::shuffle(order.begin(), order.end(), std::mt19937(12345));
    for (int w : order) {
        Peer& peer = *peers[w];
        peer.go();
        const bool ok = ways[w].take();
        const long long t1 = nowNs();
        const long long t0 = peer.sentAt();
        if (ok && t0 > 0) {
            ways[w].ns.push_back(t1 - t0);
        } else {
            ++ways[w].lost;
        }
    }
}

bool writeResults(const char* path, const char* kind, const std::vector<Way>& ways) {
    FILE* f = std::fopen(path, "w");
    if (f == nullptr) return false;
    std::fprintf(f, "{\"kind\": \"%s\", \"ways\": [", kind);
    for (std::size_t w = 0; w < ways.size(); ++w) {
        std::fprintf(f, "%s\n {\"way\": \"%s\", \"lost\": %d, \"ns\": [", w ? "," : "", ways[w].name, ways[w].lost);
        for (std::size_t i = 0; i < ways[w].ns.size(); ++i) std::fprintf(f, "%s%lld", i ? "," : "", ways[w].ns[i]);
        std::fprintf(f, "]}");
    }
    std::fprintf(f, "\n]}\n");
    return std::fclose(f) == 0;
}

bool openPort(const std::string& target) {
    if (velk_map_port(kPort, target.c_str()) != 0 || SioReset(kPort, 4096, 4096) != 0) {
        std::fprintf(stderr, "velk_wakeup: SioReset(%s) failed, SioWinError %d\n", target.c_str(), SioWinError());
        return false;
    }
    return true;
}

int ptyMain(int samples, const char* out) {
    Peer peer;
    if (!peer.start(nullptr)) return 1;
    // The floor's descriptor on the same pty, opened before the library's
    // exclusive open.
    const int floorFd = open(peer.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (floorFd < 0 || !openPort(peer.path)) return 1;
    auto floorWay = [floorFd] {
        pollfd p = {floorFd, POLLIN, 0};
        char buf[16];
        return poll(&p, 1, kLimitMs) == 1 && read(floorFd, buf, sizeof buf) == 1;
    };
    std::vector<Way> ways = {{"velk_wait", velkWait, {}, 0},
                             {"port_fd", portFd, {}, 0},
                             {"floor", floorWay, {}, 0},
                             {"sleep_1ms", sleepLoop, {}, 0}};
    std::vector<Peer*> peers(ways.size(), &peer);
    measure(ways, peers, samples);
    SioDone(kPort);
    close(floorFd);
    return writeResults(out, "pty", ways) ? 0 : 1;
}

int connectRaw(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int netMain(int rfcPort, int rawPort, const char* linkRfc, const char* linkRaw, int samples, const char* out) {
    Peer rfcPeer, rawPeer;
    if (!rfcPeer.start(linkRfc) || !rawPeer.start(linkRaw)) return 1;
    if (!openPort("rfc2217://127.0.0.1:" + std::to_string(rfcPort))) return 1;
    const int sock = connectRaw(rawPort);
    if (sock < 0) return 1;
    sleepMs(200);  // ser2net opens the pty behind the raw port once connected
    auto floorWay = [sock] {
        pollfd p = {sock, POLLIN, 0};
        char buf[16];
        const bool ok = poll(&p, 1, kLimitMs) == 1 && recv(sock, buf, sizeof buf, MSG_DONTWAIT) == 1;
#ifdef TCP_QUICKACK
        int one = 1;  // as the library does after each read (net_connection.cpp)
        setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#endif
        return ok;
    };
    std::vector<Way> ways = {{"velk_wait", velkWait, {}, 0},
                             {"port_fd", portFd, {}, 0},
                             {"floor", floorWay, {}, 0},
                             {"sleep_1ms", sleepLoop, {}, 0}};
    std::vector<Peer*> peers = {&rfcPeer, &rfcPeer, &rawPeer, &rfcPeer};
    measure(ways, peers, samples);
    SioDone(kPort);
    close(sock);
    return writeResults(out, "rfc2217", ways) ? 0 : 1;
}

// ---- An idle wait ---------------------------------------------------------------

long long cpuUs() {
    struct rusage r;
    getrusage(RUSAGE_SELF, &r);
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000LL + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
}

int idleMain(const char* out) {
    Peer peer;  // started, never told to send: the line stays silent
    if (!peer.start(nullptr) || !openPort(peer.path)) return 1;
    FILE* f = std::fopen(out, "w");
    if (f == nullptr) return 1;
    std::fprintf(f, "{\"idle\": [");
    struct Case {
        const char* name;
        std::function<void()> run;
    } cases[] = {
        {"velk_wait 1 s", [] { velk_wait(kPort, 1000); }},
        {"sleep_1ms 1 s", [] {
             const long long end = nowNs() + 1000000000LL;
             while (nowNs() < end && SioGetc(kPort) == SIO_NO_DATA) sleepMs(1);
         }},
    };
    bool first = true;
    for (const Case& c : cases) {
        const std::string begin = std::string("/velk-mark/B/") + c.name;
        const long long cpu0 = cpuUs(), t0 = nowNs();
        access(begin.c_str(), F_OK);
        c.run();
        access("/velk-mark/E", F_OK);
        const long long cpu1 = cpuUs(), t1 = nowNs();
        std::fprintf(f, "%s\n {\"case\": \"%s\", \"cpu_us\": %lld, \"wall_us\": %lld}", first ? "" : ",", c.name,
                     cpu1 - cpu0, (t1 - t0) / 1000);
        first = false;
    }
    std::fprintf(f, "\n]}\n");
    SioDone(kPort);
    return std::fclose(f) == 0 ? 0 : 1;
}

const char* arg(int argc, char** argv, const char* name, const char* dflt = nullptr) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    }
    return dflt;
}

bool has(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (has(argc, argv, "--peer")) return peerMain(arg(argc, argv, "--link"));
    const char* out = arg(argc, argv, "--out", "wakeup.json");
    const int samples = std::atoi(arg(argc, argv, "--samples", "1000"));
    if (has(argc, argv, "--pty")) return ptyMain(samples, out);
    if (has(argc, argv, "--idle")) return idleMain(out);
    if (has(argc, argv, "--net")) {
        const char* rfc = arg(argc, argv, "--rfc2217");
        const char* raw = arg(argc, argv, "--raw");
        const char* linkRfc = arg(argc, argv, "--link-rfc");
        const char* linkRaw = arg(argc, argv, "--link-raw");
        if (rfc && raw && linkRfc && linkRaw) {
            return netMain(std::atoi(rfc), std::atoi(raw), linkRfc, linkRaw, samples, out);
        }
    }
    std::fprintf(stderr,
                 "usage: velk_wakeup --peer [--link PATH] | --pty --samples N --out FILE | --idle --out FILE |\n"
                 "       --net --rfc2217 PORT --raw PORT --link-rfc PATH --link-raw PATH --samples N --out FILE\n");
    return 2;
}
