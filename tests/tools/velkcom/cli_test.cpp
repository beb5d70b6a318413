// velkcom's option and value parsing.
#include <gtest/gtest.h>

#include "cli.h"
#include "velk32.h"

namespace velkcom {
namespace {

TEST(VelkcomOptions, ParsesValuesInBothFormsAndRejectsTheRest) {
    const std::vector<OptionDef> defs = {{"port", true}, {"verbose", false}};
    Options a;
    std::string err;
    ASSERT_TRUE(a.parse({"--port", "3", "--verbose"}, defs, err)) << err;
    EXPECT_EQ(a.value("port"), "3");
    EXPECT_TRUE(a.has("verbose"));
    EXPECT_FALSE(a.help());
    Options b;
    ASSERT_TRUE(b.parse({"--port=4", "-h"}, defs, err)) << err;
    EXPECT_EQ(b.value("port"), "4");
    EXPECT_TRUE(b.help());

    struct Bad {
        std::vector<std::string> args;
        const char* why;
    } bad[] = {{{"--bogus"}, "unknown option '--bogus'"},
               {{"--port"}, "needs a value"},
               {{"--port", "1", "--port", "2"}, "given twice"},
               {{"--verbose=yes"}, "takes no value"},
               {{"stray"}, "unexpected argument 'stray'"},
               {{"-p"}, "unexpected argument"}};
    for (const Bad& c : bad) {
        Options o;
        std::string why;
        EXPECT_FALSE(o.parse(c.args, defs, why)) << c.why;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

TEST(VelkcomOptions, NumbersAreWholeAndInRange) {
    long long v = -7;
    EXPECT_TRUE(parseInt("8", 0, 8, v));
    EXPECT_EQ(v, 8);
    for (const char* t : {"9", "-1", "", "3x", "0x3", " 3", "+", "99999999999999999999"}) {
        EXPECT_FALSE(parseInt(t, 0, 8, v)) << t;
    }
    EXPECT_EQ(v, 8) << "a rejected value leaves the output alone";
}

TEST(VelkcomOptions, LineFormatsGiveTheLibraryCodes) {
    LineFormat f;
    ASSERT_TRUE(parseLineFormat("7e2", f));
    EXPECT_EQ(f.dataBits, 7);
    EXPECT_EQ(f.parity, SIO_EVEN_PARITY);
    EXPECT_EQ(f.stopBits, SIO_TWO_STOP_BITS);
    ASSERT_TRUE(parseLineFormat("5S1.5", f));
    EXPECT_EQ(f.parity, SIO_SPACE_PARITY);
    EXPECT_EQ(f.stopBits, SIO_ONE5_STOP_BITS);
    ASSERT_TRUE(parseLineFormat("8M1", f));
    EXPECT_EQ(f.parity, SIO_MARK_PARITY);
    for (const char* t : {"9N1", "4N1", "8X1", "8N3", "8N1.5", "5N2", "8N", "8N1 ", ""}) {
        EXPECT_FALSE(parseLineFormat(t, f)) << t;
    }
    char flow = 0;
    EXPECT_TRUE(parseFlow("h", flow));
    EXPECT_EQ(flow, 'H');
    EXPECT_FALSE(parseFlow("X", flow));
    EXPECT_FALSE(parseFlow("HS", flow));
}

}  // namespace
}  // namespace velkcom
