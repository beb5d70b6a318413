// The UART's internal loopback (see platform.h): Windows offers no request
// for it, so `velkcom selftest --internal-loopback` refuses there.
#include "platform/platform.h"

namespace velkcom {

std::string loopbackEnter(const std::string&) {
    return "Windows has no request for a UART's internal loopback";
}

bool loopbackSetOut1(bool) {
    return false;
}

void loopbackLeave() {}

}  // namespace velkcom
