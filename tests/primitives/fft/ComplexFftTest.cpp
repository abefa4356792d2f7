// The forward complex FFT: sizes, specifications in caller memory, transforms against a double
// DFT, and the errors that tell complex and real specifications apart.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "primitives/Primitives.h"
#include "primitives/core/Dispatch.h"
#include "primitives/core/Memory.h"
#include "primitives/fft/ComplexFft.h"
#include "primitives/fft/FftSpec.h"
#include "tests/primitives/fft/FftReference.h"
#include "platform/nt/PoolHost.h"

namespace {

using fftref::Cd;

struct Sizes {
    int32_t spec, init, work;
};

// A created complex specification, destroyed at scope end.
class ComplexSpec {
public:
    ComplexSpec(int32_t order, int32_t flag) { m_status = CreateComplexFft(&m_pSpec, order, flag, 0); }
    ~ComplexSpec() {
        if (m_pSpec != nullptr) DestroyComplexFft(m_pSpec);
    }
    ComplexSpec(const ComplexSpec&) = delete;
    ComplexSpec& operator=(const ComplexSpec&) = delete;
    FftSpec* get() const { return m_pSpec; }
    PrimitiveStatus status() const { return m_status; }

private:
    FftSpec* m_pSpec = nullptr;
    PrimitiveStatus m_status;
};

std::vector<Cd> DoubleDft(const std::vector<float>& interleaved) { return fftref::ComplexSpectrum(interleaved); }

std::vector<double> Flatten(const std::vector<Cd>& X, double scale) {
    std::vector<double> v(2 * X.size());
    for (size_t k = 0; k < X.size(); ++k) {
        v[2 * k] = X[k].real() * scale;
        v[2 * k + 1] = X[k].imag() * scale;
    }
    return v;
}

TEST(ComplexFftSize, PinnedExamplesAndChecks) {
    const struct {
        int32_t order;
        Sizes want;
    } rows[] = {{0, {168, 0, 0}}, {3, {168, 0, 0}},       {4, {384, 0, 0}},
                {10, {9472, 0, 0}}, {11, {14592, 2112, 0}}, {13, {76320, 9344, 1056}}};
    for (const auto& r : rows) {
        Sizes s{-1, -1, -1};
        ASSERT_EQ(GetComplexFftSize(r.order, FftScaleNone, 0, &s.spec, &s.init, &s.work), StatusOk) << r.order;
        EXPECT_EQ(s.spec, r.want.spec) << r.order;
        EXPECT_EQ(s.init, r.want.init) << r.order;
        EXPECT_EQ(s.work, r.want.work) << r.order;
    }
    int32_t a = 5, b = 5, c = 5;
    EXPECT_EQ(GetComplexFftSize(31, 3, 0, nullptr, nullptr, nullptr), StatusFftOrderError);
    EXPECT_EQ(GetComplexFftSize(-1, 3, 0, nullptr, nullptr, nullptr), StatusFftOrderError);
    EXPECT_EQ(GetComplexFftSize(4, 3, 0, &a, nullptr, &c), StatusNullPointer);
    EXPECT_EQ(GetComplexFftSize(4, 3, 0, &a, &b, &c), StatusFftFlagError);
    // Orders whose sizes pass 32 bits are refused rather than reported wrapped.
    for (int32_t order : {28, 29, 30}) {
        EXPECT_EQ(GetComplexFftSize(order, FftScaleNone, 0, &a, &b, &c), StatusFftOrderError) << order;
        FftSpec* spec = nullptr;
        EXPECT_EQ(CreateComplexFft(&spec, order, FftScaleNone, 0), StatusFftOrderError) << order;
        EXPECT_EQ(spec, nullptr);
    }
    EXPECT_EQ(a + b + c, 15);
}

TEST(ComplexFftInit, TablesFitTheReportedSizesAtAnyOffset) {
    constexpr uint8_t CANARY = 0xA5;
    constexpr size_t GUARD = 64;
    for (int32_t order = 0; order <= 14; ++order) {
        Sizes sz{};
        ASSERT_EQ(GetComplexFftSize(order, FftScaleForward, 0, &sz.spec, &sz.init, &sz.work), StatusOk);
        for (size_t offset : {size_t{0}, size_t{4}, size_t{31}}) {
            std::vector<uint8_t> specBuf(sz.spec + GUARD + 64, CANARY), initBuf(sz.init + GUARD + 64, CANARY);
            auto place = [offset](std::vector<uint8_t>& v) {
                return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(v.data()) + 31) / 32 * 32 + offset);
            };
            uint8_t* specMem = place(specBuf);
            uint8_t* initMem = place(initBuf);
            FftSpec* spec = nullptr;
            ASSERT_EQ(InitComplexFftSpec(&spec, order, FftScaleForward, 0, specMem, order > 10 ? initMem : nullptr),
                      StatusOk)
                << order;
            for (size_t i = 0; i < GUARD; ++i) ASSERT_EQ(specMem[sz.spec + i], CANARY) << order << " spec " << i;
            for (size_t i = 0; i < GUARD; ++i) ASSERT_EQ(initMem[sz.init + i], CANARY) << order << " init " << i;
            EXPECT_EQ(spec->id, static_cast<uint32_t>(SpecIdComplexFft));
            EXPECT_EQ(spec->owned, 0);
            EXPECT_EQ(spec->forwardRecombination, nullptr);
            EXPECT_EQ(spec->inverseRecombination, nullptr);
            // The specification in caller memory transforms like a created one.
            const std::vector<float> x = fftref::RandomSignal(size_t{2} << order, order);
            std::vector<float> got(x.size()), want(x.size());
            ASSERT_EQ(ForwardComplexFft(x.data(), got.data(), spec, nullptr), StatusOk);
            ComplexSpec created(order, FftScaleForward);
            ASSERT_EQ(ForwardComplexFft(x.data(), want.data(), created.get(), nullptr), StatusOk);
            EXPECT_EQ(memcmp(got.data(), want.data(), 4 * got.size()), 0) << order;
            // Destruction only invalidates it; a second one is a mismatch.
            EXPECT_EQ(DestroyComplexFft(spec), StatusOk);
            EXPECT_EQ(spec->id, 0u);
            EXPECT_EQ(DestroyComplexFft(spec), StatusContextMismatch);
        }
    }
    FftSpec* spec = reinterpret_cast<FftSpec*>(0x5);
    std::vector<uint8_t> mem(14592 + 32);
    EXPECT_EQ(InitComplexFftSpec(&spec, 11, FftScaleNone, 0, mem.data(), nullptr), StatusNullPointer);
    EXPECT_EQ(InitComplexFftSpec(&spec, 4, 3, 0, mem.data(), nullptr), StatusFftFlagError);
    EXPECT_EQ(spec, reinterpret_cast<FftSpec*>(0x5));
}

TEST(ComplexFft, MatchesTheDoubleDftForEveryFlag) {
    const struct {
        int32_t flag;
        bool sqrt, byN;
    } flags[] = {{FftScaleNone, false, false}, {FftScaleInverse, false, false},
                 {FftScaleForward, false, true}, {FftScaleSqrt, true, false}};
    for (int32_t order = 0; order <= 16; ++order) {
        const double n = std::ldexp(1.0, order);
        const std::vector<float> x = fftref::RandomSignal(size_t{2} << order, 100 + order);
        const std::vector<Cd> X = DoubleDft(x);
        for (const auto& f : flags) {
            if (order > 12 && f.flag != FftScaleForward) continue;  // the large orders once suffice
            ComplexSpec spec(order, f.flag);
            ASSERT_EQ(spec.status(), StatusOk);
            const double scale = f.byN ? 1.0 / n : f.sqrt ? 1.0 / std::sqrt(n) : 1.0;
            std::vector<float> out(x.size()), inPlace = x;
            const std::vector<float> copy = x;
            ASSERT_EQ(ForwardComplexFft(x.data(), out.data(), spec.get(), nullptr), StatusOk);
            ASSERT_EQ(ForwardComplexFft(inPlace.data(), inPlace.data(), spec.get(), nullptr), StatusOk);
            EXPECT_LT(fftref::RelativeRmsError(out, Flatten(X, scale)), 1e-7 * (order + 4))
                << "order " << order << " flag " << f.flag;
            EXPECT_EQ(memcmp(out.data(), inPlace.data(), 4 * out.size()), 0) << order;
            EXPECT_EQ(x, copy);
        }
    }
}

TEST(ComplexFft, ImpulseAndSmallExamples) {
    for (int32_t order : {0, 1, 2, 3, 4, 10, 11, 13}) {
        const size_t n = size_t{1} << order;
        for (int32_t flag : {FftScaleNone, FftScaleForward, FftScaleInverse}) {
            ComplexSpec spec(order, flag);
            std::vector<float> x(2 * n, 0.0f);
            x[0] = 1.0f;
            ASSERT_EQ(ForwardComplexFft(x.data(), x.data(), spec.get(), nullptr), StatusOk);
            const float bin = flag == FftScaleForward ? 1.0f / static_cast<float>(n) : 1.0f;
            for (size_t k = 0; k < n; ++k) {
                ASSERT_EQ(x[2 * k], bin) << order << " flag " << flag << " bin " << k;
                ASSERT_EQ(x[2 * k + 1], 0.0f) << order << " flag " << flag << " bin " << k;
            }
        }
    }
    ComplexSpec order1(1, FftScaleNone);
    float data[4] = {1, 2, 3, 4};
    ASSERT_EQ(ForwardComplexFft(data, data, order1.get(), nullptr), StatusOk);
    EXPECT_EQ(std::vector<float>(data, data + 4), (std::vector<float>{4, 6, -2, -2}));
}

TEST(ComplexFft, WorkBufferGivenOrAllocated) {
    // Order 13 needs 1056 bytes of work: from the caller (any alignment) or allocated per call.
    ComplexSpec spec(13, FftScaleNone);
    const std::vector<float> x = fftref::RandomSignal(2 << 13, 3);
    std::vector<float> a(x.size()), b(x.size(), 7.0f);
    std::vector<uint8_t> work(1056);
    ASSERT_EQ(ForwardComplexFft(x.data(), a.data(), spec.get(), work.data() + 1), StatusOk);
    platform::PoolFailNthAllocation(1);
    EXPECT_EQ(ForwardComplexFft(x.data(), b.data(), spec.get(), nullptr), StatusNoMemory);
    platform::PoolClearFailures();
    EXPECT_EQ(b[0], 7.0f);
    ASSERT_EQ(ForwardComplexFft(x.data(), b.data(), spec.get(), nullptr), StatusOk);
    EXPECT_EQ(a, b);
    // Order 11 needs none, even at DISPATCH_LEVEL with every allocation failing.
    ComplexSpec leaf(11, FftScaleNone);
    std::vector<float> y(2 << 11);
    platform::PoolFailNextWithTag(PRIMITIVES_POOL_TAG, 1000);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(ForwardComplexFft(x.data(), y.data(), leaf.get(), nullptr), StatusOk);
    KeLowerIrql(old);
    platform::PoolClearFailures();
}

TEST(ComplexFftLifecycle, KindsAreNotInterchangeable) {
    ComplexSpec complexSpec(5, FftScaleNone);
    fftref::Spec realSpec(5, FftScaleNone);
    std::vector<float> data(64, 1.0f);
    EXPECT_EQ(ForwardComplexFft(data.data(), data.data(), nullptr, nullptr), StatusNullPointer);
    EXPECT_EQ(ForwardComplexFft(nullptr, nullptr, realSpec.get(), nullptr), StatusContextMismatch);
    EXPECT_EQ(ForwardComplexFft(nullptr, data.data(), complexSpec.get(), nullptr), StatusNullPointer);
    EXPECT_EQ(ForwardComplexFft(data.data(), nullptr, complexSpec.get(), nullptr), StatusNullPointer);
    EXPECT_EQ(ForwardRealFftInPlace(data.data(), complexSpec.get(), nullptr), StatusContextMismatch);
    EXPECT_EQ(DestroyComplexFft(realSpec.get()), StatusContextMismatch);
    EXPECT_EQ(DestroyRealFft(complexSpec.get()), StatusContextMismatch);
    EXPECT_EQ(DestroyComplexFft(nullptr), StatusNullPointer);
    int32_t bytes = 0;
    EXPECT_EQ(GetFftWorkBufferSize(complexSpec.get(), &bytes), StatusContextMismatch);
    // Both stay valid.
    EXPECT_EQ(realSpec.get()->id, static_cast<uint32_t>(SpecIdRealFft));
    EXPECT_EQ(ForwardComplexFft(data.data(), data.data(), complexSpec.get(), nullptr), StatusOk);
    EXPECT_EQ(data[0], 32.0f);
}

TEST(ComplexFftLifecycle, CreateAndDestroyLeaveNoBlock) {
    {
        ComplexSpec spec(12, FftScaleSqrt);
        ASSERT_EQ(spec.status(), StatusOk);
        EXPECT_EQ(spec.get()->owned, 1);
        EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 1u);  // the init block is gone
    }
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
    // Order 11 allocates the specification, then the initialisation block: either may fail.
    for (uint64_t failing : {1u, 2u}) {
        FftSpec* spec = reinterpret_cast<FftSpec*>(0x7);
        platform::PoolFailNthAllocation(failing);
        EXPECT_EQ(CreateComplexFft(&spec, 11, FftScaleNone, 0), StatusNoMemory) << failing;
        platform::PoolClearFailures();
        EXPECT_EQ(spec, reinterpret_cast<FftSpec*>(0x7));
        EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
    }
    FftSpec* spec = nullptr;
    EXPECT_EQ(CreateComplexFft(nullptr, 4, FftScaleNone, 0), StatusNullPointer);
    EXPECT_EQ(CreateComplexFft(&spec, 4, 0, 0), StatusFftFlagError);
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
    // Slot 0 holds the generic bodies; one destroy body serves every slot.
    EXPECT_EQ(CreateComplexFftDispatchTable.Slot[0], &CreateComplexFftGeneric);
    EXPECT_EQ(ForwardComplexFftDispatchTable.Slot[0], &ForwardComplexFftGeneric);
    for (int slot = 0; slot < 4; ++slot) EXPECT_EQ(DestroyComplexFftDispatchTable.Slot[slot], &DestroyComplexFftGeneric);
}

}  // namespace
