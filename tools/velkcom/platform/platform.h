// The few things velkcom needs from the operating system beyond the serial
// library, behind one small interface so that the commands themselves stay
// free of platform code. Each group below is one file of the same name in
// platform/posix/ and in platform/win32/, and CMake builds one of the two
// folders: console.cpp (terminal input and output, waiting on the console
// and a port together, sleeping, quit signals),
// errtext.cpp (error codes in words), portmap.cpp (pointing a port number at
// a device path, which only the POSIX library can do), netinfo.cpp (a
// network port's unanswered requests), loopback.cpp (a UART's internal
// loopback). The port list has its own header, ports.h, and file, ports.cpp.
#ifndef VELKCOM_PLATFORM_H
#define VELKCOM_PLATFORM_H

#include <string>

namespace velkcom {

// ---- Console (console.cpp) -----------------------------------------------

// What consoleRead found.
constexpr int kConsoleTimeout = 0;   // nothing arrived within the time given
constexpr int kConsoleEof = -1;      // standard input is at its end
constexpr int kConsoleError = -2;    // reading failed (errno / GetLastError in consoleError)

// Prepares standard input and output for the terminal: binary output, and,
// when standard input is a terminal, raw input (no echo, no line editing, no
// signal keys) so that every key goes to the port. Returns whether standard
// input is an interactive terminal. consoleRestore undoes it; it is safe to
// call more than once.
bool consoleOpen();
void consoleRestore();

// Waits up to timeoutMs for standard input and reads what is there, at most
// size bytes. Returns the count (> 0), kConsoleTimeout, kConsoleEof or
// kConsoleError.
int consoleRead(unsigned char* buf, int size, int timeoutMs);
// The platform's code for the last kConsoleError.
int consoleError();

// What consoleWait found: a mask of these (0 when the time ran out or a quit
// signal came), or kConsoleError.
constexpr int kReadyInput = 1;  // standard input has something, or its end
constexpr int kReadyPort = 2;   // the port has something to read or to report

// Sleeps until standard input (when `input`) or the open port has something,
// a quit signal comes, or timeoutMs passes (negative: no limit), and takes
// nothing. On POSIX it sleeps in one poll() on standard input and the port's
// descriptor (velk_port_fd), once velk_wait(port, 0) has found the library's
// own queues empty: no CPU while both are silent. The DLL has no wait: on
// Windows it waits for standard input for at most pollMs and then reports
// the port as ready, so that the caller looks at it, as a polling loop does.
int consoleWait(int port, bool input, int timeoutMs, int pollMs);

// Writes all n bytes to standard output and flushes. False when it fails.
bool consoleWrite(const unsigned char* buf, int n);

// The width of the terminal standard output shows on, in columns; 0 when
// standard output is not a terminal (a pipe, a file).
int consoleColumns();

// True once the user or the system asked the program to stop (SIGINT,
// SIGTERM, SIGHUP; Ctrl-C / Ctrl-Break / console close on Windows) after
// consoleOpen installed the handlers.
bool quitRequested();

// Sleeps for about ms milliseconds.
void sleepMs(int ms);

// ---- Error codes in words (errtext.cpp) ------------------------------------

// The meaning of an error code that SioWinError returned (an errno value from
// the POSIX library, a Windows error code from the DLL).
std::string errorText(int code);

// ---- Port mapping (portmap.cpp) -------------------------------------------

// Whether this build can point a port at a device path (--device).
bool deviceOptionSupported();

// The device the self-test uses when none is given: the built-in loopback
// plug where the library has one, otherwise empty (the port is used as it is).
std::string defaultSelftestDevice();

// Points port at device ("loop://" for the built-in loopback plug). Returns
// the library's result (0, or SIO_BAD_PORT); -1 where unsupported.
int mapPort(int port, const std::string& device);

// How many requests the server of an open network port has left unanswered
// so far (velk_port_unanswered; netinfo.cpp); 0 for other ports and on
// Windows.
int unansweredRequests(int port);

// The device a port opens when nothing was mapped, for messages
// ("/dev/ttyS0" for COM1 on POSIX, "COM1" on Windows).
std::string defaultDeviceName(int port);

// ---- A UART's internal loopback (loopback.cpp) -----------------------------

// Puts the device at path into its internal loopback (TX to RX, RTS to CTS,
// DTR to DSR, OUT1 to RI, OUT2 to DCD), with DTR and RTS raised, and holds it
// until loopbackLeave. Returns empty, or why the driver or system refuses.
std::string loopbackEnter(const std::string& path);
// Raises or lowers the chip's OUT1 output; false when it cannot.
bool loopbackSetOut1(bool on);
// Puts the modem-control bits back as loopbackEnter found them.
void loopbackLeave();

}  // namespace velkcom

#endif  // VELKCOM_PLATFORM_H
