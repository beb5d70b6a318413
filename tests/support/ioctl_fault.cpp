// The ioctl() wrapper behind ioctl_fault.h.
#include "support/ioctl_fault.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <utility>

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

namespace {

struct Armed {
    unsigned long request = 0;
    velk::ioctl_fault::Answer answer;  // empty: the slot is free
    int answered = 0;
};
constexpr int kSlots = 8;
Armed armed[kSlots];

Armed* slotOf(unsigned long request) {
    for (Armed& a : armed) {
        if (a.answer && a.request == request) return &a;
    }
    return nullptr;
}

}  // namespace

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);  // every request the library makes has at most one
    va_end(ap);
    if (Armed* a = slotOf(request)) {
        ++a->answered;
        const int err = a->answer(arg);
        if (err == 0) return 0;
        errno = err;
        return -1;
    }
    return __real_ioctl(fd, request, arg);
}

namespace velk {
namespace ioctl_fault {

void answer(unsigned long request, Answer answer) {
    if (request == 0 && !answer) {
        for (Armed& a : armed) a = Armed();
        return;
    }
    Armed* slot = slotOf(request);
    if (slot == nullptr) {
        for (Armed& a : armed) {
            if (!a.answer) {
                slot = &a;
                break;
            }
        }
    }
    if (slot == nullptr) {
        std::fprintf(stderr, "ioctl_fault: more than %d requests armed at once\n", kSlots);
        std::abort();
    }
    slot->request = request;
    slot->answer = std::move(answer);
    slot->answered = 0;
}

void fail(unsigned long request, int err) {
    answer(request, err == 0 ? Answer() : Answer([err](void*) { return err; }));
}

int answered(unsigned long request) {
    int n = 0;
    for (const Armed& a : armed) {
        if (a.answer && (request == 0 || a.request == request)) n += a.answered;
    }
    return n;
}

}  // namespace ioctl_fault
}  // namespace velk
