/*
 * A caller of velk32.dll linked the ordinary way, through an import library
 * (libvelk32.dll.a or velk32.lib) and the public header: the link resolves
 * every function, including the 32-bit __stdcall names, and the calls reach
 * the DLL with their arguments and results intact.
 */
#include <stdio.h>

#include "velk32.h"

int main(void) {
    int fails = 0;
    /* Referencing all 25 makes the link prove each import resolves. */
    int (VELK_CALL *const all[])() = {
        (int (VELK_CALL *)())SioBaud,    (int (VELK_CALL *)())SioBrkSig,  (int (VELK_CALL *)())SioCTS,
        (int (VELK_CALL *)())SioDCD,     (int (VELK_CALL *)())SioDSR,     (int (VELK_CALL *)())SioDTR,
        (int (VELK_CALL *)())SioDebug,   (int (VELK_CALL *)())SioDone,    (int (VELK_CALL *)())SioFlow,
        (int (VELK_CALL *)())SioGetc,    (int (VELK_CALL *)())SioGets,    (int (VELK_CALL *)())SioInfo,
        (int (VELK_CALL *)())SioParms,   (int (VELK_CALL *)())SioPutc,    (int (VELK_CALL *)())SioPuts,
        (int (VELK_CALL *)())SioRI,      (int (VELK_CALL *)())SioRTS,     (int (VELK_CALL *)())SioReset,
        (int (VELK_CALL *)())SioRxClear, (int (VELK_CALL *)())SioRxQue,   (int (VELK_CALL *)())SioStatus,
        (int (VELK_CALL *)())SioTxClear, (int (VELK_CALL *)())SioTxQue,   (int (VELK_CALL *)())SioUnGetc,
        (int (VELK_CALL *)())SioWinError,
    };
    unsigned i;
    for (i = 0; i < sizeof all / sizeof all[0]; ++i) fails += all[i] == NULL;

    /* Calls with several arguments: a wrong convention would unbalance the
     * stack or garble the arguments. */
    fails += SioInfo('V') != 0x20;
    fails += SioDebug(-5) != -5;
    fails += SioReset(-1, 1024, 1024) != SIO_BAD_PORT;
    fails += SioParms(3, 0, 0, 8) != SIO_NOT_OPEN;
    fails += SioPuts(9, "x", 1) != SIO_BAD_PORT;
    fails += SioWinError() != 0;
    printf("import library client: %s\n", fails ? "FAIL" : "ok");
    return fails ? 1 : 0;
}
