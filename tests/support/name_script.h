// A host name that resolves, for the library, to addresses the test picks:
// every getaddrinfo() call in the test binary goes through a wrapper (linked
// with -Wl,--wrap=getaddrinfo on Linux), which answers the scripted name
// itself, with 127.0.0.1 at each of the given ports in that order (the port
// the caller asked for is ignored), and passes every other name on. So a
// test can give a connection several addresses on the loopback, one of them
// black-holed, without touching the system's resolver. Where the linker
// cannot wrap, available() is false.
#ifndef VELK_TESTS_SUPPORT_NAME_SCRIPT_H
#define VELK_TESTS_SUPPORT_NAME_SCRIPT_H

#include <string>
#include <vector>

namespace velk {
namespace name_script {

bool available();

// From now on `name` resolves to 127.0.0.1 at each of `ports`, in order; an
// empty name ends the script.
void answer(const std::string& name, const std::vector<int>& ports);

}  // namespace name_script
}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_NAME_SCRIPT_H
