// Error codes in words on Windows: the DLL reports Windows error codes
// through SioWinError; the ones a serial port commonly gives are named here.
#include <string>

#include "platform/platform.h"

namespace velkcom {

std::string errorText(int code) {
    static const struct {
        int code;
        const char* text;
    } known[] = {
        {0, "no error recorded"},
        {1, "incorrect function (not a serial device?)"},
        {2, "the system cannot find the file specified (no such port)"},
        {3, "the system cannot find the path specified"},
        {5, "access is denied (the port is in use)"},
        {6, "the handle is invalid"},
        {21, "the device is not ready"},
        {22, "the device does not recognize the command"},
        {31, "a device attached to the system is not functioning"},
        {32, "the port is being used by another process"},
        {87, "the parameter is incorrect"},
        {121, "the semaphore timeout period has expired"},
        {995, "the I/O operation has been aborted"},
        {996, "overlapped I/O event is not in a signaled state"},
        {997, "overlapped I/O operation is in progress"},
        {1117, "the request could not be performed because of an I/O device error"},
        {1167, "the device is not connected"},
        {1168, "element not found"},
    };
    for (const auto& k : known) {
        if (k.code == code) return k.text;
    }
    return "Windows error " + std::to_string(code);
}

}  // namespace velkcom
