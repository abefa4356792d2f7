// FIR states in a block of their own: layout and size, allocation failures at each allocation,
// and destruction of owned and caller-memory states.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/nt/Pool.h"
#include "primitives/core/Memory.h"
#include "primitives/fft/RealFft.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/filter/FirTestSupport.h"
#include "platform/nt/PoolHost.h"

using namespace firtest;

namespace {

class FirOwnedState : public coretest::ForcedSlotTest {};

// Bytes the block was asked for: the pool block less the aligned allocation's overhead.
size_t BlockBytes(const void* state) {
    ULONG tag = 0;
    POOL_TYPE type{};
    SIZE_T size = 0;
    // The raw allocation sits right below the aligned block.
    void* raw = nullptr;
    std::memcpy(&raw, static_cast<const uint8_t*>(state) - sizeof(void*), sizeof(raw));
    EXPECT_TRUE(platform::PoolQueryBlock(raw, &tag, &type, &size));
    EXPECT_EQ(tag, PRIMITIVES_POOL_TAG);
    return size - ALIGNED_BLOCK_OVERHEAD;
}

TEST_P(FirOwnedState, LayoutSizesAndContents) {
    struct Case {
        int32_t taps;
        size_t bytes;
        int32_t fftLen;
    };
    const Case cases[] = {{1, 16608, -1}, {63, 17600, -1}, {64, 0, 256}, {256, 28864, 1024}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.taps);
        const std::vector<float> h = RandomSignal(static_cast<size_t>(c.taps), 50u + c.taps);
        const std::vector<float> history = RandomSignal(static_cast<size_t>(c.taps), 60u + c.taps);
        FirState* s = nullptr;
        ASSERT_EQ(CreateFirState(&s, h.data(), c.taps, history.data()), StatusOk);
        ASSERT_NE(s, nullptr);
        // Slots 1 to 3 add the replicated taps (63 taps: 18,624 bytes).
        // The slot's FFT work buffer too (order 10 for 256 taps).
        if (c.bytes > 0) {
            const int32_t work = c.fftLen > 0 ? SlotFftWorkBytes(10) : 0;
            EXPECT_EQ(BlockBytes(s), c.bytes + static_cast<size_t>(ReplicatedBytes(c.taps) + work));
        }
        EXPECT_EQ(s->builderSlot, static_cast<uint32_t>(Slot()));
        if (Slot() != 0) {
            // After the gap that ends the delay area, in the taps' given order.
            EXPECT_EQ(reinterpret_cast<uint8_t*>(s->laneTaps), static_cast<uint8_t*>(s->delayEnd) + 16);
            for (int32_t i = 0; i < 4 * c.taps; ++i) ASSERT_EQ(Bits(s->laneTaps[i]), Bits(h[i / 4])) << i;
        }
        EXPECT_EQ(s->tag, StateIdFir);
        EXPECT_EQ(s->owned, 1);
        EXPECT_EQ(s->fftLen, c.fftLen);
        EXPECT_EQ(s->fftSpec == nullptr, c.fftLen < 0);
        EXPECT_EQ(s->tapsSpectrum == nullptr, c.fftLen < 0);
        EXPECT_EQ(s->delayInputCount, ((c.taps + 3) & ~3) | 1);
        EXPECT_EQ(s->delayLen, c.taps);
        EXPECT_EQ(s->fftWork == nullptr, Slot() == 0 || c.fftLen < 0);
        EXPECT_EQ(s->fftWorkSize, c.fftLen < 0 ? 0 : SlotFftWorkBytes(c.fftLen == 256 ? 8 : 10));
        EXPECT_EQ(reinterpret_cast<uint8_t*>(s->reversedTaps), reinterpret_cast<uint8_t*>(s) + 160);
        for (int32_t i = 0; i < c.taps; ++i) {
            EXPECT_EQ(Bits(s->reversedTaps[i]), Bits(h[c.taps - 1 - i]));
            EXPECT_EQ(Bits(s->delayLine[i]), Bits(history[c.taps - 1 - i]));
        }
        if (c.fftLen < 0) {
            EXPECT_EQ(static_cast<void*>(s->fftBlock), s->workArea);
        }
        if (c.fftLen > 0) {
            std::vector<float> spectrum(static_cast<size_t>(c.fftLen), 0.0f);
            std::copy(h.begin(), h.end(), spectrum.begin());
            ASSERT_EQ(ForwardRealFftInPlace(spectrum.data(), s->fftSpec, s->fftWork), StatusOk);
            EXPECT_EQ(std::memcmp(spectrum.data(), s->tapsSpectrum, sizeof(float) * spectrum.size()), 0);
        }
        // It filters like a state in caller memory, on both paths.
        InBufferFir reference(h, history.data());
        const std::vector<float> x = RandomSignal(1500, 70);
        std::vector<float> a(1500), b(1500);
        for (int32_t n : {600, 900}) {
            const size_t at = n == 600 ? 0 : 600;
            ASSERT_EQ(FilterFir(x.data() + at, a.data() + at, n, s), StatusOk);
            ASSERT_EQ(FilterFir(x.data() + at, b.data() + at, n, reference.state), StatusOk);
        }
        EXPECT_EQ(std::memcmp(a.data(), b.data(), sizeof(float) * 1500), 0);
        EXPECT_EQ(DestroyFirState(s), StatusOk);
        EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
    }
}

TEST_P(FirOwnedState, AllocationFailureAtEachAllocation) {
    FirState* const canary = reinterpret_cast<FirState*>(uintptr_t{0xC0FFEE0});
    struct Case {
        int32_t taps;
        uint64_t failing;  // which allocation of the create fails
        PrimitiveStatus status;
    };
    // With an FFT the FFT specification comes first (from 512 taps in two allocations, its block and
    // the initialisation buffer); losing it leaves a direct-form state. The state's block is last.
    const Case cases[] = {{20, 1, StatusNoMemory},   {256, 1, StatusOk},  {256, 2, StatusNoMemory},
                          {1024, 1, StatusOk},       {1024, 2, StatusOk}, {1024, 3, StatusNoMemory}};
    const std::vector<float> x = RandomSignal(600, 81);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.taps << " taps, allocation " << c.failing);
        const std::vector<float> h = RandomSignal(static_cast<size_t>(c.taps), 80);
        platform::PoolFailNthAllocation(c.failing);
        FirState* s = canary;
        ASSERT_EQ(CreateFirState(&s, h.data(), c.taps, nullptr), c.status);
        platform::PoolClearFailures();
        if (c.status != StatusOk) {
            EXPECT_EQ(s, canary);
            EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
            continue;
        }
        EXPECT_EQ(s->fftSpec, nullptr);
        EXPECT_EQ(s->tapsSpectrum, nullptr);
        EXPECT_EQ(s->fftLen, -1);
        const size_t T = (4 * static_cast<size_t>(c.taps) + 15) & ~size_t{15};
        const size_t D = (12 * static_cast<size_t>(c.taps) + 31) & ~size_t{15};
        EXPECT_EQ(BlockBytes(s), T + D + 16560 + static_cast<size_t>(ReplicatedBytes(c.taps)));
        EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 1u);
        std::vector<float> y(600);
        ASSERT_EQ(FilterFir(x.data(), y.data(), 600, s), StatusOk);
        const std::vector<float> exact = ConvolveFloatOrdered(h, std::vector<float>(h.size(), 0.0f), x);
        EXPECT_EQ(std::memcmp(y.data(), exact.data(), sizeof(float) * 600), 0);
        EXPECT_EQ(DestroyFirState(s), StatusOk);
        EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
    }

    // A block that would not fit the 32-bit size: -9 before anything is allocated.
    const float tap = 1.0f;
    FirState* s = canary;
    EXPECT_EQ(CreateFirState(&s, &tap, 200000000, nullptr), StatusNoMemory);
    EXPECT_EQ(s, canary);
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
}

TEST_P(FirOwnedState, DestroyAcceptsCallerMemoryStatesAndRefusesOtherRecords) {
    const std::vector<float> h = RandomSignal(100, 90);
    InBufferFir single(h);
    EXPECT_EQ(DestroyFirState(single.state), StatusOk);
    EXPECT_EQ(single.state->tag, StateIdFir);
    const std::vector<float> x = RandomSignal(64, 91);
    std::vector<float> y(64);
    EXPECT_EQ(FilterFir(x.data(), y.data(), 64, single.state), StatusOk);

    int32_t size = 0;
    ASSERT_EQ(GetMultiRateFirStateSize(66, 2, 1, &size), StatusOk);
    std::vector<uint8_t> buffer(static_cast<size_t>(size));
    MultiRateFirState* multi = nullptr;
    ASSERT_EQ(InitMultiRateFirState(&multi, h.data(), 66, 2, 0, 1, 0, nullptr, buffer.data()), StatusOk);
    EXPECT_EQ(DestroyFirState(multi), StatusOk);
    EXPECT_EQ(FilterFir(x.data(), y.data(), 32, multi), StatusOk);

    // An IIR state (its tag first) is not a FIR state.
    alignas(16) uint8_t iir[256] = {};
    const uint32_t iirTag = 0x49493031u;
    std::memcpy(iir, &iirTag, sizeof(iirTag));
    EXPECT_EQ(DestroyFirState(reinterpret_cast<FirState*>(iir)), StatusContextMismatch);
    EXPECT_EQ(DestroyFirState(nullptr), StatusNullPointer);
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(FirOwnedState);

}  // namespace
