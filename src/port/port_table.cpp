// The port table and the module-wide records, defined with constant
// initialisers so that loading the library runs no code, and SioWinError,
// which hands out the code kept by the last SIO_WIN_ERROR.
#include "port/port_table.h"

namespace velk {

DCB dcbTable[SIO_PORT_COUNT] = {};

#define VELK_EMPTY_SLOT(n) {kNoDevice, 0, 0, &dcbTable[n], {0, 0, 0, 0, 0}}
PortSlot PortTable[SIO_PORT_COUNT] = {
    VELK_EMPTY_SLOT(0), VELK_EMPTY_SLOT(1), VELK_EMPTY_SLOT(2),
    VELK_EMPTY_SLOT(3), VELK_EMPTY_SLOT(4), VELK_EMPTY_SLOT(5),
    VELK_EMPTY_SLOT(6), VELK_EMPTY_SLOT(7), VELK_EMPTY_SLOT(8),
};
#undef VELK_EMPTY_SLOT

DWORD lastWinError = 0;
COMSTAT sharedStat = {};
COMMTIMEOUTS resetTimeouts = {};
char deviceName[8] = "COM1";

}  // namespace velk

extern "C" VELK_API int VELK_CALL SioWinError(void) {
    return static_cast<int>(velk::lastWinError);
}
