// The kernels of slots 1 to 3 called directly: the edges of their contracts (tap counts, counts,
// alignments), flush against guard pages, and the members no entry point reaches, each against a
// double or bit-pattern reference. One loop runs every slot the processor has.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "primitives/filter/FilterSlotVariants.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/filter/FirTestSupport.h"

using namespace firtest;

namespace {

struct Kernels {
    int32_t slot;
    decltype(&Sse3Variant::FirDirectKernel) direct;
    decltype(&Sse3Variant::FirMultiRateKernelMode1) mode1;
    decltype(&Sse3Variant::FirMultiRateKernelMode2) mode2;
    decltype(&Sse3Variant::FirMultiRateKernelMode3) mode3;
    decltype(&Sse3Variant::FirDirectKernelComplex) directComplex;
    decltype(&Sse3Variant::FirMultiRateKernelComplex) multiRateComplex;
    decltype(&Sse3Variant::FirOneSampleKernelComplex) oneSampleComplex;
    decltype(&Sse3Variant::UpsampleBy2Kernel) up2;
    decltype(&Sse3Variant::UpsampleKernel) up;
    decltype(&Sse3Variant::DownsampleKernel) down;
    decltype(&Sse3Variant::DownsampleBy2Kernel) down2;
    decltype(&Sse3Variant::UpsampleKernel64) up64;
    decltype(&Sse3Variant::UpsampleBy2Kernel64) up2x64;
    decltype(&Sse3Variant::UpsampleBy2Kernel128) up2x128;
    decltype(&Sse3Variant::UpsampleKernel16) up16;
    decltype(&Sse3Variant::UpsampleBy2Kernel16) up2x16;
    decltype(&Sse3Variant::DownsampleKernel128) down128;
    decltype(&Sse3Variant::DownsampleBy2Kernel128) down2x128;
    decltype(&Sse3Variant::DownsampleKernel64) down64;
    decltype(&Sse3Variant::DownsampleBy2Kernel64) down2x64;
    decltype(&Sse3Variant::DownsampleKernel16) down16;
    decltype(&Sse3Variant::DownsampleBy2Kernel16) down2x16;
};

#define KVX_KERNELS(Ns, slot)                                                                                     \
    Kernels {                                                                                                     \
        slot, Ns::FirDirectKernel, Ns::FirMultiRateKernelMode1, Ns::FirMultiRateKernelMode2,                     \
            Ns::FirMultiRateKernelMode3, Ns::FirDirectKernelComplex, Ns::FirMultiRateKernelComplex,               \
            Ns::FirOneSampleKernelComplex, Ns::UpsampleBy2Kernel, Ns::UpsampleKernel, Ns::DownsampleKernel,       \
            Ns::DownsampleBy2Kernel, Ns::UpsampleKernel64, Ns::UpsampleBy2Kernel64, Ns::UpsampleBy2Kernel128,     \
            Ns::UpsampleKernel16, Ns::UpsampleBy2Kernel16, Ns::DownsampleKernel128, Ns::DownsampleBy2Kernel128,   \
            Ns::DownsampleKernel64, Ns::DownsampleBy2Kernel64, Ns::DownsampleKernel16, Ns::DownsampleBy2Kernel16 \
    }

std::vector<Kernels> SlotsHere() {
    std::vector<Kernels> all = {KVX_KERNELS(Sse3Variant, 1), KVX_KERNELS(Ssse3Variant, 2),
                                KVX_KERNELS(Sse41Variant, 3)};
    std::vector<Kernels> here;
    for (const Kernels& k : all) {
        if (coretest::ProcessorRunsSlot(k.slot)) here.push_back(k);
    }
    return here;
}

// bytes at offset (mod 16) from a 16-byte boundary, as close to the end guard as that allows; with
// offset 0 they end exactly at the guard.
uint8_t* AtOffset(coretest::GuardedPage& page, size_t bytes, size_t offset) {
    if (offset == 0) return page.EndMinus(bytes);
    uint8_t* p = page.EndMinus(bytes + 32);
    p -= reinterpret_cast<uintptr_t>(p) % 16;
    return p + offset;
}

std::vector<float> Replicated(const std::vector<float>& h) {
    std::vector<float> r(4 * h.size());
    for (size_t i = 0; i < r.size(); ++i) r[i] = h[i / 4];
    return r;
}

// The direct-form kernel at every tap count the kernel has its own code for, every dst offset
// (4-byte grid and off it) and window offset, with both arrays flush against a guard page.
TEST(FilterKernels, DirectFormAtEveryAlignmentAgainstGuardPages) {
    coretest::GuardedPage windowPage, dstPage;
    for (const Kernels& k : SlotsHere()) {
        for (int32_t L : {1, 2, 3, 4, 5, 6, 7, 8, 16, 17}) {
            const std::vector<float> h = RandomSignal(static_cast<size_t>(L), 10u + L);
            std::vector<float> taps4 = Replicated(h);
            for (uint64_t count : {1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 32, 33, 40}) {
                const std::vector<float> signal = RandomSignal(count + L, static_cast<uint32_t>(count));
                const std::vector<float> history(static_cast<size_t>(L - 1), 0.0f);
                for (size_t dstOffset : {0, 2, 4, 8, 12}) {
                    for (size_t windowOffset : {0, 2, 4, 8, 12}) {
                        const size_t windowBytes = 4 * (count + L - 1);
                        uint8_t* window = AtOffset(windowPage, windowBytes, windowOffset);
                        std::memcpy(window, signal.data(), windowBytes);
                        uint8_t* dst = AtOffset(dstPage, 4 * count, dstOffset);
                        k.direct(taps4.data(), reinterpret_cast<const float*>(window), reinterpret_cast<float*>(dst),
                                 count, L);
                        std::vector<float> got(count);
                        std::memcpy(got.data(), dst, 4 * count);
                        // Output i reads window[i .. i+L-1]: the convolution's outputs L-1 on.
                        const std::vector<float> x(signal.begin(), signal.begin() + static_cast<ptrdiff_t>(count + L - 1));
                        std::vector<double> want = ConvolveDouble(h, {}, x);
                        want.erase(want.begin(), want.begin() + (L - 1));
                        ASSERT_LE(MaxError(got, want), ErrorBound(h, x, L + 1.0))
                            << "slot " << k.slot << " L " << L << " count " << count << " dst +" << dstOffset
                            << " window +" << windowOffset;
                        // Every output, peeled, stepped or single, is the sum in tap order.
                        for (uint64_t i = 0; i < count; ++i) {
                            float sum = 0.0f;
                            for (int32_t j = 0; j < L; ++j) sum += h[L - 1 - j] * x[i + j];
                            ASSERT_EQ(Bits(got[i]), Bits(sum)) << k.slot << " " << L << " " << i;
                        }
                    }
                }
            }
        }
    }
}

// The one-sample kernel and the IIR block kernels with their arrays flush against the guard
// before and after them, at every 4-byte offset, for lengths 1 to 40.
TEST(FilterKernels, OneSampleAndIirKernelsStayBetweenTheGuards) {
    coretest::GuardedPage linePage, dataPage;
    const std::vector<float> taps = RandomSignal(40, 3);
    for (const Kernels& k : SlotsHere()) {
        const auto oneSample = k.slot == 1 ? Sse3Variant::FirOneSampleKernel
                               : k.slot == 2 ? Ssse3Variant::FirOneSampleKernel
                                             : Sse41Variant::FirOneSampleKernel;
        const auto feedForward = k.slot == 1 ? Sse3Variant::IirArBlockFeedForward
                                 : k.slot == 2 ? Ssse3Variant::IirArBlockFeedForward
                                               : Sse41Variant::IirArBlockFeedForward;
        const auto biquadForward = k.slot == 1 ? Sse3Variant::IirBiquadBlockFeedForward
                                   : k.slot == 2 ? Ssse3Variant::IirBiquadBlockFeedForward
                                                 : Sse41Variant::IirBiquadBlockFeedForward;
        for (int32_t L = 1; L <= 40; ++L) {
            for (bool atEnd : {false, true}) {
                float* line = reinterpret_cast<float*>(atEnd ? linePage.EndMinus(8 * L) : linePage.Start());
                std::fill(line, line + 2 * L, 0.0f);
                for (int32_t index = 0; index < L; ++index) {
                    int32_t i = index;
                    float y = 0;
                    oneSample(&taps[0], &y, taps.data(), L, line, &i);
                    ASSERT_EQ(i, index + 1 == L ? 0 : index + 1);
                }
            }
            // Feed-forward over a source flush against either guard, four-lane taps of order 3.
            alignas(16) float numerator[16] = {0.5f, 0.5f, 0.5f, 0.5f, 0.25f, 0.25f, 0.25f, 0.25f,
                                               0.125f, 0.125f, 0.125f, 0.125f, 1, 1, 1, 1};
            for (size_t offset = 0; offset < 16; offset += 4) {
                const int32_t count = L;
                const size_t bytes = 4 * static_cast<size_t>(count + 3);
                const float* src = reinterpret_cast<const float*>(dataPage.EndMinus(bytes + offset));
                alignas(16) float work[48];
                feedForward(src, work, count, numerator, 3);
                biquadForward(src, work, count, numerator);
                src = reinterpret_cast<const float*>(dataPage.Start() + offset);
                feedForward(src, work, count, numerator, 3);
            }
        }
    }
}

TEST(FilterKernels, MultiRateGroupKernelEdges) {
    const std::vector<float> x = RandomSignal(400, 3);
    for (const Kernels& k : SlotsHere()) {
        float dst[32];
        std::fill(std::begin(dst), std::end(dst), -7.0f);
        const int32_t table[3] = {1, 2, 3};
        const float taps[64] = {};
        // Count 0: the offset comes back and nothing is written.
        EXPECT_EQ(k.mode1(taps, x.data(), dst, 0, table, table + 2, 17, 3), 17);
        EXPECT_EQ(k.mode2(taps, x.data(), dst, 0, 23, 3, 2), 23);
        EXPECT_EQ(k.mode3(taps, x.data(), dst, 0, table, table + 2, 29, 4), 29);
        for (float v : dst) ASSERT_EQ(v, -7.0f);

        // Mode 2 with c = 3: output m of a group uses run m and the window offset + m * s.
        const std::vector<float> runs = RandomSignal(12, 4);
        ASSERT_EQ(k.mode2(runs.data(), x.data(), dst, 8, 5, 3, 7), 5 + 2 * 4 * 7);
        for (int32_t out = 0; out < 8; ++out) {
            const int32_t m = out % 4;
            const float* w = x.data() + 5 + out * 7;
            const float want = ((0.0f + runs[3 * m] * w[0]) + runs[3 * m + 1] * w[1]) + runs[3 * m + 2] * w[2];
            EXPECT_EQ(Bits(dst[out]), Bits(want)) << k.slot << " " << out;
        }

        // Mode 3 with c = 4 and an odd count: the last output is written, nothing beyond it; the
        // table wraps with its period advance.
        std::fill(std::begin(dst), std::end(dst), -7.0f);
        const int32_t offsets[5] = {0, 3, 5, 9, 11};  // four positions, then the advance
        const std::vector<float> run = RandomSignal(16, 5);
        ASSERT_EQ(k.mode3(run.data(), x.data(), dst, 5, offsets, offsets + 4, 2, 4), 2 + 11);
        for (int32_t out = 0; out < 5; ++out) {
            const int32_t p = out % 4;
            const int32_t base = 2 + (out / 4) * 11;
            double want = 0;
            for (int32_t j = 0; j < 4; ++j) want += double(run[4 * p + j]) * x[base + offsets[p] + j];
            EXPECT_NEAR(dst[out], want, 1e-6) << k.slot << " " << out;
        }
        EXPECT_EQ(dst[5], -7.0f);

        // Mode 1 over several periods: the window jumps by the last entry and the taps restart.
        const int32_t steps[3] = {1, 2, 4};  // two phases, then the period advance
        const std::vector<float> vectors = RandomSignal(4 * 2 * 5, 6);
        std::fill(std::begin(dst), std::end(dst), -7.0f);
        const int32_t end = k.mode1(vectors.data(), x.data(), dst, 24, steps, steps + 2, 0, 5);
        int64_t at = 0;
        for (int32_t g = 0; g < 6; ++g) {
            const int32_t phase = g % 2;
            at += steps[phase];
            for (int32_t m = 0; m < 4; ++m) {
                double want = 0;
                for (int32_t j = 0; j < 5; ++j) want += double(vectors[4 * (phase * 5 + j) + m]) * x[at + j];
                EXPECT_NEAR(dst[4 * g + m], want, 1e-6) << k.slot << " group " << g;
            }
            if (phase == 1) at += steps[2];
        }
        EXPECT_EQ(end, at);
    }
}

TEST(FilterKernels, ComplexTwinsAgainstDouble) {
    for (const Kernels& k : SlotsHere()) {
        for (int32_t L : {1, 3, 4, 9}) {
            const std::vector<float> h = RandomSignal(2 * static_cast<size_t>(L), 30u + L);  // complex taps
            std::vector<float> expanded(8 * static_cast<size_t>(L));
            for (int32_t t = 0; t < L; ++t) {
                const float re = h[2 * t], im = h[2 * t + 1];
                const float e[8] = {re, re, re, re, -im, im, -im, im};
                std::copy(e, e + 8, expanded.begin() + 8 * t);
            }
            const uint64_t count = 7;
            const std::vector<float> w = RandomSignal(2 * (count + L), 40u + L);
            std::vector<float> y(2 * count);
            k.directComplex(expanded.data(), w.data(), y.data(), count, L);
            for (uint64_t i = 0; i < count; ++i) {
                double re = 0, im = 0;
                for (int32_t j = 0; j < L; ++j) {
                    const double tr = h[2 * (L - 1 - j)], ti = h[2 * (L - 1 - j) + 1];
                    const double xr = w[2 * (i + j)], xi = w[2 * (i + j) + 1];
                    re += tr * xr - ti * xi;
                    im += tr * xi + ti * xr;
                }
                EXPECT_NEAR(y[2 * i], re, 1e-5) << k.slot << " " << L;
                EXPECT_NEAR(y[2 * i + 1], im, 1e-5) << k.slot << " " << L;
            }
            // One sample: with real data and taps the imaginary part stays 0.
            std::vector<float> realTaps(2 * static_cast<size_t>(L), 0.0f), line(4 * static_cast<size_t>(L), 0.0f);
            for (int32_t t = 0; t < L; ++t) realTaps[2 * t] = h[2 * t];
            int32_t index = 0;
            double sum = 0;
            for (int32_t s = 0; s < L + 2; ++s) {
                const float sample[2] = {static_cast<float>(s + 1), 0.0f};
                float out[2] = {-1, -1};
                k.oneSampleComplex(sample, out, realTaps.data(), L, line.data(), &index);
                sum = 0;
                for (int32_t m = 0; m < L && s - m >= 0; ++m) sum += double(realTaps[2 * m]) * (s - m + 1);
                EXPECT_NEAR(out[0], sum, 1e-4) << k.slot;
                EXPECT_EQ(out[1], 0.0f);
            }
        }
        // Multi-rate twin: two complex outputs per step from runs of real taps.
        const std::vector<float> x = RandomSignal(200, 8);
        const std::vector<float> run = RandomSignal(6, 9);  // two positions of three taps
        const int32_t offsets[3] = {1, 4, 6};
        float y[8];
        EXPECT_EQ(k.multiRateComplex(run.data(), x.data(), y, 4, offsets, offsets + 2, 0, 3), 12);
        for (int32_t out = 0; out < 4; ++out) {
            const int32_t p = out % 2, base = (out / 2) * 6 + offsets[p];
            double re = 0, im = 0;
            for (int32_t j = 0; j < 3; ++j) {
                re += double(run[3 * p + j]) * x[2 * (base + j)];
                im += double(run[3 * p + j]) * x[2 * (base + j) + 1];
            }
            EXPECT_NEAR(y[2 * out], re, 1e-6);
            EXPECT_NEAR(y[2 * out + 1], im, 1e-6);
        }
    }
}

// Up-sampling by 2 at every dst alignment with both phases, srcLen 1 included, flush against
// the guards; the other widths against the element rule.
TEST(FilterKernels, ResamplingKernelsMoveBitPatterns) {
    std::vector<float> src = coretest::MixedFloats(64, 3);
    for (const Kernels& k : SlotsHere()) {
        for (uint32_t len : {1u, 2u, 7u, 8u, 9u, 17u, 40u}) {
            for (uint32_t phase : {0u, 1u}) {
                for (size_t offset : {0, 4, 8, 12, 2}) {
                    coretest::GuardedPage page;
                    uint8_t* dst = AtOffset(page, 8 * len, offset);
                    k.up2(src.data(), len, reinterpret_cast<float*>(dst), phase);
                    for (uint32_t i = 0; i < 2 * len; ++i) {
                        uint32_t v;
                        std::memcpy(&v, dst + 4 * i, 4);
                        const uint32_t want = i % 2 == phase ? Bits(src[i / 2]) : 0u;
                        ASSERT_EQ(v, want) << k.slot << " len " << len << " +" << offset << " phase " << phase;
                    }
                }
            }
        }
        // Down by 3 and 2 from every phase, flush against the guard.
        for (uint32_t len : {1u, 47u, 48u, 64u}) {
            for (int32_t factor : {2, 3}) {
                for (int32_t phase = 0; phase < factor; ++phase) {
                    coretest::GuardedPage page;
                    const uint32_t outs = len > static_cast<uint32_t>(phase) ? (len - phase + factor - 1) / factor : 0;
                    auto* dst = reinterpret_cast<float*>(page.EndMinus(4 * outs));
                    int32_t p = phase, n = -1;
                    if (factor == 2) {
                        k.down2(src.data(), len, dst, &n, &p);
                    } else {
                        k.down(src.data(), len, dst, &n, static_cast<uint32_t>(factor), &p);
                    }
                    ASSERT_EQ(n, static_cast<int32_t>(outs));
                    EXPECT_EQ(p, static_cast<int32_t>(phase + outs * factor - len));
                    for (uint32_t i = 0; i < outs; ++i) ASSERT_EQ(Bits(dst[i]), Bits(src[phase + i * factor]));
                }
            }
        }
        // Other widths: 16-bit, 8-byte and 16-byte elements.
        std::vector<uint8_t> bytes(16 * 64);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
        std::vector<uint8_t> out(16 * 64 * 3, 0xEE);
        k.up2x64(bytes.data(), 5, out.data(), 1);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(std::memcmp(out.data() + 16 * i + 8, bytes.data() + 8 * i, 8), 0);
            EXPECT_EQ(std::memcmp(out.data() + 16 * i, std::vector<uint8_t>(8, 0).data(), 8), 0);
        }
        k.up2x128(bytes.data(), 3, out.data(), 0);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(std::memcmp(out.data() + 32 * i, bytes.data() + 16 * i, 16), 0);
        std::fill(out.begin(), out.end(), 0xEE);
        k.up64(bytes.data(), 4, out.data(), 24, 16);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(std::memcmp(out.data() + 24 * i + 16, bytes.data() + 8 * i, 8), 0);
            for (int b = 0; b < 16; ++b) EXPECT_EQ(out[24 * i + b], 0);
        }
        std::vector<int16_t> words(40), wout(160, 7);
        for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<int16_t>(1000 - 77 * static_cast<int>(i));
        k.up16(words.data(), 9, wout.data(), 36, 8, 2);
        for (int i = 0; i < 36; ++i) EXPECT_EQ(wout[i], i % 4 == 2 ? words[i / 4] : 0) << i;
        k.up2x16(words.data(), 9, wout.data(), 1);
        for (int i = 0; i < 18; ++i) EXPECT_EQ(wout[i], i % 2 == 1 ? words[i / 2] : 0) << i;
        int32_t n = 0, p = 1;
        k.down16(words.data(), 40, wout.data(), &n, 3, &p);
        EXPECT_EQ(n, 13);
        EXPECT_EQ(p, 0);
        for (int i = 0; i < n; ++i) EXPECT_EQ(wout[i], words[1 + 3 * i]);
        p = 1;
        k.down2x16(words.data(), 40, wout.data(), &n, &p);
        EXPECT_EQ(n, 20);
        EXPECT_EQ(p, 1);
        for (int i = 0; i < n; ++i) EXPECT_EQ(wout[i], words[1 + 2 * i]);
        p = 2;
        k.down64(bytes.data(), 10, out.data(), &n, 4, &p);
        EXPECT_EQ(n, 2);
        EXPECT_EQ(p, 0);
        EXPECT_EQ(std::memcmp(out.data() + 8, bytes.data() + 8 * 6, 8), 0);
        p = 0;
        k.down2x64(bytes.data(), 7, out.data(), &n, &p);
        EXPECT_EQ(n, 4);
        EXPECT_EQ(p, 1);
        p = 3;
        k.down128(bytes.data(), 2, out.data(), &n, 4, &p);  // phase past the input: nothing
        EXPECT_EQ(n, 0);
        EXPECT_EQ(p, 1);
        p = 1;
        k.down2x128(bytes.data(), 6, out.data(), &n, &p);
        EXPECT_EQ(n, 3);
        EXPECT_EQ(std::memcmp(out.data() + 32, bytes.data() + 16 * 5, 16), 0);
    }
}

}  // namespace

// ---- IIR kernels for other sample types ---------------------------------------------------------

namespace {

// A state record over caller arrays of the member's working type (the members read taps, delays,
// order, section count and the expanded rows, nothing else).
struct OtherState {
    IirState state{};
    std::vector<double> taps, delays, rows;  // storage of either width, 16-byte aligned enough
    OtherState(size_t tapBytes, size_t delayBytes, size_t rowBytes, int32_t order, int32_t sections)
        : taps(tapBytes / 8 + 2, 0.0), delays(delayBytes / 8 + 2, 0.0), rows(rowBytes / 8 + 2, 0.0) {
        state.taps = reinterpret_cast<const float*>(taps.data());
        state.delayLine = reinterpret_cast<float*>(delays.data());
        state.sectionRows = reinterpret_cast<float*>(rows.data());
        state.order = order;
        state.sectionCount = sections;
    }
    template <typename T>
    T* Taps() { return reinterpret_cast<T*>(taps.data()); }
    template <typename T>
    T* Rows() { return reinterpret_cast<T*>(rows.data()); }
};

using Cd = std::complex<double>;

// The complex arbitrary-order recurrence in double, the reference of every complex member.
std::vector<Cd> ComplexReference(const std::vector<Cd>& b, const std::vector<Cd>& a, const std::vector<Cd>& x) {
    const size_t n = a.size();
    std::vector<Cd> z(n + 1, 0.0), y;
    for (Cd v : x) {
        const Cd out = b[0] * v + z[0];
        for (size_t k = 0; k < n; ++k) z[k] = b[k + 1] * v - a[k] * out + z[k + 1];
        y.push_back(out);
    }
    return y;
}

std::vector<Cd> RandomComplex(size_t n, uint32_t seed, double scale) {
    const std::vector<float> v = RandomSignal(2 * n, seed);
    std::vector<Cd> c(n);
    for (size_t i = 0; i < n; ++i) c[i] = Cd(v[2 * i] * scale, v[2 * i + 1] * scale);
    return c;
}

}  // namespace

TEST(FilterKernels, OtherTypeOneSampleConversions) {
    struct Row {
        float y;
        int32_t sf;
        int16_t single;  // single-precision conversion
        int16_t dbl;     // double-precision conversion (int16)
    };
    const Row rows[] = {{2.5f, 0, 2, 2},           {3.5f, 0, 4, 4},         {-2.5f, 0, -2, -2},
                        {40000.0f, 0, 32767, 32767}, {-40000.0f, 0, -32768, -32768},
                        {INFINITY, 0, 32767, 32767}, {std::nanf(""), 0, -32768, 32767},
                        {32768.0f * 3, 15, 3, 3},    {1.5f, -2, 6, 6}};
    for (const Kernels& k : SlotsHere()) {
        const auto arInt16 = k.slot == 1 ? Sse3Variant::IirArSampleStepInt16WithRaw
                             : k.slot == 2 ? Ssse3Variant::IirArSampleStepInt16WithRaw
                                           : Sse41Variant::IirArSampleStepInt16WithRaw;
        const auto arInt16Double = k.slot == 1 ? Sse3Variant::IirArSampleStepInt16DoubleTapsWithRaw
                                   : k.slot == 2 ? Ssse3Variant::IirArSampleStepInt16DoubleTapsWithRaw
                                                 : Sse41Variant::IirArSampleStepInt16DoubleTapsWithRaw;
        for (const Row& r : rows) {
            // Order 0: y = b0 * x with x = 1, the delays untouched.
            OtherState single(16, 16, 0, 0, 0);
            single.Taps<float>()[0] = r.y;
            single.state.delayLine[0] = 7.0f;
            const int16_t one = 1;
            int16_t out = 0;
            float raw = 0;
            arInt16(&one, &out, &raw, &single.state, r.sf);
            EXPECT_EQ(out, r.single) << "slot " << k.slot << " y " << r.y << " sf " << r.sf;
            EXPECT_EQ(Bits(raw), Bits(r.y));
            EXPECT_EQ(single.state.delayLine[0], 7.0f);
            OtherState dbl(16, 16, 0, 0, 0);
            dbl.Taps<double>()[0] = r.y;
            double rawD = 0;
            arInt16Double(&one, &out, &rawD, &dbl.state, r.sf);
            EXPECT_EQ(out, r.dbl) << "slot " << k.slot << " y " << r.y;
        }
        // int32 results clamp before rounding: NaN and 3e9 store INT32_MAX.
        const auto arInt32 = k.slot == 1 ? Sse3Variant::IirArSampleStepInt32DoubleTaps
                             : k.slot == 2 ? Ssse3Variant::IirArSampleStepInt32DoubleTaps
                                           : Sse41Variant::IirArSampleStepInt32DoubleTaps;
        for (double y : {std::nan(""), 3.0e9, -3.0e9, 2.5}) {
            OtherState dbl(16, 16, 0, 0, 0);
            dbl.Taps<double>()[0] = y;
            const int32_t one = 1;
            int32_t out = 0;
            arInt32(&one, &out, &dbl.state, 0);
            const int32_t want = y != y ? INT32_MAX : y > 2e9 ? INT32_MAX : y < -2e9 ? INT32_MIN : 2;
            EXPECT_EQ(out, want) << y;
        }
    }
}

TEST(FilterKernels, OtherTypeOneSampleRecurrences) {
    // One filter of order 3 and one of order 4 (the complex single-precision paths change there),
    // cascades of 4 and 5 sections, every member against the double recurrence.
    const std::vector<Cd> x = RandomComplex(60, 3, 100.0);
    for (const Kernels& k : SlotsHere()) {
#define KVX_MEMBER(Name) (k.slot == 1 ? Sse3Variant::Name : k.slot == 2 ? Ssse3Variant::Name : Sse41Variant::Name)
        for (int32_t n : {3, 4}) {
            const std::vector<Cd> b = RandomComplex(static_cast<size_t>(n) + 1, 10u + n, 0.5);
            std::vector<Cd> a = RandomComplex(static_cast<size_t>(n), 20u + n, 0.12);
            const std::vector<Cd> want = ComplexReference(b, a, x);
            // Single precision: complex taps (b0..bN, a1..aN) and the expanded rows.
            OtherState s(8 * (2 * n + 1), 8 * (n + 1), 16 * (1 + 4 * ((n + 1) / 2)), n, 0);
            auto* t = s.Taps<float>();
            for (int32_t i = 0; i <= n; ++i) {
                t[2 * i] = static_cast<float>(b[i].real());
                t[2 * i + 1] = static_cast<float>(b[i].imag());
            }
            for (int32_t i = 0; i < n; ++i) {
                t[2 * (n + 1 + i)] = static_cast<float>(a[i].real());
                t[2 * (n + 1 + i) + 1] = static_cast<float>(a[i].imag());
            }
            float* r = s.Rows<float>();
            const float rb0[4] = {t[0], t[0], -t[1], t[1]};
            std::copy(rb0, rb0 + 4, r);
            for (int32_t i = 0; i < n; ++i) {
                float* g = r + 4 + 16 * (i / 2) + 2 * (i % 2);
                const float br = t[2 * (i + 1)], bi = t[2 * (i + 1) + 1];
                const float ar = t[2 * (n + 1 + i)], ai = t[2 * (n + 1 + i) + 1];
                g[0] = br, g[1] = br, g[4] = -bi, g[5] = bi, g[8] = -ar, g[9] = -ai, g[12] = ai, g[13] = -ar;
            }
            // Double precision: the expanded pairs.
            OtherState d(0, 16 * (n + 1), 8 * (4 + 8 * n), n, 0);
            double* p = d.Rows<double>();
            const double pb0[4] = {b[0].real(), b[0].imag(), b[0].imag(), b[0].real()};
            std::copy(pb0, pb0 + 4, p);
            for (int32_t i = 0; i < n; ++i) {
                const Cd bb = Cd(t[2 * (i + 1)], t[2 * (i + 1) + 1]), aa = Cd(t[2 * (n + 1 + i)], t[2 * (n + 1 + i) + 1]);
                const double e[8] = {bb.real(), bb.imag(), bb.imag(), bb.real(), -aa.real(), -aa.imag(), -aa.imag(), -aa.real()};
                std::copy(e, e + 8, p + 4 + 8 * i);
            }
            for (size_t i = 0; i < x.size(); ++i) {
                const float in[2] = {static_cast<float>(x[i].real()), static_cast<float>(x[i].imag())};
                float out[2];
                KVX_MEMBER(IirArSampleStepComplexFloat)(in, out, &s.state);
                EXPECT_NEAR(out[0], want[i].real(), 2e-3) << "slot " << k.slot << " order " << n << " " << i;
                EXPECT_NEAR(out[1], want[i].imag(), 2e-3);
                double ind[2] = {in[0], in[1]}, outd[2];
                KVX_MEMBER(IirArSampleStepComplexDouble)(ind, outd, &d.state);
                EXPECT_NEAR(outd[0], want[i].real(), 1e-3) << "double order " << n << " " << i;
                EXPECT_NEAR(outd[1], want[i].imag(), 1e-3);
            }
            EXPECT_EQ(s.state.delayLine[2 * n], 0.0f);  // the spare entry stays 0
        }
        // Real double precision, arbitrary order, against the single-precision float member of
        // the module on the same filter: the same recurrence.
        {
            const std::vector<float> h = {0.3f, -0.2f, 0.1f, 0.4f, -0.5f, 0.06f};  // b0 b1 b2, a1 a2 (order 2)
            OtherState fs(32, 16, 0, 2, 0), ds(48, 32, 0, 2, 0);
            for (int32_t i = 0; i < 5; ++i) {
                fs.Taps<float>()[i] = h[i];
                ds.Taps<double>()[i] = h[i];
            }
            for (size_t i = 0; i < x.size(); ++i) {
                const float in = static_cast<float>(x[i].real());
                float yf = 0;
                KVX_MEMBER(IirArSampleStepFloatDoubleTaps)(&in, &yf, &ds.state);
                IirState* st = &fs.state;
                float yr = 0;
                KVX_MEMBER(IirArSampleStep)(&in, &yr, st);
                EXPECT_NEAR(yf, yr, 1e-3 * (1 + std::fabs(yr))) << i;
            }
        }
#undef KVX_MEMBER
    }
}

TEST(FilterKernels, OtherTypeBlockMembers) {
    for (const Kernels& k : SlotsHere()) {
#define KVX_MEMBER(Name) (k.slot == 1 ? Sse3Variant::Name : k.slot == 2 ? Ssse3Variant::Name : Sse41Variant::Name)
        // int16 feed-forward equals the float member on the converted input; the int16 feedback
        // equals the float feedback and converts every output.
        const int32_t order = 3;
        const std::vector<float> taps = {0.5f, -0.25f, 0.125f, 0.0625f, 1.0f, -0.6f, 0.2f, -0.05f};
        int32_t size = 0;
        const int32_t saved = DispatchIndex;
        DispatchIndex = k.slot;
        ASSERT_EQ(GetIirStateSize(order, &size), StatusOk);
        std::vector<uint8_t> memory(static_cast<size_t>(size));
        IirState* state = nullptr;
        ASSERT_EQ(InitIirState(&state, taps.data(), order, nullptr, memory.data()), StatusOk);
        DispatchIndex = saved;
        std::vector<int16_t> in(64);
        for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(3000 - 97 * static_cast<int>(i));
        std::vector<float> inF(in.begin(), in.end());
        alignas(16) float w1[64], w2[64];
        KVX_MEMBER(IirArBlockFeedForwardInt16)(in.data(), w1, 40, state->replicatedNumerator, order);
        KVX_MEMBER(IirArBlockFeedForward)(inF.data(), w2, 40, state->replicatedNumerator, order);
        EXPECT_EQ(std::memcmp(w1, w2, 40 * sizeof(float)), 0);
        std::vector<float> y1(64, 0.0f), y2(64, 0.0f);
        std::vector<int16_t> out(64, 7);
        KVX_MEMBER(IirArBlockFeedbackToInt16)(w1, y1.data(), 40, state->feedbackMatrix, order, out.data(), 2);
        KVX_MEMBER(IirArBlockFeedback)(w2, y2.data(), 40, state->feedbackMatrix, order);
        EXPECT_EQ(std::memcmp(y1.data(), y2.data(), 43 * sizeof(float)), 0);
        for (int32_t i = 0; i < order; ++i) EXPECT_EQ(out[i], 7);
        for (int32_t i = order; i < order + 40; ++i) {
            EXPECT_EQ(out[i], static_cast<int16_t>(std::nearbyint(std::clamp(y2[i] / 4.0f, -32768.0f, 32767.0f))));
        }

        // Biquad int16 block: n = 3 runs only the single outputs; n = 8 leaves y[6..9] in floats.
        const float sec[6] = {0.2f, 0.3f, 0.2f, 1.0f, -0.9f, 0.4f};
        int32_t bsize = 0;
        ASSERT_EQ(GetIirBiquadStateSizeSse(1, &bsize), StatusOk);
        std::vector<uint8_t> bmem(static_cast<size_t>(bsize));
        IirState* biquad = nullptr;
        const decltype(&Sse3Variant::InitIirBiquadStateSse3) builders[3] = {
            Sse3Variant::InitIirBiquadStateSse3, Ssse3Variant::InitIirBiquadStateSsse3,
            Sse41Variant::InitIirBiquadStateSse41};
        ASSERT_EQ(builders[k.slot - 1](&biquad, sec, 1, nullptr, bmem.data()), StatusOk);
        for (int32_t n : {3, 8}) {
            KVX_MEMBER(IirBiquadBlockFeedForwardInt16)(in.data(), w1, n, biquad->replicatedNumerator);
            std::vector<float> yb(16, -1.0f), yr(16, 0.0f);
            std::vector<int16_t> ob(16, 7);
            yb[0] = yr[0] = 10.0f;
            yb[1] = yr[1] = -20.0f;
            KVX_MEMBER(IirBiquadBlockFeedbackToInt16)(w1, yb.data(), n, biquad->feedbackMatrix, ob.data(), 0);
            for (int32_t i = 0; i < n; ++i) {
                const float x0 = in[i], x1 = in[i + 1], x2 = in[i + 2];
                const float w = ((sec[2] * x0) + (sec[1] * x1)) + (sec[0] * x2);
                yr[i + 2] = w - (-0.9f) * yr[i + 1] - 0.4f * yr[i];
            }
            for (int32_t i = 2; i < n + 2; ++i) {
                EXPECT_NEAR(ob[i], yr[i], 1.0) << n << " " << i;
                const bool inFloats = n == 3 || i >= n - 2;
                if (inFloats) {
                    EXPECT_NEAR(yb[i], yr[i], 1e-2 * (1 + std::fabs(yr[i]))) << n << " " << i;
                } else {
                    EXPECT_EQ(yb[i], -1.0f) << n << " " << i;
                }
            }
        }

        // Complex feed-forward and feedback against the complex recurrence.
        const std::vector<Cd> b = {Cd(0.5, 0.1), Cd(-0.2, 0.3), Cd(0.1, -0.05)};
        const std::vector<Cd> a = {Cd(-0.5, 0.2), Cd(0.1, 0.05)};
        const int32_t n = 2;
        alignas(16) float table[24];
        for (int32_t m = 0; m <= n; ++m) {
            const float re = static_cast<float>(b[m].real()), im = static_cast<float>(b[m].imag());
            const float g[8] = {re, re, re, re, -im, im, -im, im};
            std::copy(g, g + 8, table + 8 * m);
        }
        // The closed-form weights: W[c][l] of y[n-1-c] in output l, F[j][l] of w[n+j].
        std::vector<Cd> d = {-a[0], -a[1]};
        std::vector<Cd> h(4, 0.0);  // impulse response of 1/A
        h[0] = 1.0;
        for (int32_t i = 1; i < 4; ++i)
            for (int32_t j = 1; j <= n && j <= i; ++j) h[i] += d[j - 1] * h[i - j];
        alignas(16) float matrix[8 * (n + 3)];
        for (int32_t c = 0; c < n; ++c) {
            for (int32_t l = 0; l < 4; ++l) {
                // Weight of y[n-1-c] in y[n+l]: sum over the paths through the first outputs.
                Cd wgt = 0.0;
                for (int32_t m = 0; m <= l; ++m) {
                    const int32_t lag = c + 1 + m;  // y[n+l-m] takes d[lag] of y[n-1-c]
                    if (lag <= n) wgt += h[l - m] * d[lag - 1];
                }
                matrix[8 * c + 2 * l] = static_cast<float>(wgt.real());
                matrix[8 * c + 2 * l + 1] = static_cast<float>(wgt.imag());
            }
        }
        for (int32_t j = 0; j < 3; ++j) {
            for (int32_t l = 0; l < 4; ++l) {
                const Cd wgt = l >= j ? h[l - j] : 0.0;
                matrix[8 * (n + j) + 2 * l] = static_cast<float>(wgt.real());
                matrix[8 * (n + j) + 2 * l + 1] = static_cast<float>(wgt.imag());
            }
        }
        const std::vector<Cd> xs = RandomComplex(30, 6, 1.0);
        std::vector<float> src(2 * xs.size());
        for (size_t i = 0; i < xs.size(); ++i) {
            src[2 * i] = static_cast<float>(xs[i].real());
            src[2 * i + 1] = static_cast<float>(xs[i].imag());
        }
        const int32_t count = static_cast<int32_t>(xs.size()) - n;
        alignas(16) float work[64];
        KVX_MEMBER(IirArBlockFeedForwardComplexFloat)(src.data(), work, count, table, n);
        std::vector<float> yc(2 * xs.size(), 0.0f);  // the n outputs before the run are 0
        KVX_MEMBER(IirArBlockFeedbackComplexFloat)(work, yc.data(), count, matrix, n);
        // Reference: the recursion on the feed-forward values from a zero start.
        std::vector<Cd> yref(xs.size(), 0.0);
        for (int32_t i = 0; i < count; ++i) {
            Cd wv = 0.0;
            for (int32_t m = 0; m <= n; ++m) wv += b[m] * xs[n + i - m];
            Cd v = wv;
            for (int32_t j = 1; j <= n; ++j) v += d[j - 1] * yref[n + i - j];
            yref[n + i] = v;
        }
        for (int32_t i = n; i < n + count; ++i) {
            EXPECT_NEAR(yc[2 * i], yref[i].real(), 1e-4) << "slot " << k.slot << " " << i;
            EXPECT_NEAR(yc[2 * i + 1], yref[i].imag(), 1e-4) << i;
        }
#undef KVX_MEMBER
    }
}

TEST(FilterKernels, OtherTypeBiquadMembers) {
    // Cascades of 4 and 5 sections (the complex single-precision paths change there) through every
    // biquad member, against the cascade in double.
    const std::vector<Cd> x = RandomComplex(40, 8, 50.0);
    for (const Kernels& k : SlotsHere()) {
#define KVX_MEMBER(Name) (k.slot == 1 ? Sse3Variant::Name : k.slot == 2 ? Ssse3Variant::Name : Sse41Variant::Name)
        for (int32_t q : {4, 5}) {
            std::vector<std::array<Cd, 5>> sec(static_cast<size_t>(q));  // b0 b1 b2 a1 a2
            for (int32_t s = 0; s < q; ++s) {
                const std::vector<Cd> c = RandomComplex(5, 30u + s, 0.3);
                sec[s] = {c[0], c[1], c[2], c[3], c[4]};
            }
            // Single-precision complex: taps (five complex per section) and the expanded groups.
            OtherState cs(40 * q, 16 * q, 80 * q, 2 * q, q);
            auto* t = cs.Taps<float>();
            float* g = cs.Rows<float>();
            for (int32_t s = 0; s < q; ++s) {
                float re[5], im[5];
                for (int32_t i = 0; i < 5; ++i) {
                    re[i] = static_cast<float>(sec[s][i].real());
                    im[i] = static_cast<float>(sec[s][i].imag());
                    t[10 * s + 2 * i] = re[i];
                    t[10 * s + 2 * i + 1] = im[i];
                    sec[s][i] = Cd(re[i], im[i]);  // the reference uses the stored values
                }
                const float rows[20] = {re[0],  im[0],  -im[0], re[0], re[1],  im[1],  re[2],  im[2],  -im[1], re[1],
                                        -im[2], re[2], -re[3], -im[3], -re[4], -im[4], im[3],  -re[3], im[4],  -re[4]};
                std::copy(rows, rows + 20, g + 20 * s);
            }
            // Double-precision complex: ten pairs per section.
            OtherState cd(0, 32 * q, 160 * q, 2 * q, q);
            double* p = cd.Rows<double>();
            for (int32_t s = 0; s < q; ++s) {
                const Cd b0 = sec[s][0], b1 = sec[s][1], b2 = sec[s][2], a1 = sec[s][3], a2 = sec[s][4];
                const double e[20] = {b0.real(),  b0.imag(),  b0.imag(),  b0.real(),  b1.real(),  b1.imag(),  b1.imag(),
                                      b1.real(),  b2.real(),  b2.imag(),  b2.imag(),  b2.real(),  -a1.real(), -a1.imag(),
                                      -a1.imag(), -a1.real(), -a2.real(), -a2.imag(), -a2.imag(), -a2.real()};
                std::copy(e, e + 20, p + 20 * s);
            }
            // Real cascades (the real parts): single rows of 8 floats, double rows of 6 doubles.
            OtherState rs(0, 8 * q, 32 * q, 2 * q, q), rd(0, 16 * q, 48 * q, 2 * q, q);
            for (int32_t s = 0; s < q; ++s) {
                const double b0 = sec[s][0].real(), b1 = sec[s][1].real(), b2 = sec[s][2].real();
                const double a1 = sec[s][3].real(), a2 = sec[s][4].real();
                const float r8[8] = {float(b0), float(b1), float(b2), 0.0f, float(-a1), float(-a2), 0.0f, 0.0f};
                std::copy(r8, r8 + 8, rs.Rows<float>() + 8 * s);
                const double r6[6] = {b0, b0, b1, b2, -a1, -a2};
                std::copy(r6, r6 + 6, rd.Rows<double>() + 6 * s);
            }
            std::vector<Cd> z(2 * static_cast<size_t>(q), 0.0);
            std::vector<double> zr(2 * static_cast<size_t>(q), 0.0);
            for (size_t i = 0; i < x.size(); ++i) {
                Cd v = x[i];
                double vr = x[i].real();
                for (int32_t s = 0; s < q; ++s) {
                    const auto& c = sec[s];
                    const Cd y = c[0] * v + z[2 * s];
                    z[2 * s] = c[1] * v + z[2 * s + 1] - c[3] * y;
                    z[2 * s + 1] = c[2] * v - c[4] * y;
                    v = y;
                    const double yr = c[0].real() * vr + zr[2 * s];
                    zr[2 * s] = c[1].real() * vr + zr[2 * s + 1] - c[3].real() * yr;
                    zr[2 * s + 1] = c[2].real() * vr - c[4].real() * yr;
                    vr = yr;
                }
                const float in[2] = {static_cast<float>(x[i].real()), static_cast<float>(x[i].imag())};
                float out[2];
                KVX_MEMBER(IirBiquadSampleStepComplexFloat)(in, out, &cs.state);
                EXPECT_NEAR(out[0], v.real(), 1e-3 * (1 + std::abs(v))) << "slot " << k.slot << " q " << q << " " << i;
                EXPECT_NEAR(out[1], v.imag(), 1e-3 * (1 + std::abs(v)));
                const double ind[2] = {in[0], in[1]};
                double outd[2];
                KVX_MEMBER(IirBiquadSampleStepComplexDouble)(ind, outd, &cd.state);
                EXPECT_NEAR(outd[0], v.real(), 1e-6 * (1 + std::abs(v)));
                EXPECT_NEAR(outd[1], v.imag(), 1e-6 * (1 + std::abs(v)));
                float real = 0;
                KVX_MEMBER(IirBiquadSampleStepFloatDoubleTaps)(in, &real, &rd.state);
                EXPECT_NEAR(real, vr, 1e-4 * (1 + std::fabs(vr)));
                const int16_t in16 = 0;  // the int16 cascade on its own state: silence stays silence
                int16_t out16 = 5;
                KVX_MEMBER(IirBiquadSampleStepInt16)(&in16, &out16, &rs.state, 0);
                EXPECT_EQ(out16, 0);
            }
        }
#undef KVX_MEMBER
    }
}
