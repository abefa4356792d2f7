// The FIR entry points as callers see them: the order of the argument checks with nothing
// written on any error, the dispatch slots, and every filter path at DISPATCH_LEVEL with
// allocations failing.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "primitives/core/Dispatch.h"
#include "primitives/core/Memory.h"
#include "primitives/filter/IirFilter.h"
#include "primitives/filter/Resample.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/filter/FirTestSupport.h"
#include "platform/nt/PoolHost.h"

using namespace firtest;

namespace {

class FirEntries : public coretest::ForcedSlotTest {};

constexpr float CANARY = -12345.5f;
FirState* const CANARY_STATE = reinterpret_cast<FirState*>(uintptr_t{0xBADC0DE0});
MultiRateFirState* const CANARY_MULTI = reinterpret_cast<MultiRateFirState*>(uintptr_t{0xBADC0DE0});

// Everything an entry could write, filled with canaries; Intact() says whether any changed.
struct Canvas {
    Canvas() : h(RandomSignal(20, 1)), x(RandomSignal(64, 2)) {
        std::memset(buffer, 0xCD, sizeof(buffer));
        std::fill(std::begin(dst), std::end(dst), CANARY);
        std::fill(std::begin(line), std::end(line), CANARY);
        int32_t size = 0;
        GetFirStateSize(20, &size);
        fir.resize(static_cast<size_t>(size));
        InitFirState(&firState, h.data(), 20, nullptr, fir.data());
        GetMultiRateFirStateSize(20, 2, 3, &size);
        multi.resize(static_cast<size_t>(size));
        InitMultiRateFirState(&multiState, h.data(), 20, 2, 1, 3, 2, nullptr, multi.data());
        std::memset(iir, 0, sizeof(iir));
        const uint32_t iirTag = 0x49493031u;
        std::memcpy(iir, &iirTag, sizeof(iirTag));
        firBefore = fir;
        multiBefore = multi;
    }
    bool Intact() const {
        for (uint8_t b : buffer) {
            if (b != 0xCD) return false;
        }
        for (float v : dst) {
            if (Bits(v) != Bits(CANARY)) return false;
        }
        for (float v : line) {
            if (Bits(v) != Bits(CANARY)) return false;
        }
        return pState == CANARY_STATE && pMulti == CANARY_MULTI && size == 777 && Bits(y) == Bits(CANARY) &&
               index == 1 && fir == firBefore && multi == multiBefore;
    }

    std::vector<float> h, x;
    alignas(16) uint8_t buffer[32768];
    float dst[256];
    float line[8];
    FirState* pState = CANARY_STATE;
    MultiRateFirState* pMulti = CANARY_MULTI;
    int32_t size = 777;
    float y = CANARY;
    int32_t index = 1;
    std::vector<uint8_t> fir, multi, firBefore, multiBefore;
    FirState* firState = nullptr;
    MultiRateFirState* multiState = nullptr;
    alignas(16) uint8_t iir[256];
};

struct ErrorCase {
    const char* what;
    PrimitiveStatus expected;
    std::function<PrimitiveStatus(Canvas&)> call;
};

TEST_P(FirEntries, ArgumentErrorsInOrderWriteNothing) {
    const ErrorCase cases[] = {
        // Pointers before the tap count; the tap count before anything else.
        {"Init null ppState", StatusNullPointer,
         [](Canvas& c) { return InitFirState(nullptr, c.h.data(), 0, nullptr, c.buffer); }},
        {"Init null taps", StatusNullPointer,
         [](Canvas& c) { return InitFirState(&c.pState, nullptr, 0, nullptr, c.buffer); }},
        {"Init null buffer", StatusNullPointer,
         [](Canvas& c) { return InitFirState(&c.pState, c.h.data(), 0, nullptr, nullptr); }},
        {"Init zero taps", StatusFirLengthError,
         [](Canvas& c) { return InitFirState(&c.pState, c.h.data(), 0, nullptr, c.buffer); }},
        {"Init negative taps", StatusFirLengthError,
         [](Canvas& c) { return InitFirState(&c.pState, c.h.data(), -3, nullptr, c.buffer); }},
        {"Size null pointer", StatusNullPointer, [](Canvas&) { return GetFirStateSize(0, nullptr); }},
        {"Size zero taps", StatusFirLengthError, [](Canvas& c) { return GetFirStateSize(0, &c.size); }},
        // Multi-rate: tap count, then factors, then phases.
        {"Multi null ppState", StatusNullPointer,
         [](Canvas& c) { return InitMultiRateFirState(nullptr, c.h.data(), 0, 0, 5, 0, 5, nullptr, c.buffer); }},
        {"Multi null taps", StatusNullPointer,
         [](Canvas& c) { return InitMultiRateFirState(&c.pMulti, nullptr, 0, 0, 5, 0, 5, nullptr, c.buffer); }},
        {"Multi null buffer", StatusNullPointer,
         [](Canvas& c) { return InitMultiRateFirState(&c.pMulti, c.h.data(), 0, 0, 5, 0, 5, nullptr, nullptr); }},
        {"Multi zero taps", StatusFirLengthError,
         [](Canvas& c) { return InitMultiRateFirState(&c.pMulti, c.h.data(), 0, 0, 5, 0, 5, nullptr, c.buffer); }},
        {"Multi zero up", StatusMultiRateFactorError,
         [](Canvas& c) { return InitMultiRateFirState(&c.pMulti, c.h.data(), 20, 0, 5, 1, 5, nullptr, c.buffer); }},
        {"Multi negative down", StatusMultiRateFactorError,
         [](Canvas& c) { return InitMultiRateFirState(&c.pMulti, c.h.data(), 20, 2, 5, -1, 5, nullptr, c.buffer); }},
        {"Multi upPhase = up", StatusMultiRatePhaseError,
         [](Canvas& c) { return InitMultiRateFirState(&c.pMulti, c.h.data(), 20, 2, 2, 3, 0, nullptr, c.buffer); }},
        {"Multi negative upPhase", StatusMultiRatePhaseError,
         [](Canvas& c) { return InitMultiRateFirState(&c.pMulti, c.h.data(), 20, 2, -1, 3, 0, nullptr, c.buffer); }},
        {"Multi downPhase = down", StatusMultiRatePhaseError,
         [](Canvas& c) { return InitMultiRateFirState(&c.pMulti, c.h.data(), 20, 2, 0, 3, 3, nullptr, c.buffer); }},
        {"Multi size null", StatusNullPointer, [](Canvas&) { return GetMultiRateFirStateSize(0, 0, 0, nullptr); }},
        {"Multi size zero taps", StatusFirLengthError,
         [](Canvas& c) { return GetMultiRateFirStateSize(0, 0, 0, &c.size); }},
        {"Multi size zero down", StatusMultiRateFactorError,
         [](Canvas& c) { return GetMultiRateFirStateSize(20, 1, 0, &c.size); }},
        // Filtering: pointers, then the count, then the tag.
        {"Filter null state", StatusNullPointer, [](Canvas& c) { return FilterFir(c.x.data(), c.dst, 0, nullptr); }},
        {"Filter null src", StatusNullPointer, [](Canvas& c) { return FilterFir(nullptr, c.dst, 0, c.firState); }},
        {"Filter null dst", StatusNullPointer, [](Canvas& c) { return FilterFir(c.x.data(), nullptr, 0, c.firState); }},
        {"Filter zero count", StatusSizeError, [](Canvas& c) { return FilterFir(c.x.data(), c.dst, 0, c.firState); }},
        {"Filter negative count", StatusSizeError,
         [](Canvas& c) { return FilterFir(c.x.data(), c.dst, -1, c.multiState); }},
        {"Filter IIR state, zero count", StatusSizeError,
         [](Canvas& c) { return FilterFir(c.x.data(), c.dst, 0, reinterpret_cast<FirState*>(c.iir)); }},
        {"Filter IIR state", StatusContextMismatch,
         [](Canvas& c) { return FilterFir(c.x.data(), c.dst, 4, reinterpret_cast<FirState*>(c.iir)); }},
        {"Filter unknown mode", StatusContextMismatch, [](Canvas& c) {
             c.multiState->mode = 4;
             const PrimitiveStatus s = FilterFir(c.x.data(), c.dst, 4, c.multiState);
             c.multiState->mode = MultiRateFirMode(20, 2, 3);
             return s;
         }},
        // One sample: output and taps, then the count, then the line and index, then the index range.
        {"One null output", StatusNullPointer,
         [](Canvas& c) { return FilterFirOneSample(1.0f, nullptr, c.h.data(), 0, nullptr, nullptr); }},
        {"One null taps", StatusNullPointer,
         [](Canvas& c) { return FilterFirOneSample(1.0f, &c.y, nullptr, 0, nullptr, nullptr); }},
        {"One zero taps, null line", StatusFirLengthError,
         [](Canvas& c) { return FilterFirOneSample(1.0f, &c.y, c.h.data(), 0, nullptr, &c.index); }},
        {"One null line", StatusNullPointer,
         [](Canvas& c) { return FilterFirOneSample(1.0f, &c.y, c.h.data(), 1, nullptr, &c.index); }},
        {"One null index", StatusNullPointer,
         [](Canvas& c) { return FilterFirOneSample(1.0f, &c.y, c.h.data(), 4, c.line, nullptr); }},
        {"One index = tapsLen", StatusSamplePhaseError,
         [](Canvas& c) { return FilterFirOneSample(1.0f, &c.y, c.h.data(), 1, c.line, &c.index); }},
        // Own memory.
        {"Create null ppState", StatusNullPointer,
         [](Canvas& c) { return CreateFirState(nullptr, c.h.data(), 0, nullptr); }},
        {"Create null taps", StatusNullPointer,
         [](Canvas& c) { return CreateFirState(&c.pState, nullptr, 0, nullptr); }},
        {"Create zero taps", StatusFirLengthError,
         [](Canvas& c) { return CreateFirState(&c.pState, c.h.data(), 0, c.line); }},
        {"Destroy null", StatusNullPointer, [](Canvas&) { return DestroyFirState(nullptr); }},
        {"Destroy IIR state", StatusContextMismatch,
         [](Canvas& c) { return DestroyFirState(reinterpret_cast<FirState*>(c.iir)); }},
    };
    for (const ErrorCase& e : cases) {
        Canvas canvas;
        EXPECT_EQ(e.call(canvas), e.expected) << e.what;
        EXPECT_TRUE(canvas.Intact()) << e.what;
    }
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
}

TEST(FirEntryTables, EachSlotHoldsItsOwnBody) {
#define EXPECT_SLOT_BODIES(Name)                                                         \
    EXPECT_EQ(Name##DispatchTable.Slot[0], &Name##Generic) << #Name;                     \
    EXPECT_EQ(Name##DispatchTable.Slot[1], &Sse3Variant::Name##Sse3) << #Name;           \
    EXPECT_EQ(Name##DispatchTable.Slot[2], &Ssse3Variant::Name##Ssse3) << #Name;         \
    EXPECT_EQ(Name##DispatchTable.Slot[3], &Sse41Variant::Name##Sse41) << #Name;
    EXPECT_SLOT_BODIES(InitFirState)
    EXPECT_SLOT_BODIES(GetFirStateSize)
    EXPECT_SLOT_BODIES(InitMultiRateFirState)
    EXPECT_SLOT_BODIES(GetMultiRateFirStateSize)
    EXPECT_SLOT_BODIES(FilterFir)
    EXPECT_SLOT_BODIES(FilterFirOneSample)
    EXPECT_SLOT_BODIES(CreateFirState)
    EXPECT_SLOT_BODIES(FilterIir)
    EXPECT_SLOT_BODIES(FilterIirInPlace)
    EXPECT_SLOT_BODIES(InitIirState)
    EXPECT_SLOT_BODIES(CreateIirState)
    EXPECT_SLOT_BODIES(UpsampleFloat)
    EXPECT_SLOT_BODIES(DownsampleFloat)
#undef EXPECT_SLOT_BODIES
    // One body for every slot; the IIR size query of slot 3 is the slot-2 body.
    for (int slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(DestroyFirStateDispatchTable.Slot[slot], &DestroyFirStateGeneric);
        EXPECT_EQ(DestroyIirStateDispatchTable.Slot[slot], &DestroyIirStateGeneric);
    }
    EXPECT_EQ(GetIirStateSizeDispatchTable.Slot[0], &GetIirStateSizeGeneric);
    EXPECT_EQ(GetIirStateSizeDispatchTable.Slot[1], &Sse3Variant::GetIirStateSizeSse3);
    EXPECT_EQ(GetIirStateSizeDispatchTable.Slot[2], &Ssse3Variant::GetIirStateSizeSsse3);
    EXPECT_EQ(GetIirStateSizeDispatchTable.Slot[3], &Ssse3Variant::GetIirStateSizeSsse3);
}

TEST_P(FirEntries, EveryPathRunsAtDispatchLevelWithoutAllocating) {
    // States built beforehand, at PASSIVE_LEVEL: in caller memory and owned, direct form and FFT
    // (4,096 taps needs an FFT work buffer), and the three multi-rate modes.
    std::vector<InBufferFir> singles;
    std::vector<FirState*> owned;
    for (int32_t taps : {20, 101, 4096}) {
        singles.emplace_back(RandomSignal(static_cast<size_t>(taps), 3u + taps));
        ASSERT_EQ(singles.back().status, StatusOk);
        FirState* s = nullptr;
        ASSERT_EQ(CreateFirState(&s, RandomSignal(static_cast<size_t>(taps), 4u).data(), taps, nullptr), StatusOk);
        owned.push_back(s);
    }
    EXPECT_GT(singles.back().state->fftWorkSize, 0);
    EXPECT_NE(owned.back()->fftWork, nullptr);
    struct Rate {
        int32_t taps, up, down;
    };
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<MultiRateFirState*> multis;
    for (Rate r : {Rate{66, 2, 1}, Rate{10, 1, 5}, Rate{10, 3, 20}}) {
        int32_t size = 0;
        ASSERT_EQ(GetMultiRateFirStateSize(r.taps, r.up, r.down, &size), StatusOk);
        buffers.emplace_back(static_cast<size_t>(size));
        MultiRateFirState* m = nullptr;
        ASSERT_EQ(InitMultiRateFirState(&m, RandomSignal(static_cast<size_t>(r.taps), 5).data(), r.taps, r.up, 0,
                                        r.down, 0, nullptr, buffers.back().data()),
                  StatusOk);
        multis.push_back(m);
    }
    const std::vector<float> x = RandomSignal(20000, 6);
    std::vector<float> y(20000 * 3);
    const std::vector<float> taps = RandomSignal(24, 7);
    std::vector<float> line(48, 0.0f);
    int32_t index = 0;

    const uint64_t injectedBefore = platform::PoolInjectedFailures();
    platform::PoolFailNextWithTag(PRIMITIVES_POOL_TAG, 1000000);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (size_t i = 0; i < singles.size(); ++i) {
        for (int32_t n : {7, 511, 512, 20000}) {
            EXPECT_EQ(FilterFir(x.data(), y.data(), n, singles[i].state), StatusOk);
            EXPECT_EQ(FilterFir(x.data(), y.data(), n, owned[i]), StatusOk);
        }
    }
    for (MultiRateFirState* m : multis) {
        for (int32_t n : {1, 3, 1000}) EXPECT_EQ(FilterFir(x.data(), y.data(), n, m), StatusOk);
    }
    float out = 0.0f;
    EXPECT_EQ(FilterFirOneSample(1.0f, &out, taps.data(), 24, line.data(), &index), StatusOk);
    KeLowerIrql(old);
    platform::PoolClearFailures();
    EXPECT_EQ(platform::PoolInjectedFailures(), injectedBefore);

    for (FirState* s : owned) EXPECT_EQ(DestroyFirState(s), StatusOk);
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(FirEntries);

}  // namespace

namespace {

// A state is laid out for the slot that built it; the dispatch index can be forced, and every
// filter body refuses a state of another slot's layout instead of reading pointers its builder
// never wrote. Destroy has one body for every layout.
TEST(FilterStates, EveryFilterBodyRefusesAnotherSlotsState) {
    const int32_t saved = DispatchIndex;
    const std::vector<float> h = RandomSignal(20, 1), x = RandomSignal(64, 2);
    const std::vector<float> iirTaps = {0.5f, 0.25f, 1.0f, -0.5f};
    for (int32_t builder = 0; builder < 4; ++builder) {
        if (!coretest::ProcessorRunsSlot(builder)) continue;
        DispatchIndex = builder;
        int32_t size = 0;
        ASSERT_EQ(GetFirStateSize(20, &size), StatusOk);
        std::vector<uint8_t> fir(static_cast<size_t>(size));
        FirState* single = nullptr;
        ASSERT_EQ(InitFirState(&single, h.data(), 20, nullptr, fir.data()), StatusOk);
        ASSERT_EQ(GetMultiRateFirStateSize(20, 2, 3, &size), StatusOk);
        std::vector<uint8_t> multiMemory(static_cast<size_t>(size));
        MultiRateFirState* multi = nullptr;
        ASSERT_EQ(InitMultiRateFirState(&multi, h.data(), 20, 2, 0, 3, 0, nullptr, multiMemory.data()), StatusOk);
        ASSERT_EQ(GetIirStateSize(1, &size), StatusOk);
        std::vector<uint8_t> iirMemory(static_cast<size_t>(size));
        IirState* iir = nullptr;
        ASSERT_EQ(InitIirState(&iir, iirTaps.data(), 1, nullptr, iirMemory.data()), StatusOk);
        FirState* owned = nullptr;
        ASSERT_EQ(CreateFirState(&owned, h.data(), 20, nullptr), StatusOk);
        IirState* ownedIir = nullptr;
        ASSERT_EQ(CreateIirState(&ownedIir, iirTaps.data(), 1, nullptr), StatusOk);
        EXPECT_EQ(single->builderSlot, static_cast<uint32_t>(builder));
        EXPECT_EQ(iir->builderSlot, static_cast<uint32_t>(builder));

        for (int32_t runner = 0; runner < 4; ++runner) {
            if (!coretest::ProcessorRunsSlot(runner)) continue;
            DispatchIndex = runner;
            const PrimitiveStatus want = runner == builder ? StatusOk : StatusContextMismatch;
            std::vector<float> y(192, CANARY);
            const std::vector<uint8_t> firBefore = fir, multiBefore = multiMemory, iirBefore = iirMemory;
            EXPECT_EQ(FilterFir(x.data(), y.data(), 16, single), want) << builder << " in " << runner;
            EXPECT_EQ(FilterFir(x.data(), y.data(), 16, multi), want) << builder << " in " << runner;
            EXPECT_EQ(FilterFir(x.data(), y.data(), 16, owned), want) << builder << " in " << runner;
            EXPECT_EQ(FilterIir(x.data(), y.data(), 16, iir), want) << builder << " in " << runner;
            EXPECT_EQ(FilterIirInPlace(y.data(), 16, ownedIir), want) << builder << " in " << runner;
            if (want != StatusOk) {
                for (float v : y) ASSERT_EQ(Bits(v), Bits(CANARY));
                EXPECT_EQ(fir, firBefore);
                EXPECT_EQ(multiMemory, multiBefore);
                EXPECT_EQ(iirMemory, iirBefore);
            }
        }
        DispatchIndex = 0;
        EXPECT_EQ(DestroyFirState(owned), StatusOk);
        EXPECT_EQ(DestroyIirState(ownedIir), StatusOk);
    }
    DispatchIndex = saved;
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
}

}  // namespace
