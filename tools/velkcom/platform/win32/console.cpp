// The console for Windows: raw key input from a console (line input, echo
// and Ctrl-C processing off, so that every key goes to the port), or bytes
// from a pipe or file when standard input is redirected; waiting without
// blocking through WaitForSingleObject and PeekNamedPipe; a console control
// handler that only raises a flag, so that the terminal loop ends cleanly and
// closes the port.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/platform.h"

namespace velkcom {

namespace {
volatile LONG quitFlag = 0;
HANDLE inHandle = INVALID_HANDLE_VALUE;
DWORD inType = FILE_TYPE_UNKNOWN;
DWORD savedMode = 0;
bool rawActive = false;
int lastError = 0;

BOOL WINAPI onConsoleControl(DWORD) {
    InterlockedExchange(&quitFlag, 1);
    return TRUE;
}

// Key presses waiting in the console, as characters; never blocks.
int readConsoleKeys(unsigned char* buf, int size) {
    int n = 0;
    DWORD pending = 0;
    while (n < size && GetNumberOfConsoleInputEvents(inHandle, &pending) && pending > 0) {
        INPUT_RECORD rec;
        DWORD got = 0;
        if (!ReadConsoleInputA(inHandle, &rec, 1, &got) || got == 0) break;
        if (rec.EventType != KEY_EVENT || !rec.Event.KeyEvent.bKeyDown) continue;
        char c = rec.Event.KeyEvent.uChar.AsciiChar;
        if (c == 0) continue;  // shift, arrows and other keys without a character
        for (WORD r = 0; r < rec.Event.KeyEvent.wRepeatCount && n < size; ++r) {
            buf[n++] = static_cast<unsigned char>(c);
        }
    }
    return n;
}
}  // namespace

bool consoleOpen() {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    inHandle = GetStdHandle(STD_INPUT_HANDLE);
    inType = GetFileType(inHandle);
    if (inType == FILE_TYPE_CHAR && GetConsoleMode(inHandle, &savedMode)) {
        DWORD raw = savedMode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
        if (SetConsoleMode(inHandle, raw)) {
            rawActive = true;
            return true;
        }
    }
    return false;
}

void consoleRestore() {
    if (rawActive) {
        SetConsoleMode(inHandle, savedMode);
        rawActive = false;
    }
}

int consoleRead(unsigned char* buf, int size, int timeoutMs) {
    if (rawActive) {
        DWORD w = WaitForSingleObject(inHandle, static_cast<DWORD>(timeoutMs));
        if (w == WAIT_TIMEOUT) return kConsoleTimeout;
        if (w != WAIT_OBJECT_0) {
            lastError = static_cast<int>(GetLastError());
            return kConsoleError;
        }
        int n = readConsoleKeys(buf, size);
        return n > 0 ? n : kConsoleTimeout;
    }
    DWORD toRead = static_cast<DWORD>(size);
    if (inType == FILE_TYPE_PIPE) {
        DWORD avail = 0;
        if (!PeekNamedPipe(inHandle, nullptr, 0, nullptr, &avail, nullptr)) {
            DWORD e = GetLastError();
            if (e == ERROR_BROKEN_PIPE) return kConsoleEof;
            lastError = static_cast<int>(e);
            return kConsoleError;
        }
        if (avail == 0) {
            Sleep(static_cast<DWORD>(timeoutMs < 10 ? timeoutMs : 10));
            return kConsoleTimeout;
        }
        if (avail < toRead) toRead = avail;
    }
    DWORD got = 0;
    if (!ReadFile(inHandle, buf, toRead, &got, nullptr)) {
        DWORD e = GetLastError();
        if (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) return kConsoleEof;
        lastError = static_cast<int>(e);
        return kConsoleError;
    }
    return got > 0 ? static_cast<int>(got) : kConsoleEof;
}

int consoleError() {
    return lastError;
}

// The DLL cannot wait for a port: standard input is waited for up to pollMs
// (or the time-out, when shorter), and the port is always reported, so that
// the caller looks at it as often as it did when it polled.
int consoleWait(int, bool input, int timeoutMs, int pollMs) {
    const DWORD wait = static_cast<DWORD>(timeoutMs >= 0 && timeoutMs < pollMs ? timeoutMs : pollMs);
    if (!input) {
        Sleep(wait);
        return kReadyPort;
    }
    if (rawActive) {
        const DWORD w = WaitForSingleObject(inHandle, wait);
        if (w == WAIT_OBJECT_0) return kReadyInput | kReadyPort;
        if (w == WAIT_TIMEOUT) return kReadyPort;
        lastError = static_cast<int>(GetLastError());
        return kConsoleError;
    }
    if (inType == FILE_TYPE_PIPE) {
        DWORD avail = 0;
        if (PeekNamedPipe(inHandle, nullptr, 0, nullptr, &avail, nullptr) && avail == 0) {
            Sleep(wait);
            return kReadyPort;
        }
    }
    // Bytes in the pipe, its end or a failure (consoleRead tells which), or a file.
    return kReadyInput | kReadyPort;
}

bool consoleWrite(const unsigned char* buf, int n) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (n > 0) {
        DWORD w = 0;
        if (!WriteFile(out, buf, static_cast<DWORD>(n), &w, nullptr)) {
            lastError = static_cast<int>(GetLastError());
            return false;
        }
        buf += w;
        n -= static_cast<int>(w);
    }
    return true;
}

int consoleColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 80;
}

bool quitRequested() {
    return InterlockedCompareExchange(&quitFlag, 0, 0) != 0;
}

void sleepMs(int ms) {
    Sleep(static_cast<DWORD>(ms));
}

}  // namespace velkcom
