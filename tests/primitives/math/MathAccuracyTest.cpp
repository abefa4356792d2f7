// Accuracy of the slot kernels over 2^24 evenly spread patterns of each domain (2^23 for each of
// the logarithm's two paths); the bounds follow from the kernels' algorithms. The figures reached
// are recorded with the test result. MathEveryFloatTest.cpp sweeps every pattern.
#include <gtest/gtest.h>

#include "tests/primitives/math/MathAccuracy.h"

namespace {

using namespace mathtest;

constexpr uint64_t kPoints = uint64_t{1} << 24;

void Record(const char* key, const SweepResult& r)
{
    ::testing::Test::RecordProperty(key, std::to_string(r.maxError) + " at " + std::to_string(r.worst));
}

TEST(MathAccuracy, ExponentialWithinSixUlps)
{
    const SweepResult r = SweepExponential(kPoints);
    Record("max_ulp", r);
    EXPECT_LE(r.maxError, 6.0) << "at " << r.worst;
}

TEST(MathAccuracy, LogarithmWithinSixUlpsOnBothPaths)
{
    for (bool blocked : {false, true}) {
        const SweepResult r = SweepLogarithm(kPoints / 2, blocked);
        Record(blocked ? "blocked_max_ulp" : "four_wide_max_ulp", r);
        EXPECT_LE(r.maxError, 6.0) << (blocked ? "blocked" : "four-wide") << " at " << r.worst;
    }
}

TEST(MathAccuracy, SquareRootFastPathRelativeError)
{
    const SweepResult r = SweepSquareRoot(kPoints);
    Record("max_relative", r);
    EXPECT_LE(r.maxError, 3.5e-7) << "at " << r.worst;
}

}  // namespace
