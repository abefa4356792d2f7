// Single-rate FIR filtering against references: the direct form bit for bit, overlap-save within
// the float bound, random block cuts, the path boundaries and the one-sample filter.
#include <gtest/gtest.h>

#include <cmath>

#include <cstring>
#include <vector>

#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/filter/FirTestSupport.h"

using namespace firtest;

namespace {

class FirFilter : public coretest::ForcedSlotTest {};
class FirOneSample : public coretest::ForcedSlotTest {};

// Runs x through a fresh state in the given cuts; returns the outputs.
std::vector<float> RunCuts(const std::vector<float>& h, const std::vector<float>* history,
                           const std::vector<float>& x, const std::vector<int32_t>& cuts) {
    InBufferFir fir(h, history != nullptr ? history->data() : nullptr);
    EXPECT_EQ(fir.status, StatusOk);
    std::vector<float> y(x.size());
    size_t at = 0;
    for (int32_t c : cuts) {
        // Each block in an array of its own size, so that a read or write past its end shows.
        const auto first = x.begin() + static_cast<ptrdiff_t>(at);
        const std::vector<float> block(first, first + c);
        std::vector<float> out(static_cast<size_t>(c));
        EXPECT_EQ(FilterFir(block.data(), out.data(), c, fir.state), StatusOk);
        std::copy(out.begin(), out.end(), y.begin() + static_cast<ptrdiff_t>(at));
        at += static_cast<size_t>(c);
    }
    EXPECT_TRUE(fir.buffer->GuardIntact());
    return y;
}

TEST_P(FirFilter, DirectFormIsExactForEveryLengthAndCut) {
    // Calls below 512 samples always run in direct form, whatever the tap count.
    for (int32_t taps : {1, 2, 3, 4, 5, 20, 21, 63, 64, 101, 256, 1024}) {
        SCOPED_TRACE(taps);
        const std::vector<float> h = RandomSignal(static_cast<size_t>(taps), 100u + taps);
        const std::vector<float> history = RandomSignal(static_cast<size_t>(taps), 200u + taps);
        const std::vector<float> x = RandomSignal(3000, 300u + taps);
        const std::vector<float> want = ConvolveFloatOrdered(h, history, x);
        const std::vector<float> got = RunCuts(h, &history, x, RandomCuts(3000, 511, 400u + taps));
        // Every slot sums each output in tap order, whatever the cuts and alignments.
        ASSERT_EQ(std::memcmp(got.data(), want.data(), sizeof(float) * x.size()), 0);
        // And against the double reference within the float bound.
        EXPECT_LE(MaxError(got, ConvolveDouble(h, history, x)), ErrorBound(h, x, taps + 1.0));
    }
}

TEST_P(FirFilter, OverlapSaveWithinBoundAndSameHistoryAsDirectForm) {
    for (int32_t taps : {64, 101, 256, 1023, 1024, 4096}) {
        SCOPED_TRACE(taps);
        const std::vector<float> h = RandomSignal(static_cast<size_t>(taps), 500u + taps);
        const std::vector<float> history = RandomSignal(static_cast<size_t>(taps), 600u + taps);
        const std::vector<float> x = RandomSignal(40000, 700u + taps);
        const std::vector<double> want = ConvolveDouble(h, history, x);
        // Calls mixing both paths; the later direct-form calls see the history overlap-save left.
        std::vector<int32_t> cuts = {512, 37, 20000};
        int32_t left = 40000 - 512 - 37 - 20000;
        for (int32_t c : RandomCuts(left, 2000, 800u + taps)) cuts.push_back(c);
        const std::vector<float> got = RunCuts(h, &history, x, cuts);
        EXPECT_LE(MaxError(got, want), ErrorBound(h, x, 64.0));
        // Bit for bit the direct form wherever a call ran in direct form after the first FFT call.
        const std::vector<float> exact = ConvolveFloatOrdered(h, history, x);
        EXPECT_EQ(std::memcmp(got.data() + 512, exact.data() + 512, sizeof(float) * 37), 0);
    }
}

TEST_P(FirFilter, OneHundredOneTapsAtTheOverlapSaveBoundary) {
    // 511 samples run in direct form, 512 in four blocks of 156, 156, 156 and 44 outputs.
    const std::vector<float> h = RandomSignal(101, 1);
    const std::vector<float> x = RandomSignal(1024, 2);
    InBufferFir direct(h), fft(h);
    std::vector<float> yDirect(1024), yFft(1024);
    ASSERT_EQ(FilterFir(x.data(), yDirect.data(), 511, direct.state), StatusOk);
    ASSERT_EQ(FilterFir(x.data() + 511, yDirect.data() + 511, 1, direct.state), StatusOk);
    ASSERT_EQ(FilterFir(x.data(), yFft.data(), 512, fft.state), StatusOk);
    EXPECT_EQ(fft.state->fftLen, 256);
    EXPECT_LE(MaxError(std::vector<float>(yFft.begin(), yFft.begin() + 512),
                       std::vector<double>(yDirect.begin(), yDirect.begin() + 512)),
              ErrorBound(h, x, 64.0));
    // The same delay line either way: the next outputs agree bit for bit.
    EXPECT_EQ(std::memcmp(direct.state->delayLine, fft.state->delayLine, sizeof(float) * 101), 0);
    ASSERT_EQ(FilterFir(x.data() + 512, yDirect.data() + 512, 100, direct.state), StatusOk);
    ASSERT_EQ(FilterFir(x.data() + 512, yFft.data() + 512, 100, fft.state), StatusOk);
    EXPECT_EQ(std::memcmp(yDirect.data() + 512, yFft.data() + 512, sizeof(float) * 100), 0);
}

TEST_P(FirFilter, PinnedSmallExamples) {
    // Taps (1, 1) with history (5, 7): the first output is x[0] + 5; the 7 enters no output.
    const float history[2] = {5, 7};
    InBufferFir pair({1.0f, 1.0f}, history);
    const float x[3] = {1, 2, 3};
    float y[3];
    ASSERT_EQ(FilterFir(x, y, 3, pair.state), StatusOk);
    EXPECT_EQ(y[0], 6.0f);
    EXPECT_EQ(y[1], 3.0f);
    EXPECT_EQ(y[2], 5.0f);

    // 20 taps: 21 samples take the short direct path, 22 the long one; both exact.
    const std::vector<float> h = RandomSignal(20, 3);
    const std::vector<float> in = RandomSignal(43, 4);
    InBufferFir fir(h);
    EXPECT_EQ(fir.state->delayInputCount, 21);
    std::vector<float> out(43);
    ASSERT_EQ(FilterFir(in.data(), out.data(), 21, fir.state), StatusOk);
    ASSERT_EQ(FilterFir(in.data() + 21, out.data() + 21, 22, fir.state), StatusOk);
    const std::vector<float> want = ConvolveFloatOrdered(h, std::vector<float>(20, 0.0f), in);
    EXPECT_EQ(std::memcmp(out.data(), want.data(), sizeof(float) * 43), 0);
}

TEST_P(FirFilter, TwoHundredFiftySixTapsInOneBlock) {
    // F = 1024, B = 769: 512 inputs after 255 history values and 257 zeros, one transform.
    const std::vector<float> h = RandomSignal(256, 5);
    const std::vector<float> history = RandomSignal(256, 6);
    const std::vector<float> x = RandomSignal(512, 7);
    InBufferFir fir(h, history.data());
    std::vector<float> y(512);
    ASSERT_EQ(FilterFir(x.data(), y.data(), 512, fir.state), StatusOk);
    EXPECT_LE(MaxError(y, ConvolveDouble(h, history, x)), ErrorBound(h, x, 64.0));
    std::vector<float> tail(x.end() - 256, x.end());
    EXPECT_EQ(std::memcmp(fir.state->delayLine, tail.data(), sizeof(float) * 256), 0);
}

TEST_P(FirOneSample, PinnedCasesAndAgreementWithTheBlockFilter) {
    // Taps (1, 2, 3), zero line, index 0: inputs 1, 0, 0, 0 give 1, 2, 3, 0; the index runs 1, 2, 0, 1.
    const float taps[3] = {1, 2, 3};
    float line[6] = {};
    int32_t index = 0;
    const float expected[4] = {1, 2, 3, 0};
    const int32_t indices[4] = {1, 2, 0, 1};
    for (int k = 0; k < 4; ++k) {
        float y = -1.0f;
        ASSERT_EQ(FilterFirOneSample(k == 0 ? 1.0f : 0.0f, &y, taps, 3, line, &index), StatusOk);
        EXPECT_EQ(y, expected[k]);
        EXPECT_EQ(index, indices[k]);
    }
    // One tap: h[0] * x, the index stays 0.
    const float gain = 3.0f;
    float one[2] = {};
    int32_t i1 = 0;
    float y = 0;
    ASSERT_EQ(FilterFirOneSample(2.0f, &y, &gain, 1, one, &i1), StatusOk);
    EXPECT_EQ(y, 6.0f);
    EXPECT_EQ(i1, 0);

    // A stream one sample at a time: exactly the double-sum definition in slot 0, the kernel's
    // single-precision association in slots 1 to 3, and the block filter up to rounding.
    for (int32_t L : {5, 16, 17, 20, 24, 31, 256}) {
        const std::vector<float> h = RandomSignal(static_cast<size_t>(L), 900u + L);
        const std::vector<float> x = RandomSignal(600, 901u + L);
        std::vector<float> dly(2 * static_cast<size_t>(L), 0.0f), y1(600);
        int32_t idx = 0;
        for (size_t k = 0; k < x.size(); ++k) {
            ASSERT_EQ(FilterFirOneSample(x[k], &y1[k], h.data(), L, dly.data(), &idx), StatusOk);
            if (Slot() != 0) {
                ASSERT_EQ(Bits(y1[k]), Bits(OneSampleKernelModel(dly.data() + idx, h.data(), L))) << L << " " << k;
                continue;
            }
            double sum = 0.0;
            for (int32_t m = L - 1; m >= 0; --m) {
                const int64_t at = static_cast<int64_t>(k) - m;
                sum += static_cast<double>(h[m] * (at >= 0 ? x[at] : 0.0f));
            }
            ASSERT_EQ(Bits(y1[k]), Bits(static_cast<float>(sum))) << L << " sample " << k;
        }
        EXPECT_LE(MaxError(y1, ConvolveDouble(h, std::vector<float>(L, 0.0f), x)), ErrorBound(h, x, 2.0));
    }
}

TEST_P(FirOneSample, IndexOutsideTheLineIsRefused) {
    const float taps[3] = {1, 2, 3};
    for (int32_t bad : {-1, 3, 4, INT32_MAX, INT32_MIN}) {
        float line[6] = {9, 9, 9, 9, 9, 9};
        int32_t index = bad;
        float y = 42.0f;
        EXPECT_EQ(FilterFirOneSample(1.0f, &y, taps, 3, line, &index), StatusSamplePhaseError) << bad;
        EXPECT_EQ(index, bad);
        EXPECT_EQ(y, 42.0f);
        for (float v : line) EXPECT_EQ(v, 9.0f);
    }
}

// A NaN or an infinity spoils the same outputs and history in every slot, on every path.
TEST_P(FirFilter, NonFiniteSamplesSpoilWhatSlotZeroSpoils) {
    const int32_t slot = Slot();
    struct Case {
        int32_t taps, up, down, iters;
    };
    const Case cases[] = {{5, 1, 1, 300}, {20, 1, 1, 40}, {101, 1, 1, 600}, {66, 2, 1, 300}, {10, 1, 5, 100},
                          {10, 3, 20, 50}, {132, 4, 1, 100}};
    for (const Case& c : cases) {
        for (float bad : {std::nanf(""), INFINITY}) {
            for (int32_t at : {0, 3, 50, 299}) {
                std::vector<float> x = RandomSignal(static_cast<size_t>(c.iters) * c.down, 9);
                x[static_cast<size_t>(at) % x.size()] = bad;
                std::vector<float> y[2];
                std::vector<float> history[2];
                for (int32_t pass = 0; pass < 2; ++pass) {
                    DispatchIndex = pass == 0 ? 0 : slot;
                    const std::vector<float> h = RandomSignal(static_cast<size_t>(c.taps), 8);
                    int32_t size = 0;
                    ASSERT_EQ(GetMultiRateFirStateSize(c.taps, c.up, c.down, &size), StatusOk);
                    std::vector<uint8_t> memory(static_cast<size_t>(size));
                    MultiRateFirState* state = nullptr;
                    ASSERT_EQ(InitMultiRateFirState(&state, h.data(), c.taps, c.up, 0, c.down, 0, nullptr,
                                                    memory.data()),
                              StatusOk);
                    y[pass].resize(static_cast<size_t>(c.iters) * c.up);
                    ASSERT_EQ(FilterFir(x.data(), y[pass].data(), c.iters, state), StatusOk);
                    ASSERT_EQ(FilterFir(x.data(), y[pass].data(), c.iters, state), StatusOk);  // the history too
                    history[pass].assign(state->delayLine, state->delayLine + state->delayLen);
                }
                DispatchIndex = slot;
                for (size_t i = 0; i < y[0].size(); ++i) {
                    ASSERT_EQ(std::isfinite(y[0][i]), std::isfinite(y[1][i]))
                        << c.taps << "/" << c.up << "/" << c.down << " bad at " << at << " output " << i;
                }
                for (size_t i = 0; i < history[0].size(); ++i) {
                    ASSERT_EQ(Bits(history[0][i]), Bits(history[1][i])) << c.taps << " history " << i;
                }
            }
        }
    }
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(FirFilter);
KVX_INSTANTIATE_FOR_EVERY_SLOT(FirOneSample);

}  // namespace
