// Multi-rate FIR states: pinned geometry and sizes, the mode rule, every mode against the
// zero-stuff-filter-decimate definition, and block cuts.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/filter/FirTestSupport.h"

using namespace firtest;

namespace {

class MultiRateFirFilter : public coretest::ForcedSlotTest {};
class MultiRateFirStates : public coretest::ForcedSlotTest {};

struct Built {
    PrimitiveStatus status = StatusOk;
    MultiRateFirState* state = nullptr;
    std::unique_ptr<GuardedBuffer> buffer;
};

// mode 0: the entry point's choice; 1, 2 or 3: that mode's builder.
Built Build(const std::vector<float>& h, int32_t up, int32_t upPhase, int32_t down, int32_t downPhase,
            const std::vector<float>* history, int32_t mode, size_t offset = 0) {
    Built b;
    const int32_t L = static_cast<int32_t>(h.size());
    const float* dly = history != nullptr ? history->data() : nullptr;
    int32_t size = 0;
    if (mode == 0) {
        b.status = GetMultiRateFirStateSize(L, up, down, &size);
    } else if (mode == 1) {
        b.status = ComputeMultiRateFirStateSizeMode1(L, up, down, &size);
    } else {
        b.status = ComputeMultiRateFirStateSizeMode23(L, up, down, &size);
    }
    if (b.status != StatusOk) return b;
    b.buffer = std::make_unique<GuardedBuffer>(static_cast<size_t>(size), offset);
    if (mode == 0) {
        b.status = InitMultiRateFirState(&b.state, h.data(), L, up, upPhase, down, downPhase, dly, b.buffer->Data());
    } else {
        b.state = BuildModeInSlot(mode, h.data(), L, up, upPhase, down, downPhase, dly, &b.status, b.buffer->Data());
    }
    return b;
}

std::vector<int32_t> PhaseTable(const MultiRateFirState* s) {
    const int32_t count = s->mode == 1 ? s->upFactor + 1 : 4 * s->upFactor + 1;
    return std::vector<int32_t>(s->phaseTable, s->phaseTable + count);
}

TEST_P(MultiRateFirStates, PinnedGeometryAndSizes) {
    struct Case {
        int32_t taps, up, down, mode, n, q, g, Lx, size;
        std::vector<int32_t> table;
    };
    const Case cases[] = {
        {66, 2, 1, 1, 33, 35, 40, 72, 18272, {1, 2, 1}},
        {66, 1, 2, 1, 66, 72, 87, 36, 18624, {1, 7}},
        {132, 4, 1, 1, 33, 34, 40, 144, 19600, {1, 1, 1, 1, 0}},
        {10, 1, 5, 2, 10, -1, -1, -1, -1, {1, 6, 11, 16, 20}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.taps << "/" << c.up << "/" << c.down);
        int32_t size = 0;
        ASSERT_EQ(GetMultiRateFirStateSize(c.taps, c.up, c.down, &size), StatusOk);
        if (c.size > 0) {
            EXPECT_EQ(size, c.size);
        }
        Built b = Build(RandomSignal(static_cast<size_t>(c.taps), 1), c.up, 0, c.down, 0, nullptr, 0);
        ASSERT_EQ(b.status, StatusOk);
        const MultiRateFirState* s = b.state;
        EXPECT_EQ(s->tag, StateIdMultiRateFir);
        EXPECT_EQ(s->mode, c.mode);
        EXPECT_EQ(s->delayLen, c.n);
        if (c.q > 0) {
            EXPECT_EQ(s->groupTaps, c.q);
        }
        if (c.g > 0) {
            EXPECT_EQ(s->delayInputCount, c.g);
        }
        if (c.Lx > 0) {
            EXPECT_EQ(s->delayOutputCount, c.Lx);
        }
        EXPECT_EQ(PhaseTable(s), c.table);
        EXPECT_EQ(s->fftLen, -1);
        EXPECT_EQ(s->fftSpec, nullptr);
        EXPECT_EQ(s->owned, 0);
        EXPECT_TRUE(b.buffer->GuardIntact());
    }
}

TEST_P(MultiRateFirStates, ModeRuleUsesTheSinglePrecisionRatio) {
    struct Case {
        int32_t taps, up, down, mode;
    };
    // 6/(6+6) is exactly 0.5 (mode 2); 9/(9+21) rounds to 0.300000012, above the double 0.3.
    const Case cases[] = {{6, 1, 2, 2}, {7, 1, 2, 1}, {9, 2, 7, 1}, {8, 2, 7, 3}, {10, 3, 20, 3}, {10, 1, 5, 2}};
    for (const Case& c : cases) {
        EXPECT_EQ(MultiRateFirMode(c.taps, c.up, c.down), c.mode) << c.taps << "/" << c.up << "/" << c.down;
    }
}

TEST_P(MultiRateFirStates, UnitFactorsBuildASingleRateState) {
    const std::vector<float> h = RandomSignal(70, 3);
    int32_t multi = 0, single = 0;
    ASSERT_EQ(GetMultiRateFirStateSize(70, 1, 1, &multi), StatusOk);
    ASSERT_EQ(GetFirStateSize(70, &single), StatusOk);
    EXPECT_EQ(multi, single);
    Built b = Build(h, 1, 0, 1, 0, nullptr, 0);
    ASSERT_EQ(b.status, StatusOk);
    EXPECT_EQ(b.state->tag, StateIdFir);
    EXPECT_EQ(b.state->fftLen, 256);
}

TEST_P(MultiRateFirStates, EveryOffsetStaysInsideTheReportedSize) {
    struct Rate {
        int32_t taps, up, down;
    };
    for (Rate r : {Rate{66, 2, 1}, Rate{66, 1, 2}, Rate{10, 1, 5}, Rate{10, 3, 20}, Rate{1, 5, 1}}) {
        const std::vector<float> h = RandomSignal(static_cast<size_t>(r.taps), 2);
        const std::vector<float> history = RandomSignal(static_cast<size_t>(r.taps), 3);
        const std::vector<float> x = RandomSignal(static_cast<size_t>(200 * r.down), 4);
        std::vector<float> y(static_cast<size_t>(200 * r.up));
        for (size_t offset = 0; offset < 32; ++offset) {
            SCOPED_TRACE(::testing::Message() << r.taps << "/" << r.up << "/" << r.down << " at " << offset);
            Built b = Build(h, r.up, r.up - 1, r.down, r.down - 1, &history, 0, offset);
            ASSERT_EQ(b.status, StatusOk);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(b.state) % 16, 0u);
            ASSERT_EQ(FilterFir(x.data(), y.data(), 200, b.state), StatusOk);
            ASSERT_EQ(FilterFir(x.data(), y.data(), 1, b.state), StatusOk);
            EXPECT_TRUE(b.buffer->GuardIntact());
        }
    }
}

struct RateCase {
    int32_t taps, up, upPhase, down, downPhase;
};

// Every mode that may serve the parameters, against the definition, in one call and in random
// cuts (which must agree bit for bit).
TEST_P(MultiRateFirFilter, EveryModeMatchesTheDefinitionInAnyCut) {
    const RateCase cases[] = {
        {66, 2, 0, 1, 0},  {66, 2, 1, 1, 0},  {66, 1, 0, 2, 1},  {132, 4, 0, 1, 0}, {132, 4, 3, 1, 0},
        {132, 1, 0, 4, 3}, {10, 1, 0, 5, 2},  {10, 3, 2, 20, 7}, {9, 2, 1, 7, 6},   {1, 3, 0, 1, 0},
        {1, 3, 1, 2, 1},   {5, 7, 6, 3, 2},   {33, 3, 1, 2, 1},  {47, 5, 4, 3, 0},  {64, 2, 1, 3, 2},
        {6, 1, 0, 2, 1},   {2, 1, 0, 9, 8},   {200, 5, 2, 7, 3}, {16, 4, 0, 4, 0},  {3, 2, 0, 2, 1},
    };
    for (const RateCase& c : cases) {
        const std::vector<float> h = RandomSignal(static_cast<size_t>(c.taps), 10u + c.taps + c.up);
        const int32_t n = (c.taps + c.up - 1) / c.up;
        const std::vector<float> history = RandomSignal(static_cast<size_t>(n), 20u + c.taps);
        const int32_t iters = 300;
        const std::vector<float> x = RandomSignal(static_cast<size_t>(iters) * c.down, 30u + c.down);
        const size_t outputs = static_cast<size_t>(iters) * c.up;
        const std::vector<double> want = MultiRateDouble(h, c.up, c.upPhase, c.down, c.downPhase, history, x, outputs);
        std::vector<float> previous;
        for (int32_t mode : {0, 1, c.up == 1 ? 2 : 3}) {
            SCOPED_TRACE(::testing::Message() << c.taps << "/" << c.up << "." << c.upPhase << "/" << c.down << "."
                                              << c.downPhase << " mode " << mode);
            Built one = Build(h, c.up, c.upPhase, c.down, c.downPhase, &history, mode);
            ASSERT_EQ(one.status, StatusOk);
            std::vector<float> y(outputs + 1, 1234.5f);
            ASSERT_EQ(FilterFir(x.data(), y.data(), iters, one.state), StatusOk);
            EXPECT_EQ(y[outputs], 1234.5f);
            y.resize(outputs);
            EXPECT_LE(MaxError(y, want), ErrorBound(h, x, c.taps + 1.0));

            Built cut = Build(h, c.up, c.upPhase, c.down, c.downPhase, &history, mode, 5);
            std::vector<float> yc(outputs);
            size_t in = 0, out = 0;
            for (int32_t k : RandomCuts(iters, 60, 40u + mode)) {
                // Each block in an array of its own size, so that a read past its end shows.
                const auto first = x.begin() + static_cast<ptrdiff_t>(in);
                const std::vector<float> block(first, first + static_cast<ptrdiff_t>(k) * c.down);
                std::vector<float> out1(static_cast<size_t>(k) * c.up);
                ASSERT_EQ(FilterFir(block.data(), out1.data(), k, cut.state), StatusOk);
                std::copy(out1.begin(), out1.end(), yc.begin() + static_cast<ptrdiff_t>(out));
                in += static_cast<size_t>(k) * c.down;
                out += static_cast<size_t>(k) * c.up;
            }
            // Mode 1 of slots 1 to 3 groups each lane's products by position within the group,
            // and a cut moves an output to another lane: there cuts agree up to rounding.
            if (Slot() == 0 || one.state->mode != 1) {
                EXPECT_EQ(std::memcmp(y.data(), yc.data(), sizeof(float) * outputs), 0);
            } else {
                EXPECT_LE(MaxError(yc, want), ErrorBound(h, x, c.taps + 1.0));
            }
            EXPECT_TRUE(one.buffer->GuardIntact());
            EXPECT_TRUE(cut.buffer->GuardIntact());
            if (mode == 0) previous = y;
            if (mode != 0 && one.state->mode == MultiRateFirMode(c.taps, c.up, c.down)) {
                EXPECT_EQ(std::memcmp(previous.data(), y.data(), sizeof(float) * outputs), 0);
            }
        }
    }
}

TEST_P(MultiRateFirFilter, OutputsNoInputMeetsAreZero) {
    // One tap, up 3: only every third raised-rate position carries an input.
    Built b = Build({2.0f}, 3, 1, 1, 0, nullptr, 0);
    const float x[4] = {1, 2, 3, 4};
    float y[12];
    ASSERT_EQ(FilterFir(x, y, 4, b.state), StatusOk);
    const float want[12] = {0, 2, 0, 0, 4, 0, 0, 6, 0, 0, 8, 0};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(Bits(y[i]), Bits(want[i])) << i;
}

TEST_P(MultiRateFirFilter, CountsBeyondThe32BitRangeAreRefused) {
    // down * numIters (or up * numIters) past INT32_MAX: -6, the state and outputs untouched.
    for (auto [up, down] : {std::pair{1, 3}, std::pair{3, 1}}) {
        Built b = Build(RandomSignal(8, 1), up, 0, down, 0, nullptr, 0);
        ASSERT_EQ(b.status, StatusOk);
        std::vector<uint8_t> before(reinterpret_cast<uint8_t*>(b.state->delayLine),
                                    reinterpret_cast<uint8_t*>(b.state->delayLine) + 64);
        float src[4] = {1, 2, 3, 4};
        float dst[4] = {7, 7, 7, 7};
        EXPECT_EQ(FilterFir(src, dst, INT32_MAX / 2, b.state), StatusSizeError);
        for (float v : dst) EXPECT_EQ(v, 7.0f);
        EXPECT_EQ(std::memcmp(before.data(), b.state->delayLine, 64), 0);
    }
    // Sizes that wrap 32 bits are refused by the size query and the builder alike.
    int32_t size = 99;
    EXPECT_EQ(GetMultiRateFirStateSize(16, 3, INT32_MAX / 2, &size), StatusFirLengthError);
    EXPECT_EQ(GetMultiRateFirStateSize(INT32_MAX / 2, 2, 1, &size), StatusFirLengthError);
    EXPECT_EQ(size, 99);
    uint8_t buffer[32];
    std::memset(buffer, 0xCD, sizeof(buffer));
    MultiRateFirState* state = nullptr;
    const std::vector<float> h(16, 1.0f);
    EXPECT_EQ(InitMultiRateFirState(&state, h.data(), 16, 3, 0, INT32_MAX / 2, 0, nullptr, buffer),
              StatusFirLengthError);
    EXPECT_EQ(state, nullptr);
    for (uint8_t v : buffer) EXPECT_EQ(v, 0xCD);
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(MultiRateFirFilter);
KVX_INSTANTIATE_FOR_EVERY_SLOT(MultiRateFirStates);

}  // namespace
