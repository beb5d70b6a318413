/*
 * The conformance program's shared parts: the table of the library's 25
 * functions as the program reaches them, the expectations that differ from
 * one platform to the next, and the hooks each platform's loader provides.
 * The checks themselves (conformance.c) see the library only through this
 * table, so one source holds the Windows DLL and the POSIX library to the
 * same expectations.
 */
#ifndef VELK_CONFORMANCE_H
#define VELK_CONFORMANCE_H

#include "velk32.h"

/* The 25 functions, in the order of their export ordinals (1 to 25). */
struct velk_api {
    int (VELK_CALL *SioBaud)(int, int);
    int (VELK_CALL *SioBrkSig)(int, int);
    int (VELK_CALL *SioCTS)(int);
    int (VELK_CALL *SioDCD)(int);
    int (VELK_CALL *SioDSR)(int);
    int (VELK_CALL *SioDTR)(int, int);
    int (VELK_CALL *SioDebug)(int);
    int (VELK_CALL *SioDone)(int);
    int (VELK_CALL *SioFlow)(int, int);
    int (VELK_CALL *SioGetc)(int);
    int (VELK_CALL *SioGets)(int, char *, int);
    int (VELK_CALL *SioInfo)(int);
    int (VELK_CALL *SioParms)(int, int, int, int);
    int (VELK_CALL *SioPutc)(int, int);
    int (VELK_CALL *SioPuts)(int, const char *, int);
    int (VELK_CALL *SioRI)(int);
    int (VELK_CALL *SioRTS)(int, int);
    int (VELK_CALL *SioReset)(int, int, int);
    int (VELK_CALL *SioRxClear)(int);
    int (VELK_CALL *SioRxQue)(int);
    int (VELK_CALL *SioStatus)(int, int);
    int (VELK_CALL *SioTxClear)(int);
    int (VELK_CALL *SioTxQue)(int);
    int (VELK_CALL *SioUnGetc)(int, int);
    int (VELK_CALL *SioWinError)(void);
};

/* The exported names in ordinal order (ordinal = index + 1), and the number. */
#define VELK_EXPORT_COUNT 25
extern const char *const velk_export_names[VELK_EXPORT_COUNT];

/* Where a platform's library, on the kind of port the run uses, behaves
 * differently. Every such difference is written down in expectations.c and
 * nowhere else. */
struct velk_expect {
    const char *name;
    /* The success flag of SioDTR/SioRTS 'S' and 'C': 1 where the escape
     * functions or, for a driver that refuses them as not supported, the
     * line state set the lines; 0 where neither can. */
    int line_flag;
    /* GetCommModemStatus works on these ports: 1, so the four input-line
     * functions return their bit or 0; 0, so they return 0. */
    int input_lines;
    /* The success flag of SioBrkSig 'A' and 'C'. */
    int break_flag;
    /* A second exclusive open of a held port: 1 refused (asserted), 0 not
     * asserted (observed and printed only). */
    int second_open_refused;
    /* SioReset of a port mapped to a missing device: 1 when the open itself
     * succeeds and a later step fails, 0 when the open fails; and the code
     * SioWinError then gives. */
    int absent_opens;
    int absent_error;
    /* SioWinError after a write to a port whose peer has hung up; 0 when the
     * run cannot hang a peer up (the hang-up checks are skipped). */
    int hangup_error;
};

extern const struct velk_expect velk_expect_windows;  /* Windows, real COM ports */
extern const struct velk_expect velk_expect_wine;     /* Wine, COM ports on ptys */
extern const struct velk_expect velk_expect_posix;    /* libvelk32.so on ptys */

/* What the platform's loader provides to the checks. */
struct velk_platform {
    const struct velk_expect *expect;
    /* Port numbers: two joined to each other, one mapped to a missing device. */
    int port_a, port_b, absent_port;
    /* Opens port_a's device a second time while the library holds it.
     * Returns 1 when that open was refused, 0 when it succeeded (and was
     * undone). */
    int (*second_open)(void);
    /* A monotonic clock in milliseconds, for bounded waits. */
    unsigned long (*now_ms)(void);
    /* Gives up the processor for about a millisecond between polls. */
    void (*pause)(void);
};

/* Runs every check of the 25 functions through api on the platform; prints a
 * line per failure and a summary. Returns the number of failed checks. */
int velk_conformance(const struct velk_api *api, const struct velk_platform *platform);

/* Records one check's outcome (used by the loaders for their own checks). */
void velk_check(int ok, const char *what, long got, long want);
int velk_failures(void);

#endif /* VELK_CONFORMANCE_H */
