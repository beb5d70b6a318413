// The device the shipped library talks to: the platform backend linked into
// this build, always. (The test-only library links testing/device_hook.cpp in place
// of this file, where a test can install another device.)
#include "device/device_api.h"

namespace velk {

DeviceApi& device() {
    return platformDevice();
}

}  // namespace velk
