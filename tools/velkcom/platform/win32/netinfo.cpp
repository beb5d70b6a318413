// What velkcom asks of a network port beyond the 25 functions, on Windows:
// nothing to ask, as velk32.dll has no network ports (see platform.h).
#include "platform/platform.h"

namespace velkcom {

int unansweredRequests(int) {
    return 0;
}

}  // namespace velkcom
