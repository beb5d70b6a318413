/*
 * loopback.c - a first velk32 program on Linux and other POSIX systems:
 * sends a few bytes through a loopback and checks that the same bytes come
 * back. By default COM1 is plugged into the library's built-in loopback plug
 * (loop://), so no hardware is needed; give a device path (a serial port with
 * a loopback plug fitted) to use that instead.
 *
 *   cc loopback.c $(pkg-config --cflags --libs velk32) -o loopback
 *   ./loopback [DEVICE]
 *
 * Exits 0 when every byte came back unchanged.
 */
#include <stdio.h>
#include <string.h>

#include <velk32.h>
#include <velk32_posix.h>

#define PORT 0 /* COM1 */

int main(int argc, char **argv) {
    const char *device = argc > 1 ? argv[1] : "loop://";
    /* All 256 byte values, so that nothing is translated on the way. */
    char sent[256], got[256];
    int n, have = 0, tries;
    for (n = 0; n < 256; ++n) sent[n] = (char)n;

    printf("velk32 version %x.%x\n", SioInfo(SIO_INFO_VERSION) >> 4, SioInfo(SIO_INFO_VERSION) & 0xF);
    velk_map_port(PORT, device);
    if (SioReset(PORT, 1024, 1024) < 0) {
        fprintf(stderr, "COM1 (%s) does not open: error %d\n", device, SioWinError());
        return 1;
    }
    SioBaud(PORT, SIO_BAUD115200);
    if (SioPuts(PORT, sent, (int)sizeof sent) != (int)sizeof sent) {
        fprintf(stderr, "sending failed: error %d\n", SioWinError());
        SioDone(PORT);
        return 1;
    }
    /* SioGets never waits; velk_wait sleeps until something has arrived
       (or a second has passed), so nothing spins and nothing is late. */
    for (tries = 0; have < (int)sizeof got && tries < 5; ) {
        int ready = velk_wait(PORT, 1000);
        if (ready == 0) {
            ++tries; /* a silent second: give up after five */
            continue;
        }
        n = ready < 0 ? ready : SioGets(PORT, got + have, (int)sizeof got - have);
        if (n < 0) {
            fprintf(stderr, "receiving failed: %d, error %d\n", n, SioWinError());
            SioDone(PORT);
            return 1;
        }
        have += n;
    }
    SioDone(PORT);
    if (have != (int)sizeof sent || memcmp(sent, got, sizeof sent) != 0) {
        fprintf(stderr, "%d of %d bytes came back%s\n", have, (int)sizeof sent,
                have == (int)sizeof sent ? ", changed" : "");
        return 1;
    }
    printf("%d bytes sent through %s came back unchanged\n", have, device);
    return 0;
}
