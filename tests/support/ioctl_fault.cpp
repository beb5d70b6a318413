// The ioctl() wrapper behind ioctl_fault.h.
#include "support/ioctl_fault.h"

#include <cerrno>
#include <cstdarg>
#include <utility>

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

namespace {
unsigned long armedRequest = 0;
velk::ioctl_fault::Answer armedAnswer;
int answeredCount = 0;
}  // namespace

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);  // every request the library makes has at most one
    va_end(ap);
    if (armedAnswer && request == armedRequest) {
        ++answeredCount;
        const int err = armedAnswer(arg);
        if (err == 0) return 0;
        errno = err;
        return -1;
    }
    return __real_ioctl(fd, request, arg);
}

namespace velk {
namespace ioctl_fault {

void answer(unsigned long request, Answer answer) {
    armedRequest = request;
    armedAnswer = std::move(answer);
    answeredCount = 0;
}

void fail(unsigned long request, int err) {
    answer(request, err == 0 ? Answer() : Answer([err](void*) { return err; }));
}

int answered() {
    return answeredCount;
}

}  // namespace ioctl_fault
}  // namespace velk
