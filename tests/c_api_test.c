/* The public header compiled as C and the shared library linked as an
 * application links it: every function is reachable under its plain name and
 * answers the calls that need no device (library information, the port
 * checks, the last error before any failure). Returns nonzero on a mismatch. */
#include <limits.h>
#include <stdio.h>

#include "velk32.h"

static int failures = 0;

static void expect(const char *what, int got, int want) {
    if (got != want) {
        fprintf(stderr, "%s: got %d, want %d\n", what, got, want);
        ++failures;
    }
}

int main(void) {
    char buf[4];
    int port;

    expect("SioWinError before any failure", SioWinError(), 0);
    expect("SioInfo('V')", SioInfo('V'), 0x20);
    expect("SioInfo('v')", SioInfo('v'), -1);
    expect("SioDebug(-5)", SioDebug(-5), -5);

    for (port = -1; port <= 9; port += 10) {
        expect("SioReset", SioReset(port, 1024, 1024), SIO_BAD_PORT);
        expect("SioDone", SioDone(port), SIO_BAD_PORT);
        expect("SioPutc", SioPutc(port, 'a'), SIO_BAD_PORT);
        expect("SioPuts", SioPuts(port, "a", 1), SIO_BAD_PORT);
        expect("SioTxQue", SioTxQue(port), SIO_BAD_PORT);
        expect("SioTxClear", SioTxClear(port), SIO_BAD_PORT);
        expect("SioGetc", SioGetc(port), SIO_BAD_PORT);
        expect("SioGets", SioGets(port, buf, 4), SIO_BAD_PORT);
        expect("SioUnGetc", SioUnGetc(port, 'a'), SIO_BAD_PORT);
        expect("SioRxQue", SioRxQue(port), SIO_BAD_PORT);
        expect("SioRxClear", SioRxClear(port), SIO_BAD_PORT);
        expect("SioBaud", SioBaud(port, 5), SIO_BAD_PORT);
        expect("SioParms", SioParms(port, 0, 0, 8), SIO_BAD_PORT);
        expect("SioFlow", SioFlow(port, 'N'), SIO_BAD_PORT);
        expect("SioDTR", SioDTR(port, 'R'), SIO_BAD_PORT);
        expect("SioRTS", SioRTS(port, 'R'), SIO_BAD_PORT);
        expect("SioBrkSig", SioBrkSig(port, 'D'), SIO_BAD_PORT);
        expect("SioCTS", SioCTS(port), SIO_BAD_PORT);
        expect("SioDSR", SioDSR(port), SIO_BAD_PORT);
        expect("SioRI", SioRI(port), SIO_BAD_PORT);
        expect("SioDCD", SioDCD(port), SIO_BAD_PORT);
        expect("SioStatus", SioStatus(port, -1), SIO_BAD_PORT);
    }
    /* No port has been opened. */
    expect("SioGetc(8) never opened", SioGetc(8), SIO_NOT_OPEN);
    expect("SioDone(0) never opened", SioDone(0), SIO_NOT_OPEN);
    expect("SioWinError after the checks", SioWinError(), 0);

    if (failures == 0) printf("C interface: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
