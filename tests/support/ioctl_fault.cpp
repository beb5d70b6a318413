// The ioctl() wrapper behind ioctl_fault.h.
#include "support/ioctl_fault.h"

#include <cerrno>
#include <cstdarg>

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

namespace {
unsigned long armedRequest = 0;
int armedErr = 0;
int refusedCount = 0;
constexpr int kUnwritten = -1;  // armedErr: succeed without a word written
}  // namespace

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);  // every request the library makes has at most one
    va_end(ap);
    if (armedErr != 0 && request == armedRequest) {
        ++refusedCount;
        if (armedErr == kUnwritten) return 0;
        errno = armedErr;
        return -1;
    }
    return __real_ioctl(fd, request, arg);
}

namespace velk {
namespace ioctl_fault {

void fail(unsigned long request, int err) {
    armedRequest = request;
    armedErr = err;
    refusedCount = 0;
}

void answerUnwritten(unsigned long request) {
    fail(request, kUnwritten);
}

int refused() {
    return refusedCount;
}

}  // namespace ioctl_fault
}  // namespace velk
