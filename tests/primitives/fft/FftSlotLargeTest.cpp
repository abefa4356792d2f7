// A tone through the deepest level of the large-order algorithm of each slot family: slot 1 at
// complex order 25 (256 rows, each a level of 8 rows of 2^14), slots 2 and 3 at 26 (256 rows, each
// 16 rows of 2^14). Heavy: labelled large.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/fft/FftSpec.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace {

class SlotFftLargeTone : public coretest::ForcedSlotTest {};

TEST_P(SlotFftLargeTone, ReachesTheDepthOneLevel)
{
    const int32_t slot = DispatchIndex;
    if (slot == 0 || slot == 3) GTEST_SKIP() << "slot 0 is the generic tests' concern; slot 3 runs slot 2's source";
    const int32_t order = slot == 1 ? 25 : 26;
    const int64_t n = int64_t{1} << order, k0 = 1234567;
    FftSpec* spec = nullptr;
    ASSERT_EQ(CreateComplexFft(&spec, order, FftScaleForward, 0), StatusOk);
    ASSERT_NE(spec->columnTwiddles[1], nullptr) << "no depth-1 level";
    std::vector<float> x(static_cast<size_t>(2 * n));
    const double step = 6.283185307179586 / static_cast<double>(n);
    for (int64_t t = 0; t < n; ++t) {
        const double angle = step * static_cast<double>((t * k0) & (n - 1));
        x[static_cast<size_t>(2 * t)] = static_cast<float>(std::cos(angle));
        x[static_cast<size_t>(2 * t + 1)] = static_cast<float>(std::sin(angle));
    }
    ASSERT_EQ(ForwardComplexFft(x.data(), x.data(), spec, nullptr), StatusOk);
    // 1 at bin k0 (scaled by 1/n once, not once per level), 0 elsewhere: the relative RMS error of
    // the other tests.
    double error = 0;
    for (int64_t k = 0; k < n; ++k) {
        const double re = x[static_cast<size_t>(2 * k)] - (k == k0 ? 1.0 : 0.0), im = x[static_cast<size_t>(2 * k + 1)];
        error += re * re + im * im;
    }
    EXPECT_LT(std::sqrt(error), 1e-7 * (order + 4));
    EXPECT_NEAR(x[static_cast<size_t>(2 * k0)], 1.0f, 1e-5f);
    EXPECT_EQ(DestroyComplexFft(spec), StatusOk);
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(SlotFftLargeTone);

}  // namespace
