// Loopback.cs - velk32 from C# through [DllImport("velk32")]: sends bytes
// through COM1 and checks that they come back. On Linux COM1 is plugged into
// the library's built-in loopback plug (loop://); on Windows COM1 needs a
// loopback plug fitted (pins 2 and 3 joined).
//
//   mcs Loopback.cs && mono Loopback.exe         (Linux, Mono)
//
// Mono looks for "velk32" as libvelk32.so (among other names) where the
// system looks for libraries; Windows finds velk32.dll beside the program or
// on the PATH. The 32-bit DLL needs a 32-bit process (platform target x86).
// Exits 0 when every byte came back unchanged.
using System;
using System.Runtime.InteropServices;
using System.Threading;

static class Velk32 {
    const string Lib = "velk32";
    // __stdcall in the 32-bit DLL; the one convention there is everywhere else.
    const CallingConvention Conv = CallingConvention.StdCall;

    [DllImport(Lib, CallingConvention = Conv)] public static extern int SioInfo(int cmd);
    [DllImport(Lib, CallingConvention = Conv)] public static extern int SioReset(int port, int inQueue, int outQueue);
    [DllImport(Lib, CallingConvention = Conv)] public static extern int SioDone(int port);
    [DllImport(Lib, CallingConvention = Conv)] public static extern int SioWinError();
    [DllImport(Lib, CallingConvention = Conv)] public static extern int SioPuts(int port, byte[] buffer, int length);
    [DllImport(Lib, CallingConvention = Conv)] public static extern int SioGets(int port, byte[] buffer, int size);
    // Only in the Linux/POSIX library: the device behind a port.
    [DllImport(Lib, CharSet = CharSet.Ansi)] public static extern int velk_map_port(int port, string device);
}

static class Loopback {
    const int COM1 = 0;

    static int Main() {
        int version = Velk32.SioInfo('V');
        Console.WriteLine("velk32 version {0:x}.{1:x}", version >> 4, version & 0xF);
        if (Environment.OSVersion.Platform == PlatformID.Unix)
            Velk32.velk_map_port(COM1, "loop://");
        if (Velk32.SioReset(COM1, 1024, 1024) != 0) {
            Console.Error.WriteLine("COM1 does not open: error {0}", Velk32.SioWinError());
            return 1;
        }
        var sent = new byte[256];
        for (int i = 0; i < sent.Length; ++i) sent[i] = (byte)i;
        var got = new byte[sent.Length];
        int have = 0;
        try {
            if (Velk32.SioPuts(COM1, sent, sent.Length) != sent.Length) {
                Console.Error.WriteLine("sending failed: error {0}", Velk32.SioWinError());
                return 1;
            }
            var buffer = new byte[sent.Length];
            // SioGets never waits: collect what has arrived, for up to 5 s.
            for (int tries = 0; have < got.Length && tries < 500; ++tries) {
                int n = Velk32.SioGets(COM1, buffer, got.Length - have);
                if (n < 0) {
                    Console.Error.WriteLine("receiving failed: error {0}", Velk32.SioWinError());
                    return 1;
                }
                Array.Copy(buffer, 0, got, have, n);
                have += n;
                if (n == 0) Thread.Sleep(10);
            }
        } finally {
            Velk32.SioDone(COM1);
        }
        for (int i = 0; i < sent.Length; ++i) {
            if (have != sent.Length || got[i] != sent[i]) {
                Console.Error.WriteLine("{0} of {1} bytes came back, or changed", have, sent.Length);
                return 1;
            }
        }
        Console.WriteLine("{0} bytes sent through COM1 came back unchanged", have);
        return 0;
    }
}
