// The serial ports the operating system knows of, read from its own records
// without opening any port: sysfs on Linux (platform/posix/ports.cpp), the
// registry's SERIALCOMM key and SetupAPI on Windows (platform/win32/ports.cpp);
// on other systems none (platform/posix/ports_none.cpp). CMake picks one of
// the files; `velkcom list` formats what they find.
#ifndef VELKCOM_PORTS_H
#define VELKCOM_PORTS_H

#include <optional>
#include <string>
#include <vector>

namespace velkcom {

// One port. An empty optional is a value the system does not know.
struct PortInfo {
    std::string device;                        // /dev/ttyUSB0; COM3 on Windows
    std::optional<std::string> com;            // the COM name the port opens as by default
    std::optional<std::string> driver;         // ftdi_sio, cdc_acm, serial, serial8250; the service on Windows
    std::optional<std::string> subsystem;      // usb-serial, usb, pnp, platform, pci; the enumerator on Windows
    std::optional<std::string> vid, pid;       // USB ids, 4 lowercase hex digits
    std::optional<std::string> serial;         // USB serial number
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;        // USB product; the friendly name on Windows
    std::optional<int> interface;              // USB interface number
    std::optional<std::string> byId;           // /dev/serial/by-id/... link to the device
};

// Whether listPorts reads its records under a root folder (the --root of
// `velkcom list`, for tests on fake trees).
bool listRootSupported();

// Lists the ports, sorted by device name (ttyS2 before ttyS10). root is ""
// for the running system, or a folder standing for "/" (ROOT/sys/class/tty,
// ROOT/dev/serial/by-id); the paths shown are the system's (/dev/ttyUSB0)
// either way. Returns false, with the reason in error, when the records
// cannot be read at all.
bool listPorts(const std::string& root, std::vector<PortInfo>& out, std::string& error);

// Orders device names with their numbers compared as numbers.
bool deviceNameLess(const std::string& a, const std::string& b);

// The driver the port list names for device: a device path (/dev/ttyACM0, or
// a link to one, such as its /dev/serial/by-id name) or a COM name. Empty
// when the list does not have the port (loop://, a network address) or cannot
// be read. root as for listPorts. (deviceNameLess and portDriver are shared
// code, in list.cpp.)
std::string portDriver(const std::string& root, const std::string& device);

}  // namespace velkcom

#endif  // VELKCOM_PORTS_H
