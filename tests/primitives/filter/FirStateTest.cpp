// Single-rate FIR states in caller memory: sizes, layout, history order, the taps spectrum and
// placement at every buffer alignment.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "primitives/fft/RealFft.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/filter/FirTestSupport.h"

using namespace firtest;

namespace {

class FirStateLayout : public coretest::ForcedSlotTest {};
class FirStateSize : public coretest::ForcedSlotTest {};

TEST_P(FirStateSize, PinnedSizesAndFftChoice) {
    struct Case {
        int32_t taps;
        int32_t size;   // -1: not pinned, only checked against the layout sum
        int32_t fftLen;
    };
    const Case cases[] = {{1, -1, -1}, {20, 16912, -1}, {24, 16976, -1}, {63, -1, -1},
                          {64, -1, 256}, {101, -1, 256}, {127, -1, 256}, {128, -1, 512}, {256, -1, 1024},
                          {1024, -1, 4096}, {4096, -1, 16384}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.taps);
        int32_t size = 0;
        ASSERT_EQ(GetFirStateSize(c.taps, &size), StatusOk);
        // Slots 1 to 3 add the replicated taps (20 taps: 17,232 bytes).
        if (c.size >= 0) {
            EXPECT_EQ(size, c.size + ReplicatedBytes(c.taps));
        }
        const int32_t tapsBytes = (4 * c.taps + 15) & ~15;
        const int32_t delayBytes = (12 * c.taps + 31) & ~15;
        int32_t fft = 0;
        if (c.fftLen > 0) {
            int32_t order = 0;
            while ((1 << order) < c.fftLen) ++order;
            int32_t spec = 0, init = 0, work = 0;
            ASSERT_EQ(GetRealFftSize(order, FftScaleInverse, 0, &spec, &init, &work), StatusOk);
            fft = spec + init + work + 2 * ((4 * c.fftLen + 15) & ~15);
        }
        EXPECT_EQ(size, 16576 + tapsBytes + delayBytes + fft + ReplicatedBytes(c.taps));

        InBufferFir fir(std::vector<float>(static_cast<size_t>(c.taps), 0.5f));
        ASSERT_EQ(fir.status, StatusOk);
        EXPECT_EQ(fir.state->fftLen, c.fftLen);
        EXPECT_EQ(fir.state->fftSpec == nullptr, c.fftLen < 0);
        EXPECT_EQ(fir.state->delayInputCount, ((c.taps + 3) & ~3) | 1);
        EXPECT_EQ(fir.state->delayLen, c.taps);
        EXPECT_TRUE(fir.buffer->GuardIntact());
    }
}

TEST_P(FirStateSize, HugeTapCountsAreRefusedNotWrapped) {
    // 12 * tapsLen and the FFT areas wrap 32 bits: the size is refused, not reported small.
    int32_t size = 12345;
    EXPECT_EQ(GetFirStateSize(INT32_MAX, &size), StatusFirLengthError);
    EXPECT_EQ(GetFirStateSize(200000000, &size), StatusFirLengthError);
    EXPECT_EQ(size, 12345);
    uint8_t buffer[64];
    std::memset(buffer, 0xCD, sizeof(buffer));
    FirState* state = reinterpret_cast<FirState*>(uintptr_t{0x1234});
    const float tap = 1.0f;
    // The taps are never read: the size is refused before anything is built.
    EXPECT_EQ(InitFirState(&state, &tap, 200000000, nullptr, buffer), StatusFirLengthError);
    EXPECT_EQ(state, reinterpret_cast<FirState*>(uintptr_t{0x1234}));
    for (uint8_t b : buffer) ASSERT_EQ(b, 0xCD);
    // The largest counts that fit still get a size (no FFT past order 27); the replicated taps of
    // slots 1 to 3 take 16 bytes more per tap, which 100,000,000 taps no longer fit.
    if (Slot() == 0) {
        EXPECT_EQ(GetFirStateSize(100000000, &size), StatusOk);
        EXPECT_GT(size, 16 * 100000000);
    } else {
        EXPECT_EQ(GetFirStateSize(100000000, &size), StatusFirLengthError);
        EXPECT_EQ(InitFirState(&state, &tap, 100000000, nullptr, buffer), StatusFirLengthError);
        EXPECT_EQ(GetFirStateSize(20000000, &size), StatusOk);
        EXPECT_GT(size, 32 * 20000000);
    }
}

TEST_P(FirStateLayout, HeaderAreasAndContents) {
    const std::vector<float> h = RandomSignal(101, 7);
    const std::vector<float> history = RandomSignal(101, 8);
    InBufferFir fir(h, history.data(), 4);
    ASSERT_EQ(fir.status, StatusOk);
    FirState* s = fir.state;
    auto* base = reinterpret_cast<uint8_t*>(s);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % 16, 0u);
    EXPECT_EQ(base - fir.buffer->Data(), 12);
    EXPECT_EQ(s->tag, StateIdFir);
    EXPECT_EQ(s->owned, 0);
    EXPECT_EQ(s->delayIndex, 0);
    EXPECT_EQ(s->phaseTable, nullptr);
    EXPECT_EQ(s->builderSlot, static_cast<uint32_t>(Slot()));
    EXPECT_EQ(reinterpret_cast<uint8_t*>(s->reversedTaps), base + 160);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(s->delayLine), base + 160 + 416);
    // Slots 1 to 3: the replicated taps after the delay line, in their given order.
    const int32_t replicated = ReplicatedBytes(101);
    if (Slot() == 0) {
        EXPECT_EQ(s->laneTaps, nullptr);
    } else {
        EXPECT_EQ(reinterpret_cast<uint8_t*>(s->laneTaps), base + 160 + 416 + 1232);
        for (int i = 0; i < 4 * 101; ++i) ASSERT_EQ(Bits(s->laneTaps[i]), Bits(h[i / 4])) << i;
    }
    EXPECT_EQ(static_cast<uint8_t*>(s->delayEnd), base + 160 + 416 + 1232 + replicated);
    // The FFT specification sits in its area, at the area's start rounded up to 32.
    const uint8_t* specArea = base + 160 + 416 + 1232 + replicated + 16;
    EXPECT_GE(reinterpret_cast<uint8_t*>(s->fftSpec), specArea);
    EXPECT_LT(reinterpret_cast<uint8_t*>(s->fftSpec), specArea + 32);
    // The slot's specification layout needs a work buffer from order 4 on, slot 0's none up to 13.
    EXPECT_EQ(s->fftWorkSize, SlotFftWorkBytes(8));
    EXPECT_EQ(s->fftWork == nullptr, Slot() == 0);
    EXPECT_EQ(static_cast<uint8_t*>(s->workArea), reinterpret_cast<uint8_t*>(s->fftBlock) + 1024);
    int32_t size = 0;
    ASSERT_EQ(GetFirStateSize(101, &size), StatusOk);
    EXPECT_LE(static_cast<uint8_t*>(s->workArea) + 16384, fir.buffer->Data() + size);

    for (int i = 0; i < 101; ++i) {
        EXPECT_EQ(Bits(s->reversedTaps[i]), Bits(h[100 - i]));
        EXPECT_EQ(Bits(s->delayLine[i]), Bits(history[100 - i]));  // most recent input last
    }
    // The taps spectrum is the forward transform of the zero-padded taps in their given order, by
    // the slot's transform (a specification fits only the slot that built it).
    std::vector<float> spectrum(256, 0.0f);
    std::copy(h.begin(), h.end(), spectrum.begin());
    ASSERT_EQ(ForwardRealFftInPlace(spectrum.data(), s->fftSpec, s->fftWork), StatusOk);
    EXPECT_EQ(std::memcmp(spectrum.data(), s->tapsSpectrum, sizeof(float) * 256), 0);
}

TEST_P(FirStateLayout, HistoryOrderAndZeroHistory) {
    const float history[3] = {1, 2, 3};
    InBufferFir given({1, 2, 3}, history);
    ASSERT_EQ(given.status, StatusOk);
    EXPECT_EQ(given.state->delayLine[0], 3.0f);
    EXPECT_EQ(given.state->delayLine[1], 2.0f);
    EXPECT_EQ(given.state->delayLine[2], 1.0f);
    InBufferFir zero({1, 2, 3});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Bits(zero.state->delayLine[i]), 0u);
    InBufferFir one({2.0f});
    EXPECT_EQ(one.state->delayInputCount, 5);
    EXPECT_EQ(one.state->delayLen, 1);
    EXPECT_EQ(one.state->fftLen, -1);
}

TEST_P(FirStateLayout, EveryOffsetStaysInsideTheReportedSize) {
    for (int32_t taps : {1, 20, 63, 64, 300}) {
        const std::vector<float> h = RandomSignal(static_cast<size_t>(taps), 11);
        const std::vector<float> x = RandomSignal(700, 12);
        for (size_t offset = 0; offset < 32; ++offset) {
            SCOPED_TRACE(::testing::Message() << taps << " taps at offset " << offset);
            InBufferFir fir(h, nullptr, offset);
            ASSERT_EQ(fir.status, StatusOk);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(fir.state) % 16, 0u);
            // Run both paths, so every scratch area is written too.
            std::vector<float> y(700);
            ASSERT_EQ(FilterFir(x.data(), y.data(), 700, fir.state), StatusOk);
            ASSERT_EQ(FilterFir(x.data(), y.data(), 37, fir.state), StatusOk);
            EXPECT_TRUE(fir.buffer->GuardIntact());
        }
    }
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(FirStateLayout);
KVX_INSTANTIATE_FOR_EVERY_SLOT(FirStateSize);

}  // namespace
