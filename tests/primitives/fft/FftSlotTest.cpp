// The FFT family in slots 1 to 3 against slot 0 and the double references: transforms per order
// and flag, specification sizes and tables, errors and the records of other slots, products.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/nt/Pool.h"
#include "primitives/Primitives.h"
#include "primitives/core/Dispatch.h"
#include "primitives/core/Memory.h"
#include "primitives/fft/ComplexFft.h"
#include "primitives/fft/FftInternal.h"
#include "primitives/fft/FftSlotBodies.h"
#include "primitives/fft/FftSlotInternal.h"
#include "primitives/fft/FftSlotLayout.h"
#include "primitives/fft/RealFft.h"
#include "primitives/fft_kernels/FftKernels.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/fft/FftReference.h"
#include "platform/nt/PoolHost.h"

namespace {

using namespace fftref;

constexpr int32_t kFlags[] = {FftScaleForward, FftScaleInverse, FftScaleSqrt, FftScaleNone};

using TransformFn = PrimitiveStatus (*)(const float*, float*, const FftSpec*, uint8_t*);
using SizeFn = PrimitiveStatus (*)(int32_t, int32_t, int32_t, int32_t*, int32_t*, int32_t*);
using InitFn = PrimitiveStatus (*)(FftSpec**, int32_t, int32_t, int32_t, uint8_t*, uint8_t*);

// Each slot's bodies by name, for what no entry point reaches (the out-of-place real transforms).
const TransformFn kForwardReal[4] = {ForwardRealFft, Sse3Variant::ForwardRealFftSse3,
                                     Ssse3Variant::ForwardRealFftSsse3, Sse41Variant::ForwardRealFftSse41};
const TransformFn kInverseReal[4] = {InverseRealFft, Sse3Variant::InverseRealFftSse3,
                                     Ssse3Variant::InverseRealFftSsse3, Sse41Variant::InverseRealFftSse41};
const SizeFn kRealSize[4] = {GetRealFftSizeGeneric, Sse3Variant::GetRealFftSizeSse3,
                             Ssse3Variant::GetRealFftSizeSsse3, Sse41Variant::GetRealFftSizeSse41};
const InitFn kRealInit[4] = {InitRealFftSpecGeneric, Sse3Variant::InitRealFftSpecSse3,
                             Ssse3Variant::InitRealFftSpecSsse3, Sse41Variant::InitRealFftSpecSse41};
const SizeFn kComplexSize[4] = {GetComplexFftSizeGeneric, Sse3Variant::GetComplexFftSizeSse3,
                                Ssse3Variant::GetComplexFftSizeSsse3, Sse41Variant::GetComplexFftSizeSse41};
const InitFn kComplexInit[4] = {InitComplexFftSpecGeneric, Sse3Variant::InitComplexFftSpecSse3,
                                Ssse3Variant::InitComplexFftSpecSsse3, Sse41Variant::InitComplexFftSpecSse41};

// Forces one slot for its scope and gives the index back; a slot this processor cannot run is
// not entered.
class ScopedSlot {
public:
    explicit ScopedSlot(int32_t slot) : m_saved(DispatchIndex)
    {
        m_entered = coretest::ProcessorRunsSlot(slot) && ForceDispatchIndex(coretest::kSlotCodes[slot]) == StatusOk;
    }
    ~ScopedSlot() { DispatchIndex = m_saved; }
    ScopedSlot(const ScopedSlot&) = delete;
    ScopedSlot& operator=(const ScopedSlot&) = delete;
    bool entered() const { return m_entered; }

private:
    int32_t m_saved;
    bool m_entered = false;
};

// A specification created through the entry point of the forced slot, destroyed at scope end.
class SlotSpec {
public:
    SlotSpec(bool complex, int32_t order, int32_t flag) : m_complex(complex)
    {
        m_status = complex ? CreateComplexFft(&m_pSpec, order, flag, 0) : CreateRealFft(&m_pSpec, order, flag, 0);
    }
    ~SlotSpec()
    {
        if (m_pSpec != nullptr) (m_complex ? DestroyComplexFft : DestroyRealFft)(m_pSpec);
    }
    SlotSpec(const SlotSpec&) = delete;
    SlotSpec& operator=(const SlotSpec&) = delete;
    FftSpec* get() const { return m_pSpec; }
    PrimitiveStatus status() const { return m_status; }

private:
    bool m_complex;
    FftSpec* m_pSpec = nullptr;
    PrimitiveStatus m_status;
};

double Factor(int32_t flag, bool forward, size_t N)
{
    const double n = static_cast<double>(N);
    switch (flag) {
    case FftScaleForward:
        return forward ? 1.0 / n : 1.0;
    case FftScaleInverse:
        return forward ? 1.0 : 1.0 / n;
    case FftScaleSqrt:
        return 1.0 / std::sqrt(n);
    default:
        return 1.0;
    }
}

// The bound of the generic tests: float rounding grows with the stages, a wrong twiddle or index
// lands far above it.
double Tolerance(int32_t order) { return 1e-7 * (order + 4); }

bool SameBits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// Complex orders whose stage plans agree in slot 1 and slots 2-3 (or that run no plan at all).
bool PlansAgree(int32_t m)
{
    return m <= 6 || m == 11 || m == 14 || m == 16;
}

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

INSTANTIATE_TEST_SUITE_P(Orders, SlotFftOrder, ::testing::Range(0, 24));

}  // namespace
