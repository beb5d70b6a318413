// What velkcom asks of a network port beyond the 25 functions, on POSIX:
// the unanswered-request count of velk32_posix.h (see platform.h).
#include "platform/platform.h"
#include "velk32_posix.h"

namespace velkcom {

int unansweredRequests(int port) {
    const int n = velk_port_unanswered(port);
    return n > 0 ? n : 0;
}

}  // namespace velkcom
