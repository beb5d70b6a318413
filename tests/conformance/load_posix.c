/*
 * The conformance program on POSIX: linked against libvelk32.so, it maps
 * COM1 and COM2 to the two ends of a pty pair joined by socat (paths given on
 * the command line) and COM9 to a device that does not exist, then runs the
 * same checks as on Windows with the POSIX expectations.
 * Usage: conformance COM1_DEVICE COM2_DEVICE MISSING_DEVICE
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <time.h>

#include "conformance.h"
#include "velk32_posix.h"

enum { PORT_A = 0, PORT_B = 1, PORT_SECOND = 2, PORT_ABSENT = 8 };

static const char *com1_device;

/* Maps COM3 to COM1's device and opens it while COM1 is held: 1 when the
 * library refuses the second open. */
static int second_open(void) {
    int rc;
    velk_map_port(PORT_SECOND, com1_device);
    rc = SioReset(PORT_SECOND, 64, 64);
    if (rc == 0) SioDone(PORT_SECOND);
    velk_map_port(PORT_SECOND, NULL);
    return rc == SIO_WIN_ERROR;
}

static unsigned long now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (unsigned long)t.tv_sec * 1000ul + (unsigned long)(t.tv_nsec / 1000000);
}

static void pause_ms(void) {
    struct timespec t = {0, 1000000};
    nanosleep(&t, NULL);
}

int main(int argc, char **argv) {
    /* The library's own functions, in ordinal order, as the Windows loader
     * finds them in the DLL. */
    const struct velk_api api = {
        SioBaud,  SioBrkSig, SioCTS,     SioDCD,   SioDSR,    SioDTR,     SioDebug,
        SioDone,  SioFlow,   SioGetc,    SioGets,  SioInfo,   SioParms,   SioPutc,
        SioPuts,  SioRI,     SioRTS,     SioReset, SioRxClear, SioRxQue,  SioStatus,
        SioTxClear, SioTxQue, SioUnGetc, SioWinError,
    };
    struct velk_platform platform;

    if (argc != 4) {
        fprintf(stderr, "usage: %s COM1_DEVICE COM2_DEVICE MISSING_DEVICE\n", argv[0]);
        return 2;
    }
    setvbuf(stdout, NULL, _IONBF, 0);
    com1_device = argv[1];
    velk_check(velk_map_port(PORT_A, argv[1]) == 0, "velk_map_port(COM1)", 0, 0);
    velk_check(velk_map_port(PORT_B, argv[2]) == 0, "velk_map_port(COM2)", 0, 0);
    velk_check(velk_map_port(PORT_ABSENT, argv[3]) == 0, "velk_map_port(COM9)", 0, 0);
    velk_check(velk_map_port(SIO_PORT_COUNT, argv[3]) == SIO_BAD_PORT, "velk_map_port(port 9)",
               0, 0);

    platform.expect = &velk_expect_posix;
    platform.port_a = PORT_A;
    platform.port_b = PORT_B;
    platform.absent_port = PORT_ABSENT;
    platform.second_open = second_open;
    platform.now_ms = now_ms;
    platform.pause = pause_ms;
    velk_conformance(&api, &platform);
    return velk_failures() == 0 ? 0 : 1;
}
