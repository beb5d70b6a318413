#!/usr/bin/env python3
"""loopback.py - velk32 from Python with ctypes on Linux: plugs COM1 into the
library's built-in loopback plug (loop://), sends bytes and reads them back
in an asyncio event loop, which watches the port's descriptor
(velk_port_fd) beside whatever else it serves.

    python3 loopback.py [LIBRARY]

LIBRARY is the shared library to load: by default libvelk32.so.2, found
where the system finds libraries (a system-wide install, or a folder named
in LD_LIBRARY_PATH); or a full path such as /opt/velk32/lib/libvelk32.so.2.
On Windows, load the DLL with ctypes.WinDLL("velk32.dll") instead (the
functions use __stdcall there) and leave out velk_map_port and
velk_port_fd, which the DLL does not have: poll with SioGets and a sleep.
Exits 0 when every byte came back unchanged.
"""
import asyncio
import ctypes
import sys

velk = ctypes.CDLL(sys.argv[1] if len(sys.argv) > 1 else "libvelk32.so.2")
# Every function takes and returns C ints; the buffers are declared here so
# that ctypes passes them as pointers.
velk.SioPuts.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int]
velk.SioGets.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int]
velk.velk_map_port.argtypes = [ctypes.c_int, ctypes.c_char_p]

COM1 = 0
SENT = bytes(range(256))


async def exchange():
    loop = asyncio.get_running_loop()
    got = bytearray()
    finished = loop.create_future()
    buf = ctypes.create_string_buffer(100)  # smaller than a piece: reads stop half-way

    def drain():
        # The rule of the descriptor: read until SioGets returns 0, and only
        # then let the loop poll again. The library's own queue can hold
        # bytes the descriptor no longer shows; a read that stops short
        # (this buffer) leaves some there.
        while not finished.done():
            n = velk.SioGets(COM1, buf, len(buf))  # what has arrived, never waiting
            if n < 0:
                finished.set_exception(OSError(velk.SioWinError(), "receiving failed"))
            elif n == 0:
                break
            got.extend(buf.raw[:n])
            if len(got) >= len(SENT):
                finished.set_result(None)

    fd = velk.velk_port_fd(COM1)  # the library's: never read, closed or changed here
    if fd < 0:
        raise OSError(velk.SioWinError(), "no descriptor for COM1")
    loop.add_reader(fd, drain)
    try:
        drain()  # before the first poll, too
        for i in range(0, len(SENT), 64):
            # Writing to loop:// (or a tty) moves nothing into the receive
            # queue; on a network port every call may (it takes in what the
            # server sent), so there drain() would follow each call.
            if velk.SioPuts(COM1, SENT[i:i + 64], 64) != 64:
                raise OSError(velk.SioWinError(), "sending failed")
            await asyncio.sleep(0.01)  # the loop serves the port meanwhile
        await asyncio.wait_for(finished, 5)
    finally:
        loop.remove_reader(fd)
    return bytes(got)


assert velk.SioInfo(ord("V")) == 0x20  # version 2.0
velk.velk_map_port(COM1, b"loop://")
if velk.SioReset(COM1, 1024, 1024) != 0:
    raise OSError(velk.SioWinError(), "COM1 could not be opened")
try:
    got = asyncio.run(exchange())
finally:
    velk.SioDone(COM1)  # the descriptor is stale from here on

if got != SENT:
    sys.exit(f"{len(got)} of {len(SENT)} bytes came back, or changed")
print(f"{len(got)} bytes sent through loop:// came back unchanged, read as the event loop saw them arrive")
