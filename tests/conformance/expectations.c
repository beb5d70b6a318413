/*
 * The platform differences of the conformance run, all in one place. The
 * Wine and POSIX figures are for COM ports joined through a socat pty pair;
 * they were measured on those ports, not guessed:
 *  - Wine on a pty: EscapeCommFunction with SETDTR/CLRDTR/SETRTS/CLRRTS and
 *    GetCommModemStatus fail with error 50 (ERROR_NOT_SUPPORTED), so the
 *    library sets DTR and RTS through SetCommState, which succeeds: the line
 *    commands return 1, while the input lines read 0; break on/off, RESETDEV
 *    and SetupComm succeed without effect; a second exclusive open of a COM
 *    port succeeds; a COM port mapped in the registry to a missing device
 *    still opens, and its first comm call (GetCommTimeouts) fails with
 *    ERROR_INVALID_FUNCTION (1); after the peer hangs up, writes and status
 *    queries fail with ERROR_NOT_READY (21). A format other than 8N1 may be
 *    refused (error 87) on a pty, so the data checks run at 8N1 on every
 *    platform.
 *  - libvelk32.so on a pty: the modem-line ioctls fail with ENOTTY (a pty
 *    has no modem lines, so there is nothing to set another way either): the
 *    line commands return 0 and the input lines read 0; break succeeds; a
 *    second open of a held device is refused; a write after hang-up fails
 *    with EIO.
 *  - Windows on real COM ports (as Win32 documents them; CI has none): the
 *    modem lines work (what the inputs read depends on the cable, so only
 *    their bit values are checked), a second open is refused, and there is
 *    no peer to hang up.
 */
#include <errno.h>

#include "conformance.h"

const char *const velk_export_names[VELK_EXPORT_COUNT] = {
    "SioBaud",  "SioBrkSig", "SioCTS",     "SioDCD",   "SioDSR",    "SioDTR",     "SioDebug",
    "SioDone",  "SioFlow",   "SioGetc",    "SioGets",  "SioInfo",   "SioParms",   "SioPutc",
    "SioPuts",  "SioRI",     "SioRTS",     "SioReset", "SioRxClear", "SioRxQue",  "SioStatus",
    "SioTxClear", "SioTxQue", "SioUnGetc", "SioWinError",
};

enum {
    WIN_ERROR_INVALID_FUNCTION = 1,
    WIN_ERROR_FILE_NOT_FOUND = 2,
    WIN_ERROR_NOT_READY = 21,
};

const struct velk_expect velk_expect_windows = {
    "windows", /* name */
    1,         /* line_flag */
    1,         /* input_lines */
    1,         /* break_flag */
    1,         /* second_open_refused */
    0,         /* absent_opens */
    WIN_ERROR_FILE_NOT_FOUND,
    0, /* hangup_error: no hang-up on a real port */
};

const struct velk_expect velk_expect_wine = {
    "wine", /* name */
    1,      /* line_flag: through SetCommState */
    0,      /* input_lines */
    1,      /* break_flag */
    0,      /* second_open_refused: Wine lets it through */
    1,      /* absent_opens: the COM device opens, GetCommTimeouts fails */
    WIN_ERROR_INVALID_FUNCTION,
    WIN_ERROR_NOT_READY,
};

const struct velk_expect velk_expect_posix = {
    "posix", /* name */
    0,       /* line_flag: ENOTTY, no line to set */
    0,       /* input_lines */
    1,       /* break_flag */
    1,       /* second_open_refused */
    0,       /* absent_opens */
    ENOENT,
    EIO,
};
