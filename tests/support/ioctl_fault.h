// A driver's answer to an ioctl request, scripted by the test: every ioctl()
// call of the library's own code goes through the test binary's wrapper
// (linked with -Wl,--wrap=ioctl on Linux), which answers the armed request
// itself instead of passing it to the kernel: with an errno (a request the
// driver lacks or fails), or with values the test gives (counts a pty cannot
// produce). The C library's own requests (tcgetattr, tcsetattr) are not
// affected. One request is armed at a time.
#ifndef VELK_TESTS_SUPPORT_IOCTL_FAULT_H
#define VELK_TESTS_SUPPORT_IOCTL_FAULT_H

#include <functional>

namespace velk {
namespace ioctl_fault {

// Given the request's argument, fills what it points to and returns 0, or
// returns the errno the request fails with.
using Answer = std::function<int(void* arg)>;

// From now on, request is answered by answer (an empty one disarms).
void answer(unsigned long request, Answer answer);

// From now on, request fails with err (0 disarms).
void fail(unsigned long request, int err);

// How often the armed request was answered since it was armed.
int answered();

}  // namespace ioctl_fault
}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_IOCTL_FAULT_H
