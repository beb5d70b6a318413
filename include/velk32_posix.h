/*
 * velk32_posix.h - the extensions of the POSIX build of velk32
 * (libvelk32.so): choosing the device file behind a port, and asking how
 * many requests a network port's server left unanswered. The Windows DLL
 * does not have them.
 *
 * By default port N (COM<N+1>) opens /dev/ttyS<N>, so COM1 is /dev/ttyS0.
 * velk_map_port points a port at another device, for instance a USB adapter
 * (/dev/ttyUSB0), a pty or a symbolic link to one; the mapping takes effect
 * at the port's next SioReset. The special name "loop://" stands for a
 * built-in loopback plug (what is sent comes back: TX to RX, RTS to CTS,
 * DTR to DSR and DCD), so that programs can be tried without hardware.
 * "rfc2217://HOST:PORT" reaches a serial port behind a terminal server that
 * speaks RFC 2217 (such as ser2net), "socket://HOST:PORT" a raw TCP port;
 * SioReset connects (docs/network.md describes the addresses and options).
 *
 * Call it, like the Sio functions, from one thread at a time.
 */
#ifndef VELK32_POSIX_H
#define VELK32_POSIX_H

#include "velk32.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Maps port (0..8 = COM1..COM9) to the device file at path `device`, which is
 * copied; a null `device` restores the default /dev/ttyS<port>. A path that
 * cannot be opened (missing, too long, not a terminal) makes the next
 * SioReset of the port fail with SIO_WIN_ERROR and the errno of the open; a
 * malformed network address with EINVAL, a failed connection with its errno.
 * Returns 0, or SIO_BAD_PORT for a port outside 0 to 8 (nothing changed). */
VELK_API int VELK_CALL velk_map_port(int port, const char *device);

/* How many requests (line settings, DTR, RTS, break, purges) the server of an
 * open rfc2217:// port has left unanswered on this connection: each one whose
 * answer did not come within the wait, and each one sent without waiting
 * because the server had left that kind unanswered before. Such a call still
 * succeeds, so a program (velkcom selftest) can tell "the server did not
 * answer" from "the server answered and it failed". 0 for every other kind of
 * port; SIO_BAD_PORT; SIO_NOT_OPEN. */
VELK_API int VELK_CALL velk_port_unanswered(int port);

#ifdef __cplusplus
}
#endif

#endif /* VELK32_POSIX_H */
