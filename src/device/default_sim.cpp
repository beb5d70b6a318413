// The platform backend for builds that have no real serial driver behind
// DeviceApi yet: the simulated device, with every port absent until a test or
// tool wires it. Constructed on first use, so loading the library runs no code.
#include "device/sim_device.h"

namespace velk {

DeviceApi& platformDevice() {
    static SimDevice sim;
    return sim;
}

}  // namespace velk
