/* An application's view of the POSIX library: a plain C program that uses
 * only the public headers and libvelk32.so, maps COM1 and COM2 to the two
 * ends of a pty pair (paths given as arguments, bridged by socat) and runs an
 * exchange through all 25 functions, checking each result. A pty has no modem
 * lines, so the line calls report failure and the inputs read 0.
 * Usage: posix_exchange PATH_A PATH_B; exits 0 when every check held. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "velk32.h"
#include "velk32_posix.h"

static int failures = 0;

static void check(int line, const char *what, int got, int want) {
    if (got != want) {
        fprintf(stderr, "line %d: %s gave %d, expected %d (SioWinError %d)\n", line, what, got, want,
                SioWinError());
        ++failures;
    }
}
#define CHECK(expr, want) check(__LINE__, #expr, (expr), (want))

/* Waits up to five seconds for at least n bytes in the port's receive queue. */
static int waitForBytes(int port, int n) {
    struct timespec ms = {0, 1000000L};
    int i;
    for (i = 0; i < 5000; ++i) {
        if (SioRxQue(port) >= n) return 1;
        nanosleep(&ms, NULL);
    }
    return 0;
}

int main(int argc, char **argv) {
    static const char message[] = {'H', 'e', 'l', 'l', 'o', '\0', (char)0xFF, '\r', '\n', 'Z'};
    const int length = (int)sizeof message;
    char buffer[64];
    int i;

    if (argc != 3) {
        fprintf(stderr, "usage: %s PATH_A PATH_B\n", argv[0]);
        return 2;
    }

    /* Library information needs no port. */
    CHECK(SioInfo('V'), 0x20);
    CHECK(SioInfo('?'), -1);
    CHECK(SioDebug(1234), 1234);
    CHECK(SioWinError(), 0);

    /* Mapping and the call checks. */
    CHECK(velk_map_port(9, argv[1]), SIO_BAD_PORT);
    CHECK(velk_map_port(0, argv[1]), 0);
    CHECK(velk_map_port(1, argv[2]), 0);
    CHECK(SioReset(9, 1024, 1024), SIO_BAD_PORT);
    CHECK(SioPutc(0, 'x'), SIO_NOT_OPEN);
    CHECK(SioDone(1), SIO_NOT_OPEN);

    /* Open both ends and set the line up. */
    CHECK(SioReset(0, 1024, 1024), 0);
    CHECK(SioReset(1, 1024, 1024), 0);
    CHECK(SioBaud(0, SIO_BAUD57600), 1);
    CHECK(SioBaud(1, SIO_BAUD57600), 1);
    CHECK(SioBaud(0, 250000), 1);
    CHECK(SioBaud(1, 250000), 1);
    CHECK(SioParms(0, SIO_NO_PARITY, SIO_ONE_STOP_BIT, SIO_WORD_LENGTH8), 0);
    CHECK(SioParms(1, SIO_NO_PARITY, SIO_ONE_STOP_BIT, SIO_WORD_LENGTH8), 0);
    CHECK(SioFlow(0, SIO_FLOW_NONE), 0);
    CHECK(SioFlow(1, SIO_FLOW_NONE), 0);

    /* Output lines: a pty cannot drive them, but the request is recorded. */
    CHECK(SioDTR(0, SIO_LINE_SET), 0);
    CHECK(SioDTR(0, SIO_LINE_READ), 1);
    CHECK(SioRTS(0, SIO_LINE_SET), 0);
    CHECK(SioRTS(0, SIO_LINE_READ), 2);
    CHECK(SioDTR(0, 'X'), SIO_NO_DATA);
    CHECK(SioBrkSig(0, SIO_BREAK_ASSERT), 1);
    CHECK(SioBrkSig(0, SIO_BREAK_CANCEL), 1);
    CHECK(SioBrkSig(0, SIO_BREAK_DETECT), 0);
    CHECK(SioBrkSig(0, 'X'), SIO_BAD_COMMAND);
    /* Input lines: none on a pty. */
    CHECK(SioCTS(1), 0);
    CHECK(SioDSR(1), 0);
    CHECK(SioRI(1), 0);
    CHECK(SioDCD(1), 0);

    /* COM1 to COM2: every byte as sent, 0x00 and 0xFF included. */
    CHECK(SioGetc(1), SIO_NO_DATA);
    CHECK(SioPuts(0, message, length), length);
    CHECK(waitForBytes(1, length), 1);
    CHECK(SioRxQue(1), length);
    CHECK(SioGetc(1), 'H');
    memset(buffer, 0x55, sizeof buffer);
    CHECK(SioGets(1, buffer, (int)sizeof buffer), length - 1);
    CHECK(memcmp(buffer, message + 1, (size_t)(length - 1)), 0);
    CHECK(SioGets(1, buffer, (int)sizeof buffer), 0);

    /* Push-back comes first, alone. */
    CHECK(SioUnGetc(1, 'U'), 0);
    CHECK(SioGetc(1), 'U');
    CHECK(SioGetc(1), SIO_NO_DATA);

    /* COM2 to COM1, one byte at a time. */
    for (i = 0; i < 4; ++i) CHECK(SioPutc(1, 0xFC + i), 0);
    CHECK(waitForBytes(0, 4), 1);
    for (i = 0; i < 4; ++i) CHECK(SioGetc(0), 0xFC + i);

    /* Queues and clearing. */
    CHECK(SioTxQue(0), 0);
    CHECK(SioTxClear(0), 0);
    CHECK(SioPuts(1, "junk", 4), 4);
    CHECK(waitForBytes(0, 4), 1);
    CHECK(SioUnGetc(0, 'q'), 0);
    CHECK(SioRxClear(0), 0);
    CHECK(SioRxQue(0), 0);
    CHECK(SioGetc(0), SIO_NO_DATA);
    CHECK(SioStatus(0, SIO_CE_ALL), 0);
    CHECK(SioStatus(1, SIO_CE_ALL), 0);

    /* A bad call is SIO_WIN_ERROR with the errno behind it. */
    CHECK(SioPuts(0, NULL, 5), SIO_WIN_ERROR);
    CHECK(SioWinError(), EINVAL);

    /* Close. */
    CHECK(SioDone(0), 1);
    CHECK(SioDone(1), 1);
    CHECK(SioDone(0), SIO_NOT_OPEN);

    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("exchange through the 25 functions: all checks held\n");
    return 0;
}
