// The kernels of slots 1 to 3 called directly: the edges of their contracts (tap counts, counts,
// alignments), flush against guard pages, and the members no entry point reaches, each against a
// double or bit-pattern reference. One loop runs every slot the processor has.
#include <gtest/gtest.h>

#include <cmath>
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
