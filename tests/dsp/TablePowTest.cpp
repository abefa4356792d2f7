#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "dsp/TablePow.h"

namespace {

TEST(TablePowTest, TableEntriesAreTheNearestDoubles)
{
    EXPECT_EQ(TablePowBase10Table[0], 1.0);
    EXPECT_EQ(TablePowBase10Table[200], 10.0);
    for (int k = 0; k <= 200; ++k) {
        const long double exact = std::pow(10.0L, static_cast<long double>(k) / 200.0L);
        const double entry = TablePowBase10Table[k];
        // No neighbouring double is closer to the exact value.
        const long double error = std::fabs(static_cast<long double>(entry) - exact);
        EXPECT_LE(error, std::fabs(static_cast<long double>(std::nextafter(entry, 0.0)) - exact)) << k;
        EXPECT_LE(error, std::fabs(static_cast<long double>(std::nextafter(entry, 100.0)) - exact)) << k;
    }
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(TablePowBase2Table[k], std::ldexp(1.0, k));
    }
}

TEST(TablePowTest, Cases)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double Base, Exponent, Expected;
    } cases[] = {
        {10, 0, 1.0},
        {10, 1, 10.0},
        {10, -1, 0.1},                                 // k = 200, divided twice
        {10, -4.8, TablePowBase10Table[40] / 1e5},     // n = -4, k = 40
        {10, 0.0625, TablePowBase10Table[13]},         // 12.5 rounds up
        {10, 2.5, TablePowBase10Table[100] * 100.0},
        {10, -1638.4, 0.0},                            // the silence level ends at zero
        {10, 1e30, inf},                               // stops once infinite
        {10, inf, inf},
        {10, -inf, 0.0},
        {10, nan, 0.0},
        {3, 2, 0.0},
        {2, 3.4, 8.0},
        {2, 3.5, 16.0},
        {2, -0.4, 1.0},
        {2, 15.49, 32768.0},
        {2, 15.5, 0.0},  // past the table: no result
        {2, -1, 0.0},
        {2, nan, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Base << " ^ " << c.Exponent);
        const double got = TablePowDouble(c.Base, c.Exponent);
        if (std::isinf(c.Expected) || c.Expected == 0.0) {
            EXPECT_EQ(got, c.Expected);
        } else {
            EXPECT_NEAR(got, c.Expected, std::fabs(c.Expected) * 1e-14);
        }
    }
    EXPECT_EQ(TablePow(10.0f, 1.0f), 10.0f);
    EXPECT_EQ(TablePow(3.0f, 1.0f), 0.0f);
}

// Against the double-precision power: the table resolves the exponent's fraction in 1/200, so a
// gain is within half a step (10^(1/400), about 0.58 %) of the exact one, and exactly the power of
// the rounded exponent up to the rounding of the scaling.
TEST(TablePowTest, FollowsTheDoublePowerAcrossTheLevelRange)
{
    for (int centi = -12000; centi <= 2400; centi += 7) {
        const double dB = centi / 100.0;
        const double exponent = dB / 20.0;
        const double got = TablePowDouble(10.0, exponent);
        const double exact = std::pow(10.0, exponent);
        ASSERT_LE(std::fabs(got / exact - 1.0), std::pow(10.0, 1.0 / 400.0) - 1.0 + 1e-12) << dB;
        // Away from a tie between two steps, where the scaling's last bit decides.
        const double scaled = exponent * 200.0;
        if (std::fabs(scaled - std::floor(scaled) - 0.5) > 1e-6) {
            ASSERT_NEAR(got / std::pow(10.0, std::floor(scaled + 0.5) / 200.0), 1.0, 1e-13) << dB;
        }
        const float narrow = TablePow(10.0f, static_cast<float>(exponent));
        ASSERT_NEAR(narrow / exact, 1.0, 0.0059) << dB;
    }
}

}  // namespace
