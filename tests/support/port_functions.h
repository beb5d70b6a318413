// Every exported function that takes a port, each with arguments that make it
// do its ordinary work on an open port, for tests that sweep a check across
// all of them. SioDone comes last, so a sweep over an open port keeps it open
// until the end.
#ifndef VELK_TESTS_SUPPORT_PORT_FUNCTIONS_H
#define VELK_TESTS_SUPPORT_PORT_FUNCTIONS_H

#include <functional>
#include <string>
#include <vector>

#include "velk32.h"

namespace velk {

struct PortFn {
    std::string name;
    std::function<int(int port)> call;
};

inline std::vector<PortFn> portFunctions() {
    static char buf[16];
    return {
        {"SioReset", [](int p) { return SioReset(p, 1024, 1024); }},
        {"SioPutc", [](int p) { return SioPutc(p, 'a'); }},
        {"SioPuts", [](int p) { return SioPuts(p, "ab", 2); }},
        {"SioTxQue", [](int p) { return SioTxQue(p); }},
        {"SioTxClear", [](int p) { return SioTxClear(p); }},
        {"SioGetc", [](int p) { return SioGetc(p); }},
        {"SioGets", [](int p) { return SioGets(p, buf, sizeof buf); }},
        {"SioUnGetc", [](int p) { return SioUnGetc(p, 'x'); }},
        {"SioRxQue", [](int p) { return SioRxQue(p); }},
        {"SioRxClear", [](int p) { return SioRxClear(p); }},
        {"SioBaud", [](int p) { return SioBaud(p, 5); }},
        {"SioParms", [](int p) { return SioParms(p, 0, 0, 8); }},
        {"SioFlow", [](int p) { return SioFlow(p, 'N'); }},
        {"SioDTR", [](int p) { return SioDTR(p, 'S'); }},
        {"SioRTS", [](int p) { return SioRTS(p, 'S'); }},
        {"SioBrkSig", [](int p) { return SioBrkSig(p, 'C'); }},
        {"SioCTS", [](int p) { return SioCTS(p); }},
        {"SioDSR", [](int p) { return SioDSR(p); }},
        {"SioRI", [](int p) { return SioRI(p); }},
        {"SioDCD", [](int p) { return SioDCD(p); }},
        {"SioStatus", [](int p) { return SioStatus(p, -1); }},
        {"SioDone", [](int p) { return SioDone(p); }},
    };
}

}  // namespace velk

#endif  // VELK_TESTS_SUPPORT_PORT_FUNCTIONS_H
