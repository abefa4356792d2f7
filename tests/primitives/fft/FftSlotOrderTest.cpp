// The slot transforms of every order and flag against the double references, each reference
// computed once for all slots, and against their twin slots bit for bit. Orders up to 18 run with
// the other tests; 19 to 23, heavy under the sanitizers, in the program labelled large.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/primitives/fft/FftReference.h"
#include "tests/primitives/fft/FftSlotSupport.h"

namespace {

using namespace fftref;
using namespace fftslot;

// What one slot gave for one order and flag.
struct SlotResults {
    bool ran = false;
    std::vector<float> forward, inverse, complexForward;
};

class SlotFftOrder : public ::testing::TestWithParam<int32_t> {};

// The references are computed once per order and serve every slot and flag.
TEST_P(SlotFftOrder, EverySlotMatchesTheReferenceAndItsTwins)
{
    const int32_t order = GetParam();
    const size_t N = size_t{1} << order;
    const bool spot = order > 20;  // orders 21 to 23: the real transforms with one flag
    const std::vector<float> x = RandomSignal(N, 4000u + static_cast<uint32_t>(order));
    const std::vector<double> packed = Pack(RealSpectrum(x, 4096), N);
    const std::vector<float> packedFloat(packed.begin(), packed.end());
    const std::vector<float> xc = spot ? std::vector<float>() : RandomSignal(2 * N, 5000u + static_cast<uint32_t>(order));
    const std::vector<Cd> Xc = spot ? std::vector<Cd>() : ComplexSpectrum(xc);

    for (int32_t flag : kFlags) {
        if (spot && flag != FftScaleInverse) continue;
        std::vector<double> forwardWant(N), inverseWant(N), roundTripWant(N);
        const double roundTrip = Factor(flag, true, N) * Factor(flag, false, N) * static_cast<double>(N);
        for (size_t i = 0; i < N; ++i) {
            forwardWant[i] = packed[i] * Factor(flag, true, N);
            inverseWant[i] = x[i] * static_cast<double>(N) * Factor(flag, false, N);
            roundTripWant[i] = x[i] * roundTrip;
        }
        SlotResults results[4];
        // The spot orders leave slot 0 to its own tests.
        for (int32_t slot = spot ? 1 : 0; slot < 4; ++slot) {
            ScopedSlot scoped(slot);
            if (!scoped.entered()) continue;
            SCOPED_TRACE(::testing::Message() << "order " << order << " flag " << flag << " slot " << slot);
            SlotResults& r = results[slot];
            r.ran = true;

            SlotSpec spec(false, order, flag);
            ASSERT_EQ(spec.status(), StatusOk);
            std::vector<float> src = x;
            r.forward.assign(N, 0.0f);
            ASSERT_EQ(kForwardReal[slot](src.data(), r.forward.data(), spec.get(), nullptr), StatusOk);
            EXPECT_TRUE(SameBits(src, x));
            EXPECT_LT(RelativeRmsError(r.forward, forwardWant), Tolerance(order));
            std::vector<float> spectrum = packedFloat;
            r.inverse.assign(N, 0.0f);
            ASSERT_EQ(kInverseReal[slot](spectrum.data(), r.inverse.data(), spec.get(), nullptr), StatusOk);
            EXPECT_TRUE(SameBits(spectrum, packedFloat));
            EXPECT_LT(RelativeRmsError(r.inverse, inverseWant), Tolerance(order));
            if (spot) continue;

            std::vector<float> inPlace = x;
            ASSERT_EQ(ForwardRealFftInPlace(inPlace.data(), spec.get(), nullptr), StatusOk);
            EXPECT_TRUE(SameBits(inPlace, r.forward));
            std::vector<float> backInPlace = packedFloat;
            ASSERT_EQ(InverseRealFftInPlace(backInPlace.data(), spec.get(), nullptr), StatusOk);
            EXPECT_TRUE(SameBits(backInPlace, r.inverse));

            // Forward then inverse: the signal times the product of the factors.
            ASSERT_EQ(InverseRealFftInPlace(inPlace.data(), spec.get(), nullptr), StatusOk);
            EXPECT_LT(RelativeRmsError(inPlace, roundTripWant), 2 * Tolerance(order));

            SlotSpec complexSpec(true, order, flag);
            ASSERT_EQ(complexSpec.status(), StatusOk);
            const double scale = flag == FftScaleForward ? 1.0 / static_cast<double>(N)
                                 : flag == FftScaleSqrt  ? 1.0 / std::sqrt(static_cast<double>(N))
                                                         : 1.0;
            std::vector<float> csrc = xc;
            r.complexForward.assign(2 * N, 0.0f);
            ASSERT_EQ(ForwardComplexFft(csrc.data(), r.complexForward.data(), complexSpec.get(), nullptr), StatusOk);
            EXPECT_TRUE(SameBits(csrc, xc));
            std::vector<double> cwant(2 * N);
            for (size_t k = 0; k < N; ++k) {
                cwant[2 * k] = Xc[k].real() * scale;
                cwant[2 * k + 1] = Xc[k].imag() * scale;
            }
            EXPECT_LT(RelativeRmsError(r.complexForward, cwant), Tolerance(order));
            ASSERT_EQ(ForwardComplexFft(csrc.data(), csrc.data(), complexSpec.get(), nullptr), StatusOk);
            EXPECT_TRUE(SameBits(csrc, r.complexForward));
        }
        // Bit for bit: the small kernels of every slot; slot 3 with slot 2 always; slot 1 with
        // slot 2 wherever their plans agree.
        auto same = [&](int32_t a, int32_t b, bool real, bool complex) {
            if (!results[a].ran || !results[b].ran) return;
            SCOPED_TRACE(::testing::Message() << "order " << order << " flag " << flag << ": slot " << a << " as " << b);
            if (real) {
                EXPECT_TRUE(SameBits(results[a].forward, results[b].forward));
                EXPECT_TRUE(SameBits(results[a].inverse, results[b].inverse));
            }
            if (complex) {
                EXPECT_TRUE(SameBits(results[a].complexForward, results[b].complexForward));
            }
        };
        for (int32_t slot = 1; slot < 4 && order <= 3; ++slot) same(slot, 0, true, true);
        same(3, 2, true, true);
        same(1, 2, PlansAgree(order - 1), PlansAgree(order));
    }
}

// Named by order, so that the two programs' cases differ in name.
INSTANTIATE_TEST_SUITE_P(Orders, SlotFftOrder, ::testing::Range(KVX_SLOT_ORDER_FIRST, KVX_SLOT_ORDER_END),
                         [](const ::testing::TestParamInfo<int32_t>& info) { return "Order" + std::to_string(info.param); });

}  // namespace
