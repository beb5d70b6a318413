// Puts the library's module-wide state back as a call can see it at load:
// every open port closed through SioDone, push-back and line requests
// cleared, the DCB records, the status record and the kept error code zeroed
// (the open's time-outs and device name are rewritten by every SioReset
// before use, so they are left). Shared by the GoogleTest fixtures and the
// call-sequence fuzzer (which is built without GoogleTest), so that both
// start every test or input from the same state.
#ifndef VELK_TESTS_SUPPORT_LIBRARY_STATE_H
#define VELK_TESTS_SUPPORT_LIBRARY_STATE_H

#include "port/port_table.h"
#include "velk32.h"

namespace velk {

inline void resetLibraryState() {
    for (int i = 0; i < SIO_PORT_COUNT; ++i) {
        if (PortTable[i].handle != kNoDevice) SioDone(i);
        PortTable[i].lineBits = 0;
        PortTable[i].pushedBack = 0;
        PortTable[i].savedTimeouts = COMMTIMEOUTS{};
        dcbTable[i] = DCB{};
    }
    lastWinError = 0;
    sharedStat = COMSTAT{};
}

}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_LIBRARY_STATE_H
