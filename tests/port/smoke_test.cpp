#include "support/sim_fixture.h"
namespace velk { namespace {
class Smoke : public SimTest {};
TEST_F(Smoke, OpensAndCloses) {
    sim.setLoopback(0);
    open(0);
    EXPECT_EQ(SioPutc(0, 'x'), 0);
    EXPECT_EQ(SioGetc(0), 'x');
    EXPECT_EQ(SioDone(0), 1);
}
}}
