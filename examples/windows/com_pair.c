/*
 * com_pair.c - a first velk32 program on Windows: sends bytes from COM1 to
 * COM2 (two ports joined by a null-modem cable) and checks that COM2
 * receives them unchanged.
 *
 *   MinGW: gcc com_pair.c -Iinclude -Llib -lvelk32 -o com_pair.exe
 *   MSVC:  cl com_pair.c /Iinclude lib\velk32.lib
 *
 * Run it with velk32.dll beside it (or on the PATH). Exits 0 when every
 * byte arrived unchanged.
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "velk32.h"

#define COM1 0
#define COM2 1

static int open_port(int port) {
    if (SioReset(port, 1024, 1024) < 0) {
        printf("COM%d does not open: Windows error %d\n", port + 1, SioWinError());
        return 0;
    }
    SioBaud(port, SIO_BAUD115200);
    return 1;
}

int main(void) {
    char sent[256], got[256];
    int n, have = 0, tries, ok;
    for (n = 0; n < 256; ++n) sent[n] = (char)n;

    if (!open_port(COM1)) return 1;
    if (!open_port(COM2)) {
        SioDone(COM1);
        return 1;
    }
    ok = SioPuts(COM1, sent, (int)sizeof sent) == (int)sizeof sent;
    if (!ok) printf("sending failed: Windows error %d\n", SioWinError());
    /* SioGets never waits: collect what has arrived, for up to 5 s. */
    for (tries = 0; ok && have < (int)sizeof got && tries < 500; ++tries) {
        n = SioGets(COM2, got + have, (int)sizeof got - have);
        if (n < 0) {
            printf("receiving failed: %d, Windows error %d\n", n, SioWinError());
            ok = 0;
            break;
        }
        have += n;
        if (n == 0) Sleep(10);
    }
    SioDone(COM2);
    SioDone(COM1);
    if (!ok) return 1;
    if (have != (int)sizeof sent || memcmp(sent, got, sizeof sent) != 0) {
        printf("%d of %d bytes arrived%s\n", have, (int)sizeof sent,
               have == (int)sizeof sent ? ", changed" : "");
        return 1;
    }
    printf("%d bytes sent from COM1 arrived at COM2 unchanged\n", have);
    return 0;
}
