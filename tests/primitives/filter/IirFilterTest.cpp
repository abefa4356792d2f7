// IIR filtering: pinned responses, the fixed pair grouping bit for bit, accuracy against double
// references, block cuts, and the biquad cascade.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "primitives/Primitives.h"
#include "primitives/core/Memory.h"
#include "primitives/filter/IirState.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/filter/IirTestSupport.h"
#include "platform/nt/PoolHost.h"

using namespace iirtest;

namespace {

class IirBiquad : public coretest::ForcedSlotTest {};
class IirFilter : public coretest::ForcedSlotTest {};

// The grouping the generic loop promises, written out in float: single steps for order 1 and
// for an odd last sample, pairs otherwise.
std::vector<float> GroupedFloatReference(const IirState* state, const std::vector<float>& x) {
    const int32_t n = state->order;
    const float* b = state->taps;
    const float* a = state->taps + n;  // a[k] = a_k
    std::vector<float> z(state->delayLine, state->delayLine + n + 1);
    std::vector<float> y(x.size());
    size_t i = 0;
    if (n >= 2) {
        for (; i + 1 < x.size(); i += 2) {
            const float x0 = x[i], x1 = x[i + 1];
            const float y0 = (b[0] * x0) + z[0];
            const float y1 = (((b[0] * x1) + z[1]) + (b[1] * x0)) - (a[1] * y0);
            for (int32_t j = 0; j <= n - 2; ++j)
                z[j] = ((((b[j + 1] * x1) - (a[j + 1] * y1)) + (b[j + 2] * x0)) - (a[j + 2] * y0)) + z[j + 2];
            z[n - 1] = (b[n] * x1) - (a[n] * y1);
            y[i] = y0;
            y[i + 1] = y1;
        }
    }
    for (; i < x.size(); ++i) {
        const float xi = x[i];
        const float yi = (b[0] * xi) + z[0];
        for (int32_t j = 0; j < n; ++j) z[j] = ((b[j + 1] * xi) - (a[j + 1] * yi)) + z[j + 1];
        y[i] = yi;
    }
    return y;
}

// Slots 1 to 3 on blocks of at most four times the order: one single step per sample.
std::vector<float> SingleStepFloatReference(const IirState* state, const std::vector<float>& x) {
    const int32_t n = state->order;
    const float* b = state->taps;
    const float* a = state->taps + n;
    std::vector<float> z(state->delayLine, state->delayLine + n + 1);
    std::vector<float> y(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        const float yi = (b[0] * x[i]) + z[0];
        for (int32_t j = 0; j < n; ++j) z[j] = ((b[j + 1] * x[i]) - (a[j + 1] * yi)) + z[j + 1];
        y[i] = yi;
    }
    return y;
}

bool GenericSlot() { return DispatchIndex == 0; }

std::vector<float> BiquadFloatReference(const IirState* state, const std::vector<float>& x) {
    std::vector<float> z(state->delayLine, state->delayLine + state->order);
    std::vector<float> y(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        float v = x[i];
        for (int32_t s = 0; s < state->sectionCount; ++s) {
            const float* c = state->taps + 5 * s;
            const float out = (c[0] * v) + z[2 * s];
            z[2 * s] = ((c[1] * v) + z[2 * s + 1]) - (c[3] * out);
            z[2 * s + 1] = (c[2] * v) + ((0.0f - c[4]) * out);
            v = out;
        }
        y[i] = v;
    }
    return y;
}

void ExpectSameBits(const std::vector<float>& got, const std::vector<float>& want, const char* what, int32_t k) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(Bits(got[i]), Bits(want[i])) << what << " " << k << " sample " << i;
}

// Rounding errors enter every delay update and are filtered by 1/A: the error of one recursive
// filter is at most c 2^-24 sum|g| (sum|b| max|in| + sum|a| max|out|), g the impulse response of
// 1/A, c growing with the order.
double RecursionBound(const float* b, int32_t nb, const float* a, int32_t na, double maxIn, double maxOut) {
    // 1/A as a transposed-form state: b0 = 1, the other b zero, the same a.
    std::vector<float> recursive(2 * na + 1, 0.0f);
    recursive[0] = 1.0f;
    double sumB = 0, sumA = 0;
    for (int32_t k = 0; k < nb; ++k) sumB += std::fabs(b[k]);
    for (int32_t k = 0; k < na; ++k) {
        recursive[na + 1 + k] = a[k];
        sumA += std::fabs(a[k]);
    }
    return 4.0 * (na + 1) * std::ldexp(1.0, -24) * AbsoluteGain(recursive.data(), na, false) *
           (sumB * maxIn + sumA * maxOut);
}

double MaxAbs(const std::vector<double>& v) {
    double m = 0;
    for (double e : v) m = std::max(m, std::fabs(e));
    return m;
}

void ExpectWithinBound(const std::vector<float>& got, const std::vector<double>& want, const std::vector<float>& x,
                       const float* taps, int32_t order, bool biquad, const char* what) {
    const std::vector<double> input(x.begin(), x.end());
    double bound = 0;
    if (!biquad) {
        bound = RecursionBound(taps, order + 1, taps + order + 1, order, MaxAbs(input), MaxAbs(want));
    } else {
        // A section's error also passes every later section, each amplifying by at most its sum|h|.
        const int32_t sections = order / 2;
        std::vector<float> signal(x);
        for (int32_t s = 0; s < sections; ++s) {
            const float* c = taps + 5 * s;
            const std::vector<double> out = BiquadReference(c, 1, signal);
            double err = RecursionBound(c, 3, c + 3, 2, MaxAbs(std::vector<double>(signal.begin(), signal.end())),
                                        MaxAbs(out));
            for (int32_t t = s + 1; t < sections; ++t) err *= AbsoluteGain(taps + 5 * t, 2, true);
            bound += err;
            signal.assign(out.begin(), out.end());
        }
    }
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_LE(std::fabs(got[i] - want[i]), bound) << what << " order " << order << " sample " << i;
}

TEST_P(IirFilter, ThirdOrderImpulseResponse) {
    const std::vector<float> taps = {1.0f / 6, 0.5f, 0.5f, 1.0f / 6, 1.0f, -0.0f, 1.0f / 3, -0.0f};
    CallerState state(taps, 3);
    std::vector<float> x(16, 0.0f);
    x[0] = 1.0f;
    ASSERT_EQ(FilterIirInPlace(x.data(), 16, state.get()), StatusOk);
    const float want[8] = {1.0f / 6, 0.5f, 0.44444445f, 0.0f, -0.14814815f, 0.0f, 0.049382716f, 0.0f};
    // Slots 1 to 3 take 16 samples of order 3 in one block, which rounds otherwise.
    for (int i = 0; i < 8; ++i) {
        if (GenericSlot()) {
            EXPECT_EQ(Bits(x[i]), Bits(want[i])) << i << ": " << x[i];
        } else {
            EXPECT_NEAR(x[i], want[i], 2e-8f) << i;
        }
    }
    for (int i = 3; i < 16; i += 2) EXPECT_EQ(std::fabs(x[i]), 0.0f) << i;
}

// Single steps for order 1 and the odd last sample, pairs otherwise: bit for bit, in place and
// out of place, from given delays.
TEST_P(IirFilter, PairGroupingBitForBit) {
    for (int32_t order : {1, 2, 3, 5, 8, 9, 12}) {
        const std::vector<float> taps = StableFilter(order, 100 + order);
        const std::vector<float> dly = RandomSignal(order, 200 + order);
        for (size_t len : {1u, 2u, 7u, 64u, 101u}) {
            const std::vector<float> x = RandomSignal(len, static_cast<uint32_t>(len));
            CallerState outOfPlace(taps, order, dly.data());
            CallerState inPlace(taps, order, dly.data());
            // Slots 1 to 3 go sample by sample up to four times the order, by blocks beyond.
            const bool singleSteps = !GenericSlot() && static_cast<int32_t>(len) <= 4 * order;
            const std::vector<float> want = GenericSlot() ? GroupedFloatReference(outOfPlace.get(), x)
                                                          : SingleStepFloatReference(outOfPlace.get(), x);
            std::vector<float> got(len), same = x;
            ASSERT_EQ(FilterIir(x.data(), got.data(), static_cast<int32_t>(len), outOfPlace.get()), StatusOk);
            ASSERT_EQ(FilterIirInPlace(same.data(), static_cast<int32_t>(len), inPlace.get()), StatusOk);
            ExpectSameBits(same, got, "in place against out of place, order", order);
            if (GenericSlot() || singleSteps) {
                ExpectSameBits(got, want, "out of place, order", order);
            } else {
                CallerState fresh(taps, order, dly.data());
                std::vector<double> z(dly.begin(), dly.end());
                ExpectWithinBound(got, TransposedReference(fresh.get()->taps, order, x, z), x, fresh.get()->taps,
                                  order, false, "blocks");
            }
            EXPECT_EQ(outOfPlace.get()->delayLine[order], 0.0f);
        }
    }
}

TEST_P(IirFilter, AgreesWithTheDoubleTransposedForm) {
    const std::vector<float> x = RandomSignal(3001, 11);
    for (int32_t order : {1, 2, 3, 4, 6, 8, 10, 16}) {
        const std::vector<float> taps = StableFilter(order, order * 7);
        CallerState state(taps, order);
        ASSERT_EQ(state.status(), StatusOk);
        const std::vector<double> want = TransposedReference(state.get()->taps, order, x);
        std::vector<float> got(x.size());
        ASSERT_EQ(FilterIir(x.data(), got.data(), static_cast<int32_t>(x.size()), state.get()), StatusOk);
        ExpectWithinBound(got, want, x, state.get()->taps, order, false, "transposed");
    }
}

TEST_P(IirFilter, BlockCutsContinueTheSignal) {
    std::mt19937 rng(3);
    const std::vector<float> x = RandomSignal(2000, 12);
    for (int32_t order : {1, 2, 3, 7}) {
        const std::vector<float> taps = StableFilter(order, order + 40);
        CallerState whole(taps, order);
        std::vector<float> want(x.size());
        ASSERT_EQ(FilterIir(x.data(), want.data(), 2000, whole.get()), StatusOk);
        // Even cuts keep the pairing: bit for bit.
        CallerState even(taps, order);
        std::vector<float> got(x.size());
        for (size_t at = 0; at < x.size();) {
            const size_t len = std::min<size_t>(2 * (1 + rng() % 40), x.size() - at);
            ASSERT_EQ(FilterIir(x.data() + at, got.data() + at, static_cast<int32_t>(len), even.get()), StatusOk);
            at += len;
        }
        if (GenericSlot()) ExpectSameBits(got, want, "even cuts, order", order);
        // Any cuts: the pairing shifts, the signal does not.
        CallerState any(taps, order);
        for (size_t at = 0; at < x.size();) {
            const size_t len = std::min<size_t>(1 + rng() % 61, x.size() - at);
            ASSERT_EQ(FilterIirInPlace(got.data() + at, 0, any.get()), StatusSizeError);
            std::copy(x.begin() + at, x.begin() + at + len, got.begin() + at);
            ASSERT_EQ(FilterIirInPlace(got.data() + at, static_cast<int32_t>(len), any.get()), StatusOk);
            at += len;
        }
        const std::vector<double> ref = TransposedReference(whole.get()->taps, order, x);
        ExpectWithinBound(got, ref, x, whole.get()->taps, order, false, "any cuts");
    }
}

TEST_P(IirFilter, IdentityPassesSamplesAndAnInfinityPoisonsTheState) {
    const std::vector<float> taps = {2.0f, 0.0f, 0.0f, 2.0f, 0.0f, 0.0f};  // b0 = a0, order 2
    CallerState state(taps, 2);
    std::vector<float> x = {1.5f, -3.25e-20f, 7.0e30f, -1.0f, 0.125f};
    const std::vector<float> in = x;
    ASSERT_EQ(FilterIirInPlace(x.data(), 5, state.get()), StatusOk);
    ExpectSameBits(x, in, "identity", 2);
    std::vector<float> inf = {INFINITY, 1.0f, 1.0f, 1.0f};
    ASSERT_EQ(FilterIirInPlace(inf.data(), 4, state.get()), StatusOk);
    for (int i = 1; i < 4; ++i) EXPECT_TRUE(std::isnan(inf[i])) << i;
}

TEST_P(IirBiquad, CascadeBitForBitAndAgainstDouble) {
    const std::vector<float> x = RandomSignal(1500, 21);
    for (int32_t sections : {1, 2, 3, 4, 8}) {
        BiquadState state(StableSections(sections, 50 + sections, 1.5f), sections);
        ASSERT_EQ(state.status(), StatusOk);
        EXPECT_EQ(state.get()->order, 2 * sections);
        EXPECT_EQ(state.get()->sectionCount, sections);
        const std::vector<float> exact = BiquadFloatReference(state.get(), x);
        const std::vector<double> ref = BiquadReference(state.get()->taps, sections, x);
        std::vector<float> got(x.size());
        ASSERT_EQ(FilterIir(x.data(), got.data(), 1500, state.get()), StatusOk);
        if (GenericSlot()) ExpectSameBits(got, exact, "biquad sections", sections);
        ExpectWithinBound(got, ref, x, state.get()->taps, 2 * sections, true, "biquad");
    }
}

TEST_P(IirBiquad, SectionsAreNormalisedByTheirOwnA0AndCutsAreExact) {
    const std::vector<float> sections = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 0.5f, 0.25f, 0.125f, 0.5f, 0.1f, 0.2f};
    const float dly[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    BiquadState state(sections, 2, dly);
    ASSERT_EQ(state.status(), StatusOk);
    const float want[10] = {0.25f, 0.5f, 0.75f, 5.0f * 0.25f, 6.0f * 0.25f, 1.0f, 0.5f, 0.25f, 0.1f * 2.0f, 0.2f * 2.0f};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Bits(state.get()->taps[i]), Bits(want[i])) << i;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(state.get()->delayLine[i], dly[i]);

    // Cuts of any length give the one-call result: the cascade has no pairing.
    const std::vector<float> stable = StableSections(3, 77, 1.5f);
    BiquadState whole(stable, 3), cut(stable, 3);
    const std::vector<float> x = RandomSignal(999, 4);
    std::vector<float> a(x.size()), b = x;
    ASSERT_EQ(FilterIir(x.data(), a.data(), 999, whole.get()), StatusOk);
    std::mt19937 rng(8);
    for (size_t at = 0; at < x.size();) {
        const size_t len = std::min<size_t>(1 + rng() % 50, x.size() - at);
        ASSERT_EQ(FilterIirInPlace(b.data() + at, static_cast<int32_t>(len), cut.get()), StatusOk);
        at += len;
    }
    if (GenericSlot()) {
        ExpectSameBits(b, a, "biquad cuts", 3);
    } else {
        ExpectWithinBound(b, BiquadReference(whole.get()->taps, 3, x), x, whole.get()->taps, 6, true, "cuts");
    }
}

// Slots 1 to 3 go sample by sample up to four times the order and by blocks beyond, in blocks of
// at most 1024: each edge continues the signal. (Slot 0 runs the same cases on its own loop.)
TEST_P(IirFilter, BlockEdgesContinueTheSignal) {
    const int32_t order = 3;
    const std::vector<float> taps = StableFilter(order, 77);
    const std::vector<float> x = RandomSignal(2500, 5);
    for (int32_t first : {4 * order, 4 * order + 1}) {
        CallerState state(taps, order);
        std::vector<float> y(200);
        ASSERT_EQ(FilterIir(x.data(), y.data(), first, state.get()), StatusOk);
        ASSERT_EQ(FilterIir(x.data() + first, y.data() + first, 200 - first, state.get()), StatusOk);
        const std::vector<float> head(x.begin(), x.begin() + first);
        if (!GenericSlot() && first == 4 * order) {
            CallerState fresh(taps, order);
            ExpectSameBits(std::vector<float>(y.begin(), y.begin() + first),
                           SingleStepFloatReference(fresh.get(), head), "single steps", first);
        }
        const std::vector<float> x200(x.begin(), x.begin() + 200);
        ExpectWithinBound(y, TransposedReference(state.get()->taps, order, x200), x200, state.get()->taps, order,
                          false, "edge");
    }
    // 2500 samples: blocks of 1024, 1024 and 452 inside one call, as in three calls.
    CallerState whole(taps, order), three(taps, order);
    std::vector<float> a(2500), b(2500);
    ASSERT_EQ(FilterIir(x.data(), a.data(), 2500, whole.get()), StatusOk);
    for (int32_t at : {0, 1024, 2048}) {
        const int32_t len = at == 2048 ? 452 : 1024;
        ASSERT_EQ(FilterIir(x.data() + at, b.data() + at, len, three.get()), StatusOk);
    }
    ExpectSameBits(a, b, "2500 in three calls", order);
    ExpectWithinBound(a, TransposedReference(whole.get()->taps, order, x), x, whole.get()->taps, order, false,
                      "2500");
    // A cascade of K sections at 4K and 4K + 1 samples.
    const std::vector<float> sections = StableSections(3, 12, 1.5f);
    for (int32_t first : {12, 13}) {
        BiquadState state(sections, 3);
        std::vector<float> y(100);
        ASSERT_EQ(FilterIir(x.data(), y.data(), first, state.get()), StatusOk);
        ASSERT_EQ(FilterIir(x.data() + first, y.data() + first, 100 - first, state.get()), StatusOk);
        const std::vector<float> x100(x.begin(), x.begin() + 100);
        if (first == 12) {
            BiquadState fresh(sections, 3);
            const std::vector<float> head(x.begin(), x.begin() + 12);
            ExpectSameBits(std::vector<float>(y.begin(), y.begin() + 12), BiquadFloatReference(fresh.get(), head),
                           "cascade steps", 3);
        }
        ExpectWithinBound(y, BiquadReference(state.get()->taps, 3, x100), x100, state.get()->taps, 6, true, "edge");
    }
}

// A NaN or an infinity spoils the same outputs and delays in every slot: those it reaches.
TEST_P(IirFilter, NonFiniteSamplesSpoilWhatSlotZeroSpoils) {
    const int32_t slot = DispatchIndex;
    for (int32_t order : {1, 3, 8}) {
        for (float bad : {std::nanf(""), INFINITY}) {
            for (int32_t at : {0, 37, 600, 1023, 1024, 1500}) {
                std::vector<float> x = RandomSignal(2000, 9);
                x[static_cast<size_t>(at)] = bad;
                std::vector<float> outputs[2];
                std::vector<float> delays[2];
                for (int32_t pass = 0; pass < 2; ++pass) {
                    DispatchIndex = pass == 0 ? 0 : slot;
                    CallerState state(StableFilter(order, 3), order);
                    outputs[pass].resize(x.size());
                    ASSERT_EQ(FilterIir(x.data(), outputs[pass].data(), 2000, state.get()), StatusOk);
                    delays[pass].assign(state.get()->delayLine, state.get()->delayLine + order + 1);
                }
                DispatchIndex = slot;
                for (size_t i = 0; i < x.size(); ++i) {
                    ASSERT_EQ(std::isfinite(outputs[0][i]), std::isfinite(outputs[1][i]))
                        << "order " << order << " bad at " << at << " output " << i;
                }
                for (int32_t j = 0; j <= order; ++j) ASSERT_EQ(std::isfinite(delays[0][j]), std::isfinite(delays[1][j]));
            }
        }
    }
    // Subnormal samples and coefficients stay within the bound.
    std::vector<float> tiny = RandomSignal(3000, 10);
    for (float& v : tiny) v *= 1e-38f;
    CallerState state(StableFilter(4, 5), 4);
    std::vector<float> y(tiny.size());
    ASSERT_EQ(FilterIir(tiny.data(), y.data(), 3000, state.get()), StatusOk);
    ExpectWithinBound(y, TransposedReference(state.get()->taps, 4, tiny), tiny, state.get()->taps, 4, false,
                      "subnormal");
}

// The render path filters at DISPATCH_LEVEL: nothing there may allocate.
TEST_P(IirFilter, RunsAtDispatchLevelWithEveryAllocationFailing) {
    CallerState arbitrary(StableFilter(5, 1), 5), order1(StableFilter(1, 1), 1);
    BiquadState biquad(StableSections(4, 1), 4);
    std::vector<float> x = RandomSignal(513, 2), y(513), up(513 * 3);
    int32_t phase = 1, outLen = 0;
    const uint64_t serial = platform::PoolCurrentSerial();
    platform::PoolFailNextWithTag(PRIMITIVES_POOL_TAG, 1000000);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(FilterIir(x.data(), y.data(), 513, arbitrary.get()), StatusOk);
    EXPECT_EQ(FilterIir(x.data(), y.data(), 513, order1.get()), StatusOk);
    EXPECT_EQ(FilterIirInPlace(y.data(), 513, biquad.get()), StatusOk);
    EXPECT_EQ(UpsampleFloat(x.data(), 513, up.data(), &outLen, 3, &phase), StatusOk);
    EXPECT_EQ(DownsampleFloat(up.data(), outLen, y.data(), &outLen, 3, &phase), StatusOk);
    KeLowerIrql(old);
    platform::PoolClearFailures();
    EXPECT_EQ(platform::PoolCurrentSerial(), serial);
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(IirBiquad);
KVX_INSTANTIATE_FOR_EVERY_SLOT(IirFilter);

}  // namespace
