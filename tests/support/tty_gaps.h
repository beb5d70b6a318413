/* What a system's tty layer lacks that every tty driver has, found by asking
 * a tty there, never by guessing which system it is. qemu-user answers
 * ENOSYS to TCGETS2, TIOCSBRK and TIOCCBRK, drops CMSPAR when it translates
 * termios, and on ppc64el leaves the speed fields of TCGETS unfilled; on
 * real hardware none of this happens, so nothing is skipped there. Each
 * function returns NULL when the system has what it asks about, else the gap
 * in words, naming the request, for a test's skip message. C, for the C
 * programs among the tests too. */
#ifndef VELK_TESTS_SUPPORT_TTY_GAPS_H
#define VELK_TESTS_SUPPORT_TTY_GAPS_H

#ifdef __cplusplus
extern "C" {
#endif

/* The break requests (TIOCSBRK, TIOCCBRK) on fd; a break tried is cleared. */
const char *velk_gap_break(int fd);

/* Mark and space parity: CMSPAR taken and kept by tcsetattr on fd (the
 * line state is restored after). */
const char *velk_gap_cmspar(int fd);

/* The rate record with literal rates (TCGETS2, or TCGETS on powerpc): there,
 * and with its speed fields filled. support/tty_probe.cpp on Linux; NULL
 * elsewhere, where no such record is read. */
const char *velk_gap_rate_record(int fd);

#ifdef __cplusplus
}
#endif

/* In a GoogleTest test: skips it, with the gap as the reason, when there is one. */
#define VELK_SKIP_IF_GAP(gap)                          \
    do {                                               \
        const char *velk_gap_ = (gap);                 \
        if (velk_gap_ != NULL) GTEST_SKIP() << velk_gap_; \
    } while (0)

#endif /* VELK_TESTS_SUPPORT_TTY_GAPS_H */
