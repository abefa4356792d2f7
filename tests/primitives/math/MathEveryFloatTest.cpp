// Accuracy of the slot kernels over every float of each domain, with the bounds of the 2^24-point
// sweeps. Minutes of work: registered under the "exhaustive" label and the Exhaustive test
// configuration only, so that ordinary runs and CI leave it out.
#include <gtest/gtest.h>

#include <iostream>

#include "tests/primitives/math/MathAccuracy.h"

namespace {

using namespace mathtest;

constexpr uint64_t kEvery = ~uint64_t{0};

void Report(const char* what, const SweepResult& r)
{
    std::cout << what << ": max " << r.maxError << " at " << r.worst << " over " << r.points << " floats\n";
}

TEST(MathEveryFloat, Exponential)
{
    const SweepResult r = SweepExponential(kEvery);
    Report("exp ulp", r);
    EXPECT_LE(r.maxError, 6.0);
}

TEST(MathEveryFloat, LogarithmFourWide)
{
    const SweepResult r = SweepLogarithm(kEvery, false);
    Report("ln four-wide ulp", r);
    EXPECT_LE(r.maxError, 6.0);
}

TEST(MathEveryFloat, LogarithmBlocked)
{
    const SweepResult r = SweepLogarithm(kEvery, true);
    Report("ln blocked ulp", r);
    EXPECT_LE(r.maxError, 6.0);
}

TEST(MathEveryFloat, SquareRootFastPath)
{
    const SweepResult r = SweepSquareRoot(kEvery);
    Report("sqrt fast path relative error", r);
    EXPECT_LE(r.maxError, 3.5e-7);
}

}  // namespace
