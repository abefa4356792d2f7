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
#include "tests/primitives/fft/FftSlotSupport.h"
#include "platform/nt/PoolHost.h"

namespace {

using namespace fftref;
using namespace fftslot;

// ---- specifications ----

class SlotFftSpec : public coretest::ForcedSlotTest {
protected:
    int32_t Slot() const { return DispatchIndex; }
};

TEST_P(SlotFftSpec, SizesOfEverySlotAndTheOrdersThatDoNotFit)
{
    struct Row {
        int32_t order;
        int32_t sizes[3][3];  // slot 0, slot 1, slots 2 and 3
    };
    const Row rows[] = {
        {4, {{384, 0, 0}, {384, 0, 96}, {384, 0, 96}}},
        {8, {{2432, 0, 0}, {2432, 0, 1056}, {2432, 0, 1056}}},
        {10, {{8960, 0, 0}, {8960, 0, 4128}, {8960, 0, 4128}}},
        {11, {{17664, 2112, 0}, {17664, 2112, 8224}, {17664, 2112, 8224}}},
        {12, {{30976, 4160, 0}, {35072, 4160, 16416}, {35072, 4160, 16416}}},
        {14, {{141856, 17536, 1056}, {139520, 16448, 65568}, {139520, 16448, 65568}}},
        {17, {{1118496, 139616, 8224}, {1114368, 131136, 524320}, {1114368, 131136, 524320}}},
        {18, {{2234656, 270688, 8224}, {2359552, 262208, 131104}, {2228480, 262208, 1048608}}},
        {19, {{4466976, 532832, 8224}, {4587776, 524352, 131104}, {4587776, 524352, 131104}}},
        {20, {{8925472, 1082464, 32800}, {9175296, 1048640, 262176}, {9175296, 1048640, 262176}}},
        {26, {{570699072, 67147008, 32800}, {571605248, 67108928, 262176}, {571474176, 67108928, 1048608}}},
    };
    const int32_t column = Slot() < 2 ? Slot() : 2;
    int32_t spec = 0, init = 0, work = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.order);
        ASSERT_EQ(GetRealFftSize(row.order, FftScaleNone, 0, &spec, &init, &work), StatusOk);
        EXPECT_EQ(spec, row.sizes[column][0]);
        EXPECT_EQ(init, row.sizes[column][1]);
        EXPECT_EQ(work, row.sizes[column][2]);
    }
    for (int32_t order = 0; order <= 3; ++order) {
        ASSERT_EQ(GetComplexFftSize(order, FftScaleNone, 0, &spec, &init, &work), StatusOk);
        EXPECT_EQ(spec, 168);
        EXPECT_EQ(init + work, 0);
    }
    // Complex: no recombination tables; the flat layout's work from order 4 on.
    ASSERT_EQ(GetComplexFftSize(13, FftScaleNone, 0, &spec, &init, &work), StatusOk);
    EXPECT_EQ(work, Slot() == 0 ? 1056 : 65568);
    // Orders whose sizes pass 32 bits are refused by every size query, initialisation and creation.
    FftSpec* made = reinterpret_cast<FftSpec*>(0x40);
    uint8_t memory[256];
    for (int32_t order : {28, 29, 30, 31, -1}) {
        SCOPED_TRACE(order);
        EXPECT_EQ(GetRealFftSize(order, FftScaleNone, 0, nullptr, nullptr, nullptr), StatusFftOrderError);
        EXPECT_EQ(GetComplexFftSize(order, FftScaleNone, 0, &spec, &init, &work), StatusFftOrderError);
        EXPECT_EQ(InitRealFftSpec(&made, order, FftScaleNone, 0, memory, memory), StatusFftOrderError);
        EXPECT_EQ(InitComplexFftSpec(&made, order, FftScaleNone, 0, memory, memory), StatusFftOrderError);
        EXPECT_EQ(CreateRealFft(&made, order, FftScaleNone, 0), StatusFftOrderError);
        EXPECT_EQ(CreateComplexFft(&made, order, FftScaleNone, 0), StatusFftOrderError);
    }
    EXPECT_EQ(made, reinterpret_cast<FftSpec*>(0x40));
    EXPECT_EQ(GetRealFftSize(27, FftScaleNone, 0, &spec, &init, &work), StatusOk);
    EXPECT_EQ(GetComplexFftSize(27, FftScaleNone, 0, &spec, &init, &work), StatusOk);
    EXPECT_EQ(GetRealFftSize(5, FftScaleNone, 0, nullptr, &init, &work), StatusNullPointer);
    EXPECT_EQ(GetRealFftSize(5, 3, 0, &spec, &init, &work), StatusFftFlagError);
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
}

// A specification in caller memory, with the memory kept for inspection.
struct CallerSpec {
    std::vector<uint8_t> memory, init;
    FftSpec* spec = nullptr;
    PrimitiveStatus status;
    CallerSpec(bool complex, int32_t order, int32_t flag, uint8_t fill = 0)
    {
        int32_t specBytes = 0, initBytes = 0, workBytes = 0;
        status = (complex ? GetComplexFftSize : GetRealFftSize)(order, flag, 0, &specBytes, &initBytes, &workBytes);
        if (status != StatusOk) return;
        memory.assign(static_cast<size_t>(specBytes), fill);
        init.assign(static_cast<size_t>(initBytes) + 1, 0);
        status = (complex ? InitComplexFftSpec : InitRealFftSpec)(&spec, order, flag, 0, memory.data(), init.data());
    }
};

TEST_P(SlotFftSpec, InitialisationHeaderAndErrors)
{
    // Flag errors zero the header apart from the order and hint and leave *ppSpec alone.
    std::vector<uint8_t> memory(2048, 0xEE);
    FftSpec* spec = reinterpret_cast<FftSpec*>(0x40);
    ASSERT_EQ(InitRealFftSpec(&spec, 6, 3, 77, memory.data(), nullptr), StatusFftFlagError);
    EXPECT_EQ(spec, reinterpret_cast<FftSpec*>(0x40));
    const auto* header = reinterpret_cast<const FftSpec*>(kvxfft::AlignUp32(memory.data()));
    EXPECT_EQ(header->id, 0u);
    EXPECT_EQ(header->order, 6);
    EXPECT_EQ(header->hint, 77);
    EXPECT_EQ(header->workBytes, 0);
    EXPECT_EQ(header->twiddleTable, nullptr);
    // Above order 10 the initialisation buffer is required.
    std::vector<uint8_t> big(40000);
    EXPECT_EQ(InitRealFftSpec(&spec, 11, FftScaleNone, 0, big.data(), nullptr), StatusNullPointer);
    EXPECT_EQ(spec, reinterpret_cast<FftSpec*>(0x40));
    EXPECT_EQ(InitRealFftSpec(nullptr, 40, 3, 0, nullptr, nullptr), StatusNullPointer);
    EXPECT_EQ(InitRealFftSpec(&spec, 40, 3, 0, nullptr, nullptr), StatusFftOrderError);
    EXPECT_EQ(InitRealFftSpec(&spec, 4, 3, 0, nullptr, nullptr), StatusNullPointer);

    for (int32_t flag : kFlags) {
        CallerSpec s(false, 10, flag);
        ASSERT_EQ(s.status, StatusOk);
        EXPECT_EQ(s.spec->id, SpecIdRealFft);
        EXPECT_EQ(s.spec->owned, 0);
        EXPECT_EQ(s.spec->scaleForward, flag == FftScaleForward || flag == FftScaleSqrt ? 1 : 0);
        EXPECT_EQ(s.spec->scaleInverse, flag == FftScaleInverse || flag == FftScaleSqrt ? 1 : 0);
        EXPECT_EQ(s.spec->scale, flag == FftScaleNone ? 0.0f : flag == FftScaleSqrt ? 1.0f / 32.0f : 1.0f / 1024.0f);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(s.spec) % 32, 0u);
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(s.spec->bitReverseTable), reinterpret_cast<uint8_t*>(s.spec) + 136);
    }
    // Order 4 (m = 3): index table {0, 2, 0}, no twiddle table; the layouts of slots 1 to 3 carry
    // no slot-0 tables.
    CallerSpec four(false, 4, FftScaleNone);
    ASSERT_EQ(four.status, StatusOk);
    if (Slot() != 0) {
        EXPECT_EQ(four.spec->bitReverseTable[0], 0);
        EXPECT_EQ(four.spec->bitReverseTable[1], 2);
        EXPECT_EQ(four.spec->bitReverseTable[2], 0);
        EXPECT_EQ(four.spec->twiddleTable, four.spec->forwardRecombination);
        EXPECT_EQ(four.spec->workBytes, 64);
        EXPECT_EQ(four.spec->combineTable, nullptr);
        CallerSpec six(false, 6, FftScaleNone);
        const int32_t want[] = {0, 8, 4, 12, 2, 10, 6, 14, 0};
        for (int32_t i = 0; i < 9; ++i) EXPECT_EQ(six.spec->bitReverseTable[i], want[i]) << i;
    }
    EXPECT_EQ(DestroyRealFft(four.spec), StatusOk);
    EXPECT_EQ(DestroyRealFft(four.spec), StatusContextMismatch);
}

// The test's own quadrant folding of a sine source S of order T: e^(-2 pi i t / 2^q).
Cd Fold(const std::vector<float>& S, int32_t T, int32_t q, int64_t t)
{
    const int64_t n = int64_t{1} << q, d = int64_t{1} << (T - q);
    auto at = [&](int64_t k) { return static_cast<double>(S[static_cast<size_t>(k * d)]); };
    auto neg = [](double v) { return static_cast<double>(0.0f - static_cast<float>(v)); };
    if (t <= n / 4) return {at(n / 4 - t), neg(at(t))};
    if (t <= n / 2) return {neg(at(t - n / 4)), neg(at(n / 2 - t))};
    if (t <= 3 * n / 4) return {neg(at(3 * n / 4 - t)), at(t - n / 2)};
    return {at(t - 3 * n / 4), at(n - t)};
}

// The sine source a specification of order p reads: QuarterSineTable up to order 10, else the
// order-p table of double sines and cosines rounded to float.
std::vector<float> SineSource(int32_t p, int32_t* T)
{
    if (p <= 10) {
        *T = 10;
        return std::vector<float>(QuarterSineTable, QuarterSineTable + 257);
    }
    *T = p;
    const int64_t N = int64_t{1} << p;
    std::vector<float> S(static_cast<size_t>(N / 4 + 1));
    const double delta = 6.283185307179586 / static_cast<double>(N);
    for (int64_t k = 0; k <= N / 4; ++k)
        S[static_cast<size_t>(k)] = static_cast<float>(k <= N / 8 ? std::sin(static_cast<double>(k) * delta)
                                                                  : std::cos(static_cast<double>(N / 4 - k) * delta));
    return S;
}

// Compares one SplitQuadLayout block of the table with the four folded values.
void ExpectBlock(const float* block, const std::vector<float>& S, int32_t T, int32_t q, const int64_t t[4])
{
    for (int32_t l = 0; l < 4; ++l) {
        const Cd w = Fold(S, T, q, t[l]);
        ASSERT_EQ(block[l], static_cast<float>(w.real())) << "t " << t[l];
        ASSERT_EQ(block[4 + l], static_cast<float>(w.imag())) << "t " << t[l];
    }
}

// The stage-plan twiddles, the grouped recombination tables and a level's column twiddles are the
// values the test folds from the sine source, in the order the Parts lay them out.
TEST_P(SlotFftSpec, TablesHoldTheFoldedValues)
{
    if (Slot() == 0) GTEST_SKIP() << "slot 0's tables are the generic tests' concern";
    for (int32_t order : {5, 8, 11, 15}) {
        SCOPED_TRACE(order);
        CallerSpec s(false, order, FftScaleNone);
        ASSERT_EQ(s.status, StatusOk);
        int32_t T = 0;
        const std::vector<float> S = SineSource(order, &T);
        const int32_t m = order - 1;
        const FftStagePlan plan = MakeFftStagePlan(Slot(), m);
        const float* w = s.spec->twiddleTable;
        for (int32_t stage = 0, q = 2; stage < plan.count; ++stage) {
            const int32_t R = plan.radix[stage], bits = R == 4 ? 2 : 3;
            for (int64_t k = 0; k < (int64_t{1} << q); k += 4)
                for (int64_t j = 1; j < R; ++j, w += 8) {
                    const int64_t t[4] = {j * k, j * (k + 1), j * (k + 2), j * (k + 3)};
                    ExpectBlock(w, S, T, q + bits, t);
                }
            q += bits;
        }
        EXPECT_EQ(w, s.spec->twiddleTable + 2 * ((int64_t{1} << m) - 4));
        const int64_t N = int64_t{1} << order;
        const int64_t d = int64_t{1} << (T - order);
        for (int64_t k = 1; k <= N / 4; ++k) {
            const float* f = s.spec->forwardRecombination + 8 * ((k - 1) / 4) + (k - 1) % 4;
            const float* i = s.spec->inverseRecombination + 8 * ((k - 1) / 4) + (k - 1) % 4;
            ASSERT_EQ(f[0], 0.5f * S[static_cast<size_t>((N / 4 - k) * d)]) << k;
            ASSERT_EQ(f[4], static_cast<float>(0.5 - 0.5 * static_cast<double>(S[static_cast<size_t>(k * d)]))) << k;
            ASSERT_EQ(i[0], S[static_cast<size_t>((N / 4 - k) * d)]) << k;
            ASSERT_EQ(i[4], 0.0f - S[static_cast<size_t>(k * d)]) << k;
        }
    }
    // The large layout of complex order 18: 16 rows of 2^14, one block of e = 64 columns after the
    // other, passes 4 and 4; the column table fills 8 (K - 1) L of its 8 n bytes and no more.
    const int32_t m = 18, a = 4, s = m - a;
    const int64_t L = int64_t{1} << s, e = 64;
    CallerSpec large(true, m, FftScaleNone, 0xA5);
    ASSERT_EQ(large.status, StatusOk);
    int32_t T = 0;
    const std::vector<float> S = SineSource(m, &T);
    const float* c = reinterpret_cast<const float*>(large.spec->columnTwiddles[0]);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(large.spec->columnTwiddles[1], nullptr);
    EXPECT_EQ(large.spec->levelTwiddles[0], nullptr);
    for (int64_t k0 = 0; k0 < L; k0 += e) {
        int64_t g = e;
        for (int32_t pass = 0, q = s; pass < 2; ++pass, g *= 4, q += 2)
            for (int64_t col = 0; col < g; col += 4) {
                int64_t u[4];
                for (int64_t l = 0; l < 4; ++l) u[l] = k0 + (col + l) % e + L * ((col + l) / e);
                for (int64_t j = 1; j < 4; ++j, c += 8) {
                    const int64_t t[4] = {j * u[0], j * u[1], j * u[2], j * u[3]};
                    ExpectBlock(c, S, T, q + 2, t);
                }
            }
    }
    EXPECT_EQ(c, reinterpret_cast<const float*>(large.spec->columnTwiddles[0]) + 2 * 15 * L);
    const auto* rest = reinterpret_cast<const uint8_t*>(c);
    for (int64_t b = 0; b < 8 * L; ++b) ASSERT_EQ(rest[b], 0xA5) << b;
    EXPECT_EQ(large.spec->workBytes, Slot() == 1 ? 131072 : 131072);
}

// The two plans agree at m = 4, 5, 6, 11, 14 and 16 and nowhere else from 7 on.
TEST(SlotFftTables, Slot1AndSlot2TwiddlesEqualWhereThePlansAgree)
{
    for (int32_t m = 4; m <= 16; ++m) {
        SCOPED_TRACE(m);
        int32_t T = 0;
        const std::vector<float> S = SineSource(m + 1, &T);
        std::vector<float> one(size_t{2} << m, -1.0f), two(one.size(), -2.0f);
        Sse3Variant::BuildTwiddleTableSse(m, S.data(), T, one.data());
        Ssse3Variant::BuildTwiddleTableSse(m, S.data(), T, two.data());
        std::vector<int32_t> indexOne((size_t{1} << m) / 4 + 1), indexTwo(indexOne.size());
        Sse3Variant::BuildBitReverseIndexTable(m, indexOne.data());
        Ssse3Variant::BuildBitReverseIndexTable(m, indexTwo.data());
        EXPECT_EQ(indexOne, indexTwo);
        const bool agree = m <= 6 || m == 11 || m == 14 || m == 16;
        EXPECT_EQ(std::memcmp(one.data(), two.data(), 8 * ((size_t{1} << m) - 4)) == 0, agree);
    }
}

// ---- errors, allocation and other slots' records ----

class SlotFftErrors : public SlotFftSpec {};

TEST_P(SlotFftErrors, ChecksInOrderAndFailedWorkAllocation)
{
    const int32_t slot = Slot();
    SlotSpec real(false, 6, FftScaleNone), complex(true, 6, FftScaleNone);
    ASSERT_EQ(real.status(), StatusOk);
    FftSpec invalid{};
    float data[128] = {};
    for (TransformFn fn : {kForwardReal[slot], kInverseReal[slot]}) {
        EXPECT_EQ(fn(nullptr, nullptr, nullptr, nullptr), StatusNullPointer);
        EXPECT_EQ(fn(nullptr, nullptr, &invalid, nullptr), StatusContextMismatch);
        EXPECT_EQ(fn(data, data, complex.get(), nullptr), StatusContextMismatch);
        EXPECT_EQ(fn(nullptr, data, real.get(), nullptr), StatusNullPointer);
        EXPECT_EQ(fn(data, nullptr, real.get(), nullptr), StatusNullPointer);
    }
    EXPECT_EQ(ForwardComplexFft(nullptr, nullptr, nullptr, nullptr), StatusNullPointer);
    EXPECT_EQ(ForwardComplexFft(data, data, real.get(), nullptr), StatusContextMismatch);
    EXPECT_EQ(ForwardComplexFft(data, nullptr, complex.get(), nullptr), StatusNullPointer);
    EXPECT_EQ(DestroyComplexFft(real.get()), StatusContextMismatch);
    EXPECT_EQ(real.get()->id, SpecIdRealFft);

    // Without a work buffer a transform allocates one; when that fails dst stays as it was. Slot
    // 0 needs none up to order 13, slots 1 to 3 one from order 4 on.
    for (int32_t order : {4, 9, 14}) {
        SCOPED_TRACE(order);
        const size_t N = size_t{1} << order;
        SlotSpec r(false, order, FftScaleNone), c(true, order, FftScaleNone);
        const std::vector<float> x = RandomSignal(2 * N, 9);
        std::vector<float> dst(2 * N, 5.0f);
        const PrimitiveStatus expected = slot == 0 && order < 14 ? StatusOk : StatusNoMemory;
        for (int32_t which = 0; which < 3; ++which) {
            platform::PoolFailNthAllocation(1);
            const PrimitiveStatus status = which == 0   ? kForwardReal[slot](x.data(), dst.data(), r.get(), nullptr)
                                           : which == 1 ? kInverseReal[slot](x.data(), dst.data(), r.get(), nullptr)
                                                        : ForwardComplexFft(x.data(), dst.data(), c.get(), nullptr);
            platform::PoolClearFailures();
            EXPECT_EQ(status, expected) << which;
            if (expected == StatusNoMemory) {
                for (float v : dst) ASSERT_EQ(v, 5.0f);
            }
            std::fill(dst.begin(), dst.end(), 5.0f);
        }
    }
    // Creation under each failing allocation leaves no block of the library.
    for (bool complexKind : {false, true}) {
        for (uint64_t failing : {1u, 2u}) {
            FftSpec* made = reinterpret_cast<FftSpec*>(0x40);
            platform::PoolFailNthAllocation(failing);
            EXPECT_EQ((complexKind ? CreateComplexFft : CreateRealFft)(&made, 12, FftScaleSqrt, 0), StatusNoMemory);
            platform::PoolClearFailures();
            EXPECT_EQ(made, reinterpret_cast<FftSpec*>(0x40));
        }
    }
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 2u);  // the two specifications of order 6
}

// A specification is read only by the slot that built it: every transform of any other slot
// refuses it with dst untouched, also where the two layouts have the same size (slot 1 against
// slots 2 and 3 at most orders, where the tables differ and the numbers would come out wrong), and
// between slots 2 and 3, whose layouts agree. The small orders need no tables and are refused
// all the same. The builder's own transforms take it.
TEST(SlotFftRecords, EveryOtherSlotRefusesARecord)
{
    struct Kind {
        bool complex;
        int32_t order;
    };
    const Kind kinds[] = {{false, 3},  {false, 4},  {false, 8},  {false, 11}, {false, 13}, {false, 16},
                          {false, 18}, {true, 2},   {true, 7},   {true, 10},  {true, 12},  {true, 15},
                          {true, 17}};
    const TransformFn complexForward[4] = {ForwardComplexFftGeneric, Sse3Variant::ForwardComplexFftSse3,
                                           Ssse3Variant::ForwardComplexFftSsse3, Sse41Variant::ForwardComplexFftSse41};
    for (const Kind& kind : kinds) {
        const size_t points = (kind.complex ? size_t{2} : size_t{1}) << kind.order;
        const std::vector<float> x = RandomSignal(points, 3);
        for (int32_t builder = 0; builder < 4; ++builder) {
            if (!coretest::ProcessorRunsSlot(builder)) continue;
            int32_t specBytes = 0, initBytes = 0, workBytes = 0;
            const SizeFn size = (kind.complex ? kComplexSize : kRealSize)[builder];
            ASSERT_EQ(size(kind.order, FftScaleNone, 0, &specBytes, &initBytes, &workBytes), StatusOk);
            std::vector<uint8_t> memory(static_cast<size_t>(specBytes)), init(static_cast<size_t>(initBytes) + 1);
            FftSpec* spec = nullptr;
            ASSERT_EQ((kind.complex ? kComplexInit : kRealInit)[builder](&spec, kind.order, FftScaleNone, 0,
                                                                           memory.data(), init.data()),
                      StatusOk);
            EXPECT_EQ(spec->builderSlot, static_cast<uint32_t>(builder));
            EXPECT_EQ(spec->reserved0, 0u);
            for (int32_t runner = 0; runner < 4; ++runner) {
                if (!coretest::ProcessorRunsSlot(runner)) continue;
                SCOPED_TRACE(::testing::Message() << (kind.complex ? "complex " : "real ") << kind.order << " built by "
                                                  << builder << " run by " << runner);
                const PrimitiveStatus expected = builder == runner ? StatusOk : StatusContextMismatch;
                std::vector<TransformFn> transforms;
                if (kind.complex) {
                    transforms = {complexForward[runner]};
                } else {
                    transforms = {kForwardReal[runner], kInverseReal[runner]};
                }
                for (TransformFn fn : transforms) {
                    std::vector<float> dst(points, 7.0f);
                    EXPECT_EQ(fn(x.data(), dst.data(), spec, nullptr), expected);
                    if (expected != StatusOk) {
                        for (float v : dst) ASSERT_EQ(v, 7.0f);
                    }
                }
            }
        }
    }
    // Through the entry points: a record built under one forced slot, run under another.
    FftSpec* spec = nullptr;
    {
        ScopedSlot one(1);
        if (!one.entered()) return;
        ASSERT_EQ(CreateRealFft(&spec, 9, FftScaleInverse, 0), StatusOk);
    }
    std::vector<float> data = RandomSignal(512, 5);
    const std::vector<float> before = data;
    {
        ScopedSlot two(2);
        if (two.entered()) {
            EXPECT_EQ(ForwardRealFftInPlace(data.data(), spec, nullptr), StatusContextMismatch);
            EXPECT_EQ(InverseRealFftInPlace(data.data(), spec, nullptr), StatusContextMismatch);
            EXPECT_EQ(data, before);
        }
    }
    {
        ScopedSlot one(1);
        EXPECT_EQ(ForwardRealFftInPlace(data.data(), spec, nullptr), StatusOk);
        EXPECT_EQ(DestroyRealFft(spec), StatusOk);
    }
}

// ---- products and recombination against slot 0 ----

class SlotFftProducts : public SlotFftSpec {};

TEST_P(SlotFftProducts, PackedProductsAreSlot0sBitForBit)
{
    PrimitiveStatus (*const inPlace[4])(const float*, float*, int32_t) = {
        MultiplyPackedSpectrumInPlace, Sse3Variant::MultiplyPackedSpectrumInPlaceSse3,
        Ssse3Variant::MultiplyPackedSpectrumInPlaceSsse3, Sse41Variant::MultiplyPackedSpectrumInPlaceSse41};
    const std::vector<float> a = RandomSignal(80, 1), b = RandomSignal(80, 2);
    for (int32_t len = 1; len <= 70; ++len) {
        for (size_t offset = 0; offset < 4; ++offset) {
            SCOPED_TRACE(::testing::Message() << "len " << len << " offset " << 4 * offset);
            coretest::GuardedWords pa(80, 4 * offset), pb(80, 4 * ((offset + 1) % 4)), pd(80, 4 * ((offset + 2) % 4));
            std::memcpy(pa.Floats(), a.data(), 80 * sizeof(float));
            std::memcpy(pb.Floats(), b.data(), 80 * sizeof(float));
            std::vector<float> want(80, 9.0f);
            ASSERT_EQ(MultiplyPackedSpectrumGeneric(a.data(), b.data(), want.data(), len), StatusOk);
            std::fill(pd.Floats(), pd.Floats() + 80, 9.0f);
            ASSERT_EQ(MultiplyPackedSpectrum(pa.Floats(), pb.Floats(), pd.Floats(), len), StatusOk);
            EXPECT_EQ(std::memcmp(pd.Floats(), want.data(), 80 * sizeof(float)), 0);
            ASSERT_EQ(inPlace[Slot()](pa.Floats(), pb.Floats(), len), StatusOk);
            EXPECT_EQ(std::memcmp(pb.Floats(), want.data(), static_cast<size_t>(len) * sizeof(float)), 0);
            EXPECT_TRUE(pa.GuardsIntact() && pb.GuardsIntact() && pd.GuardsIntact());
        }
    }
    float v[4] = {};
    EXPECT_EQ(MultiplyPackedSpectrum(nullptr, v, v, 0), StatusNullPointer);
    EXPECT_EQ(MultiplyPackedSpectrum(v, v + 1, v + 2, 0), StatusSizeError);
    EXPECT_EQ(inPlace[Slot()](v, nullptr, 4), StatusNullPointer);
    EXPECT_EQ(inPlace[Slot()](v, v, -1), StatusSizeError);
}

// The recombination steps on the grouped tables give slot 0's values on its tables, in place and
// out of place.
TEST_P(SlotFftProducts, RecombinationIsSlot0sBitForBit)
{
    using PostFn = void (*)(float*, int32_t, int32_t, const float*);
    using PreFn = void (*)(const float*, float*, int32_t, int32_t, const float*);
    const PostFn post[4] = {nullptr, Sse3Variant::RealForwardPostProcessSse, Ssse3Variant::RealForwardPostProcessSse,
                            Sse41Variant::RealForwardPostProcessSse};
    const PreFn pre[4] = {nullptr, Sse3Variant::RealInversePreProcessSse, Ssse3Variant::RealInversePreProcessSse,
                          Sse41Variant::RealInversePreProcessSse};
    if (Slot() == 0) GTEST_SKIP() << "slot 0 is the reference";
    for (int32_t order = 4; order <= 13; ++order) {
        SCOPED_TRACE(order);
        const int32_t n = 1 << (order - 1);
        CallerSpec mine(false, order, FftScaleNone);
        int32_t specBytes = 0, initBytes = 0, workBytes = 0;
        ASSERT_EQ(GetRealFftSizeGeneric(order, FftScaleNone, 0, &specBytes, &initBytes, &workBytes), StatusOk);
        std::vector<uint8_t> memory(static_cast<size_t>(specBytes)), init(static_cast<size_t>(initBytes) + 1);
        FftSpec* generic = nullptr;
        ASSERT_EQ(InitRealFftSpecGeneric(&generic, order, FftScaleNone, 0, memory.data(), init.data()), StatusOk);
        const std::vector<float> x = RandomSignal(size_t{2} * n + 2, 70u + static_cast<uint32_t>(order));
        std::vector<float> want = x, got = x;
        kvxfft::RealForwardPostProcess(want.data(), n, generic->forwardRecombination);
        post[Slot()](got.data(), n, 1, mine.spec->forwardRecombination);
        EXPECT_TRUE(SameBits(got, want));
        want = x;
        got.assign(x.size(), 3.0f);
        std::vector<float> inPlace = x;
        kvxfft::RealInversePreProcess(x.data(), want.data(), n, generic->inverseRecombination);
        pre[Slot()](x.data(), got.data(), n, -1, mine.spec->inverseRecombination);
        pre[Slot()](inPlace.data(), inPlace.data(), n, -1, mine.spec->inverseRecombination);
        for (int32_t i = 2; i < 2 * n; ++i) {
            ASSERT_EQ(coretest::Bits(got[static_cast<size_t>(i)]), coretest::Bits(want[static_cast<size_t>(i)])) << i;
            ASSERT_EQ(coretest::Bits(inPlace[static_cast<size_t>(i)]), coretest::Bits(want[static_cast<size_t>(i)])) << i;
        }
    }
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(SlotFftSpec);
KVX_INSTANTIATE_FOR_EVERY_SLOT(SlotFftErrors);
KVX_INSTANTIATE_FOR_EVERY_SLOT(SlotFftProducts);

}  // namespace
