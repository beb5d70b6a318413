/**
 * \file velk32.h
 * \brief The public interface of the velk32 serial-port library: 25 functions.
 *
 * An application opens one of the ports COM1 to COM9, named by the numbers
 * 0 to 8, with SioReset, works on it with the other port functions and closes
 * it with SioDone. Every function returns a 32-bit signed integer; a negative
 * value from a port function is one of the SIO_* result codes below. After a
 * call returned SIO_WIN_ERROR, SioWinError gives the platform's error code of
 * the device call that failed (a Windows error code from velk32.dll, an errno
 * value from the POSIX library).
 *
 * The library takes no locks: call it from one thread at a time.
 * Usable from C and C++. The overview, with the functions by family, is
 * velk32(3) (\ref velk32).
 */
#ifndef VELK32_H
#define VELK32_H

/** \defgroup velk32_abi calling convention and export marks
 * How the functions are declared: VELK_CALL and VELK_API. */
/* VELK_CALL is the calling convention of every exported function: __stdcall
 * (the Windows API convention, usable from VB, Delphi and C#) on 32-bit
 * Windows, the platform's C convention everywhere else. */
#if defined(_WIN32) && !defined(_WIN64)
#define VELK_CALL __stdcall
#else
/** \ingroup velk32_abi
 * The calling convention: __stdcall on 32-bit Windows, empty elsewhere. */
#define VELK_CALL
#endif

/* VELK_API marks the exported functions. The Windows DLL exports them through
 * its module-definition file; elsewhere the library is built with hidden
 * visibility and these alone are made visible. */
#if defined(_WIN32)
#define VELK_API
#elif defined(__GNUC__)
#define VELK_API __attribute__((visibility("default")))
#else
/** \ingroup velk32_abi
 * Marks an exported function: default visibility in the ELF library, empty
 * in the DLL (which exports through its module-definition file). */
#define VELK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes and limits ------------------------------------------- */

/** \defgroup velk32_results result codes and the port count
 * The negative results of the port functions.
 *
 * A function that takes a port returns zero or a positive value as its result
 * and a negative value only as one of these codes. Every port function checks
 * the port number first (SIO_BAD_PORT), then, except SioReset(), that the
 * port is open (SIO_NOT_OPEN). Several functions report a refused device call
 * as a result of 0 (the device's success flag), not as a code: SioDone(),
 * SioBaud(), SioDTR() and SioRTS() with 'S' or 'C', SioBrkSig() with 'A' or
 * 'C'. Such a 0 leaves SioWinError() unchanged.
 *
 * SioInfo() answers an unknown query with -1, which there means only that,
 * and SioDebug() returns its argument whatever its sign.
 * @{ */

#define SIO_PORT_COUNT 9       /**< ports 0 (COM1) to 8 (COM9) */

#define SIO_BAD_PORT (-1)      /**< port number below 0 or above 8 */
#define SIO_NOT_OPEN (-3)      /**< the port is not open */
#define SIO_NO_DATA (-100)     /**< SioGetc: no byte waiting; SioDTR/SioRTS: unknown command */
#define SIO_BAD_COMMAND (-101) /**< SioBrkSig: unknown command */
#define SIO_WIN_ERROR (-103)   /**< a device call failed: SioWinError gives its code */
/** @} */

/* ---- Baud-rate codes for SioBaud (any larger value is a literal rate) ---- */

/** \defgroup velk32_baud baud-rate codes for SioBaud
 * The codes 0 to 9; SioBaud() takes any other value as a literal rate, so
 * SioBaud(port, SIO_BAUD9600) and SioBaud(port, 9600) both set 9600 baud.
 * @{ */

#define SIO_BAUD110 0 /**< 110 baud */
#define SIO_BAUD300 1 /**< 300 baud */
#define SIO_BAUD1200 2 /**< 1200 baud */
#define SIO_BAUD2400 3 /**< 2400 baud */
#define SIO_BAUD4800 4 /**< 4800 baud */
#define SIO_BAUD9600 5 /**< 9600 baud */
#define SIO_BAUD19200 6 /**< 19200 baud */
#define SIO_BAUD38400 7 /**< 38400 baud */
#define SIO_BAUD57600 8 /**< 57600 baud */
#define SIO_BAUD115200 9 /**< 115200 baud */
/** @} */

/* ---- Character format codes for SioParms (the platform's own values) ---- */

/** \defgroup velk32_format character-format codes for SioParms
 * Parity, stop bits and data bits: the Windows DCB values, on every platform.
 * @{ */

#define SIO_NO_PARITY 0    /**< no parity bit */
#define SIO_ODD_PARITY 1   /**< odd parity */
#define SIO_EVEN_PARITY 2  /**< even parity */
#define SIO_MARK_PARITY 3  /**< parity bit always 1 */
#define SIO_SPACE_PARITY 4 /**< parity bit always 0 */

#define SIO_ONE_STOP_BIT 0   /**< one stop bit */
#define SIO_ONE5_STOP_BITS 1 /**< one and a half stop bits: only with 5 data bits */
#define SIO_TWO_STOP_BITS 2  /**< two stop bits */

#define SIO_WORD_LENGTH5 5 /**< 5 data bits */
#define SIO_WORD_LENGTH6 6 /**< 6 data bits */
#define SIO_WORD_LENGTH7 7 /**< 7 data bits */
#define SIO_WORD_LENGTH8 8 /**< 8 data bits */
/** @} */

/* ---- Command letters ---------------------------------------------------- */

/** \defgroup velk32_commands command letters
 * The letters SioFlow(), SioDTR(), SioRTS(), SioBrkSig() and SioInfo() take.
 * Only the low 8 bits of the argument count, and only upper case: 's' is an
 * unknown command.
 * @{ */

#define SIO_FLOW_HARDWARE 'H' /**< SioFlow: CTS/RTS handshaking */
#define SIO_FLOW_SOFTWARE 'S' /**< SioFlow: XON/XOFF */
#define SIO_FLOW_NONE 'N'     /**< SioFlow: no flow control */

#define SIO_LINE_SET 'S'   /**< SioDTR/SioRTS: raise the line */
#define SIO_LINE_CLEAR 'C' /**< SioDTR/SioRTS: lower the line */
#define SIO_LINE_READ 'R'  /**< SioDTR/SioRTS: read back what was last asked */

#define SIO_BREAK_ASSERT 'A' /**< SioBrkSig: start sending break */
#define SIO_BREAK_CANCEL 'C' /**< SioBrkSig: stop sending break */
#define SIO_BREAK_DETECT 'D' /**< SioBrkSig: does nothing, returns 0 */

#define SIO_INFO_VERSION 'V' /**< SioInfo: 0x20, version 2.0 */
/** @} */

/* ---- Line-error flags returned by SioStatus ---------------------------- */

/** \defgroup velk32_errors line-error flags returned by SioStatus
 * The Windows CE_ values. The device gathers them until a status query
 * takes them: SioStatus() hands them to the caller; SioReset(), SioRxQue(),
 * SioTxQue() and SioGetc() (when nothing is pushed back) clear them unseen.
 * On a POSIX tty they come from the driver's error counters (a pty has none:
 * always 0); on loop:// from the plug (a full queue, a break sent); on
 * rfc2217:// from the server's line-state notifications; on socket:// never.
 * @{ */

#define SIO_CE_RXOVER 0x0001   /**< receive queue overflowed: bytes were lost */
#define SIO_CE_OVERRUN 0x0002  /**< hardware overrun: bytes were lost */
#define SIO_CE_RXPARITY 0x0004 /**< parity error */
#define SIO_CE_FRAME 0x0008    /**< framing error */
#define SIO_CE_BREAK 0x0010    /**< break received */
#define SIO_CE_TXFULL 0x0100   /**< transmit queue full (set by Windows drivers only) */
#define SIO_CE_ALL (-1)        /**< mask for every flag */
/** @} */

/* ---- Modem-status bits returned by SioCTS/SioDSR/SioRI/SioDCD ---------- */

/** \defgroup velk32_modem modem-status bits returned by SioCTS, SioDSR, SioRI, SioDCD
 * Each function returns its bit in place (the Windows MS_ values), not 1:
 * test the result for nonzero.
 * @{ */

#define SIO_MS_CTS_ON 0x10  /**< CTS on: SioCTS() returns 16 */
#define SIO_MS_DSR_ON 0x20  /**< DSR on: SioDSR() returns 32 */
#define SIO_MS_RING_ON 0x40 /**< RI on: SioRI() returns 64 */
#define SIO_MS_RLSD_ON 0x80 /**< DCD (receive line signal detect) on: SioDCD() returns 128 */
/** @} */

/* ---- Port management ---------------------------------------------------- */

/** \defgroup SioReset open a port in the default line state
 * \#include <velk32.h> */
/** \ingroup SioReset
 * Opens port (0..8 = COM1..COM9) exclusively and puts it in the default line
 * state: 19200 baud, 8 data bits, no parity, one stop bit, DTR and RTS raised,
 * no flow control, reads that never wait, writes without time limit. inQueue
 * and outQueue are the queue sizes asked of the device. A port that is already
 * open is first closed as SioDone would, then opened anew.
 *
 * \param port     0 (COM1) to 8 (COM9)
 * \param inQueue  receive queue size to ask for, in bytes; also sets the XON
 *                 and XOFF thresholds to a quarter and three quarters of it
 * \param outQueue transmit queue size to ask for, in bytes
 * \retval 0              the port is open and configured
 * \retval SIO_BAD_PORT   port outside 0..8; nothing opened
 * \retval SIO_WIN_ERROR  the open or a configuration step failed (SioWinError()
 *         gives the code). After an open that succeeded the port stays open:
 *         close it with SioDone().
 *
 * Side effects: discards line errors pending in the device. Keeps what
 * belongs to the port rather than to one opening: a pushed-back byte
 * (SioUnGetc()) and the lines last raised with SioDTR() and SioRTS(), which
 * read back 0 ('R') until the caller sets them, although the open raised both.
 *
 * \par Platforms
 * - Windows: opens COMn (CreateFileA, no sharing); a port held by another
 *   program fails with ERROR_ACCESS_DENIED (5), a missing one with
 *   ERROR_FILE_NOT_FOUND (2). A driver that refuses the device reset
 *   (RESETDEV) as a request it does not support (errors 1, 31, 50 or 87) does
 *   not fail the open; any other error of it does.
 * - POSIX tty: opens /dev/ttyS0 to /dev/ttyS8, or what velk_map_port() named,
 *   in raw mode, locked with flock and TIOCEXCL: a held port fails with EBUSY,
 *   a missing one with ENOENT, a file that is no terminal with ENOTTY. The
 *   receive queue kept by the library is inQueue bytes, 4 KiB to 1 MiB.
 * - loop://: the built-in loopback plug; inQueue bytes of receive queue
 *   (0 keeps 4 KiB), bytes beyond it are lost as SIO_CE_RXOVER.
 * - rfc2217:// and socket://: connects (within connect_timeout); a malformed
 *   address fails with EINVAL, a refused connection with ECONNREFUSED.
 *
 * \code
 * if (SioReset(0, 1024, 1024) < 0)
 *     return SioWinError();   // the platform's code: why it did not open
 * \endcode
 * \sa SioDone(), velk_map_port() */
VELK_API int VELK_CALL SioReset(int port, int inQueue, int outQueue);

/** \defgroup SioDone close a port
 * \#include <velk32.h> */
/** \ingroup SioDone
 * Gives the device back the time-outs it had when opened and closes it.
 * The port counts as closed whatever the close reports.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \retval 1             closed
 * \retval 0             the close failed (the port is closed all the same)
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open (also a second SioDone())
 *
 * Side effects: none on the pushed-back byte or the recorded DTR and RTS
 * requests: they carry over to the next SioReset() of the port. The line
 * settings are not given back.
 *
 * \par Platforms
 * - Windows: CloseHandle.
 * - POSIX tty: closes the descriptor; the exclusive lock goes with it.
 * - loop://: the plug is free for the next SioReset().
 * - rfc2217:// and socket://: closes the connection (also after it was lost).
 * \sa SioReset() */
VELK_API int VELK_CALL SioDone(int port);

/** \defgroup SioWinError the error code behind the last SIO_WIN_ERROR
 * \#include <velk32.h> */
/** \ingroup SioWinError
 * Returns the platform's error code of the device call that failed in the last
 * call that returned SIO_WIN_ERROR (0 before any). Checks and changes nothing.
 *
 * The code is kept for the whole library, not per port, and stays until
 * another call returns SIO_WIN_ERROR: a success does not clear it, nor does
 * a refused call that only returns 0 (SioBaud(), SioDTR() ...).
 *
 * \return the code, or 0 when no call has returned SIO_WIN_ERROR yet
 *
 * \par Platforms
 * - Windows: a Windows error code, as GetLastError gives it (2 no such port,
 *   5 held by another program, 87 a bad argument).
 * - POSIX tty and loop://: an errno value (ENOENT, EBUSY, ENOTTY, EIO after a
 *   hang-up, EINVAL for a bad argument).
 * - rfc2217:// and socket://: an errno value (EINVAL for a bad address,
 *   ECONNREFUSED, ETIMEDOUT, ECONNRESET once the server has closed).
 * \sa velk32_results */
VELK_API int VELK_CALL SioWinError(void);

/* ---- Transmit ----------------------------------------------------------- */

/** \defgroup SioPutc send one byte
 * \#include <velk32.h> */
/** \ingroup SioPutc
 * Sends the low 8 bits of ch, waiting until the device has taken it. There is
 * no write time-out: under flow control a peer that holds the line off holds
 * the call until it lets go.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \param ch   the byte, in its low 8 bits (0x141 sends 0x41)
 * \retval 0              sent
 * \retval SIO_BAD_PORT   port outside 0..8
 * \retval SIO_NOT_OPEN   the port is not open
 * \retval SIO_WIN_ERROR  the write failed (SioWinError() gives the code)
 *
 * \par Platforms
 * - Windows: one WriteFile of one byte.
 * - POSIX tty: the byte is handed to the kernel; EIO once the device has hung up.
 * - loop://: the byte arrives at once in the port's own receive queue.
 * - rfc2217://: sent as data (255 doubled); socket://: sent unchanged. A lost
 *   connection fails with ECONNRESET or EPIPE, never raising SIGPIPE.
 * \sa SioPuts(), SioTxQue() */
VELK_API int VELK_CALL SioPutc(int port, int ch);

/** \defgroup SioPuts send a block of bytes
 * \#include <velk32.h> */
/** \ingroup SioPuts
 * Sends length bytes from buffer, unchanged, waiting until the device has taken
 * them: no terminator is looked for or added, and there is no write time-out.
 *
 * \param port   0 (COM1) to 8 (COM9)
 * \param buffer the bytes; may be null only when length is 0
 * \param length how many bytes to send; 0 makes an empty write and returns 0
 * \return the count the device reports written (all of them on every
 *         platform here), or:
 * \retval SIO_BAD_PORT   port outside 0..8
 * \retval SIO_NOT_OPEN   the port is not open
 * \retval SIO_WIN_ERROR  the write failed, and also (sending nothing) for a
 *         negative length or a null buffer with a positive length (code 87 on
 *         Windows, EINVAL on POSIX)
 *
 * \par Platforms
 * - Windows: one WriteFile.
 * - POSIX tty: written in as many pieces as the kernel takes.
 * - loop://: bytes beyond the free room of the receive queue are lost
 *   (SIO_CE_RXOVER) unless flow control holds the write.
 * - rfc2217://: 255 is doubled on the wire; a server's FLOWCONTROL-SUSPEND
 *   holds the call. socket://: sent unchanged.
 * \sa SioPutc() */
VELK_API int VELK_CALL SioPuts(int port, const char *buffer, int length);

/** \defgroup SioTxQue count the bytes waiting to go out
 * \#include <velk32.h> */
/** \ingroup SioTxQue
 * Returns the bytes still waiting in the device's transmit queue.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \return the count; 0 also when the status query fails. Or:
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * Side effects: a status query, which clears the line-error flags unseen
 * (a later SioStatus() no longer sees them).
 *
 * \par Platforms
 * - Windows: cbOutQue of ClearCommError.
 * - POSIX tty: the driver's output queue (TIOCOUTQ).
 * - loop://: the bytes of a write that flow control holds.
 * - rfc2217:// and socket://: the bytes not yet handed to the connection.
 * \sa SioTxClear(), SioStatus() */
VELK_API int VELK_CALL SioTxQue(int port);

/** \defgroup SioTxClear discard output waiting to go out
 * \#include <velk32.h> */
/** \ingroup SioTxClear
 * Discards output still waiting in the device and ends a write that flow
 * control holds (that write fails).
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \retval 0             always, once the port checks passed
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * \par Platforms
 * - Windows: PurgeComm with PURGE_TXABORT and PURGE_TXCLEAR.
 * - POSIX tty: tcflush(TCOFLUSH).
 * - loop://: nothing waits; only a held write is ended.
 * - rfc2217://: asks the server to purge its transmit buffer (PURGE-DATA 2).
 *   socket://: nothing is sent.
 * \sa SioTxQue() */
VELK_API int VELK_CALL SioTxClear(int port);

/* ---- Receive ------------------------------------------------------------ */

/** \defgroup SioGetc take one byte without waiting
 * \#include <velk32.h> */
/** \ingroup SioGetc
 * Returns the next byte (0..255) without waiting: the pushed-back byte first,
 * else one from the device. A received 0xFF is 255, never negative.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \return the byte, 0 to 255, or:
 * \retval SIO_NO_DATA    no byte is waiting
 * \retval SIO_BAD_PORT   port outside 0..8
 * \retval SIO_NOT_OPEN   the port is not open
 * \retval SIO_WIN_ERROR  the status query or the read failed, e.g. a device
 *         that hung up, once the bytes it had received were taken
 *
 * Side effects: returning the pushed-back byte consumes it. Otherwise the
 * call makes a status query, which clears the line-error flags unseen.
 *
 * \par Platforms
 * - Windows: ClearCommError, then one ReadFile of one byte.
 * - POSIX tty: taken from the library's receive queue, refilled from the
 *   kernel in blocks; EIO after a hang-up.
 * - loop://: what the port sent, at once.
 * - rfc2217:// and socket://: what the server has sent so far, read without
 *   waiting; after the connection is lost, the bytes received before it, then
 *   SIO_WIN_ERROR with ECONNRESET.
 *
 * \code
 * int c;
 * while ((c = SioGetc(0)) >= 0) putchar(c);   // SIO_NO_DATA ends it
 * \endcode
 * \sa SioGets(), SioUnGetc(), SioRxQue() */
VELK_API int VELK_CALL SioGetc(int port);

/** \defgroup SioGets take the bytes that have arrived, without waiting
 * \#include <velk32.h> */
/** \ingroup SioGets
 * Stores up to size bytes that have arrived into buffer without waiting and
 * returns how many. A pushed-back byte is delivered alone, as a result of 1,
 * even when more bytes wait: the next call returns those. Nothing is
 * terminated and no byte value is special.
 *
 * \param port   0 (COM1) to 8 (COM9)
 * \param buffer where the bytes go; may be null only when size is 0
 * \param size   room in buffer; 0 stores nothing and returns 0 (a pushed-back
 *               byte stays)
 * \return the count stored, 0 when none waited, or:
 * \retval SIO_BAD_PORT   port outside 0..8
 * \retval SIO_NOT_OPEN   the port is not open
 * \retval SIO_WIN_ERROR  the read failed, and also (reading nothing, keeping
 *         the pushed-back byte) for a negative size or a null buffer that
 *         would be written
 *
 * Side effects: consumes the pushed-back byte when it delivers it. Makes no
 * status query: the line-error flags stay for SioStatus().
 *
 * \par Platforms
 * - Windows: one ReadFile of size bytes.
 * - POSIX tty: from the library's receive queue and what the kernel holds.
 * - loop://: what the port sent.
 * - rfc2217:// and socket://: what the server has sent so far.
 *
 * \code
 * char buf[256];
 * int n = SioGets(0, buf, sizeof buf);         // never waits
 * if (n > 0) fwrite(buf, 1, (size_t)n, stdout);
 * \endcode
 * \sa SioGetc(), SioUnGetc() */
VELK_API int VELK_CALL SioGets(int port, char *buffer, int size);

/** \defgroup SioUnGetc push one byte back
 * \#include <velk32.h> */
/** \ingroup SioUnGetc
 * Pushes back the low 8 bits of ch, replacing any byte pushed back before; a
 * zero byte clears it (so 0 cannot be pushed back). The next SioGetc() or
 * SioGets() delivers it before anything from the device; SioRxQue() does not
 * count it. The byte survives SioDone() and SioReset(). The same on every
 * platform: nothing reaches the device.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \param ch   the byte, in its low 8 bits; 0 clears the pushed-back byte
 * \retval 0             done
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * \code
 * int c = SioGetc(0);
 * if (c == 0x1B) SioUnGetc(0, c);   // not ours: leave it for the next reader
 * \endcode
 * \sa SioGetc(), SioGets(), SioRxClear() */
VELK_API int VELK_CALL SioUnGetc(int port, int ch);

/** \defgroup SioRxQue count the bytes waiting to be read
 * \#include <velk32.h> */
/** \ingroup SioRxQue
 * Returns the bytes waiting in the device's receive queue, not counting a
 * pushed-back byte.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \return the count; 0 also when the status query fails. Or:
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * Side effects: a status query, which clears the line-error flags unseen.
 *
 * \par Platforms
 * - Windows: cbInQue of ClearCommError.
 * - POSIX tty: the library's receive queue plus what the kernel holds, so a
 *   loop such as while (SioRxQue(p) < n) {} sees every byte that arrives.
 * - loop://: the plug's receive queue.
 * - rfc2217:// and socket://: what the server has sent and the calls have
 *   read so far.
 * \sa SioGets(), SioRxClear() */
VELK_API int VELK_CALL SioRxQue(int port);

/** \defgroup SioRxClear discard everything waiting to be read
 * \#include <velk32.h> */
/** \ingroup SioRxClear
 * Reads and discards everything waiting, the pushed-back byte included, by
 * calling SioGetc() until it returns a negative value (no data, or a failed
 * read whose code stays for SioWinError()). Bytes that keep arriving as fast
 * as they are taken keep it going.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \retval 0             done (also when it stopped at a failed read)
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * Side effects: as SioGetc(): the status queries clear the line-error flags.
 * The same on every platform.
 * \sa SioGetc(), SioRxQue() */
VELK_API int VELK_CALL SioRxClear(int port);

/* ---- Line settings ------------------------------------------------------ */

/** \defgroup SioBaud set the baud rate
 * \#include <velk32.h> */
/** \ingroup SioBaud
 * Sets the baud rate: rate 0..9 is a SIO_BAUD* code, any other value (taken as
 * unsigned) a literal rate. The whole line state is applied; DTR and RTS are
 * not raised again afterwards (SioParms() and SioFlow() do that).
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \param rate a code from velk32_baud (SIO_BAUD9600 is 5), or the rate in
 *             baud (9600, 250000); 10 asks for 10 baud
 * \retval 1             the device accepted it
 * \retval 0             the device refused it; the rate stays recorded and is
 *         offered again by SioParms() and SioFlow()
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * \par Platforms
 * - Windows: SetCommState; the driver decides which rates it takes.
 * - POSIX tty: any rate the driver takes; rates without a B code (250000)
 *   through TCSETS2 on Linux. A rate termios cannot express (0) is refused.
 * - loop://: any rate above 0.
 * - rfc2217://: SET-BAUDRATE; 0 when the server answers another rate.
 *   socket://: recorded, nothing sent: always 1.
 * \sa SioParms(), SioFlow() */
VELK_API int VELK_CALL SioBaud(int port, int rate);

/** \defgroup SioParms set parity, stop bits and data bits
 * \#include <velk32.h> */
/** \ingroup SioParms
 * Sets parity (SIO_*_PARITY), stop bits (SIO_*_STOP_BIT*) and data bits (5..8),
 * then raises DTR and RTS again where SioDTR/SioRTS last raised them. Does not
 * turn parity checking on. The values are not checked: a refused one stays
 * recorded and is offered again by every later line-setting call.
 *
 * \param port     0 (COM1) to 8 (COM9)
 * \param parity   SIO_NO_PARITY, SIO_ODD_PARITY, SIO_EVEN_PARITY,
 *                 SIO_MARK_PARITY or SIO_SPACE_PARITY
 * \param stopBits SIO_ONE_STOP_BIT, SIO_ONE5_STOP_BITS (5 data bits only) or
 *                 SIO_TWO_STOP_BITS
 * \param dataBits SIO_WORD_LENGTH5 to SIO_WORD_LENGTH8 (5 to 8)
 * \retval 0             whether or not the device accepted it: a refusal
 *         does not show
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * \par Platforms
 * - Windows: SetCommState.
 * - POSIX tty: a format termios cannot express is refused and changes
 *   nothing; a pty keeps 8 data bits and no parity whatever is asked.
 * - loop://: checked as a UART driver checks it (1.5 stop bits only with 5
 *   data bits, 2 not with 5).
 * - rfc2217://: SET-DATASIZE, SET-PARITY, SET-STOPSIZE. socket://: recorded
 *   only.
 * \sa SioBaud(), velk32_format */
VELK_API int VELK_CALL SioParms(int port, int parity, int stopBits, int dataBits);

/** \defgroup SioFlow set flow control
 * \#include <velk32.h> */
/** \ingroup SioFlow
 * Sets flow control: 'H' hardware (CTS/RTS), 'S' software (XON/XOFF), 'N' none;
 * any other letter changes nothing but applies the line state again. Then
 * raises DTR and RTS again where SioDTR/SioRTS last raised them.
 *
 * Modes 'S' and 'N' hand RTS back from the driver to the caller and lower it: after
 * SioReset() then SioFlow('N'), RTS is low unless SioRTS('S') raised it.
 * Under 'H' the driver drives RTS, and SioRTS() 'S' and 'C' may be refused.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \param mode SIO_FLOW_HARDWARE, SIO_FLOW_SOFTWARE or SIO_FLOW_NONE
 * \retval 0             whether or not the device accepted it
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * \par Platforms
 * - Windows: SetCommState (fOutxCtsFlow, fRtsControl, fOutX, fInX).
 * - POSIX tty: CRTSCTS, or IXON and IXOFF.
 * - loop://: the plug holds the sender off as a driver does.
 * - rfc2217://: SET-CONTROL for both directions. socket://: recorded only.
 * \sa SioRTS(), SioParms() */
VELK_API int VELK_CALL SioFlow(int port, int mode);

/* ---- Output lines and break --------------------------------------------- */

/** \defgroup SioDTR raise, lower or read back DTR
 * \#include <velk32.h> */
/** \ingroup SioDTR
 * Command 'S' raises DTR, 'C' lowers it: returns 1 when the device did it,
 * else 0. 'R' returns 1 if SioDTR last raised it, else 0 (the device is not asked).
 * Any other letter: SIO_NO_DATA.
 *
 * The request is recorded before the device is asked, even when it refuses,
 * and kept across SioDone() and SioReset(); SioParms() and SioFlow() raise the
 * line again where it was raised. Right after SioReset() 'R' returns 0 though
 * the open raised DTR.
 *
 * A driver that refuses the escape function as a request it does not support
 * (USB CDC devices on Windows) gets the line through the line state instead:
 * DTR's control mode becomes enable ('S') or disable ('C') and the line state
 * is applied; the result is then that apply's. The line state keeps that mode,
 * so later settings leave the line where it was put.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \param cmd  SIO_LINE_SET, SIO_LINE_CLEAR or SIO_LINE_READ
 * \retval 1             'S'/'C' done; 'R': raised by the last request
 * \retval 0             'S'/'C' refused by the device; 'R': not raised
 * \retval SIO_NO_DATA   unknown letter (not SIO_BAD_COMMAND)
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * \par Platforms
 * - Windows: EscapeCommFunction SETDTR/CLRDTR; refused with error 1, 31, 50
 *   or 87, SetCommState with fDtrControl DTR_CONTROL_ENABLE or _DISABLE
 *   (usbser.sys; Wine on a pty, where the result is then 1).
 * - POSIX tty: TIOCMBIS/TIOCMBIC; a pty has no modem lines: 0.
 * - loop://: DTR drives the port's own DSR and DCD.
 * - rfc2217://: SET-CONTROL 8/9 (a server that leaves it unanswered costs one
 *   ack_timeout, once). socket://: 1, nothing done.
 * \sa SioRTS(), SioDSR(), SioDCD() */
VELK_API int VELK_CALL SioDTR(int port, int cmd);

/** \defgroup SioRTS raise, lower or read back RTS
 * \#include <velk32.h> */
/** \ingroup SioRTS
 * As SioDTR for RTS, except that 'R' returns 2 (not 1) when raised: the
 * recorded requests are bit 0 (DTR) and bit 1 (RTS), each read in place.
 * Under hardware flow control the device may refuse 'S' and 'C' (result 0),
 * while the request is still recorded ('R' then returns 2 after 'S'); there
 * the line belongs to the driver and is not set through the line state.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \param cmd  SIO_LINE_SET, SIO_LINE_CLEAR or SIO_LINE_READ
 * \retval 1             'S'/'C' done
 * \retval 2             'R': raised by the last request
 * \retval 0             'S'/'C' refused by the device; 'R': not raised
 * \retval SIO_NO_DATA   unknown letter (not SIO_BAD_COMMAND)
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * \par Platforms
 * - Windows: EscapeCommFunction SETRTS/CLRRTS, refused under SioFlow('H');
 *   refused with error 1, 31, 50 or 87 otherwise, SetCommState with
 *   fRtsControl RTS_CONTROL_ENABLE or _DISABLE (usbser.sys; Wine on a pty).
 * - POSIX tty: TIOCMBIS/TIOCMBIC, refused (EINVAL) under SioFlow('H'); a pty
 *   has no modem lines: 0.
 * - loop://: RTS drives the port's own CTS; refused under SioFlow('H').
 * - rfc2217://: SET-CONTROL 11/12. socket://: 1, nothing done. Both refuse
 *   (EINVAL) under SioFlow('H').
 * \sa SioDTR(), SioCTS(), SioFlow() */
VELK_API int VELK_CALL SioRTS(int port, int cmd);

/** \defgroup SioBrkSig start or end a break
 * \#include <velk32.h> */
/** \ingroup SioBrkSig
 * Command 'A' starts a break, 'C' ends it: returns 1 when the device did it, else 0.
 * 'D' returns 0 and does nothing. Any other letter: SIO_BAD_COMMAND.
 * A break received shows as SIO_CE_BREAK in SioStatus().
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \param cmd  SIO_BREAK_ASSERT, SIO_BREAK_CANCEL or SIO_BREAK_DETECT
 * \retval 1                'A'/'C' done
 * \retval 0                'A'/'C' refused by the device; 'D' always
 * \retval SIO_BAD_COMMAND  unknown letter
 * \retval SIO_BAD_PORT     port outside 0..8
 * \retval SIO_NOT_OPEN     the port is not open
 *
 * \par Platforms
 * - Windows: SetCommBreak/ClearCommBreak.
 * - POSIX tty: TIOCSBRK/TIOCCBRK; a pty sends no break.
 * - loop://: the port receives the break as SIO_CE_BREAK.
 * - rfc2217://: SET-CONTROL 5/6. socket://: 1, nothing done.
 *
 * \code
 * SioBrkSig(0, SIO_BREAK_ASSERT);
 * usleep(250000);                     // a quarter-second break
 * SioBrkSig(0, SIO_BREAK_CANCEL);
 * \endcode
 * \sa SioStatus() */
VELK_API int VELK_CALL SioBrkSig(int port, int cmd);

/* ---- Input lines and error status --------------------------------------- */

/* Each returns its modem-status bit in place (SioCTS 0 or 16, SioDSR 0 or 32,
 * SioRI 0 or 64, SioDCD 0 or 128); 0 when the query fails; SIO_BAD_PORT;
 * SIO_NOT_OPEN. Test the result for nonzero. */
/** \defgroup SioCTS read CTS
 * \#include <velk32.h> */
/** \ingroup SioCTS
 * Reads CTS (clear to send) and returns its bit in place: 16 when on, not 1.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \retval 16            CTS on (SIO_MS_CTS_ON)
 * \retval 0             off, or the query failed
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * \par Platforms
 * - Windows: GetCommModemStatus. POSIX tty: TIOCMGET; a pty reads 0.
 * - loop://: follows the port's own RTS.
 * - rfc2217://: the server's last NOTIFY-MODEMSTATE; off before the first.
 *   socket://: on while connected.
 * \sa SioRTS(), velk32_modem */
VELK_API int VELK_CALL SioCTS(int port);
/** \defgroup SioDSR read DSR
 * \#include <velk32.h> */
/** \ingroup SioDSR
 * Reads DSR (data set ready) and returns its bit in place: 32 when on.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \retval 32            DSR on (SIO_MS_DSR_ON)
 * \retval 0             off, or the query failed
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * \par Platforms
 * - Windows: GetCommModemStatus. POSIX tty: TIOCMGET; a pty reads 0.
 * - loop://: follows the port's own DTR.
 * - rfc2217://: the server's last NOTIFY-MODEMSTATE; off before the first.
 *   socket://: on while connected.
 * \sa SioDTR(), velk32_modem */
VELK_API int VELK_CALL SioDSR(int port);
/** \defgroup SioRI read RI
 * \#include <velk32.h> */
/** \ingroup SioRI
 * Reads RI (ring indicator) and returns its bit in place: 64 when on.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \retval 64            RI on (SIO_MS_RING_ON)
 * \retval 0             off, or the query failed
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * \par Platforms
 * - Windows: GetCommModemStatus. POSIX tty: TIOCMGET; a pty reads 0.
 * - loop://: always off (the plug joins no line to RI).
 * - rfc2217://: the server's last NOTIFY-MODEMSTATE; off before the first.
 *   socket://: off.
 * \sa velk32_modem */
VELK_API int VELK_CALL SioRI(int port);
/** \defgroup SioDCD read DCD
 * \#include <velk32.h> */
/** \ingroup SioDCD
 * Reads DCD (data carrier detect) and returns its bit in place: 128 when on.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \retval 128           DCD on (SIO_MS_RLSD_ON)
 * \retval 0             off, or the query failed
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * \par Platforms
 * - Windows: GetCommModemStatus. POSIX tty: TIOCMGET; a pty reads 0.
 * - loop://: follows the port's own DTR.
 * - rfc2217://: the server's last NOTIFY-MODEMSTATE; off before the first.
 *   socket://: on while connected.
 * \sa SioDTR(), velk32_modem */
VELK_API int VELK_CALL SioDCD(int port);

/** \defgroup SioStatus read and clear the line-error flags
 * \#include <velk32.h> */
/** \ingroup SioStatus
 * Returns the line-error flags (SIO_CE_*) accumulated since the last status
 * query, AND mask, and clears all of them in the device, those masked out
 * too. Every status query clears them (SioReset(), SioRxQue(), SioTxQue(),
 * SioGetc() with nothing pushed back, so SioRxClear() too); only this one
 * hands them over. SioGets() leaves them.
 *
 * \param port 0 (COM1) to 8 (COM9)
 * \param mask the flags wanted: SIO_CE_ALL for every flag, 0 to clear only
 * \return the flags AND mask; 0 also when the query fails. Or:
 * \retval SIO_BAD_PORT  port outside 0..8
 * \retval SIO_NOT_OPEN  the port is not open
 *
 * \par Platforms
 * - Windows: ClearCommError.
 * - POSIX tty: the driver's error counters (TIOCGICOUNT), changes since the
 *   last query; a pty keeps none: 0.
 * - loop://: SIO_CE_RXOVER for bytes lost to a full queue, SIO_CE_BREAK for a
 *   break the port sent.
 * - rfc2217://: the server's NOTIFY-LINESTATE (break, framing, parity,
 *   overrun). socket://: always 0.
 *
 * \code
 * int e = SioStatus(0, SIO_CE_ALL);
 * if (e & (SIO_CE_OVERRUN | SIO_CE_RXOVER)) puts("bytes were lost");
 * \endcode
 * \sa velk32_errors */
VELK_API int VELK_CALL SioStatus(int port, int mask);

/* ---- Library information ------------------------------------------------ */

/** \defgroup SioInfo ask about the library
 * \#include <velk32.h> */
/** \ingroup SioInfo
 * Query 'V': 0x20 (version 2.0: major in the high four bits); '3': 1; 'I': 1;
 * anything else: -1. Needs no port and changes nothing; the same everywhere.
 *
 * \param query SIO_INFO_VERSION, '3' or 'I' (upper case; low 8 bits count)
 * \retval 0x20 'V': version 2.0
 * \retval 1    '3' or 'I'
 * \retval -1   any other letter ('v' too)
 * \sa SioDebug() */
VELK_API int VELK_CALL SioInfo(int query);

/** \defgroup SioDebug hand a value back
 * \#include <velk32.h> */
/** \ingroup SioDebug
 * Returns value unchanged, whatever its sign, and does nothing else.
 *
 * \param value any value
 * \return value
 * \sa SioInfo() */
VELK_API int VELK_CALL SioDebug(int value);

#ifdef __cplusplus
}
#endif

#endif /* VELK32_H */
