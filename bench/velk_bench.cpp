// The library's cost per call and its throughput on a pseudo-terminal pair,
// measured side by side with the floor: the fewest raw system calls
// (read, write, ioctl, open/tcsetattr/close) that do the same job on the same
// kind of pty. Every case is a pair of Google Benchmark runs named
// "case/velk" and "case/<floor>"; run with --benchmark_repetitions and
// --benchmark_enable_random_interleaving=true so that the library's and the
// floor's repetitions alternate in time and share whatever load the machine
// has. At the end the program prints one table of medians: library time,
// floor time and their ratio (library / floor; above 1 means the library is
// slower), and the ratio of the paired runs, in which the library and the
// floor alternate on one pty within each iteration.
#include <benchmark/benchmark.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "pty_peer.h"
#include "velk32.h"
#include "velk32_posix.h"

using velkbench::PtyPeer;

namespace {

constexpr int kPort = 0;             // COM1, mapped onto the pty's slave end
constexpr int kTransfer = 64 * 1024;  // bytes moved per iteration of a transfer case

// COM1 opened by the library on the slave end of a fresh pty pair.
class VelkPort {
public:
    explicit VelkPort(benchmark::State& state) {
        if (velk_map_port(kPort, pty.path()) != 0 || SioReset(kPort, 4096, 4096) != 0) {
            state.SkipWithError(("SioReset failed, SioWinError " + std::to_string(SioWinError())).c_str());
            ok = false;
        }
    }
    ~VelkPort() {
        SioDone(kPort);
        velk_map_port(kPort, nullptr);
    }
    PtyPeer pty;
    bool ok = true;
};

// ---- 1. SioGetc on an empty queue: the polling cost ----------------------

void getcEmptyVelk(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    for (auto _ : state) {
        int c = SioGetc(kPort);
        if (c != SIO_NO_DATA) {
            state.SkipWithError("SioGetc on an empty queue did not return SIO_NO_DATA");
            break;
        }
    }
}

void pollFionread(benchmark::State& state) {
    PtyPeer pty;
    for (auto _ : state) {
        int n = 0;
        ioctl(pty.slave(), FIONREAD, &n);
        benchmark::DoNotOptimize(n);
    }
}

void pollInqOutq(benchmark::State& state) {
    PtyPeer pty;
    for (auto _ : state) {
        int in = 0, out = 0;
        ioctl(pty.slave(), TIOCINQ, &in);
        ioctl(pty.slave(), TIOCOUTQ, &out);
        benchmark::DoNotOptimize(in);
        benchmark::DoNotOptimize(out);
    }
}

// SioGets on an empty queue against read() answering EAGAIN: the per-call
// cost of the bulk receive path, without a peer's timing in it.
void getsEmptyVelk(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    char buf[4096];
    for (auto _ : state) {
        if (SioGets(kPort, buf, sizeof buf) != 0) {
            state.SkipWithError("SioGets on an empty queue did not return 0");
            break;
        }
    }
}

void readEmpty(benchmark::State& state) {
    PtyPeer pty;
    PtyPeer::setNonBlocking(pty.slave());
    char buf[4096];
    for (auto _ : state) benchmark::DoNotOptimize(read(pty.slave(), buf, sizeof buf));
}

// ---- 2. Draining 64 KiB from a peer that keeps sending --------------------

void drainGetcVelk(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    p.pty.startSource();
    for (auto _ : state) {
        int got = 0;
        while (got < kTransfer) {
            if (SioGetc(kPort) >= 0) ++got;
        }
    }
    p.pty.stopPeer();
    state.SetBytesProcessed(state.iterations() * kTransfer);
}

void drainRead1(benchmark::State& state) {
    PtyPeer pty;
    PtyPeer::setNonBlocking(pty.slave());
    pty.startSource();
    for (auto _ : state) {
        int got = 0;
        char byte;
        while (got < kTransfer) {
            if (read(pty.slave(), &byte, 1) == 1) ++got;
        }
    }
    pty.stopPeer();
    state.SetBytesProcessed(state.iterations() * kTransfer);
}

void drainGetsVelk(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    const int block = static_cast<int>(state.range(0));
    std::vector<char> buf(block);
    p.pty.startSource();
    for (auto _ : state) {
        int got = 0;
        while (got < kTransfer) {
            int n = SioGets(kPort, buf.data(), std::min(block, kTransfer - got));
            if (n > 0) got += n;
        }
    }
    p.pty.stopPeer();
    state.SetBytesProcessed(state.iterations() * kTransfer);
}

void drainRead(benchmark::State& state) {
    PtyPeer pty;
    PtyPeer::setNonBlocking(pty.slave());
    const int block = static_cast<int>(state.range(0));
    std::vector<char> buf(block);
    pty.startSource();
    for (auto _ : state) {
        int got = 0;
        while (got < kTransfer) {
            ssize_t n = read(pty.slave(), buf.data(), std::min(block, kTransfer - got));
            if (n > 0) got += static_cast<int>(n);
        }
    }
    pty.stopPeer();
    state.SetBytesProcessed(state.iterations() * kTransfer);
}

// ---- 3. Sending 64 KiB to a peer that reads everything ---------------------

void putsVelk(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    const int block = static_cast<int>(state.range(0));
    std::vector<char> buf(block, 'y');
    p.pty.startSink();
    for (auto _ : state) {
        for (int sent = 0; sent < kTransfer; sent += block) {
            if (SioPuts(kPort, buf.data(), block) != block) {
                state.SkipWithError("SioPuts sent less than asked");
                break;
            }
        }
    }
    p.pty.stopPeer();
    state.SetBytesProcessed(state.iterations() * kTransfer);
}

void putcVelk(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    p.pty.startSink();
    for (auto _ : state) {
        for (int sent = 0; sent < kTransfer; ++sent) SioPutc(kPort, 'y');
    }
    p.pty.stopPeer();
    state.SetBytesProcessed(state.iterations() * kTransfer);
}

// write() of every byte of the block: on a blocking descriptor (the fewest
// system calls: the kernel waits for room), or on a non-blocking one as the
// library holds its port, waiting for room with poll().
void writeAll(int fd, const char* data, int len) {
    while (len > 0) {
        ssize_t n = write(fd, data, static_cast<size_t>(len));
        if (n > 0) {
            data += n;
            len -= static_cast<int>(n);
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, -1);
        }
    }
}

void writeRaw(benchmark::State& state, bool blocking) {
    PtyPeer pty;
    if (blocking) {
        PtyPeer::setBlocking(pty.slave());
    } else {
        PtyPeer::setNonBlocking(pty.slave());
    }
    const int block = static_cast<int>(state.range(0));
    std::vector<char> buf(block, 'y');
    pty.startSink();
    for (auto _ : state) {
        for (int sent = 0; sent < kTransfer; sent += block) writeAll(pty.slave(), buf.data(), block);
    }
    pty.stopPeer();
    state.SetBytesProcessed(state.iterations() * kTransfer);
}
void writeBlocking(benchmark::State& state) { writeRaw(state, true); }
void writeNonBlocking(benchmark::State& state) { writeRaw(state, false); }

// ---- 4. Status and the calls that ask no device ----------------------------

void rxQueVelk(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    for (auto _ : state) benchmark::DoNotOptimize(SioRxQue(kPort));
}

void statusVelk(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    for (auto _ : state) benchmark::DoNotOptimize(SioStatus(kPort, SIO_CE_ALL));
}

void dtrReadVelk(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    for (auto _ : state) benchmark::DoNotOptimize(SioDTR(kPort, SIO_LINE_READ));
}

void infoVelk(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(SioInfo(SIO_INFO_VERSION));
}

// ---- 5. Opening and closing -------------------------------------------------

void resetDoneVelk(benchmark::State& state) {
    PtyPeer pty;
    velk_map_port(kPort, pty.path());
    for (auto _ : state) {
        if (SioReset(kPort, 4096, 4096) != 0 || SioDone(kPort) != 1) {
            state.SkipWithError("SioReset/SioDone failed");
            break;
        }
    }
    velk_map_port(kPort, nullptr);
}

void openSetClose(benchmark::State& state) {
    PtyPeer pty;
    for (auto _ : state) {
        int fd = open(pty.path(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, B19200);
        t.c_cflag |= CLOCAL | CREAD;
        tcsetattr(fd, TCSANOW, &t);
        close(fd);
    }
}

// ---- Paired runs: the library and the floor alternating on one pty ----------
//
// Each iteration does one unit of the case with the library and one with the
// floor, in alternating order, on the same pty pair with the same peer (the
// floor uses the slave descriptor openpty gave, the library its own). The
// two are timed apart, a few milliseconds at most from each other, so that
// load on the machine falls on both alike; the counter "ratio" is the median
// of the per-iteration ratios (library / floor).

template <typename Fn>
double secondsOf(Fn&& fn) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <typename Velk, typename Floor>
void runPaired(benchmark::State& state, Velk&& velk, Floor&& floor) {
    std::vector<double> ratios;
    double tv = 0, tf = 0;
    bool velkFirst = true;
    for (auto _ : state) {
        double a, b;
        if (velkFirst) {
            a = secondsOf(velk);
            b = secondsOf(floor);
        } else {
            b = secondsOf(floor);
            a = secondsOf(velk);
        }
        velkFirst = !velkFirst;
        tv += a;
        tf += b;
        ratios.push_back(a / b);
    }
    if (ratios.empty()) return;
    std::sort(ratios.begin(), ratios.end());
    const double n = static_cast<double>(ratios.size());
    state.counters["velk_ns"] = tv / n * 1e9;
    state.counters["floor_ns"] = tf / n * 1e9;
    state.counters["ratio"] = ratios[ratios.size() / 2];
}

constexpr int kBatch = 100;  // calls per unit in the per-call cases

void pairGetcEmpty(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    const int fd = p.pty.slave();
    const bool oneIoctl = state.range(0) == 1;
    runPaired(
        state, [] { for (int i = 0; i < kBatch; ++i) SioGetc(kPort); },
        [&] {
            for (int i = 0; i < kBatch; ++i) {
                int in = 0, out = 0;
                ioctl(fd, TIOCINQ, &in);
                if (!oneIoctl) ioctl(fd, TIOCOUTQ, &out);
                benchmark::DoNotOptimize(in + out);
            }
        });
}

void pairRxQue(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    const int fd = p.pty.slave();
    runPaired(
        state, [] { for (int i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(SioRxQue(kPort)); },
        [&] {
            for (int i = 0; i < kBatch; ++i) {
                int in = 0;
                ioctl(fd, FIONREAD, &in);
                benchmark::DoNotOptimize(in);
            }
        });
}

void pairStatus(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    const int fd = p.pty.slave();
    runPaired(
        state,
        [] { for (int i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(SioStatus(kPort, SIO_CE_ALL)); },
        [&] {
            for (int i = 0; i < kBatch; ++i) {
                int in = 0, out = 0;
                ioctl(fd, TIOCINQ, &in);
                ioctl(fd, TIOCOUTQ, &out);
                benchmark::DoNotOptimize(in + out);
            }
        });
}

void pairGetsEmpty(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    const int fd = p.pty.slave();
    PtyPeer::setNonBlocking(fd);
    char buf[4096];
    runPaired(
        state, [&] { for (int i = 0; i < kBatch; ++i) SioGets(kPort, buf, sizeof buf); },
        [&] { for (int i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(read(fd, buf, sizeof buf)); });
}

// Draining `total` bytes in blocks of `block` (1: SioGetc) from a peer that
// keeps sending.
void pairDrain(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    const int block = static_cast<int>(state.range(0));
    const int total = block == 1 ? 16 * 1024 : kTransfer;
    const int fd = p.pty.slave();
    PtyPeer::setNonBlocking(fd);
    std::vector<char> buf(block);
    p.pty.startSource();
    runPaired(
        state,
        [&] {
            int got = 0;
            while (got < total) {
                if (block == 1) {
                    if (SioGetc(kPort) >= 0) ++got;
                } else {
                    int n = SioGets(kPort, buf.data(), std::min(block, total - got));
                    if (n > 0) got += n;
                }
            }
        },
        [&] {
            int got = 0;
            while (got < total) {
                ssize_t n = read(fd, buf.data(), std::min(block, total - got));
                if (n > 0) got += static_cast<int>(n);
            }
        });
    p.pty.stopPeer();
    state.SetBytesProcessed(state.iterations() * total * 2);
}

// Draining kWaiting bytes that have all arrived before the timing starts:
// SioGetc, one byte per call, against read(fd, 1), the floor of any reader
// that takes one byte at a time. Before each half of an iteration the peer
// sends the bytes and the port waits until the kernel holds every one, so
// that only the taking is timed; the counters are per byte.
constexpr int kWaiting = 2048;

void fillWaiting(PtyPeer& pty) {
    static const std::vector<char> bytes(kWaiting, 'w');
    writeAll(pty.master(), bytes.data(), kWaiting);
    for (int have = 0; have < kWaiting;) {
        ioctl(pty.slave(), FIONREAD, &have);
        if (have < kWaiting) {
            pollfd p{pty.slave(), POLLIN, 0};
            poll(&p, 1, 1);
        }
    }
}

void pairDrainWaiting(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    const int fd = p.pty.slave();
    PtyPeer::setNonBlocking(fd);
    std::vector<double> ratios;
    double tv = 0, tf = 0;
    bool velkFirst = true;
    int missing = 0;
    auto velk = [&] {
        fillWaiting(p.pty);
        return secondsOf([&] {
            for (int i = 0; i < kWaiting; ++i) missing += SioGetc(kPort) < 0;
        });
    };
    auto floor = [&] {
        fillWaiting(p.pty);
        return secondsOf([&] {
            char byte;
            for (int i = 0; i < kWaiting; ++i) missing += read(fd, &byte, 1) != 1;
        });
    };
    for (auto _ : state) {
        double a, b;
        if (velkFirst) {
            a = velk();
            b = floor();
        } else {
            b = floor();
            a = velk();
        }
        velkFirst = !velkFirst;
        tv += a;
        tf += b;
        ratios.push_back(a / b);
    }
    if (missing != 0) state.SkipWithError("a byte that had arrived was not there to take");
    if (ratios.empty()) return;
    std::sort(ratios.begin(), ratios.end());
    const double n = static_cast<double>(ratios.size()) * kWaiting;
    state.counters["velk_ns"] = tv / n * 1e9;
    state.counters["floor_ns"] = tf / n * 1e9;
    state.counters["ratio"] = ratios[ratios.size() / 2];
}

// Sending `total` bytes in blocks of `block` (1: SioPutc) to a peer that
// reads everything; the floor writes on a blocking descriptor.
void pairSend(benchmark::State& state) {
    VelkPort p(state);
    if (!p.ok) return;
    const int block = static_cast<int>(state.range(0));
    const int total = block == 1 ? 16 * 1024 : kTransfer;
    const int fd = p.pty.slave();
    PtyPeer::setBlocking(fd);
    std::vector<char> buf(block, 'y');
    p.pty.startSink();
    runPaired(
        state,
        [&] {
            for (int sent = 0; sent < total; sent += block) {
                if (block == 1) {
                    SioPutc(kPort, 'y');
                } else {
                    SioPuts(kPort, buf.data(), block);
                }
            }
        },
        [&] {
            for (int sent = 0; sent < total; sent += block) writeAll(fd, buf.data(), block);
        });
    p.pty.stopPeer();
    state.SetBytesProcessed(state.iterations() * total * 2);
}

void pairResetDone(benchmark::State& state) {
    PtyPeer pty;
    velk_map_port(kPort, pty.path());
    runPaired(
        state,
        [] {
            SioReset(kPort, 4096, 4096);
            SioDone(kPort);
        },
        [&] {
            int fd = open(pty.path(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            termios t{};
            tcgetattr(fd, &t);
            cfmakeraw(&t);
            cfsetspeed(&t, B19200);
            t.c_cflag |= CLOCAL | CREAD;
            tcsetattr(fd, TCSANOW, &t);
            close(fd);
        });
    velk_map_port(kPort, nullptr);
}

// ---- The side-by-side table ---------------------------------------------------

struct Row {
    const char* label;
    const char* velk;   // benchmark name of the library's run
    const char* floor;  // benchmark name of the floor's run, or nullptr
    const char* pair;   // benchmark name of the paired run, or nullptr
};

const Row kRows[] = {
    {"SioGetc, empty queue       vs ioctl(FIONREAD)", "getc_empty/velk", "poll/fionread", "pair/getc_empty/1"},
    {"SioGetc, empty queue       vs TIOCINQ+TIOCOUTQ", "getc_empty/velk", "poll/inq_outq", "pair/getc_empty/2"},
    {"SioGets 4 KiB, empty queue vs read() EAGAIN", "gets_empty/velk", "poll/read_eagain", "pair/gets_empty"},
    {"SioGetc x 64 KiB           vs read() 1 B", "drain_getc/velk", "drain_getc/read", "pair/drain/1"},
    {"SioGets 4 KiB x 16         vs read() 4 KiB", "drain_gets/velk/4096", "drain_gets/read/4096", "pair/drain/4096"},
    {"SioPutc x 64 KiB           vs write() 1 B", "putc/velk", "put/write_blocking/1", "pair/send/1"},
    {"SioPuts 1 KiB x 64         vs write() 1 KiB", "puts/velk/1024", "put/write_blocking/1024", "pair/send/1024"},
    {"SioPuts 64 KiB             vs write() 64 KiB", "puts/velk/65536", "put/write_blocking/65536", "pair/send/65536"},
    {"SioPuts 64 KiB             vs write()+poll 64 KiB", "puts/velk/65536", "put/write_poll/65536", nullptr},
    {"SioRxQue                   vs ioctl(FIONREAD)", "rxque/velk", "poll/fionread", "pair/rxque"},
    {"SioStatus                  vs TIOCINQ+TIOCOUTQ", "status/velk", "poll/inq_outq", "pair/status"},
    {"SioDTR('R')                (no system call)", "dtr_read/velk", nullptr, nullptr},
    {"SioInfo('V')               (no system call)", "info_version/velk", nullptr, nullptr},
    {"SioReset+SioDone           vs open+tcsetattr+close", "reset_done/velk", "reset_done/open_tcsetattr_close", "pair/reset_done"},
};

double toNs(const benchmark::BenchmarkReporter::Run& r) {
    return r.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(r.time_unit);
}

// Prints what the console reporter prints, keeps each benchmark's median (or
// its single result without repetitions) and ends with the table.
class TableReporter : public benchmark::ConsoleReporter {
public:
    TableReporter()
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            // The name without the "/real_time" that UseRealTime() appends.
            std::string name = r.run_name.str();
            const std::string suffix = "/real_time";
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                name.resize(name.size() - suffix.size());
            }
            if (r.run_type == Run::RT_Aggregate) {
                if (r.aggregate_name == "median") median_[name] = toNs(r);
            } else if (!median_.count(name) || !fromAggregate_.count(name)) {
                median_[name] = toNs(r);
            }
            if (r.run_type == Run::RT_Aggregate) fromAggregate_[name] = true;
            auto ratio = r.counters.find("ratio");
            if (r.run_type != Run::RT_Aggregate && ratio != r.counters.end()) {
                pairRatios_[name].push_back(ratio->second.value);
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-52s %14s %14s %8s %8s\n", "case (median real time per iteration)", "velk32",
                    "floor", "ratio", "paired");
        for (const Row& row : kRows) {
            auto v = median_.find(row.velk);
            if (v == median_.end()) continue;
            if (row.floor == nullptr) {
                std::printf("%-52s %11.1f ns %14s %8s %8s\n", row.label, v->second, "-", "-", "-");
                continue;
            }
            auto f = median_.find(row.floor);
            if (f == median_.end()) continue;
            char paired[16] = "-";
            auto p = row.pair ? pairRatios_.find(row.pair) : pairRatios_.end();
            if (p != pairRatios_.end() && !p->second.empty()) {
                std::vector<double> r = p->second;
                std::sort(r.begin(), r.end());
                std::snprintf(paired, sizeof paired, "%.3fx", r[r.size() / 2]);
            }
            std::printf("%-52s %11.1f ns %11.1f ns %7.3fx %8s\n", row.label, v->second, f->second,
                        v->second / f->second, paired);
        }
    }

private:
    std::map<std::string, double> median_;
    std::map<std::string, bool> fromAggregate_;
    std::map<std::string, std::vector<double>> pairRatios_;
};

}  // namespace

int main(int argc, char** argv) {
    using benchmark::RegisterBenchmark;
    // Real time throughout: the transfer cases wait on the peer thread and the
    // kernel, and every case must be measured the same way to be compared.
    RegisterBenchmark("getc_empty/velk", getcEmptyVelk)->UseRealTime();
    RegisterBenchmark("poll/fionread", pollFionread)->UseRealTime();
    RegisterBenchmark("poll/inq_outq", pollInqOutq)->UseRealTime();
    RegisterBenchmark("gets_empty/velk", getsEmptyVelk)->UseRealTime();
    RegisterBenchmark("poll/read_eagain", readEmpty)->UseRealTime();
    RegisterBenchmark("drain_getc/velk", drainGetcVelk)->UseRealTime()->Unit(benchmark::kMillisecond);
    RegisterBenchmark("drain_getc/read", drainRead1)->UseRealTime()->Unit(benchmark::kMillisecond);
    RegisterBenchmark("drain_gets/velk", drainGetsVelk)->Arg(4096)->UseRealTime()->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("drain_gets/read", drainRead)->Arg(4096)->UseRealTime()->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("putc/velk", putcVelk)->UseRealTime()->Unit(benchmark::kMillisecond);
    RegisterBenchmark("puts/velk", putsVelk)->Arg(1024)->Arg(65536)->UseRealTime()->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("put/write_blocking", writeBlocking)->Arg(1)->Arg(1024)->Arg(65536)->UseRealTime()->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("put/write_poll", writeNonBlocking)->Arg(65536)->UseRealTime()->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("rxque/velk", rxQueVelk)->UseRealTime();
    RegisterBenchmark("status/velk", statusVelk)->UseRealTime();
    RegisterBenchmark("dtr_read/velk", dtrReadVelk)->UseRealTime();
    RegisterBenchmark("info_version/velk", infoVelk)->UseRealTime();
    RegisterBenchmark("reset_done/velk", resetDoneVelk)->UseRealTime()->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("reset_done/open_tcsetattr_close", openSetClose)->UseRealTime()->Unit(benchmark::kMicrosecond);

    RegisterBenchmark("pair/getc_empty", pairGetcEmpty)->Arg(2)->Arg(1)->UseRealTime();
    RegisterBenchmark("pair/gets_empty", pairGetsEmpty)->UseRealTime();
    RegisterBenchmark("pair/rxque", pairRxQue)->UseRealTime();
    RegisterBenchmark("pair/status", pairStatus)->UseRealTime();
    RegisterBenchmark("pair/drain", pairDrain)->Arg(1)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);
    RegisterBenchmark("pair/send", pairSend)->Arg(1)->Arg(1024)->Arg(65536)->UseRealTime()->Unit(benchmark::kMillisecond);
    RegisterBenchmark("pair/drain_waiting", pairDrainWaiting)->UseRealTime()->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("pair/reset_done", pairResetDone)->UseRealTime()->Unit(benchmark::kMicrosecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
