/*
 * velk32.h - the public interface of the velk32 serial-port library.
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
 * Usable from C and C++.
 */
#ifndef VELK32_H
#define VELK32_H

/* VELK_CALL is the calling convention of every exported function: __stdcall
 * (the Windows API convention, usable from VB, Delphi and C#) on 32-bit
 * Windows, the platform's C convention everywhere else. */
#if defined(_WIN32) && !defined(_WIN64)
#define VELK_CALL __stdcall
#else
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
#define VELK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes and limits ------------------------------------------- */

#define SIO_PORT_COUNT 9       /* ports 0 (COM1) to 8 (COM9) */

#define SIO_BAD_PORT (-1)      /* port number below 0 or above 8 */
#define SIO_NOT_OPEN (-3)      /* the port is not open */
#define SIO_NO_DATA (-100)     /* SioGetc: no byte waiting; SioDTR/SioRTS: unknown command */
#define SIO_BAD_COMMAND (-101) /* SioBrkSig: unknown command */
#define SIO_WIN_ERROR (-103)   /* a device call failed: SioWinError gives its code */

/* ---- Baud-rate codes for SioBaud (any larger value is a literal rate) ---- */

#define SIO_BAUD110 0
#define SIO_BAUD300 1
#define SIO_BAUD1200 2
#define SIO_BAUD2400 3
#define SIO_BAUD4800 4
#define SIO_BAUD9600 5
#define SIO_BAUD19200 6
#define SIO_BAUD38400 7
#define SIO_BAUD57600 8
#define SIO_BAUD115200 9

/* ---- Character format codes for SioParms (the platform's own values) ---- */

#define SIO_NO_PARITY 0
#define SIO_ODD_PARITY 1
#define SIO_EVEN_PARITY 2
#define SIO_MARK_PARITY 3
#define SIO_SPACE_PARITY 4

#define SIO_ONE_STOP_BIT 0
#define SIO_ONE5_STOP_BITS 1 /* only with 5 data bits */
#define SIO_TWO_STOP_BITS 2

#define SIO_WORD_LENGTH5 5
#define SIO_WORD_LENGTH6 6
#define SIO_WORD_LENGTH7 7
#define SIO_WORD_LENGTH8 8

/* ---- Command letters ---------------------------------------------------- */

#define SIO_FLOW_HARDWARE 'H' /* SioFlow: CTS/RTS handshaking */
#define SIO_FLOW_SOFTWARE 'S' /* SioFlow: XON/XOFF */
#define SIO_FLOW_NONE 'N'     /* SioFlow: no flow control */

#define SIO_LINE_SET 'S'   /* SioDTR/SioRTS: raise the line */
#define SIO_LINE_CLEAR 'C' /* SioDTR/SioRTS: lower the line */
#define SIO_LINE_READ 'R'  /* SioDTR/SioRTS: read back what was last asked */

#define SIO_BREAK_ASSERT 'A' /* SioBrkSig: start sending break */
#define SIO_BREAK_CANCEL 'C' /* SioBrkSig: stop sending break */
#define SIO_BREAK_DETECT 'D' /* SioBrkSig: does nothing, returns 0 */

#define SIO_INFO_VERSION 'V' /* SioInfo: 0x20, version 2.0 */

/* ---- Line-error flags returned by SioStatus ---------------------------- */

#define SIO_CE_RXOVER 0x0001   /* receive queue overflowed: bytes were lost */
#define SIO_CE_OVERRUN 0x0002  /* hardware overrun: bytes were lost */
#define SIO_CE_RXPARITY 0x0004 /* parity error */
#define SIO_CE_FRAME 0x0008    /* framing error */
#define SIO_CE_BREAK 0x0010    /* break received */
#define SIO_CE_TXFULL 0x0100   /* transmit queue full */
#define SIO_CE_ALL (-1)        /* mask for every flag */

/* ---- Modem-status bits returned by SioCTS/SioDSR/SioRI/SioDCD ---------- */

#define SIO_MS_CTS_ON 0x10
#define SIO_MS_DSR_ON 0x20
#define SIO_MS_RING_ON 0x40
#define SIO_MS_RLSD_ON 0x80 /* DCD */

/* ---- Port management ---------------------------------------------------- */

/* Opens port (0..8 = COM1..COM9) exclusively and puts it in the default line
 * state: 19200 baud, 8 data bits, no parity, one stop bit, DTR and RTS raised,
 * no flow control, reads that never wait, writes without time limit. inQueue
 * and outQueue are the queue sizes asked of the device. A port that is already
 * open is first closed as SioDone would, then opened anew.
 * Returns 0; SIO_BAD_PORT; SIO_WIN_ERROR when the open or a configuration step
 * fails (after an open that succeeded the port stays open: close it with
 * SioDone). */
VELK_API int VELK_CALL SioReset(int port, int inQueue, int outQueue);

/* Gives the device back the time-outs it had when opened and closes it.
 * Returns 1 when closed, 0 when the close failed (the port counts as closed
 * either way); SIO_BAD_PORT; SIO_NOT_OPEN. */
VELK_API int VELK_CALL SioDone(int port);

/* Returns the platform's error code of the device call that failed in the last
 * call that returned SIO_WIN_ERROR (0 before any). Checks and changes nothing. */
VELK_API int VELK_CALL SioWinError(void);

/* ---- Transmit ----------------------------------------------------------- */

/* Sends the low 8 bits of ch, waiting until the device has taken it.
 * Returns 0; SIO_BAD_PORT; SIO_NOT_OPEN; SIO_WIN_ERROR. */
VELK_API int VELK_CALL SioPutc(int port, int ch);

/* Sends length bytes from buffer, unchanged, waiting until the device has taken
 * them. Returns the count the device reports written; SIO_BAD_PORT;
 * SIO_NOT_OPEN; SIO_WIN_ERROR when the write fails, and also (sending nothing)
 * for a negative length or a null buffer with a positive length. */
VELK_API int VELK_CALL SioPuts(int port, const char *buffer, int length);

/* Returns the bytes still waiting in the device's transmit queue, 0 when the
 * status query fails; SIO_BAD_PORT; SIO_NOT_OPEN. Clears the line-error flags. */
VELK_API int VELK_CALL SioTxQue(int port);

/* Discards output still waiting in the device. Returns 0; SIO_BAD_PORT;
 * SIO_NOT_OPEN. */
VELK_API int VELK_CALL SioTxClear(int port);

/* ---- Receive ------------------------------------------------------------ */

/* Returns the next byte (0..255) without waiting: the pushed-back byte first,
 * else one from the device. SIO_NO_DATA when none is waiting; SIO_BAD_PORT;
 * SIO_NOT_OPEN; SIO_WIN_ERROR when the status query or the read fails. Clears
 * the line-error flags unless it returned the pushed-back byte. */
VELK_API int VELK_CALL SioGetc(int port);

/* Stores up to size bytes that have arrived into buffer without waiting and
 * returns how many (0 when none). A pushed-back byte is delivered alone, as a
 * result of 1. Nothing is terminated. Returns SIO_BAD_PORT; SIO_NOT_OPEN;
 * SIO_WIN_ERROR when the read fails, and also (reading nothing, keeping the
 * pushed-back byte) for a negative size or a null buffer that would be written.
 * A size of 0 stores nothing and returns 0. Leaves the line-error flags. */
VELK_API int VELK_CALL SioGets(int port, char *buffer, int size);

/* Pushes back the low 8 bits of ch, replacing any byte pushed back before; a
 * zero byte clears it. The byte survives SioDone and SioReset.
 * Returns 0; SIO_BAD_PORT; SIO_NOT_OPEN. */
VELK_API int VELK_CALL SioUnGetc(int port, int ch);

/* Returns the bytes waiting in the device's receive queue (not counting a
 * pushed-back byte), 0 when the status query fails; SIO_BAD_PORT;
 * SIO_NOT_OPEN. Clears the line-error flags. */
VELK_API int VELK_CALL SioRxQue(int port);

/* Reads and discards everything waiting, the pushed-back byte included.
 * Returns 0; SIO_BAD_PORT; SIO_NOT_OPEN. */
VELK_API int VELK_CALL SioRxClear(int port);

/* ---- Line settings ------------------------------------------------------ */

/* Sets the baud rate: rate 0..9 is a SIO_BAUD* code, any other value (taken as
 * unsigned) a literal rate. Returns 1 when the device accepted it, 0 when not
 * (the rate stays recorded and is offered again by SioParms and SioFlow);
 * SIO_BAD_PORT; SIO_NOT_OPEN. */
VELK_API int VELK_CALL SioBaud(int port, int rate);

/* Sets parity (SIO_*_PARITY), stop bits (SIO_*_STOP_BIT*) and data bits (5..8),
 * then raises DTR and RTS again where SioDTR/SioRTS last raised them. Does not
 * turn parity checking on. Returns 0 whether or not the device accepted it;
 * SIO_BAD_PORT; SIO_NOT_OPEN. */
VELK_API int VELK_CALL SioParms(int port, int parity, int stopBits, int dataBits);

/* Sets flow control: 'H' hardware (CTS/RTS), 'S' software (XON/XOFF), 'N' none;
 * any other letter changes nothing but applies the line state again. Then
 * raises DTR and RTS again where SioDTR/SioRTS last raised them.
 * Returns 0; SIO_BAD_PORT; SIO_NOT_OPEN. */
VELK_API int VELK_CALL SioFlow(int port, int mode);

/* ---- Output lines and break --------------------------------------------- */

/* 'S' raises DTR, 'C' lowers it: returns 1 when the device did it, else 0.
 * 'R' returns 1 if SioDTR last raised it, else 0 (the device is not asked).
 * Any other letter: SIO_NO_DATA. Also SIO_BAD_PORT; SIO_NOT_OPEN. */
VELK_API int VELK_CALL SioDTR(int port, int cmd);

/* As SioDTR for RTS, except that 'R' returns 2 (not 1) when raised. Under
 * hardware flow control the device may refuse 'S' and 'C' (result 0). */
VELK_API int VELK_CALL SioRTS(int port, int cmd);

/* 'A' starts a break, 'C' ends it: returns 1 when the device did it, else 0.
 * 'D' returns 0 and does nothing. Any other letter: SIO_BAD_COMMAND.
 * Also SIO_BAD_PORT; SIO_NOT_OPEN. */
VELK_API int VELK_CALL SioBrkSig(int port, int cmd);

/* ---- Input lines and error status --------------------------------------- */

/* Each returns its modem-status bit in place (SioCTS 0 or 16, SioDSR 0 or 32,
 * SioRI 0 or 64, SioDCD 0 or 128); 0 when the query fails; SIO_BAD_PORT;
 * SIO_NOT_OPEN. Test the result for nonzero. */
VELK_API int VELK_CALL SioCTS(int port);
VELK_API int VELK_CALL SioDSR(int port);
VELK_API int VELK_CALL SioRI(int port);
VELK_API int VELK_CALL SioDCD(int port);

/* Returns the line-error flags (SIO_CE_*) accumulated since the last status
 * query, AND mask, and clears all of them in the device; 0 when the query
 * fails; SIO_BAD_PORT; SIO_NOT_OPEN. */
VELK_API int VELK_CALL SioStatus(int port, int mask);

/* ---- Library information ------------------------------------------------ */

/* 'V': 0x20 (version 2.0: major in the high four bits); '3': 1; 'I': 1;
 * anything else: -1. */
VELK_API int VELK_CALL SioInfo(int query);

/* Returns value unchanged. */
VELK_API int VELK_CALL SioDebug(int value);

#ifdef __cplusplus
}
#endif

#endif /* VELK32_H */
