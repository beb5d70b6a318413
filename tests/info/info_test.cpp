// SioInfo and SioDebug: the answers to every query letter, compared on the low
// 8 bits, and the pass-through; neither needs a port nor touches any state.
#include <climits>

#include "support/sim_fixture.h"

namespace velk {
namespace {

class Info : public SimTest {};

TEST_F(Info, AnswersTheKnownLettersAndMinusOneForEveryOther) {
    for (int q = 0; q < 256; ++q) {
        int expected = q == 'V' ? 0x20 : (q == '3' || q == 'I') ? 1 : -1;
        EXPECT_EQ(SioInfo(q), expected) << "query " << q;
        // Only the low 8 bits count.
        EXPECT_EQ(SioInfo(q | 0x5A00), expected) << "query " << q;
        EXPECT_EQ(SioInfo(q | INT_MIN), expected) << "query " << q;
    }
    EXPECT_EQ(SioInfo('v'), -1);
    EXPECT_EQ(SioInfo('i'), -1);
}

TEST_F(Info, VersionIsTwoPointZero) {
    // The answer is derived from the project's version; for 2.0 it is 0x20.
    // Moving the version moves this answer: change both knowingly.
    EXPECT_EQ(SioInfo(SIO_INFO_VERSION), 0x20);
}

TEST_F(Info, DebugHandsItsArgumentBack) {
    for (int v : {0, 1, -1, -5, -103, 12345, INT_MIN, INT_MAX}) EXPECT_EQ(SioDebug(v), v);
}

TEST_F(Info, NeitherTouchesAPortOrTheLastError) {
    sim.setLoopback(0);
    open(0);
    SioUnGetc(0, 'k');
    lastWinError = 99;
    SioInfo('V');
    SioInfo('?');
    SioDebug(-103);
    EXPECT_TRUE(shim.log().empty());
    EXPECT_EQ(SioWinError(), 99);
    EXPECT_EQ(SioGetc(0), 'k');
}

}  // namespace
}  // namespace velk
