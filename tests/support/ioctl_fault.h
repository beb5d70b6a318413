// A failing ioctl request for the tests: every ioctl() call of the library's
// own code goes through the test binary's wrapper (linked with
// -Wl,--wrap=ioctl on Linux), which answers the armed request with an errno
// instead of passing it to the kernel. The C library's own requests
// (tcgetattr, tcsetattr) are not affected.
#ifndef VELK_TESTS_SUPPORT_IOCTL_FAULT_H
#define VELK_TESTS_SUPPORT_IOCTL_FAULT_H

namespace velk {
namespace ioctl_fault {

// From now on, request fails with err (0 disarms).
void fail(unsigned long request, int err);

// From now on, request succeeds without reaching the kernel, leaving the
// record it should fill as the caller had it (as qemu-user does with the
// speed fields of TCGETS on ppc64el). fail(0, 0) disarms.
void answerUnwritten(unsigned long request);

// How often the armed request was refused since it was armed.
int refused();

}  // namespace ioctl_fault
}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_IOCTL_FAULT_H
