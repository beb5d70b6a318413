// Test builds only (velk32_testing); never in a shipped library.
// The device switch of the test-only library (velk32_testing), linked in
// place of device.cpp: the library talks to the platform backend unless a
// test, the fuzzer or a benchmark has installed another device with
// setDevice(). A plain pointer, constant-initialised, so that loading runs no
// code.
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
