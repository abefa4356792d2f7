// The tables and kernels beneath the transforms: pair tables and the permutation they drive,
// twiddle and sine tables, the radix passes and the large-order complex FFT.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "primitives/fft/FftInternal.h"
#include "tests/primitives/fft/FftReference.h"

using namespace fftref;

namespace {

uint32_t Reverse(uint32_t x, int bits) {
    uint32_t r = 0;
    for (int i = 0; i < bits; ++i, x >>= 1) r = (r << 1) | (x & 1u);
    return r;
}

std::vector<int32_t> PairTable(int32_t m) {
    std::vector<int32_t> t((size_t{1} << m) / 4 + 1, -1);
    kvxfft::BuildBitReversePairTable(t.data(), m);
    return t;
}

std::vector<FftComplex> RandomComplex(size_t n, uint32_t seed) {
    const std::vector<float> v = RandomSignal(2 * n, seed);
    std::vector<FftComplex> z(n);
    std::memcpy(z.data(), v.data(), v.size() * sizeof(float));
    return z;
}

// Largest error against the reference relative to the largest reference magnitude.
double RelativeMaxError(const std::vector<FftComplex>& got, const std::vector<Cd>& want) {
    double err = 0, ref = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        const double dr = got[i].re - want[i].real(), di = got[i].im - want[i].imag();
        err = std::fmax(err, dr * dr + di * di);
        ref = std::fmax(ref, std::norm(want[i]));
    }
    return std::sqrt(err / ref);
}

std::vector<Cd> Reference(const std::vector<FftComplex>& z, int sign) {
    std::vector<Cd> a(z.size());
    for (size_t i = 0; i < z.size(); ++i) a[i] = Cd(z[i].re, z[i].im);
    DoubleFft(a, sign);
    return a;
}

TEST(FftPairTable, SmallOrders) {
    EXPECT_EQ(PairTable(2), (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(PairTable(3), (std::vector<int32_t>{0, 4, 0}));
    EXPECT_EQ(PairTable(4), (std::vector<int32_t>{4, 8, 0, 12, 0}));
    // m = 5: pairs (1,4), (3,6); singles 2, 5, 7 in decreasing order after the 0.
    EXPECT_EQ(PairTable(5), (std::vector<int32_t>{4, 16, 12, 24, 0, 28, 20, 8, 0}));
}

TEST(FftBitReverse, CopyAndInPlaceRealiseTheReversal) {
    for (int32_t m = 3; m <= 16; ++m) {
        SCOPED_TRACE(m);
        const size_t n = size_t{1} << m;
        const std::vector<int32_t> table = PairTable(m);
        std::vector<FftComplex> src(n), dst(n, {-1.0f, -1.0f});
        for (size_t i = 0; i < n; ++i) src[i] = {static_cast<float>(i), -static_cast<float>(i)};
        kvxfft::BitReverseCopy(src.data(), dst.data(), static_cast<int32_t>(n), table.data());
        std::vector<FftComplex> inPlace = src;
        kvxfft::BitReverseInPlace(inPlace.data(), static_cast<int32_t>(n), table.data());
        for (size_t i = 0; i < n; ++i) {
            const float want = static_cast<float>(Reverse(static_cast<uint32_t>(i), m));
            ASSERT_EQ(dst[i].re, want) << i;
            ASSERT_EQ(dst[i].im, -want) << i;
            ASSERT_EQ(inPlace[i].re, want) << i;
        }
    }
}

TEST(FftTables, TwiddleValuesAndSigns) {
    for (int32_t m = 3; m <= 10; ++m) {
        std::vector<float> w(6 * ((size_t{1} << m) / 4 + 1));
        kvxfft::BuildTwiddleTable(reinterpret_cast<uint8_t*>(w.data()), m, {QuarterSineTable, 10});
        // Entry 0 is 1, +0, 1, +0, 1, +0.
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(w[i], i % 2 == 0 ? 1.0f : 0.0f);
            EXPECT_FALSE(std::signbit(w[i]));
        }
        const double n = std::ldexp(1.0, m);
        for (size_t l = 0; l < w.size() / 6; ++l) {
            for (int p = 1; p <= 3; ++p) {
                const double theta = 2.0 * PI * static_cast<double>(p * l) / n;
                ASSERT_NEAR(w[6 * l + 2 * (p - 1)], std::cos(theta), 1e-7) << m << " " << l;
                ASSERT_NEAR(w[6 * l + 2 * (p - 1) + 1], -std::sin(theta), 1e-7) << m << " " << l;
            }
        }
    }
}

TEST(FftTables, QuarterSineTables) {
    EXPECT_EQ(QuarterSineTable[0], 0.0f);
    EXPECT_EQ(QuarterSineTable[256], 1.0f);
    for (int k = 0; k <= 256; ++k)
        ASSERT_EQ(QuarterSineTable[k], static_cast<float>(std::sin(2.0 * PI * k / 1024.0))) << k;
    const int32_t order = 14;
    std::vector<float> s((size_t{1} << order) / 4 + 1);
    kvxfft::BuildQuarterSineTable(s.data(), order);
    EXPECT_EQ(s.front(), 0.0f);
    EXPECT_EQ(s.back(), 1.0f);
    for (size_t k = 0; k < s.size(); ++k)
        ASSERT_NEAR(s[k], std::sin(2.0 * PI * static_cast<double>(k) / 16384.0), 6e-8) << k;
}

TEST(FftRadix, PassesMatchTheDft) {
    for (int32_t m = 3; m <= 10; ++m) {
        SCOPED_TRACE(m);
        const size_t n = size_t{1} << m;
        std::vector<float> w(6 * (n / 4 + 1));
        kvxfft::BuildTwiddleTable(reinterpret_cast<uint8_t*>(w.data()), m, {QuarterSineTable, 10});
        const std::vector<int32_t> table = PairTable(m);
        const std::vector<FftComplex> z = RandomComplex(n, static_cast<uint32_t>(m));
        for (int sign : {-1, +1}) {
            std::vector<FftComplex> data(n);
            kvxfft::BitReverseCopy(z.data(), data.data(), static_cast<int32_t>(n), table.data());
            if (sign < 0)
                kvxfft::Radix4ForwardPass(data.data(), static_cast<int32_t>(n), w.data());
            else
                kvxfft::Radix4InversePass(data.data(), static_cast<int32_t>(n), w.data());
            EXPECT_LT(RelativeMaxError(data, Reference(z, sign)), 1e-6) << "sign " << sign;
        }
    }
}

// The radix passes in plain scalar arithmetic, step by step as the algorithm states them: the
// vector kernels must give these results bit for bit, whatever their data layout.
FftComplex Add(FftComplex a, FftComplex b) { return {a.re + b.re, a.im + b.im}; }
FftComplex Sub(FftComplex a, FftComplex b) { return {a.re - b.re, a.im - b.im}; }
// x times -i (forward) or +i (inverse).
FftComplex Rotate(FftComplex x, bool inverse) { return inverse ? FftComplex{-x.im, x.re} : FftComplex{x.im, -x.re}; }
// x times w, or times the conjugate of w for the inverse.
FftComplex Mul(FftComplex x, FftComplex w, bool inverse) {
    if (inverse) w.im = -w.im;
    return {x.re * w.re - x.im * w.im, x.im * w.re + x.re * w.im};
}

void ScalarRadix4Pass(std::vector<FftComplex>& x, const float* W, bool inverse) {
    const size_t n = x.size();
    for (size_t g = 0; g < n; g += 4) {
        const FftComplex s01 = Add(x[g], x[g + 1]), d01 = Sub(x[g], x[g + 1]);
        const FftComplex s23 = Add(x[g + 2], x[g + 3]), r = Rotate(Sub(x[g + 2], x[g + 3]), inverse);
        x[g] = Add(s01, s23);
        x[g + 2] = Sub(s01, s23);
        x[g + 1] = Add(d01, r);
        x[g + 3] = Sub(d01, r);
    }
    size_t L = 4;
    if (n > 4 && (n & 0x55555555u) == 0) {
        const float c = W[6 * (n / 8)];
        for (size_t g = 0; g < n; g += 8) {
            const FftComplex o[4] = {x[g + 4], Mul(x[g + 5], {c, -c}, inverse), Rotate(x[g + 6], inverse),
                                     Mul(x[g + 7], {-c, -c}, inverse)};
            for (size_t j = 0; j < 4; ++j) {
                const FftComplex e = x[g + j];
                x[g + j] = Add(e, o[j]);
                x[g + j + 4] = Sub(e, o[j]);
            }
        }
        L = 8;
    }
    for (; 4 * L <= n; L *= 4) {
        for (size_t g = 0; g < n; g += 4 * L) {
            for (size_t j = 0; j < L; ++j) {
                const float* e = W + 6 * (j * (n / (4 * L)));
                FftComplex* v = x.data() + g + j;
                const FftComplex a = v[0];
                const FftComplex b = j == 0 ? v[L] : Mul(v[L], {e[2], e[3]}, inverse);
                const FftComplex c = j == 0 ? v[2 * L] : Mul(v[2 * L], {e[0], e[1]}, inverse);
                const FftComplex d = j == 0 ? v[3 * L] : Mul(v[3 * L], {e[4], e[5]}, inverse);
                const FftComplex ab = Add(a, b), amb = Sub(a, b), cd = Add(c, d), r = Rotate(Sub(c, d), inverse);
                v[0] = Add(ab, cd);
                v[2 * L] = Sub(ab, cd);
                v[L] = Add(amb, r);
                v[3 * L] = Sub(amb, r);
            }
        }
    }
}

bool SameBits(const std::vector<FftComplex>& a, const std::vector<FftComplex>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(FftComplex)) == 0;
}

// Random values with exact and negative zeros among them, or (zerosOnly) negative zeros alone:
// the signs of zero results are the first to change when a computation is reordered or a factor
// of 1 is multiplied in after all.
std::vector<FftComplex> TestValues(size_t n, uint32_t seed, bool zerosOnly = false) {
    if (zerosOnly) return std::vector<FftComplex>(n, FftComplex{-0.0f, -0.0f});
    std::vector<FftComplex> z = RandomComplex(n, seed);
    for (size_t i = 0; i < n; i += 7) z[i].re = (i % 2) != 0 ? -0.0f : 0.0f;
    for (size_t i = 3; i < n; i += 11) z[i] = {-0.0f, 0.0f};
    return z;
}

std::vector<float> Twiddles(int32_t m) {
    std::vector<float> w(6 * ((size_t{1} << m) / 4 + 1));
    kvxfft::BuildTwiddleTable(reinterpret_cast<uint8_t*>(w.data()), m, {QuarterSineTable, 10});
    return w;
}

TEST(FftRadix, PassesAreTheScalarAlgorithmBitForBit) {
    for (int32_t m = 2; m <= 10; ++m) {
        SCOPED_TRACE(m);
        const size_t n = size_t{1} << m;
        const std::vector<float> w = Twiddles(m);
        for (bool zerosOnly : {false, true}) {
            const std::vector<FftComplex> z = TestValues(n, static_cast<uint32_t>(m) + 40, zerosOnly);
            for (bool inverse : {false, true}) {
                std::vector<FftComplex> got = z, want = z;
                if (inverse)
                    kvxfft::Radix4InversePass(got.data(), static_cast<int32_t>(n), w.data());
                else
                    kvxfft::Radix4ForwardPass(got.data(), static_cast<int32_t>(n), w.data());
                ScalarRadix4Pass(want, w.data(), inverse);
                EXPECT_TRUE(SameBits(got, want)) << "inverse " << inverse << ", zeros only " << zerosOnly;
            }
        }
    }
}

// The bit reversal merged with the first stages of the passes, in place or from a separate
// source, then the later stages of every piece: the results of the bit reversal and the full
// passes, for whole transforms and for pieces of either parity inside a larger order.
TEST(FftRadix, MergedBitReversalMatchesTheSeparatePasses) {
    const struct {
        int32_t m, pieceOrder;
    } cases[] = {{2, 2}, {3, 3}, {4, 4}, {5, 5}, {8, 8}, {9, 9}, {10, 10}, {11, 10}, {11, 9}, {12, 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "m " << c.m << " piece order " << c.pieceOrder);
        const size_t n = size_t{1} << c.m, piece = size_t{1} << c.pieceOrder;
        const std::vector<int32_t> table = PairTable(c.m);
        const std::vector<float> w = Twiddles(c.pieceOrder);
        const auto N = static_cast<int32_t>(n), P = static_cast<int32_t>(piece);
        for (bool zerosOnly : {false, true}) for (bool inverse : {false, true}) {
            const std::vector<FftComplex> z = TestValues(n, static_cast<uint32_t>(c.m * 31 + c.pieceOrder), zerosOnly);
            std::vector<FftComplex> want(n);
            kvxfft::BitReverseCopy(z.data(), want.data(), N, table.data());
            for (size_t p = 0; p < n; p += piece) {
                if (inverse)
                    kvxfft::Radix4InversePass(want.data() + p, P, w.data());
                else
                    kvxfft::Radix4ForwardPass(want.data() + p, P, w.data());
            }
            std::vector<FftComplex> copied(n), inPlace = z;
            for (FftComplex* dst : {copied.data(), inPlace.data()}) {
                const FftComplex* src = dst == inPlace.data() ? inPlace.data() : z.data();
                if (inverse)
                    kvxfft::BitReverseFirstStagesInverse(src, dst, N, P, table.data(), w.data());
                else
                    kvxfft::BitReverseFirstStagesForward(src, dst, N, P, table.data(), w.data());
                for (size_t p = 0; p < n; p += piece) {
                    if (inverse)
                        kvxfft::Radix4InverseLaterStages(dst + p, P, w.data());
                    else
                        kvxfft::Radix4ForwardLaterStages(dst + p, P, w.data());
                }
            }
            EXPECT_TRUE(SameBits(copied, want)) << "from a copy, inverse " << inverse;
            EXPECT_TRUE(SameBits(inPlace, want)) << "in place, inverse " << inverse;
        }
    }
}

// Blocks of four values (four real parts, then four imaginary ones) back into (re, im) pairs.
std::vector<FftComplex> PairsFromBlocks(const std::vector<FftComplex>& blocks) {
    std::vector<FftComplex> z(blocks.size());
    const auto* f = reinterpret_cast<const float*>(blocks.data());
    for (size_t b = 0; b < z.size(); b += 4)
        for (size_t l = 0; l < 4; ++l) z[b + l] = {f[2 * b + l], f[2 * b + 4 + l]};
    return z;
}

// The later stages of two pieces with the first combining stage joined to their last stage: the
// results of the later stages of each piece followed by the combining stage, for pieces whose
// later stages are one stage or several, of either parity, with factors one or two entries apart,
// ending in pairs or in blocks.
TEST(FftRadix, PairCombinedStagesMatchTheSeparateStages) {
    for (int32_t m : {4, 5, 6, 7, 10}) for (int32_t step : {1, 2}) for (bool inverse : {false, true}) {
        SCOPED_TRACE(testing::Message() << "m " << m << " step " << step << " inverse " << inverse);
        const size_t n = size_t{1} << m;
        const auto N = static_cast<int32_t>(n);
        const std::vector<float> w = Twiddles(m);
        // Arbitrary factors suffice for bit identity; the separate stages read every other one.
        const auto stride = static_cast<size_t>(step);
        const std::vector<FftComplex> table = TestValues(n / 2 * stride, 90u + static_cast<uint32_t>(m));
        std::vector<FftComplex> packed(n / 2);
        for (size_t k = 0; k < packed.size(); ++k) packed[k] = table[k * stride];
        const std::vector<FftComplex> z = TestValues(2 * n, 70u + static_cast<uint32_t>(m));

        std::vector<FftComplex> want = z;
        for (FftComplex* piece : {want.data(), want.data() + n}) {
            if (inverse)
                kvxfft::Radix4InverseLaterStages(piece, N, w.data());
            else
                kvxfft::Radix4ForwardLaterStages(piece, N, w.data());
        }
        if (inverse)
            kvxfft::CombineStagesInverse(want.data(), 2 * N, N, packed.data(), 8);
        else
            kvxfft::CombineStagesForward(want.data(), 2 * N, N, packed.data(), 8);

        for (bool toPairs : {true, false}) {
            std::vector<FftComplex> got = z;
            if (inverse)
                kvxfft::Radix4LaterStagesPairCombinedInverse(got.data(), N, w.data(), table.data(), step, toPairs);
            else
                kvxfft::Radix4LaterStagesPairCombinedForward(got.data(), N, w.data(), table.data(), step, toPairs);
            EXPECT_TRUE(SameBits(toPairs ? got : PairsFromBlocks(got), want)) << "to pairs " << toPairs;
        }
    }
}

// The large-order complex FFT of 2^m points, on the tables of a real specification of order m+1:
// leaves (11, 12), one level over radix rows (13 to 20), one over leaves (21) and two levels (23).
class FftLargeOrder : public ::testing::TestWithParam<int32_t> {};

TEST_P(FftLargeOrder, ComplexTransformsMatchTheReference) {
    const int32_t m = GetParam();
    const size_t n = size_t{1} << m;
    Spec spec(m + 1, FftScaleNone);
    ASSERT_EQ(spec.status(), StatusOk);
    std::vector<uint8_t> work(static_cast<size_t>(spec.get()->workBytes) + 32);
    uint8_t* aligned = kvxfft::AlignUp32(work.data());
    const std::vector<FftComplex> z = RandomComplex(n, static_cast<uint32_t>(m));
    // Forward against the reference; the inverse by the round trip, which only the exact inverse
    // passes once the forward is right.
    std::vector<FftComplex> out(n), back(n);
    kvxfft::LargeFftForward(spec.get(), z.data(), out.data(), m, aligned);
    EXPECT_LT(RelativeMaxError(out, Reference(z, -1)), 2e-6);
    kvxfft::LargeFftInverse(spec.get(), out.data(), back.data(), m, aligned);
    std::vector<Cd> scaled(n);
    for (size_t i = 0; i < n; ++i) scaled[i] = Cd(z[i].re, z[i].im) * static_cast<double>(n);
    EXPECT_LT(RelativeMaxError(back, scaled), 4e-6);
    // In place differs from out of place only in the bit reversal, which the smaller orders
    // cover; the largest order keeps to the checks above.
    if (m < 23) {
        std::vector<FftComplex> inPlace = z;
        kvxfft::LargeFftForward(spec.get(), inPlace.data(), inPlace.data(), m, aligned);
        EXPECT_EQ(std::memcmp(out.data(), inPlace.data(), n * sizeof(FftComplex)), 0);
        kvxfft::LargeFftInverse(spec.get(), inPlace.data(), inPlace.data(), m, aligned);
        EXPECT_EQ(std::memcmp(back.data(), inPlace.data(), n * sizeof(FftComplex)), 0);
    }
    // A pure tone lands in one bin: n there, zero to rounding elsewhere (up to 2^17 points; the
    // random comparison above covers the larger orders).
    if (m > 17) return;
    const size_t k0 = n / 3;
    std::vector<FftComplex> tone(n);
    for (size_t t = 0; t < n; ++t) {
        const double phase = 2.0 * PI * static_cast<double>((t * k0) % n) / static_cast<double>(n);
        tone[t] = {static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase))};
    }
    kvxfft::LargeFftForward(spec.get(), tone.data(), tone.data(), m, aligned);
    EXPECT_NEAR(tone[k0].re, static_cast<double>(n), 1e-4 * static_cast<double>(n));
    double leak = 0;
    for (size_t k = 0; k < n; ++k)
        if (k != k0) leak = std::fmax(leak, std::abs(Cd(tone[k].re, tone[k].im)));
    EXPECT_LT(leak, 1e-3 * std::sqrt(static_cast<double>(n)));
}

INSTANTIATE_TEST_SUITE_P(Orders, FftLargeOrder, ::testing::Values(11, 12, 13, 15, 17, 19, 21, 23));

// With the square-root flag a level scales once at its rows, never again at its columns.
TEST(FftLarge, SqrtScaleIsAppliedOnce) {
    for (int32_t order : {12, 14, 24}) {
        SCOPED_TRACE(order);
        const size_t N = size_t{1} << order;
        Spec spec(order, FftScaleSqrt);
        std::vector<float> x(N, 0.0f);
        x[0] = 1.0f;
        ASSERT_EQ(ForwardRealFftInPlace(x.data(), spec.get(), nullptr), StatusOk);
        const float want = static_cast<float>(1.0 / std::sqrt(static_cast<double>(N)));
        EXPECT_NEAR(x[0], want, 1e-6 * want);
        EXPECT_NEAR(x[1], want, 1e-6 * want);
        EXPECT_NEAR(x[N / 2], want, 1e-6 * want);
        ASSERT_EQ(InverseRealFftInPlace(x.data(), spec.get(), nullptr), StatusOk);
        EXPECT_NEAR(x[0], 1.0f, 1e-5f);
        EXPECT_NEAR(x[N - 1], 0.0f, 1e-5f);
    }
}

}  // namespace
