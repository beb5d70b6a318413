// The seccomp filter and its listener behind syscall_watch.h.
#include "support/syscall_watch.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

namespace velk {

namespace {

#if defined(SECCOMP_FILTER_FLAG_NEW_LISTENER) && defined(SECCOMP_USER_NOTIF_FLAG_CONTINUE)

// The low 32 bits of the call's second argument, where the request is.
constexpr std::uint32_t kRequestOffset =
    offsetof(seccomp_data, args[1]) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);

sock_filter stmt(unsigned short code, std::uint32_t k) {
    return BPF_STMT(code, k);
}
sock_filter jump(unsigned short code, std::uint32_t k, unsigned char jt, unsigned char jf) {
    return BPF_JUMP(code, k, jt, jf);
}

// For each watched call: the number matches, then (for a request) the
// request does: report it; otherwise on to the next. Everything else is
// allowed.
std::vector<sock_filter> program(const std::vector<WatchedCall>& calls) {
    std::vector<sock_filter> p;
    for (const WatchedCall& c : calls) {
        const bool request = c.request != WatchedCall::kAnyRequest;
        p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
        p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(c.number), 0, request ? 3 : 1));
        if (request) {
            p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, kRequestOffset));
            p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(c.request), 0, 1));
        }
        p.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF));
    }
    p.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return p;
}

#endif

}  // namespace

std::string SyscallWatch::run(const std::function<void()>& fn) {
#if defined(SECCOMP_FILTER_FLAG_NEW_LISTENER) && defined(SECCOMP_USER_NOTIF_FLAG_CONTINUE)
    for (long& n : counts_) n = 0;
    std::vector<sock_filter> filter = program(calls_);
    const sock_fprog prog = {static_cast<unsigned short>(filter.size()), filter.data()};
    const int done = eventfd(0, EFD_CLOEXEC);
    if (done < 0) return std::string("eventfd: ") + std::strerror(errno);
    std::promise<int> listening;  // the listener, or -errno
    std::thread worker([&] {
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
            listening.set_value(-errno);
            return;
        }
        const long fd = syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog);
        listening.set_value(fd < 0 ? -errno : static_cast<int>(fd));
        if (fd < 0) return;
        fn();
        const std::uint64_t one = 1;
        if (::write(done, &one, sizeof one) != sizeof one) std::abort();
    });
    const int listener = listening.get_future().get();
    std::string why;
    if (listener < 0) {
        why = std::string("the system reports no system call to a seccomp listener here (") +
              std::strerror(-listener) + ")";
    } else {
        for (;;) {
            pollfd p[2] = {{listener, POLLIN, 0}, {done, POLLIN, 0}};
            if (poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                why = std::string("poll on the seccomp listener: ") + std::strerror(errno);
                break;
            }
            if (p[0].revents & POLLIN) {
                seccomp_notif req;
                std::memset(&req, 0, sizeof req);
                if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &req) != 0) continue;  // the caller went away
                for (std::size_t i = 0; i < calls_.size(); ++i) {
                    const WatchedCall& c = calls_[i];
                    if (req.data.nr != c.number) continue;
                    if (c.request != WatchedCall::kAnyRequest &&
                        static_cast<std::uint32_t>(req.data.args[1]) != static_cast<std::uint32_t>(c.request)) {
                        continue;
                    }
                    ++counts_[i];
                    break;
                }
                seccomp_notif_resp resp;
                std::memset(&resp, 0, sizeof resp);
                resp.id = req.id;
                resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
                if (ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp) != 0 && errno != ENOENT) {
                    // The call cannot be let go on (a kernel before 5.5):
                    // closing the listener fails it and every later one.
                    why = std::string("the seccomp listener cannot let a call go on (") + std::strerror(errno) + ")";
                    break;
                }
            } else if (p[1].revents & POLLIN) {
                break;
            }
        }
        close(listener);
    }
    worker.join();
    close(done);
    return why;
#else
    (void)fn;
    return "this system's headers have no seccomp listener";
#endif
}

}  // namespace velk
