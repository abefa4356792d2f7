// The real transforms against a double-precision reference, for every order 0 to 20 and every
// normalisation flag, plus the fixed small examples of the packed layout.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/nt/Pool.h"
#include "primitives/Primitives.h"
#include "primitives/fft/RealFft.h"
#include "tests/primitives/fft/FftReference.h"
#include "platform/nt/PoolHost.h"

using namespace fftref;

namespace {

double Factor(int32_t flag, bool forward, size_t N) {
    const double n = static_cast<double>(N);
    switch (flag) {
    case FftScaleForward: return forward ? 1.0 / n : 1.0;
    case FftScaleInverse: return forward ? 1.0 : 1.0 / n;
    case FftScaleSqrt: return 1.0 / std::sqrt(n);
    default: return 1.0;
    }
}

// Float rounding grows with the number of stages; the bound leaves a wide margin over what a
// correct transform shows and stays far below what any wrong twiddle or index produces.
double Tolerance(int32_t order) { return 1e-7 * (order + 4); }

class RealFftOrder : public ::testing::TestWithParam<int32_t> {};

TEST_P(RealFftOrder, MatchesReferenceForEveryFlag) {
    const int32_t order = GetParam();
    const size_t N = size_t{1} << order;
    const std::vector<float> x = RandomSignal(N, 1000u + static_cast<uint32_t>(order));
    const std::vector<double> packed = Pack(RealSpectrum(x), N);
    std::vector<float> packedFloat(packed.begin(), packed.end());
    std::vector<double> xd(x.begin(), x.end());

    for (int32_t flag : {FftScaleForward, FftScaleInverse, FftScaleSqrt, FftScaleNone}) {
        SCOPED_TRACE(::testing::Message() << "order " << order << " flag " << flag);
        Spec spec(order, flag);
        ASSERT_EQ(spec.status(), StatusOk);

        // Forward, out of place: compared with the reference, source untouched.
        std::vector<float> src = x, out(N);
        ASSERT_EQ(ForwardRealFft(src.data(), out.data(), spec.get(), nullptr), StatusOk);
        EXPECT_EQ(std::memcmp(src.data(), x.data(), N * sizeof(float)), 0);
        std::vector<double> want(N);
        for (size_t i = 0; i < N; ++i) want[i] = packed[i] * Factor(flag, true, N);
        EXPECT_LT(RelativeRmsError(out, want), Tolerance(order));

        // In place through the entry point: bit for bit the out-of-place result.
        std::vector<float> inPlace = x;
        ASSERT_EQ(ForwardRealFftInPlace(inPlace.data(), spec.get(), nullptr), StatusOk);
        EXPECT_EQ(std::memcmp(inPlace.data(), out.data(), N * sizeof(float)), 0);

        // Inverse of the exact spectrum: N times the signal, times the flag's factor.
        std::vector<float> spectrum = packedFloat, back(N);
        ASSERT_EQ(InverseRealFft(spectrum.data(), back.data(), spec.get(), nullptr), StatusOk);
        EXPECT_EQ(std::memcmp(spectrum.data(), packedFloat.data(), N * sizeof(float)), 0);
        for (size_t i = 0; i < N; ++i) want[i] = xd[i] * static_cast<double>(N) * Factor(flag, false, N);
        EXPECT_LT(RelativeRmsError(back, want), Tolerance(order));

        std::vector<float> backInPlace = packedFloat;
        ASSERT_EQ(InverseRealFftInPlace(backInPlace.data(), spec.get(), nullptr), StatusOk);
        EXPECT_EQ(std::memcmp(backInPlace.data(), back.data(), N * sizeof(float)), 0);

        // Round trip: forward then inverse gives the signal times the product of the factors.
        ASSERT_EQ(InverseRealFftInPlace(inPlace.data(), spec.get(), nullptr), StatusOk);
        const double roundTrip = Factor(flag, true, N) * Factor(flag, false, N) * static_cast<double>(N);
        for (size_t i = 0; i < N; ++i) want[i] = xd[i] * roundTrip;
        EXPECT_LT(RelativeRmsError(inPlace, want), 2 * Tolerance(order));
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, RealFftOrder, ::testing::Range(0, 21));

struct SmallCase {
    const char* name;
    int32_t order;
    bool forward;
    std::vector<float> in;
    std::vector<float> out;
};

TEST(RealFftPacked, FixedExamplesOfTheLayout) {
    std::vector<float> impulse16(16, 0.0f), impulseSpectrum(16, 0.0f);
    impulse16[0] = 1.0f;
    impulseSpectrum[0] = impulseSpectrum[1] = 1.0f;
    for (size_t k = 2; k < 16; k += 2) impulseSpectrum[k] = 1.0f;
    const SmallCase cases[] = {
        {"order 0 forward copies", 0, true, {2.5f}, {2.5f}},
        {"order 0 inverse copies", 0, false, {-3.0f}, {-3.0f}},
        {"order 1 forward", 1, true, {1.0f, 2.0f}, {3.0f, -1.0f}},
        {"order 1 inverse is twice the input", 1, false, {3.0f, -1.0f}, {2.0f, 4.0f}},
        {"order 2 forward: X0, X2, X1", 2, true, {1.0f, 2.0f, 3.0f, 4.0f}, {10.0f, -2.0f, -2.0f, 2.0f}},
        {"order 2 inverse", 2, false, {10.0f, -2.0f, -2.0f, 2.0f}, {4.0f, 8.0f, 12.0f, 16.0f}},
        {"order 3 impulse", 3, true, {1, 0, 0, 0, 0, 0, 0, 0}, {1, 1, 1, 0, 1, 0, 1, 0}},
        {"order 3 alternating", 3, true, {1, -1, 1, -1, 1, -1, 1, -1}, {0, 8, 0, 0, 0, 0, 0, 0}},
        {"order 4 impulse", 4, true, impulse16, impulseSpectrum},
    };
    for (const SmallCase& c : cases) {
        SCOPED_TRACE(c.name);
        Spec spec(c.order, FftScaleNone);
        ASSERT_EQ(spec.status(), StatusOk);
        std::vector<float> data = c.in;
        const PrimitiveStatus status = c.forward ? ForwardRealFftInPlace(data.data(), spec.get(), nullptr)
                                                 : InverseRealFftInPlace(data.data(), spec.get(), nullptr);
        ASSERT_EQ(status, StatusOk);
        for (size_t i = 0; i < data.size(); ++i) EXPECT_NEAR(data[i], c.out[i], 1e-6f) << "index " << i;
    }
}

TEST(RealFftPacked, ConstantSignalOfOrder10) {
    Spec spec(10, FftScaleInverse);
    std::vector<float> data(1024, 1.0f);
    ASSERT_EQ(ForwardRealFftInPlace(data.data(), spec.get(), nullptr), StatusOk);
    EXPECT_EQ(data[0], 1024.0f);
    for (size_t i = 1; i < data.size(); ++i) ASSERT_EQ(data[i], 0.0f) << "index " << i;
}

TEST(RealFftPacked, ScaledSmallKernelsAndOrderZero) {
    // N = 1: the scale is 1, so every flag copies the sample.
    for (int32_t flag : {FftScaleForward, FftScaleInverse, FftScaleSqrt, FftScaleNone}) {
        Spec spec(0, flag);
        float v = 7.25f;
        ASSERT_EQ(ForwardRealFftInPlace(&v, spec.get(), nullptr), StatusOk);
        ASSERT_EQ(InverseRealFftInPlace(&v, spec.get(), nullptr), StatusOk);
        EXPECT_EQ(v, 7.25f) << "flag " << flag;
    }
    // Order 3 with the inverse scaled: the round trip is exact for small integers.
    Spec spec(3, FftScaleInverse);
    std::vector<float> data = {1, 2, 3, 4, 5, 6, 7, 8}, original = data;
    ASSERT_EQ(ForwardRealFftInPlace(data.data(), spec.get(), nullptr), StatusOk);
    ASSERT_EQ(InverseRealFftInPlace(data.data(), spec.get(), nullptr), StatusOk);
    for (size_t i = 0; i < 8; ++i) EXPECT_NEAR(data[i], original[i], 1e-6f);
}

// Orders from 14 on need a work buffer: given (even unaligned) or allocated for the call.
TEST(RealFftWork, GivenOrAllocatedGiveTheSameResult) {
    for (int32_t order : {14, 16, 22}) {
        SCOPED_TRACE(order);
        Spec spec(order, FftScaleSqrt);
        ASSERT_EQ(spec.status(), StatusOk);
        int32_t bytes = 0;
        ASSERT_EQ(GetFftWorkBufferSize(spec.get(), &bytes), StatusOk);
        ASSERT_GT(bytes, 0);
        std::vector<uint8_t> work(static_cast<size_t>(bytes) + 1);
        const size_t N = size_t{1} << order;
        const std::vector<float> x = RandomSignal(N, 7);
        std::vector<float> a = x, b = x;
        ASSERT_EQ(ForwardRealFftInPlace(a.data(), spec.get(), nullptr), StatusOk);
        // A caller buffer means no allocation: a failing pool does not matter.
        platform::PoolFailNthAllocation(1);
        ASSERT_EQ(ForwardRealFftInPlace(b.data(), spec.get(), work.data() + 1), StatusOk);
        platform::PoolClearFailures();
        EXPECT_EQ(std::memcmp(a.data(), b.data(), N * sizeof(float)), 0);
        ASSERT_EQ(InverseRealFftInPlace(a.data(), spec.get(), nullptr), StatusOk);
        ASSERT_EQ(InverseRealFftInPlace(b.data(), spec.get(), work.data() + 1), StatusOk);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), N * sizeof(float)), 0);
        double err = 0;
        for (size_t i = 0; i < N; ++i) err = std::fmax(err, std::fabs(a[i] - x[i]));
        EXPECT_LT(err, 1e-4);
    }
}

TEST(RealFftWork, FailedAllocationLeavesTheDestinationUnchanged) {
    Spec spec(14, FftScaleNone);
    const std::vector<float> x = RandomSignal(1 << 14, 3);
    std::vector<float> src = x, dst(x.size(), 5.0f);
    for (bool forward : {true, false}) {
        platform::PoolFailNthAllocation(1);
        const PrimitiveStatus status = forward ? ForwardRealFft(src.data(), dst.data(), spec.get(), nullptr)
                                               : InverseRealFft(src.data(), dst.data(), spec.get(), nullptr);
        EXPECT_EQ(status, StatusNoMemory);
        for (float v : dst) ASSERT_EQ(v, 5.0f);
    }
    // Up to order 13 nothing is ever allocated.
    Spec small(13, FftScaleNone);
    std::vector<float> data = RandomSignal(1 << 13, 4);
    platform::PoolFailNthAllocation(1);
    EXPECT_EQ(ForwardRealFftInPlace(data.data(), small.get(), nullptr), StatusOk);
}

TEST(RealFftErrors, NullSpecThenIdThenArrays) {
    Spec spec(5, FftScaleNone);
    FftSpec invalid{};
    float data[32] = {};
    using Fn = PrimitiveStatus (*)(const float*, float*, const FftSpec*, uint8_t*);
    for (Fn fn : {static_cast<Fn>(ForwardRealFft), static_cast<Fn>(InverseRealFft)}) {
        EXPECT_EQ(fn(nullptr, nullptr, nullptr, nullptr), StatusNullPointer);
        EXPECT_EQ(fn(nullptr, nullptr, &invalid, nullptr), StatusContextMismatch);
        EXPECT_EQ(fn(nullptr, data, spec.get(), nullptr), StatusNullPointer);
        EXPECT_EQ(fn(data, nullptr, spec.get(), nullptr), StatusNullPointer);
    }
    EXPECT_EQ(ForwardRealFftInPlace(nullptr, &invalid, nullptr), StatusContextMismatch);
    EXPECT_EQ(InverseRealFftInPlace(nullptr, &invalid, nullptr), StatusContextMismatch);
    EXPECT_EQ(ForwardRealFftInPlace(nullptr, spec.get(), nullptr), StatusNullPointer);
    EXPECT_EQ(InverseRealFftInPlace(data, nullptr, nullptr), StatusNullPointer);
    // A destroyed specification in caller memory is refused.
    int32_t specBytes = 0, initBytes = 0, workBytes = 0;
    ASSERT_EQ(GetRealFftSize(5, FftScaleNone, 0, &specBytes, &initBytes, &workBytes), StatusOk);
    std::vector<uint8_t> mem(static_cast<size_t>(specBytes));
    FftSpec* own = nullptr;
    ASSERT_EQ(InitRealFftSpec(&own, 5, FftScaleNone, 0, mem.data(), nullptr), StatusOk);
    ASSERT_EQ(DestroyRealFft(own), StatusOk);
    EXPECT_EQ(ForwardRealFftInPlace(data, own, nullptr), StatusContextMismatch);
}

TEST(MultiplyPackedSpectrum, RealElementsThenComplexPairs) {
    const std::vector<float> a = {2, 3, 4, 5, 6, 7, 8};
    const std::vector<float> b = {-1, 0.5f, 1, 2, -3, 4, 0.25f};
    // Expected results per length: element 0 real; with an even length element 1 real too.
    const std::vector<std::vector<float>> want = {
        {},
        {-2},
        {-2, 1.5f},
        {-2, -2.5f, 5},                  // odd: one pair from element 1
        {-2, 1.5f, -6, 13},              // even: elements 0 and 1 real, then a pair
        {-2, -2.5f, 5, 28, -3},
        {-2, 1.5f, -6, 13, -46, 3},
        {-2, -2.5f, 5, 28, -3, 26, 33.75f},
    };
    for (int32_t len = 1; len <= 7; ++len) {
        SCOPED_TRACE(len);
        std::vector<float> dst(8, 99.0f);
        ASSERT_EQ(MultiplyPackedSpectrum(a.data(), b.data(), dst.data(), len), StatusOk);
        for (int32_t i = 0; i < len; ++i) EXPECT_EQ(dst[i], want[len][i]) << "index " << i;
        EXPECT_EQ(dst[len], 99.0f);
        std::vector<float> inPlace = b;
        ASSERT_EQ(MultiplyPackedSpectrumInPlace(a.data(), inPlace.data(), len), StatusOk);
        for (int32_t i = 0; i < len; ++i) EXPECT_EQ(inPlace[i], dst[i]) << "index " << i;
        for (int32_t i = len; i < 7; ++i) EXPECT_EQ(inPlace[i], b[i]);
    }
}

TEST(MultiplyPackedSpectrum, ConvolvesThroughTheTransforms) {
    // Circular convolution of two signals equals the inverse of the product of their spectra.
    const int32_t order = 9;
    const size_t N = size_t{1} << order;
    const std::vector<float> x = RandomSignal(N, 11), h = RandomSignal(N, 12);
    Spec spec(order, FftScaleInverse);
    std::vector<float> X = x, H = h, Y(N);
    ASSERT_EQ(ForwardRealFftInPlace(X.data(), spec.get(), nullptr), StatusOk);
    ASSERT_EQ(ForwardRealFftInPlace(H.data(), spec.get(), nullptr), StatusOk);
    ASSERT_EQ(MultiplyPackedSpectrum(X.data(), H.data(), Y.data(), static_cast<int32_t>(N)), StatusOk);
    ASSERT_EQ(InverseRealFftInPlace(Y.data(), spec.get(), nullptr), StatusOk);
    std::vector<double> want(N, 0.0);
    for (size_t i = 0; i < N; ++i)
        for (size_t j = 0; j < N; ++j) want[(i + j) % N] += static_cast<double>(x[i]) * h[j];
    EXPECT_LT(RelativeRmsError(Y, want), 1e-5);
}

TEST(MultiplyPackedSpectrum, ArgumentOrder) {
    float v[4] = {};
    EXPECT_EQ(MultiplyPackedSpectrum(nullptr, v, v, 0), StatusNullPointer);
    EXPECT_EQ(MultiplyPackedSpectrum(v, nullptr, v, 4), StatusNullPointer);
    EXPECT_EQ(MultiplyPackedSpectrum(v, v, nullptr, 4), StatusNullPointer);
    EXPECT_EQ(MultiplyPackedSpectrum(v, v + 1, v + 2, 0), StatusSizeError);
    EXPECT_EQ(MultiplyPackedSpectrum(v, v + 1, v + 2, -1), StatusSizeError);
    EXPECT_EQ(MultiplyPackedSpectrumInPlace(nullptr, v, -1), StatusNullPointer);
    EXPECT_EQ(MultiplyPackedSpectrumInPlace(v, nullptr, 4), StatusNullPointer);
    EXPECT_EQ(MultiplyPackedSpectrumInPlace(v, v, 0), StatusSizeError);
}

}  // namespace
