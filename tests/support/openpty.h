// openpty() from whichever header the system has it in: <pty.h> (Linux),
// <libutil.h> (FreeBSD) or <util.h> (macOS, NetBSD, OpenBSD).
#ifndef VELK_TESTS_SUPPORT_OPENPTY_H
#define VELK_TESTS_SUPPORT_OPENPTY_H

#if __has_include(<pty.h>)
#include <pty.h>
#elif __has_include(<libutil.h>)
#include <libutil.h>
#else
#include <util.h>
#endif

#endif  // VELK_TESTS_SUPPORT_OPENPTY_H
