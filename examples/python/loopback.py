#!/usr/bin/env python3
"""loopback.py - velk32 from Python with ctypes on Linux: plugs COM1 into the
library's built-in loopback plug (loop://), sends bytes and reads them back.

    python3 loopback.py [LIBRARY]

LIBRARY is the shared library to load: by default libvelk32.so.2, found
where the system finds libraries (a system-wide install, or a folder named
in LD_LIBRARY_PATH); or a full path such as /opt/velk32/lib/libvelk32.so.2.
On Windows, load the DLL with ctypes.WinDLL("velk32.dll") instead (the
functions use __stdcall there) and leave out velk_map_port, which the DLL
does not have. Exits 0 when every byte came back unchanged.
"""
import ctypes
import sys
import time

velk = ctypes.CDLL(sys.argv[1] if len(sys.argv) > 1 else "libvelk32.so.2")
# Every function takes and returns C ints; the buffers are declared here so
# that ctypes passes them as pointers.
velk.SioPuts.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int]
velk.SioGets.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int]
velk.velk_map_port.argtypes = [ctypes.c_int, ctypes.c_char_p]

COM1 = 0
assert velk.SioInfo(ord("V")) == 0x20  # version 2.0
velk.velk_map_port(COM1, b"loop://")
if velk.SioReset(COM1, 1024, 1024) != 0:
    raise OSError(velk.SioWinError(), "COM1 could not be opened")
try:
    sent = bytes(range(256))
    if velk.SioPuts(COM1, sent, len(sent)) != len(sent):
        raise OSError(velk.SioWinError(), "sending failed")
    got = b""
    buf = ctypes.create_string_buffer(256)
    deadline = time.monotonic() + 5
    while len(got) < len(sent) and time.monotonic() < deadline:
        n = velk.SioGets(COM1, buf, len(buf))  # what has arrived, without waiting
        if n < 0:
            raise OSError(velk.SioWinError(), "receiving failed")
        got += buf.raw[:n]
        if n == 0:
            time.sleep(0.01)
finally:
    velk.SioDone(COM1)

if got != sent:
    sys.exit(f"{len(got)} of {len(sent)} bytes came back, or changed")
print(f"{len(got)} bytes sent through loop:// came back unchanged")
