// Specification sizes, initialisation into caller memory, creation and destruction.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/nt/Pool.h"
#include "primitives/Primitives.h"
#include "primitives/core/Memory.h"
#include "primitives/fft/FftSpec.h"
#include "tests/primitives/fft/FftReference.h"
#include "platform/nt/PoolHost.h"

namespace {

struct Sizes {
    int32_t spec, init, work;
};

Sizes QuerySizes(int32_t order, int32_t flag = FftScaleNone) {
    Sizes s{-1, -1, -1};
    EXPECT_EQ(GetRealFftSize(order, flag, 0, &s.spec, &s.init, &s.work), StatusOk) << "order " << order;
    return s;
}

TEST(FftSpecSize, PinnedExamples) {
    struct Row {
        int32_t order;
        Sizes want;
    };
    const Row rows[] = {
        {0, {168, 0, 0}},          {3, {168, 0, 0}},         {4, {384, 0, 0}},
        {8, {2432, 0, 0}},         {10, {8960, 0, 0}},       {11, {17664, 2112, 0}},
        {12, {30976, 4160, 0}},    {14, {141856, 17536, 1056}}, {20, {8925472, 1082464, 32800}},
        // the largest order whose sizes fit 32 bits
        {27, {1141387584, 134260096, 32800}},
    };
    for (const Row& r : rows) {
        const Sizes got = QuerySizes(r.order);
        EXPECT_EQ(got.spec, r.want.spec) << "order " << r.order;
        EXPECT_EQ(got.init, r.want.init) << "order " << r.order;
        EXPECT_EQ(got.work, r.want.work) << "order " << r.order;
    }
}

TEST(FftSpecSize, CheckOrderOrderThenPointersThenFlag) {
    int32_t a = 0, b = 0, c = 0;
    EXPECT_EQ(GetRealFftSize(31, 3, 0, nullptr, nullptr, nullptr), StatusFftOrderError);
    EXPECT_EQ(GetRealFftSize(-1, 3, 0, nullptr, nullptr, nullptr), StatusFftOrderError);
    EXPECT_EQ(GetRealFftSize(5, 3, 0, &a, nullptr, &c), StatusNullPointer);
    EXPECT_EQ(GetRealFftSize(5, 3, 0, &a, &b, &c), StatusFftFlagError);
    EXPECT_EQ(GetRealFftSize(5, 0, 0, &a, &b, &c), StatusFftFlagError);
    // Orders whose true sizes exceed 32 bits are refused instead of reporting wrapped sizes.
    for (int32_t order : {28, 29, 30}) {
        a = b = c = 123;
        EXPECT_EQ(GetRealFftSize(order, FftScaleNone, 0, &a, &b, &c), StatusFftOrderError) << order;
        EXPECT_EQ(a, 123);
        FftSpec* spec = nullptr;
        EXPECT_EQ(CreateRealFft(&spec, order, FftScaleNone, 0), StatusFftOrderError);
        EXPECT_EQ(spec, nullptr);
        uint8_t mem[256];
        std::memset(mem, 0x5A, sizeof(mem));
        EXPECT_EQ(InitRealFftSpec(&spec, order, FftScaleNone, 0, mem, mem), StatusFftOrderError);
        EXPECT_EQ(mem[64], 0x5A);
    }
}

// Every table lies inside the sizes the query reports, whatever the alignment of the caller's
// blocks, and every table starts on a 32-byte boundary.
TEST(FftSpecInit, TablesFitTheReportedSizes) {
    constexpr uint8_t CANARY = 0xA5;
    constexpr size_t GUARD = 64;
    for (int32_t order = 0; order <= 22; ++order) {
        SCOPED_TRACE(::testing::Message() << "order " << order);
        const Sizes sz = QuerySizes(order);
        for (size_t offset : {size_t{0}, size_t{1}, size_t{31}}) {
            // Over-allocate to place the blocks at the wanted misalignment from 32.
            std::vector<uint8_t> specBuf(static_cast<size_t>(sz.spec) + GUARD + 64, CANARY);
            std::vector<uint8_t> initBuf(static_cast<size_t>(sz.init) + GUARD + 64, CANARY);
            uint8_t* specMem = reinterpret_cast<uint8_t*>(
                (reinterpret_cast<uintptr_t>(specBuf.data()) + 31) / 32 * 32 + offset);
            uint8_t* initMem = reinterpret_cast<uint8_t*>(
                (reinterpret_cast<uintptr_t>(initBuf.data()) + 31) / 32 * 32 + offset);
            FftSpec* spec = nullptr;
            ASSERT_EQ(InitRealFftSpec(&spec, order, FftScaleForward, 0, specMem, order > 10 ? initMem : nullptr),
                      StatusOk);
            for (size_t i = 0; i < GUARD; ++i) ASSERT_EQ(specMem[sz.spec + i], CANARY) << "spec overrun " << i;
            for (size_t i = 0; i < GUARD; ++i) ASSERT_EQ(initMem[sz.init + i], CANARY) << "init overrun " << i;
            const auto base = reinterpret_cast<uintptr_t>(spec);
            EXPECT_EQ(base % 32, 0u);
            EXPECT_EQ(spec->id, static_cast<uint32_t>(SpecIdRealFft));
            EXPECT_EQ(spec->order, order);
            EXPECT_EQ(spec->workBytes > 0 ? spec->workBytes + 32 : 0, sz.work);
            if (order <= 3) {
                EXPECT_EQ(spec->bitReverseTable, nullptr);
                continue;
            }
            EXPECT_EQ(reinterpret_cast<uintptr_t>(spec->bitReverseTable), base + FFT_SPEC_HEADER_BYTES);
            const void* tables[] = {spec->twiddleTable, spec->forwardRecombination, spec->inverseRecombination};
            for (const void* t : tables) EXPECT_EQ(reinterpret_cast<uintptr_t>(t) % 32, 0u);
        }
    }
}

TEST(FftSpecInit, HeaderPerFlag) {
    struct Row {
        int32_t order, flag, scaleForward, scaleInverse;
        float scale;
    };
    const Row rows[] = {
        {10, FftScaleInverse, 0, 1, 1.0f / 1024.0f},
        {10, FftScaleForward, 1, 0, 1.0f / 1024.0f},
        {9, FftScaleSqrt, 1, 1, static_cast<float>(1.0 / std::sqrt(512.0))},
        {4, FftScaleNone, 0, 0, 0.0f},
        {0, FftScaleForward, 1, 0, 1.0f},
    };
    for (const Row& r : rows) {
        fftref::Spec spec(r.order, r.flag);
        ASSERT_EQ(spec.status(), StatusOk);
        EXPECT_EQ(spec.get()->scaleForward, r.scaleForward) << r.flag;
        EXPECT_EQ(spec.get()->scaleInverse, r.scaleInverse) << r.flag;
        EXPECT_EQ(spec.get()->scale, r.scale) << r.flag;
        EXPECT_EQ(spec.get()->owned, 1);
        EXPECT_EQ(spec.get()->hint, 0);
    }
}

TEST(FftSpecInit, ErrorsAndWhatTheyLeave) {
    alignas(32) uint8_t mem[512];
    FftSpec* const previous = reinterpret_cast<FftSpec*>(0x1234);
    FftSpec* spec = previous;
    EXPECT_EQ(InitRealFftSpec(nullptr, 99, 3, 0, nullptr, nullptr), StatusNullPointer);
    EXPECT_EQ(InitRealFftSpec(&spec, 31, 3, 0, nullptr, nullptr), StatusFftOrderError);
    EXPECT_EQ(InitRealFftSpec(&spec, 4, 3, 0, nullptr, nullptr), StatusNullPointer);

    // A flag error zeroes the header except order and hint, and leaves *ppSpec alone.
    std::memset(mem, 0xEE, sizeof(mem));
    EXPECT_EQ(InitRealFftSpec(&spec, 4, 3, 77, mem, nullptr), StatusFftFlagError);
    EXPECT_EQ(spec, previous);
    FftSpec expected{};
    expected.order = 4;
    expected.hint = 77;
    EXPECT_EQ(std::memcmp(mem, &expected, sizeof(FftSpec)), 0);
}

// Re-initialising a block that held a valid specification: until the tables are complete the
// id must not be valid, so a stale pointer to the block is refused.
TEST(FftSpecInit, IdIsValidOnlyOverCompleteTables) {
    const int32_t specBytes = QuerySizes(11).spec;
    std::vector<uint8_t> mem(static_cast<size_t>(specBytes) + 32);
    FftSpec* stale = nullptr;
    ASSERT_EQ(InitRealFftSpec(&stale, 6, FftScaleNone, 0, mem.data(), nullptr), StatusOk);
    ASSERT_EQ(stale->id, static_cast<uint32_t>(SpecIdRealFft));

    FftSpec* spec = nullptr;
    EXPECT_EQ(InitRealFftSpec(&spec, 11, FftScaleNone, 5, mem.data(), nullptr), StatusNullPointer);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(stale->id, static_cast<uint32_t>(SpecIdInvalid));
    EXPECT_EQ(stale->order, 11);
    float data[2048] = {};
    EXPECT_EQ(ForwardRealFftInPlace(data, stale, nullptr), StatusContextMismatch);
    int32_t bytes = 0;
    EXPECT_EQ(GetFftWorkBufferSize(stale, &bytes), StatusContextMismatch);
}

TEST(FftSpecLifecycle, DestroyOwnedAndCallerMemory) {
    FftSpec* spec = nullptr;
    ASSERT_EQ(CreateRealFft(&spec, 12, FftScaleInverse, 3), StatusOk);
    // The specification is one block from the primitives' pool; the init block is gone.
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 1u);
    EXPECT_GE(platform::PoolLiveBytes(PRIMITIVES_POOL_TAG), 30976u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(spec) % 32, 0u);
    EXPECT_EQ(spec->hint, 3);
    EXPECT_EQ(DestroyRealFft(spec), StatusOk);
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);

    std::vector<uint8_t> mem(static_cast<size_t>(QuerySizes(7).spec));
    ASSERT_EQ(InitRealFftSpec(&spec, 7, FftScaleNone, 0, mem.data(), nullptr), StatusOk);
    EXPECT_EQ(spec->owned, 0);
    EXPECT_EQ(DestroyRealFft(spec), StatusOk);
    EXPECT_EQ(spec->id, static_cast<uint32_t>(SpecIdInvalid));
    EXPECT_EQ(DestroyRealFft(spec), StatusContextMismatch);
    EXPECT_EQ(DestroyRealFft(nullptr), StatusNullPointer);
}

TEST(FftSpecLifecycle, CreateErrorsAndAllocationFailures) {
    FftSpec* spec = nullptr;
    EXPECT_EQ(CreateRealFft(nullptr, 31, 3, 0), StatusNullPointer);
    EXPECT_EQ(CreateRealFft(&spec, 31, 3, 0), StatusFftOrderError);
    EXPECT_EQ(CreateRealFft(&spec, 5, 3, 0), StatusFftFlagError);
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
    // Order 11 allocates the specification, then the initialisation block: either may fail.
    for (uint64_t failing : {1u, 2u}) {
        platform::PoolFailNthAllocation(failing);
        EXPECT_EQ(CreateRealFft(&spec, 11, FftScaleNone, 0), StatusNoMemory) << failing;
        EXPECT_EQ(spec, nullptr);
        EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
    }
}

TEST(FftSpecWorkSize, PerOrderAndRecordKind) {
    for (int32_t order = 0; order <= 20; ++order) {
        fftref::Spec spec(order, FftScaleNone);
        int32_t bytes = -1;
        ASSERT_EQ(GetFftWorkBufferSize(spec.get(), &bytes), StatusOk);
        EXPECT_EQ(bytes, QuerySizes(order).work) << order;
        if (order <= 13) {
            EXPECT_EQ(bytes, 0) << order;
        }
    }
    fftref::Spec spec(14, FftScaleNone);
    int32_t bytes = 0;
    ASSERT_EQ(GetFftWorkBufferSize(spec.get(), &bytes), StatusOk);
    EXPECT_EQ(bytes, 1056);
    FftSpec complexSpec{};
    complexSpec.id = SpecIdComplexFft;
    EXPECT_EQ(GetFftWorkBufferSize(&complexSpec, &bytes), StatusContextMismatch);
    EXPECT_EQ(DestroyRealFft(&complexSpec), StatusContextMismatch);
    EXPECT_EQ(GetFftWorkBufferSize(spec.get(), nullptr), StatusNullPointer);
    EXPECT_EQ(GetFftWorkBufferSize(nullptr, &bytes), StatusNullPointer);
}

}  // namespace
