/**
 * \file velk32_posix.h
 * \brief The extensions of the POSIX build of velk32 (libvelk32.so).
 *
 * Chooses the device file behind a port, tells how many requests a network
 * port's server left unanswered, and lets a program wait for a port without
 * spinning: velk_wait, or velk_port_fd for its own event loop. The Windows
 * DLL has none of them.
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

/** \defgroup velk_wait wait until a port has something to read or to report (POSIX only)
 * \#include <velk32_posix.h> */
/** \ingroup velk_wait
 * Sleeps until the port has something to read or to report, or until
 * `timeout_ms` has passed, and takes nothing: the 25 functions never wait,
 * so a program with nothing to do until bytes arrive waits here instead of
 * spinning on SioGetc or sleeping between polls.
 *
 * It returns 1 as soon as SioGetc would return a byte (a pushed-back byte
 * counts, and so do bytes the library has already queued), or the next
 * receive call would report a failure: the device hung up (the far end of a
 * pty closed), was unplugged, or the network connection was lost. The bytes
 * received before such a failure still come first; after them SioGetc and
 * SioGets return SIO_WIN_ERROR.
 *
 * It never takes longer than `timeout_ms`, plus scheduling. A signal caught
 * meanwhile does not end it; a program that must react to signals at once
 * polls velk_port_fd() together with a descriptor of its own (a self-pipe,
 * signalfd), or waits in slices.
 *
 * What each kind of port waits for:
 *   - a device file: the kernel's receive queue, in poll();
 *   - loop://: bytes written to the port; with nothing written, the wait
 *     lasts its time-out;
 *   - rfc2217:// and socket://: the server. Protocol traffic that carries no
 *     data (answers, notifications, NOP) is taken in while waiting and does
 *     not end the wait.
 *
 * Modem-line changes (CTS, DSR, RI, DCD) and line errors are not events
 * here: a program that needs them reads SioCTS(), SioDSR(), SioRI(),
 * SioDCD() and SioStatus() when the wait returns, or waits in slices
 * (for example 50 ms) and reads them after each.
 *
 * \param port       0 (COM1) to 8 (COM9)
 * \param timeout_ms how long to wait at most, in milliseconds; 0 only looks,
 *                   a negative value waits without limit
 * \retval 1              something to read, or a failure to report
 * \retval 0              the time ran out with nothing to read
 * \retval SIO_BAD_PORT   port outside 0..8
 * \retval SIO_NOT_OPEN   the port is not open
 * \retval SIO_WIN_ERROR  the wait itself failed; SioWinError() gives the errno
 *
 * \code
 * for (;;) {
 *     int r = velk_wait(0, 1000);
 *     if (r < 0) break;
 *     if (r == 0) continue;               // a second without data
 *     int c;
 *     while ((c = SioGetc(0)) >= 0) putchar(c);
 *     if (c != SIO_NO_DATA) break;        // hung up, unplugged, connection lost
 * }
 * \endcode
 * \sa velk_port_fd(), SioGetc(), SioGets() */
VELK_API int VELK_CALL velk_wait(int port, int timeout_ms);

/** \defgroup velk_port_fd the descriptor to watch for a port in an event loop (POSIX only)
 * \#include <velk32_posix.h> */
/** \ingroup velk_port_fd
 * Returns a descriptor that becomes readable whenever velk_wait() would
 * return 1 for what has not yet reached the library's own queues, so that
 * a program can watch the port in its own event loop (poll, select, epoll,
 * GLib, Qt, libuv, Python's asyncio) beside its other sources.
 *
 * The library keeps queues of its own in front of the descriptor (the
 * receive queue filled in blocks, the pushed-back byte), which can hold
 * bytes that the descriptor no longer shows. The loop that is always right:
 * read with SioGets() until it returns 0 (or SioGetc() until SIO_NO_DATA),
 * then poll the descriptor, and read again when it is readable. Any other
 * call on the port between the last read and the poll may move bytes into
 * the library's queue (SioRxQue() and the status calls, SioUnGetc(), and
 * on a network port every call, SioPuts() included, since each takes in
 * what the server has sent): after one, read again, or call
 * velk_wait(port, 0), before going back to the poll.
 *
 * The descriptor stays the library's: do not read from it, write to it,
 * close it or change its flags. It is valid until SioDone() closes the
 * port; after that its number may be reused for anything, so take a new
 * descriptor after each SioReset(). A hang-up, an unplugged device or a
 * lost connection leaves it readable for good: the next read reports the
 * failure (SIO_WIN_ERROR), and the program stops watching. On rfc2217://
 * protocol traffic without data makes it readable once; the next read takes
 * the message in and returns 0, and the descriptor is quiet again, so the
 * loop wakes at most once per message and never spins.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \retval >=0           the descriptor
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 * \retval SIO_WIN_ERROR no descriptor could be made (SioWinError() gives the errno,
 *                       EMFILE when the process has no descriptor left)
 *
 * \code
 * struct pollfd p = { velk_port_fd(0), POLLIN, 0 };
 * char buf[256];
 * for (;;) {
 *     int n;
 *     while ((n = SioGets(0, buf, sizeof buf)) > 0) fwrite(buf, 1, n, stdout);
 *     if (n < 0) break;                   // hung up, unplugged, connection lost
 *     poll(&p, 1, -1);                    // with the program's other descriptors
 * }
 * \endcode
 * \sa velk_wait(), SioGets() */
VELK_API int VELK_CALL velk_port_fd(int port);

#ifdef __cplusplus
}
#endif

#endif /* VELK32_POSIX_H */
