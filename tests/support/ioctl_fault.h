// A driver's answer to an ioctl request, scripted by the test: every ioctl()
// call of the library's own code goes through the test binary's wrapper
// (linked with -Wl,--wrap=ioctl on Linux), which answers an armed request
// itself instead of passing it to the kernel: with an errno (a request the
// driver lacks or fails), or with values the test gives (counts a pty cannot
// produce, a serial record a pty does not have). The C library's own
// requests (tcgetattr, tcsetattr) are not affected. Several requests may be
// armed at once (a get and its set, say); a request armed again replaces its
// answer.
#ifndef VELK_TESTS_SUPPORT_IOCTL_FAULT_H
#define VELK_TESTS_SUPPORT_IOCTL_FAULT_H

#include <functional>

namespace velk {
namespace ioctl_fault {

// Given the request's argument, fills what it points to (or reads it, for
// a request that sets) and returns 0, or returns the errno the request
// fails with.
using Answer = std::function<int(void* arg)>;

// From now on, request is answered by answer; an empty answer disarms it,
// and request 0 with an empty answer disarms every request.
void answer(unsigned long request, Answer answer);

// From now on, request fails with err (0 disarms; request 0 and err 0
// disarm every request).
void fail(unsigned long request, int err);

// How often request was answered since it was armed; with 0, the armed
// requests together.
int answered(unsigned long request = 0);

}  // namespace ioctl_fault
}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_IOCTL_FAULT_H
