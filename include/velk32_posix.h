/**
 * \file velk32_posix.h
 * \brief The extensions of the POSIX build of velk32 (libvelk32.so).
 *
 * Chooses the device file behind a port, and tells how many requests a
 * network port's server left unanswered. The Windows DLL has neither.
 *
 * By default port N (0 to 8: COM1 to COM9) opens /dev/ttySN, so COM1 is
 * /dev/ttyS0.
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

/** \defgroup velk_map_port choose the device behind a port (POSIX only)
 * \#include <velk32_posix.h> */
/** \ingroup velk_map_port
 * Maps port (0..8 = COM1..COM9) to the device file at path `device`, which is
 * copied; a null `device` restores the default /dev/ttyS0 to ttyS8. A path that
 * cannot be opened (missing, too long, not a terminal) makes the next
 * SioReset of the port fail with SIO_WIN_ERROR and the errno of the open; a
 * malformed network address with EINVAL, a failed connection with its errno.
 * Returns 0, or SIO_BAD_PORT for a port outside 0 to 8 (nothing changed).
 *
 * The mapping takes effect at the port's next SioReset(); an open port keeps
 * its device until then. Nothing is opened or checked here.
 *
 * \param port   0 (COM1) to 8 (COM9)
 * \param device one of:
 *   - a device file such as /dev/ttyUSB0, a pty, a symbolic link to one;
 *   - the name loop://, the built-in loopback plug (TX to RX, RTS to CTS, DTR
 *     to DSR and DCD, a break to SIO_CE_BREAK), for trying a program without
 *     hardware;
 *   - rfc2217://HOST:PORT, a serial port behind an RFC 2217 server such as
 *     ser2net; socket://HOST:PORT, raw TCP, data only. HOST is an IPv4
 *     address, an IPv6 address in brackets or a name; options follow a
 *     question mark, such as ack_timeout=MS or close_timeout=MS
 *     (docs/network.md lists them);
 *   - null: back to /dev/ttyS0 to /dev/ttyS8.
 * \retval 0             recorded
 * \retval SIO_BAD_PORT  port outside 0..8; nothing changed
 *
 * \code
 * velk_map_port(0, argc > 1 ? argv[1] : "loop://");
 * if (SioReset(0, 1024, 1024) < 0) {
 *     errno = SioWinError();   // an errno value on POSIX
 *     perror("COM1");
 * }
 * \endcode
 * \sa SioReset() */
VELK_API int VELK_CALL velk_map_port(int port, const char *device);

/** \defgroup velk_port_unanswered count the requests a network port's server left unanswered (POSIX only)
 * \#include <velk32_posix.h> */
/** \ingroup velk_port_unanswered
 * Counts the requests (line settings, DTR, RTS, break, purges) that the
 * server of an open rfc2217:// port has left unanswered on this connection:
 * each one whose answer did not come within its wait (ack_timeout for a kind
 * the server has answered or not been asked before, a few round trips for a
 * kind it left unanswered before). Such a call still succeeds, so a program
 * can tell "the server did not answer" from "the server answered and the
 * line failed"; velkcom selftest reports such checks as SKIP.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \retval >=0          the count; always 0 for a tty, loop:// or socket:// port
 * \retval SIO_BAD_PORT port outside 0..8
 * \retval SIO_NOT_OPEN the port is not open
 *
 * \code
 * int before = velk_port_unanswered(0);
 * SioDTR(0, 'C');
 * if (velk_port_unanswered(0) > before)
 *     puts("the server did not answer the DTR request");
 * \endcode
 * \sa velk_map_port() */
VELK_API int VELK_CALL velk_port_unanswered(int port);

#ifdef __cplusplus
}
#endif

#endif /* VELK32_POSIX_H */
