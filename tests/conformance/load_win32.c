/*
 * The conformance program on Windows: loads velk32.dll with LoadLibrary,
 * checks that each of the 25 names is exported at its ordinal (the address
 * by name and by ordinal must be the same) and that nothing else is exported
 * under a decorated name or past ordinal 25, then runs the checks on COM1 and
 * COM2 (joined by a null-modem cable, or under Wine by a pty pair mapped in
 * the registry) with COM9 as the missing device. Under Wine it takes Wine's
 * expectations; Wine is recognised by ntdll's wine_get_version export.
 * Usage: conformance.exe [path of velk32.dll]
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "conformance.h"

/* Opens COM1 once more while the library holds it: 1 when refused. */
static int second_open(void) {
    HANDLE h = CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(h);
    return 0;
}

static unsigned long now_ms(void) {
    return (unsigned long)GetTickCount();
}

static void pause_ms(void) {
    Sleep(1);
}

static int running_under_wine(void) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

/* Fills api from the DLL, checking every name against its ordinal. */
static int load_exports(HMODULE dll, struct velk_api *api) {
    FARPROC slots[VELK_EXPORT_COUNT];
    char what[96];
    int missing = 0;
    int i;
    for (i = 0; i < VELK_EXPORT_COUNT; ++i) {
        FARPROC by_name = GetProcAddress(dll, velk_export_names[i]);
        FARPROC by_ordinal = GetProcAddress(dll, MAKEINTRESOURCEA(i + 1));
        snprintf(what, sizeof what, "%s is exported by name", velk_export_names[i]);
        velk_check(by_name != NULL, what, by_name != NULL, 1);
        snprintf(what, sizeof what, "%s is ordinal %d", velk_export_names[i], i + 1);
        velk_check(by_name == by_ordinal, what, by_name == by_ordinal, 1);
        slots[i] = by_name;
        missing += by_name == NULL;
    }
    velk_check(GetProcAddress(dll, MAKEINTRESOURCEA(VELK_EXPORT_COUNT + 1)) == NULL,
               "no export past ordinal 25", 0, 0);
    velk_check(GetProcAddress(dll, "SioBaud@8") == NULL && GetProcAddress(dll, "_SioBaud@8") == NULL,
               "no decorated names", 0, 0);
    velk_check(GetProcAddress(dll, "velk_map_port") == NULL && GetProcAddress(dll, "velk_wait") == NULL &&
                   GetProcAddress(dll, "velk_port_fd") == NULL,
               "no POSIX extension", 0, 0);
    /* The table holds the 25 pointers in ordinal order and nothing else. */
    typedef char table_matches[sizeof *api == sizeof slots ? 1 : -1];
    (void)sizeof(table_matches);
    memcpy(api, slots, sizeof slots);
    return missing;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "velk32.dll";
    struct velk_api api;
    struct velk_platform platform;
    HMODULE dll;

    setvbuf(stdout, NULL, _IONBF, 0);
    dll = LoadLibraryA(path);
    if (dll == NULL) {
        printf("FAIL cannot load %s: error %lu\n", path, (unsigned long)GetLastError());
        return 2;
    }
    if (load_exports(dll, &api) != 0) {
        printf("conformance: %d failed (exports missing)\n", velk_failures());
        return 1;
    }

    platform.expect = running_under_wine() ? &velk_expect_wine : &velk_expect_windows;
    platform.port_a = 0;      /* COM1 */
    platform.port_b = 1;      /* COM2 */
    platform.absent_port = 8; /* COM9 */
    platform.second_open = second_open;
    platform.now_ms = now_ms;
    platform.pause = pause_ms;
    velk_conformance(&api, &platform);
    FreeLibrary(dll);
    return velk_failures() == 0 ? 0 : 1;
}
