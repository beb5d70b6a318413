// The switch that decides which DeviceApi the library talks to: the platform
// backend linked into this build, or a device a test has installed in its
// place. A plain pointer, constant-initialised, so that loading the library
// runs no code.
#include "device/device_api.h"

namespace velk {

namespace {
DeviceApi* installed = nullptr;
}

DeviceApi& device() {
    return installed != nullptr ? *installed : platformDevice();
}

void setDevice(DeviceApi* api) {
    installed = api;
}

}  // namespace velk
