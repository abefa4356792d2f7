// The members of the vector kernel modules that no entry point reaches, in every variant that holds
// them: absolute values and reversals of other widths, double and int16 extremes, the other
// squares, the other divisions, the other sums and the other dot products. Each is compared with
// an exact or double-precision reference over lengths and alignments, with nothing written outside
// its destination, and with the edge cases of its rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>
#include <xmmintrin.h>

#include "primitives/vector/VectorReductions.h"
#include "primitives/vector/VectorSlots.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace {

using coretest::Bits;
using coretest::FromBits;

uint64_t Bits64(double v)
{
    uint64_t b;
    memcpy(&b, &v, 8);
    return b;
}

double DoubleOf(uint64_t b)
{
    double v;
    memcpy(&v, &b, 8);
    return v;
}

template <typename T>
using Guarded = coretest::GuardedArray<T>;

template <typename T>
std::vector<T> RandomInts(size_t n, uint32_t seed, int64_t lo = std::numeric_limits<T>::min(),
                          int64_t hi = std::numeric_limits<T>::max())
{
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int64_t> dist(lo, hi);
    std::vector<T> v(n);
    for (auto& x : v) {
        x = static_cast<T>(dist(rng));
    }
    // The extremes of the type early on.
    if (n > 2) {
        v[1] = std::numeric_limits<T>::min();
        v[2] = std::numeric_limits<T>::max();
    }
    return v;
}

std::vector<double> RandomDoubles(size_t n, uint32_t seed, double lo, double hi)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> dist(lo, hi);
    std::vector<double> v(n);
    for (auto& x : v) {
        x = dist(rng);
    }
    return v;
}

std::vector<float> RandomFloats(size_t n, uint32_t seed, float lo, float hi)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (auto& x : v) {
        x = dist(rng);
    }
    return v;
}

// Small integers as floats or doubles: every sum and product below stays exact.
template <typename T>
std::vector<T> SmallIntegers(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<T> v(n);
    for (auto& x : v) {
        x = static_cast<T>(static_cast<int>(rng() % 41) - 20);
    }
    return v;
}

std::vector<int32_t> Lengths(std::initializer_list<int32_t> extra = {})
{
    std::vector<int32_t> v;
    for (int32_t n = 1; n <= 40; ++n) {
        v.push_back(n);
    }
    v.insert(v.end(), extra);
    return v;
}

// saturate(round-half-even(v * 2^-s)) for an exact v.
int64_t RoundScaled(__int128 v, int64_t s, int64_t lo, int64_t hi)
{
    if (v == 0) {
        return 0;
    }
    __int128 r;
    if (s <= 0) {
        if (-s >= 40) {
            return v > 0 ? hi : lo;
        }
        r = v * (static_cast<__int128>(1) << -s);
    } else if (s >= 100) {
        r = 0;
    } else {
        const __int128 d = static_cast<__int128>(1) << s;
        r = v >= 0 ? v / d : -((-v + d - 1) / d);  // floor
        const __int128 rest = v - r * d;
        if (2 * rest > d || (2 * rest == d && (r & 1) != 0)) {
            ++r;
        }
    }
    return r < lo ? lo : (r > hi ? static_cast<int64_t>(hi) : static_cast<int64_t>(r));
}

// round-half-even(n / d) saturated, for exact integers (d nonzero).
int64_t RoundQuotient(__int128 n, __int128 d, int64_t lo, int64_t hi)
{
    if (d < 0) {
        n = -n;
        d = -d;
    }
    __int128 q = n >= 0 ? n / d : -((-n + d - 1) / d);
    const __int128 rest = n - q * d;
    if (2 * rest > d || (2 * rest == d && (q & 1) != 0)) {
        ++q;
    }
    return q < lo ? lo : (q > hi ? hi : static_cast<int64_t>(q));
}

// ---- absolute value and reversal ----

TEST(VectorKernelMembers, AbsoluteValuesOfEveryWidth)
{
    for (const auto& [slot, f] : KVX_EACH_VARIANT(AbsoluteDoubleKernel)) {
        for (int32_t n : Lengths({63, 64, 65})) {
            for (size_t offset : {0, 8, 4, 3}) {
                std::vector<double> src = RandomDoubles(n, n, -1e300, 1e300);
                src[0] = -0.0;
                if (n > 3) {
                    src[3] = DoubleOf(0xFFF8000000000123ull);
                }
                for (bool inPlace : {false, true}) {
                    Guarded<double> s(n, offset), d(n, (offset + 8) % 16);
                    s.Fill(src);
                    f(s.Data(), inPlace ? s.Data() : d.Data(), n);
                    const Guarded<double>& out = inPlace ? s : d;
                    for (int32_t i = 0; i < n; ++i) {
                        ASSERT_EQ(Bits64(out.Get(i)), Bits64(src[i]) & 0x7FFFFFFFFFFFFFFFull) << slot << " n " << n << " i " << i;
                    }
                    ASSERT_TRUE(s.GuardsIntact() && d.GuardsIntact()) << slot << " n " << n;
                }
            }
        }
    }
    // Both forms of the saturated integer absolute value give the same, for every int16.
    std::vector<int16_t> every(65536);
    for (int32_t v = -32768; v <= 32767; ++v) {
        every[v + 32768] = static_cast<int16_t>(v);
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(AbsoluteInt16Kernel)) {
        for (size_t offset : {0, 2, 6, 1}) {
            Guarded<int16_t> s(every.size(), offset), d(every.size(), (offset + 4) % 16);
            s.Fill(every);
            f(s.Data(), d.Data(), static_cast<int32_t>(every.size()));
            for (int32_t v = -32768; v <= 32767; ++v) {
                ASSERT_EQ(d.Get(v + 32768), v == -32768 ? 32767 : std::abs(v)) << slot << " " << v;
            }
            ASSERT_TRUE(d.GuardsIntact());
        }
        for (int32_t n : Lengths()) {
            Guarded<int16_t> s(n, 6), d(n, 6);
            s.Fill(std::vector<int16_t>(every.begin(), every.begin() + n));
            f(s.Data(), s.Data(), n);
            for (int32_t i = 0; i < n; ++i) {
                ASSERT_EQ(s.Get(i), i == 0 ? 32767 : 32768 - i) << slot << " in place, n " << n;
            }
            ASSERT_TRUE(s.GuardsIntact());
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(AbsoluteInt32Kernel)) {
        for (int32_t n : Lengths({100})) {
            for (size_t offset : {0, 4, 8, 12, 1}) {
                const auto src = RandomInts<int32_t>(n, n);
                Guarded<int32_t> s(n, offset), d(n, (offset * 3) % 16);
                s.Fill(src);
                f(s.Data(), d.Data(), n);
                for (int32_t i = 0; i < n; ++i) {
                    const int64_t v = src[i];
                    ASSERT_EQ(d.Get(i), std::min<int64_t>(v < 0 ? -v : v, INT32_MAX)) << slot << " n " << n;
                }
                ASSERT_TRUE(d.GuardsIntact());
            }
        }
    }
}

template <typename T, typename Copy, typename InPlace>
void CheckReversal(int slot, Copy copy, InPlace inPlace, std::initializer_list<int32_t> wide)
{
    for (int32_t n : Lengths(wide)) {
        const auto src = RandomInts<T>(n, 7u * n);
        for (size_t offset = 0; offset < 16; ++offset) {
            Guarded<T> s(n, (offset * 5 + 3) % 16), d(n, offset);
            s.Fill(src);
            copy(s.Data(), d.Data(), static_cast<uint32_t>(n));
            for (int32_t i = 0; i < n; ++i) {
                ASSERT_EQ(d.Get(i), src[n - 1 - i]) << "slot " << slot << " width " << sizeof(T) << " n " << n
                                                    << " offset " << offset;
            }
            ASSERT_TRUE(d.GuardsIntact() && s.GuardsIntact()) << slot << " n " << n << " offset " << offset;
            // In place, the middle element of an odd length is neither read nor written: a
            // marker placed there survives.
            Guarded<T> b(n, offset);
            b.Fill(src);
            inPlace(b.Data(), static_cast<uint32_t>(n));
            for (int32_t i = 0; i < n; ++i) {
                ASSERT_EQ(b.Get(i), src[n - 1 - i]) << "in place, slot " << slot << " width " << sizeof(T) << " n " << n
                                                    << " offset " << offset;
            }
            ASSERT_TRUE(b.GuardsIntact());
        }
    }
}

TEST(VectorKernelMembers, ReversalsOfEveryWidth)
{
    const auto copies8 = KVX_EACH_VARIANT(ReverseCopyKernel8);
    const auto inPlace8 = KVX_EACH_VARIANT(ReverseInPlaceKernel8);
    for (size_t k = 0; k < copies8.size(); ++k) {
        CheckReversal<uint8_t>(copies8[k].first, copies8[k].second, inPlace8[k].second, {47, 48, 49, 95, 96, 100, 131});
    }
    const auto copies16 = KVX_EACH_VARIANT(ReverseCopyKernel16);
    const auto inPlace16 = KVX_EACH_VARIANT(ReverseInPlaceKernel16);
    for (size_t k = 0; k < copies16.size(); ++k) {
        CheckReversal<uint16_t>(copies16[k].first, copies16[k].second, inPlace16[k].second, {64, 135, 136, 137, 200});
    }
    const auto copies32 = KVX_EACH_VARIANT(ReverseCopyKernel32);
    const auto inPlace32 = KVX_EACH_VARIANT(ReverseInPlaceKernel32);
    for (size_t k = 0; k < copies32.size(); ++k) {
        CheckReversal<uint32_t>(copies32[k].first, copies32[k].second, inPlace32[k].second, {47, 48, 64, 66, 100});
    }
    // The middle element of an odd in-place reversal is not touched.
    for (const auto& [slot, f] : KVX_EACH_VARIANT(ReverseInPlaceKernel32)) {
        uint32_t three[3] = {1, 2, 3};
        f(three, 3);
        EXPECT_EQ(three[1], 2u);
        EXPECT_EQ(three[0], 3u);
        uint32_t one[1] = {9};
        f(one, 1);
        EXPECT_EQ(one[0], 9u);
    }
}

// ---- double and int16 extremes ----

TEST(VectorKernelMembers, DoubleAndInt16Extremes)
{
    const auto maxD = KVX_EACH_VARIANT(MaximumDoubleKernel);
    const auto minD = KVX_EACH_VARIANT(MinimumDoubleKernel);
    for (size_t k = 0; k < maxD.size(); ++k) {
        for (int32_t n : Lengths({100})) {
            for (size_t offset : {0, 8, 4}) {
                const auto v = RandomDoubles(n, 3u * n, -1e6, 1e6);
                Guarded<double> s(n, offset);
                s.Fill(v);
                double hi = 0;
                double lo = 0;
                maxD[k].second(s.Data(), n, &hi);
                minD[k].second(s.Data(), n, &lo);
                ASSERT_EQ(hi, *std::max_element(v.begin(), v.end())) << maxD[k].first << " n " << n;
                ASSERT_EQ(lo, *std::min_element(v.begin(), v.end())) << maxD[k].first << " n " << n;
            }
        }
        // The final step takes lane 1 against lane 0: of two equal zeros, lane 0's.
        alignas(16) double aligned[2] = {0.0, -0.0};
        double out = 1;
        maxD[k].second(aligned, 2, &out);
        EXPECT_EQ(Bits64(out), 0u);
    }
    const auto maxI = KVX_EACH_VARIANT(MaximumInt16Kernel);
    const auto minI = KVX_EACH_VARIANT(MinimumInt16Kernel);
    for (size_t k = 0; k < maxI.size(); ++k) {
        for (int32_t n : Lengths({63, 64, 65, 100, 1000})) {
            for (size_t offset : {0, 2, 4, 14, 1, 7}) {
                const auto v = RandomInts<int16_t>(n, 5u * n + static_cast<uint32_t>(offset), -30000, 30000);
                Guarded<int16_t> s(n, offset);
                s.Fill(v);
                int16_t hi = 0;
                int16_t lo = 0;
                maxI[k].second(s.Data(), n, &hi);
                minI[k].second(s.Data(), n, &lo);
                ASSERT_EQ(hi, *std::max_element(v.begin(), v.end())) << maxI[k].first << " n " << n << " +" << offset;
                ASSERT_EQ(lo, *std::min_element(v.begin(), v.end())) << maxI[k].first << " n " << n << " +" << offset;
            }
        }
    }
}

// ---- squares ----

TEST(VectorKernelMembers, FloatingPointSquares)
{
    for (const auto& [slot, f] : KVX_EACH_VARIANT(SquareComplexKernel)) {
        for (int32_t n : Lengths()) {
            for (size_t offset : {0, 8, 4, 2}) {
                const auto src = coretest::MixedFloats(2 * n, n);
                Guarded<float> s(2 * n, offset), d(2 * n, (offset + 4) % 16);
                s.Fill(src);
                f(s.Data(), d.Data(), n);
                for (int32_t i = 0; i < n; ++i) {
                    const float re = src[2 * i];
                    const float im = src[2 * i + 1];
                    const float p = re * im;
                    const float wantRe = re * re - im * im;
                    const float wantIm = p + p;
                    for (const auto& [got, want] : {std::pair{d.Get(2 * i), wantRe}, std::pair{d.Get(2 * i + 1), wantIm}}) {
                        ASSERT_TRUE(Bits(got) == Bits(want) || (std::isnan(got) && std::isnan(want))) << slot << " n " << n;
                    }
                }
                ASSERT_TRUE(d.GuardsIntact());
            }
        }
        const float cases[] = {0, 1, 1, 1, 3, 2};
        float out[6];
        f(cases, out, 3);
        EXPECT_EQ(std::vector<float>(out, out + 6), (std::vector<float>{-1, 0, 0, 2, 5, 12}));
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(SquareDoubleKernel)) {
        for (int32_t n : Lengths()) {
            for (size_t offset : {0, 8, 4}) {
                const auto src = RandomDoubles(n, n, -1e200, 1e200);
                Guarded<double> s(n, offset), d(n, (offset + 8) % 16);
                s.Fill(src);
                f(s.Data(), d.Data(), n);
                for (int32_t i = 0; i < n; ++i) {
                    ASSERT_EQ(Bits64(d.Get(i)), Bits64(src[i] * src[i])) << slot << " n " << n;
                }
                ASSERT_TRUE(d.GuardsIntact());
            }
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(SquareComplexDoubleKernel)) {
        for (int32_t n : Lengths()) {
            for (size_t offset : {0, 8, 4}) {
                const auto src = RandomDoubles(2 * n, n, -1e100, 1e100);
                Guarded<double> s(2 * n, offset), d(2 * n, (offset + 8) % 16);
                s.Fill(src);
                f(s.Data(), s.Data(), n);  // in place
                for (int32_t i = 0; i < n; ++i) {
                    const double re = src[2 * i];
                    const double im = src[2 * i + 1];
                    const double p = re * im;
                    ASSERT_EQ(s.Get(2 * i), re * re - im * im) << slot;
                    ASSERT_EQ(s.Get(2 * i + 1), p + p) << slot;
                }
                ASSERT_TRUE(s.GuardsIntact());
            }
        }
    }
}

std::vector<int32_t> SquareScales()
{
    std::vector<int32_t> v;
    for (int32_t s = -20; s <= 40; ++s) {
        v.push_back(s);
    }
    for (int32_t s : {-100, INT32_MIN, 100, INT32_MAX}) {
        v.push_back(s);
    }
    return v;
}

TEST(VectorKernelMembers, ScaledIntegerSquaresRoundHalfEvenAndSaturate)
{
    for (const auto& [slot, f] : KVX_EACH_VARIANT(SquareInt16ScaledKernel)) {
        for (int32_t s : SquareScales()) {
            for (int32_t n : {1, 7, 8, 15, 16, 17, 40, 300}) {
                for (size_t offset : {0, 2, 6, 1}) {
                    const auto src = RandomInts<int16_t>(n, 3u * n + static_cast<uint32_t>(s));
                    Guarded<int16_t> in(n, offset), out(n, (offset + 10) % 16);
                    in.Fill(src);
                    f(in.Data(), out.Data(), n, s);
                    for (int32_t i = 0; i < n; ++i) {
                        const int64_t x = src[i];
                        ASSERT_EQ(out.Get(i), RoundScaled(x * x, s, -32768, 32767))
                            << slot << " s " << s << " x " << x << " n " << n;
                    }
                    ASSERT_TRUE(out.GuardsIntact());
                }
            }
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(SquareComplexInt16ScaledKernel)) {
        for (int32_t s : SquareScales()) {
            for (int32_t n : {1, 2, 3, 4, 7, 8, 9, 40}) {
                for (size_t offset : {0, 4, 8, 2}) {
                    const auto src = RandomInts<int16_t>(2 * n, 7u * n + static_cast<uint32_t>(s));
                    Guarded<int16_t> in(2 * n, offset), out(2 * n, (offset + 12) % 16);
                    in.Fill(src);
                    f(in.Data(), out.Data(), n, s);
                    for (int32_t i = 0; i < n; ++i) {
                        const int64_t re = src[2 * i];
                        const int64_t im = src[2 * i + 1];
                        ASSERT_EQ(out.Get(2 * i), RoundScaled(re * re - im * im, s, -32768, 32767)) << slot << " s " << s;
                        ASSERT_EQ(out.Get(2 * i + 1), RoundScaled(2 * re * im, s, -32768, 32767)) << slot << " s " << s;
                    }
                    ASSERT_TRUE(out.GuardsIntact());
                }
            }
        }
    }
    std::vector<uint8_t> bytes(256);
    std::vector<uint16_t> words(65536);
    for (int32_t v = 0; v < 65536; ++v) {
        if (v < 256) {
            bytes[v] = static_cast<uint8_t>(v);
        }
        words[v] = static_cast<uint16_t>(v);
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(SquareUInt8ScaledKernel)) {
        for (int32_t s : SquareScales()) {
            for (size_t offset : {0, 5}) {
                Guarded<uint8_t> in(256, offset), out(256, (offset + 3) % 16);
                in.Fill(bytes);
                f(in.Data(), out.Data(), 256, s);
                for (int32_t x = 0; x < 256; ++x) {
                    ASSERT_EQ(out.Get(x), RoundScaled(x * x, s, 0, 255)) << slot << " s " << s << " x " << x;
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(SquareUInt16ScaledKernel)) {
        for (int32_t s : SquareScales()) {
            for (size_t offset : {0, 6, 1}) {
                Guarded<uint16_t> in(words.size(), offset), out(words.size(), (offset + 2) % 16);
                in.Fill(words);
                f(in.Data(), out.Data(), static_cast<int32_t>(words.size()), s);
                for (int64_t x = 0; x < 65536; ++x) {
                    ASSERT_EQ(out.Get(x), RoundScaled(x * x, s, 0, 65535)) << slot << " s " << s << " x " << x;
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
        }
    }
}

// ---- divisions ----

TEST(VectorKernelMembers, FloatDivisionsByAVectorAndOfComplexValues)
{
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideConstantByVectorKernel)) {
        for (int32_t n : Lengths({100})) {
            for (size_t offset : {0, 4, 8, 12, 2}) {
                const auto a = RandomFloats(n, n, 0.01f, 100.0f);
                Guarded<float> d(n, offset), q(n, (offset + 4) % 16);
                d.Fill(a);
                const float c = -7.5f;
                ASSERT_EQ(f(d.Data(), &c, q.Data(), n), 0);
                for (int32_t i = 0; i < n; ++i) {
                    ASSERT_LE(std::llabs(static_cast<int64_t>(Bits(q.Get(i))) - Bits(c / a[i])), 2) << slot << " n " << n;
                }
                ASSERT_TRUE(q.GuardsIntact());
            }
        }
        const float six = 6.0f;
        const float zero = 0.0f;
        const float zeros[2] = {0.0f, -0.0f};
        float out[2];
        EXPECT_NE(f(zeros, &six, out, 2), 0);
        EXPECT_EQ(Bits(out[0]), 0x7F800000u);
        EXPECT_EQ(Bits(out[1]), 0x7F800000u);
        EXPECT_NE(f(zeros, &zero, out, 1), 0);
        EXPECT_EQ(Bits(out[0]), 0x7FC00000u);
        // A divisor the estimate cannot serve gets the IEEE quotient.
        const float huge[3] = {2.0f, std::ldexp(1.0f, 127), 2.0f};
        const float hundred = std::ldexp(1.0f, 100);
        float q3[3];
        EXPECT_EQ(f(huge, &hundred, q3, 3), 0);
        EXPECT_EQ(q3[1], std::ldexp(1.0f, -27));
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideComplexKernel)) {
        for (int32_t n : Lengths()) {
            for (size_t offset : {0, 8, 4}) {
                const auto a = RandomFloats(2 * n, n, -10.0f, 10.0f);
                const auto b = RandomFloats(2 * n, n + 1, -10.0f, 10.0f);
                Guarded<float> x(2 * n, offset), y(2 * n, (offset + 8) % 16), q(2 * n, offset);
                x.Fill(a);
                y.Fill(b);
                ASSERT_EQ(f(x.Data(), y.Data(), q.Data(), n), 0);
                for (int32_t i = 0; i < n; ++i) {
                    const double ar = a[2 * i], ai = a[2 * i + 1], br = b[2 * i], bi = b[2 * i + 1];
                    const double m = ar * ar + ai * ai;
                    const double tolerance = 1e-4 * (1 + std::sqrt((br * br + bi * bi) / m));
                    ASSERT_NEAR(q.Get(2 * i), (br * ar + bi * ai) / m, tolerance) << slot;
                    ASSERT_NEAR(q.Get(2 * i + 1), (bi * ar - br * ai) / m, tolerance) << slot;
                }
                ASSERT_TRUE(q.GuardsIntact());
            }
        }
        // A zero divisor, and one whose squared modulus underflows, give (NaN, NaN) and report.
        const float divisors[6] = {0, 0, 1e-30f, 0, 3, 4};
        const float dividends[6] = {1, 1, 1, 1, 3, 4};
        float out[6];
        EXPECT_NE(f(divisors, dividends, out, 3), 0);
        EXPECT_TRUE(std::isnan(out[0]) && std::isnan(out[1]) && std::isnan(out[2]) && std::isnan(out[3]));
        EXPECT_NEAR(out[4], 1.0f, 1e-6f);
        EXPECT_NEAR(out[5], 0.0f, 1e-6f);
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideDoubleKernel)) {
        for (int32_t n : Lengths({64})) {
            for (size_t offset : {0, 8, 4}) {
                const auto a = RandomDoubles(n, n, 0.5, 100.0);
                const auto b = RandomDoubles(n, n + 1, -100.0, 100.0);
                Guarded<double> x(n, offset), y(n, offset), q(n, offset);
                x.Fill(a);
                y.Fill(b);
                ASSERT_EQ(f(x.Data(), y.Data(), q.Data(), n), 0);
                // The peel and the last elements are exact; block quotients are rounded to a
                // multiple of four units in the last place, a few units from the IEEE quotient.
                const int64_t peel = (reinterpret_cast<uintptr_t>(q.Data()) & 15u) >= 8 ? 1 : 0;
                const int64_t blockEnd = peel + (n - peel) / 8 * 8;
                for (int32_t i = 0; i < n; ++i) {
                    const double ieee = b[i] / a[i];
                    if (i < peel || i >= blockEnd) {
                        ASSERT_EQ(q.Get(i), ieee) << slot << " n " << n << " i " << i;
                    } else {
                        ASSERT_EQ(Bits64(q.Get(i)) & 3u, 0u) << slot << " n " << n << " i " << i;
                        ASSERT_LE(std::llabs(static_cast<int64_t>(Bits64(q.Get(i)) - Bits64(ieee))), 8) << slot << " i " << i;
                    }
                }
                ASSERT_TRUE(q.GuardsIntact());
            }
        }
        double out = 0;
        const double zero = 0.0;
        const double minusZero = -0.0;
        const double minusFive = -5.0;
        EXPECT_NE(f(&zero, &minusFive, &out, 1), 0);
        EXPECT_EQ(Bits64(out), 0x7FF8000000000000ull);
        EXPECT_NE(f(&minusZero, &zero, &out, 1), 0);
        EXPECT_EQ(Bits64(out), 0x7FF8000000000000ull);
        // A zero divisor in a block: its lane NaN, the others the IEEE quotient.
        alignas(16) double d8[8] = {1, 2, 3, 0, 5, 6, 7, 8};
        alignas(16) double x8[8] = {1, 1, 1, 1, 1, 1, 1, 1};
        alignas(16) double q8[8];
        EXPECT_NE(f(d8, x8, q8, 8), 0);
        for (int i = 0; i < 8; ++i) {
            if (i == 3) {
                EXPECT_EQ(Bits64(q8[i]), 0x7FF8000000000000ull);
            } else {
                EXPECT_EQ(q8[i], 1.0 / d8[i]) << i;
            }
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideComplexDoubleKernel)) {
        for (int32_t n : Lengths()) {
            const auto a = RandomDoubles(2 * n, n, -10.0, 10.0);
            const auto b = RandomDoubles(2 * n, n + 1, -10.0, 10.0);
            Guarded<double> x(2 * n, 8), y(2 * n, 0), q(2 * n, 0);
            x.Fill(a);
            y.Fill(b);
            ASSERT_EQ(f(x.Data(), y.Data(), q.Data(), n), 0);
            for (int32_t i = 0; i < n; ++i) {
                const double ar = a[2 * i], ai = a[2 * i + 1], br = b[2 * i], bi = b[2 * i + 1];
                const double m = ar * ar + ai * ai;
                const double tolerance = 1e-12 * (1 + std::sqrt((br * br + bi * bi) / m));
                ASSERT_NEAR(q.Get(2 * i), (ar * br + ai * bi) / m, tolerance) << slot;
                ASSERT_NEAR(q.Get(2 * i + 1), (ar * bi - ai * br) / m, tolerance) << slot;
            }
            ASSERT_TRUE(q.GuardsIntact());
        }
        const double zero[2] = {0, 0};
        const double nanDivisor[2] = {std::nan(""), 0};
        const double one[2] = {1, 0};
        double out[2];
        EXPECT_NE(f(zero, one, out, 1), 0);
        EXPECT_EQ(Bits64(out[0]), 0x7FF8000000000000ull);
        EXPECT_EQ(Bits64(out[1]), 0x7FF8000000000000ull);
        EXPECT_EQ(f(nanDivisor, one, out, 1), 0);
        EXPECT_TRUE(std::isnan(out[0]) && std::isnan(out[1]));
    }
}

std::vector<int32_t> Scales(int32_t lo, int32_t hi)
{
    std::vector<int32_t> v;
    for (int32_t s = std::max(lo, -40); s <= std::min(hi, 40); ++s) {
        v.push_back(s);
    }
    for (int32_t s : {lo, hi}) {
        v.push_back(s);
    }
    return v;
}

TEST(VectorKernelMembers, ScaledIntegerDivisionsRoundTheExactQuotient)
{
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideInt16ScaledKernel)) {
        for (int32_t s : Scales(-127, 16)) {
            for (int32_t n : {1, 7, 8, 9, 17, 40}) {
                for (size_t offset : {0, 2, 6, 1}) {
                    auto a = RandomInts<int16_t>(n, 3u * n + static_cast<uint32_t>(s + 200));
                    const auto b = RandomInts<int16_t>(n, 5u * n + static_cast<uint32_t>(s + 200));
                    for (int32_t i = 0; i < n; i += 5) {
                        a[i] = static_cast<int16_t>(i % 3 == 0 ? 0 : (i % 2 ? 3 : -2));
                    }
                    Guarded<int16_t> x(n, offset), y(n, (offset + 2) % 16), q(n, (offset + 6) % 16);
                    x.Fill(a);
                    y.Fill(b);
                    bool zero = false;
                    const int32_t reported = f(x.Data(), y.Data(), q.Data(), n, s);
                    for (int32_t i = 0; i < n; ++i) {
                        int64_t want;
                        if (a[i] == 0) {
                            zero = true;
                            want = b[i] > 0 ? 32767 : (b[i] < 0 ? -32768 : 0);
                        } else {
                            const int64_t e = std::clamp<int64_t>(s, -40, 40);
                            want = e >= 0 ? RoundQuotient(b[i], static_cast<__int128>(a[i]) << e, -32768, 32767)
                                          : RoundQuotient(static_cast<__int128>(b[i]) << -e, a[i], -32768, 32767);
                        }
                        ASSERT_EQ(q.Get(i), want) << slot << " s " << s << " " << b[i] << "/" << a[i];
                    }
                    ASSERT_EQ(reported != 0, zero);
                    ASSERT_TRUE(q.GuardsIntact());
                }
            }
        }
        const int16_t a5[5] = {0, 0, 0, 2, 2};
        const int16_t b5[5] = {5, -5, 0, 3, 5};
        int16_t q5[5];
        EXPECT_NE(f(a5, b5, q5, 5, 0), 0);
        EXPECT_EQ(std::vector<int16_t>(q5, q5 + 5), (std::vector<int16_t>{32767, -32768, 0, 2, 2}));
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideUInt8ScaledKernel)) {
        for (int32_t s : Scales(-23, 60)) {
            for (int32_t n : {1, 7, 8, 9, 17, 40}) {
                for (size_t offset : {0, 3, 8}) {
                    auto a = RandomInts<uint8_t>(n, 3u * n + static_cast<uint32_t>(s + 200));
                    const auto b = RandomInts<uint8_t>(n, 5u * n + static_cast<uint32_t>(s + 200));
                    for (int32_t i = 0; i < n; i += 4) {
                        a[i] = static_cast<uint8_t>(i % 8 == 0 ? 0 : 2);
                    }
                    Guarded<uint8_t> x(n, offset), y(n, offset), q(n, (offset + 5) % 16);
                    x.Fill(a);
                    y.Fill(b);
                    f(x.Data(), y.Data(), q.Data(), n, s);
                    for (int32_t i = 0; i < n; ++i) {
                        int64_t want;
                        if (a[i] == 0) {
                            want = b[i] > 0 ? 255 : 0;
                        } else {
                            const int64_t e = std::clamp<int64_t>(s, -40, 40);
                            want = e >= 0 ? RoundQuotient(b[i], static_cast<__int128>(a[i]) << e, 0, 255)
                                          : RoundQuotient(static_cast<__int128>(b[i]) << -e, a[i], 0, 255);
                        }
                        ASSERT_EQ(q.Get(i), want) << slot << " s " << s << " " << int(b[i]) << "/" << int(a[i]);
                    }
                    ASSERT_TRUE(q.GuardsIntact());
                }
            }
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideInt32ScaledKernel)) {
        for (int32_t s : Scales(-1023, 1022)) {
            const int32_t n = 21;
            auto a = RandomInts<int32_t>(n, static_cast<uint32_t>(s + 2000));
            const auto b = RandomInts<int32_t>(n, static_cast<uint32_t>(s + 3000));
            a[4] = 0;
            a[5] = -1;
            a[6] = 7;
            Guarded<int32_t> x(n, 4), y(n, 0), q(n, 12);
            x.Fill(a);
            y.Fill(b);
            EXPECT_NE(f(x.Data(), y.Data(), q.Data(), n, s), 0);
            for (int32_t i = 0; i < n; ++i) {
                const int64_t want = a[i] == 0 ? (b[i] > 0 ? INT32_MAX : (b[i] < 0 ? INT32_MIN : 0))
                                     : s >= 0  ? RoundQuotient(b[i], static_cast<__int128>(a[i]) << std::min(s, 70), INT32_MIN, INT32_MAX)
                                               : RoundQuotient(static_cast<__int128>(b[i]) << std::min(-s, 70), a[i], INT32_MIN, INT32_MAX);
                ASSERT_EQ(q.Get(i), want) << slot << " s " << s << " " << b[i] << "/" << a[i];
            }
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideInt32ByInt16ScaledKernel)) {
        for (int32_t s : Scales(-1023, 1022)) {
            for (size_t offset : {0, 2, 6}) {
                const int32_t n = 23;
                auto a = RandomInts<int16_t>(n, static_cast<uint32_t>(s + 2000));
                const auto b = RandomInts<int32_t>(n, static_cast<uint32_t>(s + 3000));
                a[4] = 0;
                a[7] = 2;
                Guarded<int16_t> x(n, offset), q(n, offset);
                Guarded<int32_t> y(n, 4);
                x.Fill(a);
                y.Fill(b);
                EXPECT_NE(f(x.Data(), y.Data(), q.Data(), n, s), 0);
                for (int32_t i = 0; i < n; ++i) {
                    const int64_t want = a[i] == 0 ? (b[i] > 0 ? 32767 : (b[i] < 0 ? -32768 : 0))
                                         : s >= 0  ? RoundQuotient(b[i], static_cast<__int128>(a[i]) << std::min(s, 70), -32768, 32767)
                                                   : RoundQuotient(static_cast<__int128>(b[i]) << std::min(-s, 70), a[i], -32768, 32767);
                    ASSERT_EQ(q.Get(i), want) << slot << " s " << s << " " << b[i] << "/" << a[i];
                }
                ASSERT_TRUE(q.GuardsIntact());
            }
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideConstantByVectorUInt16Kernel)) {
        for (uint16_t c : {uint16_t{7}, uint16_t{1000}, uint16_t{32767}, uint16_t{32768}, uint16_t{65535}}) {
            for (size_t offset : {0, 2, 6, 1}) {
                const int32_t n = 300;
                auto a = RandomInts<uint16_t>(n, c);
                for (int32_t i = 0; i < 20; ++i) {
                    a[i] = static_cast<uint16_t>(i);
                }
                Guarded<uint16_t> x(n, offset), q(n, (offset + 4) % 16);
                x.Fill(a);
                EXPECT_NE(f(x.Data(), c, q.Data(), n), 0);
                for (int32_t i = 0; i < n; ++i) {
                    const int64_t want = a[i] == 0 ? 65535 : RoundQuotient(c, a[i], 0, 65535);
                    ASSERT_EQ(q.Get(i), want) << slot << " " << c << "/" << a[i];
                }
                ASSERT_TRUE(q.GuardsIntact());
            }
        }
    }
}

// The estimated block quotients of the int16, uint8 and uint16 members round like the exact ones,
// ties above all: every dividend against every small divisor, in blocks of eight.
TEST(VectorKernelMembers, EstimatedIntegerQuotientsRoundExactly)
{
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideInt16ScaledKernel)) {
        for (int32_t s : {0, 1, 2, 5, 16, -1, -3, -5}) {
            for (int32_t divisor = -40; divisor <= 40; ++divisor) {
                std::vector<int16_t> b;
                for (int32_t x = -400; x <= 400; ++x) {
                    b.push_back(static_cast<int16_t>(x * 37));
                }
                const std::vector<int16_t> a(b.size(), static_cast<int16_t>(divisor));
                std::vector<int16_t> q(b.size());
                f(a.data(), b.data(), q.data(), static_cast<int32_t>(b.size()), s);
                for (size_t i = 0; i < b.size(); ++i) {
                    const int64_t want = divisor == 0 ? (b[i] > 0 ? 32767 : (b[i] < 0 ? -32768 : 0))
                                         : s >= 0     ? RoundQuotient(b[i], static_cast<__int128>(divisor) << s, -32768, 32767)
                                                      : RoundQuotient(static_cast<__int128>(b[i]) << -s, divisor, -32768, 32767);
                    ASSERT_EQ(q[i], want) << slot << " s " << s << " " << b[i] << "/" << divisor;
                }
            }
        }
    }
    std::vector<uint8_t> all(65536 * 2);
    for (int32_t k = 0; k < 65536; ++k) {
        all[k] = static_cast<uint8_t>(k >> 8);          // divisors
        all[65536 + k] = static_cast<uint8_t>(k & 255);  // dividends
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideUInt8ScaledKernel)) {
        for (int32_t s : {0, 1, 3, 8, -1, -4, -23}) {
            std::vector<uint8_t> q(65536);
            f(all.data(), all.data() + 65536, q.data(), 65536, s);
            for (int32_t k = 0; k < 65536; ++k) {
                const int32_t d = all[k];
                const int32_t x = all[65536 + k];
                const int64_t want = d == 0 ? (x > 0 ? 255 : 0)
                                     : s >= 0 ? RoundQuotient(x, static_cast<__int128>(d) << s, 0, 255)
                                              : RoundQuotient(static_cast<__int128>(x) << -s, d, 0, 255);
                ASSERT_EQ(q[k], want) << slot << " s " << s << " " << x << "/" << d;
            }
        }
    }
    std::vector<uint16_t> divisors(65536);
    for (int32_t k = 0; k < 65536; ++k) {
        divisors[k] = static_cast<uint16_t>(k);
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideConstantByVectorUInt16Kernel)) {
        for (uint16_t c : {uint16_t{1}, uint16_t{3}, uint16_t{255}, uint16_t{32767}, uint16_t{32768}, uint16_t{65535}}) {
            std::vector<uint16_t> q(65536);
            EXPECT_NE(f(divisors.data(), c, q.data(), 65536), 0);
            for (int32_t k = 1; k < 65536; ++k) {
                ASSERT_EQ(q[k], RoundQuotient(c, k, 0, 65535)) << slot << " " << c << "/" << k;
            }
            ASSERT_EQ(q[0], 65535);
        }
    }
}

TEST(VectorKernelMembers, ComplexAndByConstantIntegerDivisions)
{
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideComplexInt16ScaledKernel)) {
        for (int32_t s : Scales(-1023, 1022)) {
            const int32_t n = 13;
            const auto a = RandomInts<int16_t>(2 * n, static_cast<uint32_t>(s + 5000));
            const auto b = RandomInts<int16_t>(2 * n, static_cast<uint32_t>(s + 6000));
            int16_t q[2 * n];
            f(a.data(), b.data(), q, n, s);
            for (int32_t i = 0; i < n; ++i) {
                const int64_t ar = a[2 * i], ai = a[2 * i + 1], br = b[2 * i], bi = b[2 * i + 1];
                const int64_t m = ar * ar + ai * ai;
                // The factor 2^-s / |a|^2 rounded once, then each part.
                const double g = std::ldexp(1.0, -std::clamp(s, -1023, 1022)) / static_cast<double>(m);
                const double re = std::clamp(static_cast<double>(br * ar + bi * ai) * g, -32768.0, 32767.0);
                const double im = std::clamp(static_cast<double>(ar * bi - br * ai) * g, -32768.0, 32767.0);
                ASSERT_EQ(q[2 * i], static_cast<int16_t>(std::nearbyint(re))) << slot << " s " << s;
                ASSERT_EQ(q[2 * i + 1], static_cast<int16_t>(std::nearbyint(im))) << slot << " s " << s;
            }
        }
        const int16_t zero[2] = {0, 0};
        const int16_t most[2] = {-32768, -32768};
        const int16_t minusOne[2] = {-1, 0};
        const int16_t minimum[2] = {-32768, 0};
        int16_t out[2];
        EXPECT_NE(f(zero, most, out, 1, 0), 0);
        EXPECT_EQ(out[0], 0);
        EXPECT_EQ(out[1], 0);
        EXPECT_EQ(f(most, most, out, 1, 0), 0);
        EXPECT_EQ(out[0], 1);
        EXPECT_EQ(out[1], 0);
        f(minusOne, minimum, out, 1, -16);
        EXPECT_EQ(out[0], 32767);
        EXPECT_EQ(out[1], 0);
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideByConstantInt16ScaledKernel)) {
        for (int16_t c : {int16_t{3}, int16_t{-1}, int16_t{-32768}, int16_t{1000}}) {
            for (int32_t s : Scales(-127, 126)) {
                for (size_t offset : {0, 2, 6}) {
                    const int32_t n = 37;
                    const auto src = RandomInts<int16_t>(n, static_cast<uint32_t>(s + 9000 + c));
                    Guarded<int16_t> x(n, offset), q(n, (offset + 8) % 16);
                    x.Fill(src);
                    f(x.Data(), c, q.Data(), n, s);
                    const float factor = std::ldexp(1.0f, -s) / static_cast<float>(c);
                    for (int32_t i = 0; i < n; ++i) {
                        const double p = static_cast<double>(static_cast<float>(src[i]) * factor);
                        const double r = std::nearbyint(std::clamp(p, -32768.0, 32767.0));
                        ASSERT_EQ(q.Get(i), static_cast<int16_t>(r)) << slot << " c " << c << " s " << s << " x " << src[i];
                    }
                    ASSERT_TRUE(q.GuardsIntact());
                }
            }
        }
        const int16_t src[2] = {-32768, 1};
        int16_t out[2];
        f(src, -1, out, 2, -16);
        EXPECT_EQ(out[0], 32767);
        EXPECT_EQ(out[1], -32768);
        const int16_t three[2] = {3, 4};
        f(three, 3, out, 2, 0);
        EXPECT_EQ(out[0], 1);
        EXPECT_EQ(out[1], 1);
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideByConstantComplexInt16ScaledKernel)) {
        for (const ComplexInt16 c : {ComplexInt16{3, 4}, ComplexInt16{-32768, -32768}, ComplexInt16{0, -32768},
                                     ComplexInt16{-32768, 5}, ComplexInt16{1, 0}}) {
            for (int32_t s : Scales(-15, 1022)) {
                const int32_t n = 11;
                const auto src = RandomInts<int16_t>(2 * n, static_cast<uint32_t>(s + 7000));
                int16_t q[2 * n];
                f(src.data(), c, q, n, s);
                const double cr = c.Re, ci = c.Im;
                for (int32_t i = 0; i < n; ++i) {
                    const double xr = src[2 * i], xi = src[2 * i + 1];
                    const double exactRe = (xr * cr + xi * ci) * std::ldexp(1.0, -s) / (cr * cr + ci * ci);
                    const double exactIm = (xi * cr - xr * ci) * std::ldexp(1.0, -s) / (cr * cr + ci * ci);
                    ASSERT_NEAR(q[2 * i], std::clamp(exactRe, -32768.0, 32767.0), 0.5 + 1e-6) << slot << " s " << s;
                    ASSERT_NEAR(q[2 * i + 1], std::clamp(exactIm, -32768.0, 32767.0), 0.5 + 1e-6) << slot << " s " << s;
                }
            }
        }
        const int16_t most[2] = {-32768, -32768};
        const int16_t up[2] = {0, 1};
        int16_t out[2];
        f(most, ComplexInt16{-32768, -32768}, out, 1, 0);
        EXPECT_EQ(out[0], 1);
        EXPECT_EQ(out[1], 0);
        f(up, ComplexInt16{0, -32768}, out, 1, -15);
        EXPECT_EQ(out[0], -1);
        EXPECT_EQ(out[1], 0);
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DivideByConstantUInt8ScaledKernel)) {
        std::vector<uint8_t> bytes(256);
        for (int32_t v = 0; v < 256; ++v) {
            bytes[v] = static_cast<uint8_t>(v);
        }
        for (uint8_t c : {uint8_t{1}, uint8_t{3}, uint8_t{200}}) {
            for (int32_t s : Scales(-23, 126)) {
                for (size_t offset : {0, 7}) {
                    Guarded<uint8_t> x(256, offset), q(256, (offset + 9) % 16);
                    x.Fill(bytes);
                    f(x.Data(), c, q.Data(), 256, s);
                    const float factor = std::ldexp(1.0f, -s) / static_cast<float>(c);
                    for (int32_t v = 0; v < 256; ++v) {
                        const double r = std::nearbyint(std::clamp(static_cast<double>(static_cast<float>(v) * factor), 0.0, 255.0));
                        ASSERT_EQ(q.Get(v), static_cast<uint8_t>(r)) << slot << " c " << int(c) << " s " << s << " v " << v;
                    }
                    ASSERT_TRUE(q.GuardsIntact());
                }
            }
        }
    }
}

// ---- sums ----

TEST(VectorKernelMembers, SumsOfOtherElementTypes)
{
    for (const auto& [slot, f] : KVX_EACH_VARIANT(SumDoubleKernel)) {
        for (int32_t n : Lengths({100})) {
            for (size_t offset : {0, 8, 4}) {
                const auto v = SmallIntegers<double>(n, n);
                Guarded<double> s(n, offset);
                s.Fill(v);
                double sum = 1;
                f(s.Data(), n, &sum);
                double exact = 0;
                for (double x : v) {
                    exact += x;
                }
                ASSERT_EQ(sum, exact) << slot << " n " << n;
            }
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(SumInt16Kernel)) {
        for (int32_t n : Lengths({63, 64, 65, 1000, 65536 + 40})) {
            for (size_t offset : {0, 2, 6, 1}) {
                const auto v = RandomInts<int16_t>(n, n + static_cast<uint32_t>(offset));
                Guarded<int16_t> s(n, offset);
                s.Fill(v);
                double sum = 0;
                f(s.Data(), &sum, n);
                int64_t exact = 0;
                for (int16_t x : v) {
                    exact += x;
                }
                ASSERT_EQ(sum, static_cast<double>(exact)) << slot << " n " << n;
            }
        }
        for (const auto& [count, expected] : {std::pair{65537, -2147516416.0}, std::pair{65536, -2147483648.0}}) {
            const std::vector<int16_t> most(count, -32768);
            double sum = 0;
            f(most.data(), &sum, count);
            EXPECT_EQ(sum, expected);
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(ScaleSumToInt32)) {
        const struct {
            double value;
            int32_t sf;
            int32_t expected;
        } rows[] = {{3.0, 1, 2},        {5.0, 1, 2},           {1e10, 0, INT32_MAX}, {std::nan(""), 0, INT32_MIN},
                    {-1e10, 0, INT32_MIN}, {7.0, -2, 28},      {12345.0, 2000, 0},  {1.0, -2000, INT32_MAX},
                    {0.0, -2000, INT32_MIN}, {-6.5, 0, -6}};
        for (const auto& row : rows) {
            EXPECT_EQ(f(&row.value, row.sf), row.expected) << slot << " " << row.value << " sf " << row.sf;
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(ScaleComplexSumToInt32)) {
        const double value[2] = {3.0, -1e12};
        int32_t out[2];
        f(value, out, 1);
        EXPECT_EQ(out[0], 2);
        EXPECT_EQ(out[1], INT32_MIN);
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(SumComplexInt16Kernel)) {
        for (int32_t n : Lengths({100, 40000})) {
            for (size_t offset : {0, 2, 4, 1}) {
                const auto v = RandomInts<int16_t>(2 * n, n);
                Guarded<int16_t> s(2 * n, offset);
                s.Fill(v);
                double sum[2];
                f(s.Data(), sum, n);
                int64_t re = 0;
                int64_t im = 0;
                for (int32_t i = 0; i < n; ++i) {
                    re += v[2 * i];
                    im += v[2 * i + 1];
                }
                ASSERT_EQ(sum[0], static_cast<double>(re)) << slot << " n " << n;
                ASSERT_EQ(sum[1], static_cast<double>(im)) << slot << " n " << n;
            }
        }
    }
    const auto complexChunk = KVX_EACH_VARIANT(SumComplexChunkKernel);
    const auto complexDouble = KVX_EACH_VARIANT(SumComplexDoubleKernel);
    const auto complexFloat = KVX_EACH_VARIANT(SumComplexKernel);
    for (size_t k = 0; k < complexChunk.size(); ++k) {
        for (int32_t n : Lengths({16384, 16385, 40000})) {
            for (size_t offset : {0, 4, 8, 12, 2}) {
                const auto v = SmallIntegers<float>(2 * n, n);
                double re = 0;
                double im = 0;
                for (int32_t i = 0; i < n; ++i) {
                    re += v[2 * i];
                    im += v[2 * i + 1];
                }
                Guarded<float> s(2 * n, offset);
                s.Fill(v);
                double sum[2];
                complexChunk[k].second(s.Data(), n, sum);
                ASSERT_EQ(sum[0], re) << complexChunk[k].first << " n " << n << " +" << offset;
                ASSERT_EQ(sum[1], im) << complexChunk[k].first << " n " << n << " +" << offset;
                complexFloat[k].second(s.Data(), n, sum);
                ASSERT_EQ(sum[0], re) << complexFloat[k].first << " n " << n;
                ASSERT_EQ(sum[1], im) << complexFloat[k].first << " n " << n;
                const std::vector<double> wide(v.begin(), v.end());
                Guarded<double> d(2 * n, offset % 4 == 0 ? offset : 8);
                d.Fill(wide);
                complexDouble[k].second(d.Data(), n, sum);
                ASSERT_EQ(sum[0], re) << complexDouble[k].first << " n " << n;
                ASSERT_EQ(sum[1], im) << complexDouble[k].first << " n " << n;
            }
        }
    }
}

// ---- dot products ----

TEST(VectorKernelMembers, DotProductsOfOtherElementTypes)
{
    using namespace Sse3Variant;
    if (!coretest::ProcessorRunsSlot(1)) {
        GTEST_SKIP() << "this processor lacks slot 1";
    }
    for (int32_t n : Lengths({100, 1001})) {
        for (size_t offset : {0, 4, 8, 12, 2}) {
            // Small integers: every product and partial sum exact, so every order agrees.
            const auto fa = SmallIntegers<float>(2 * n, n);
            const auto fb = SmallIntegers<float>(2 * n, n + 1);
            Guarded<float> a(2 * n, offset), b(2 * n, (offset + 8) % 16);
            a.Fill(fa);
            b.Fill(fb);
            double real = 0, cre = 0, cim = 0, rre = 0, rim = 0;
            for (int32_t i = 0; i < n; ++i) {
                real += static_cast<double>(fa[i]) * fb[i];
                rre += static_cast<double>(fa[i]) * fb[2 * i];
                rim += static_cast<double>(fa[i]) * fb[2 * i + 1];
                cre += static_cast<double>(fa[2 * i]) * fb[2 * i] - static_cast<double>(fa[2 * i + 1]) * fb[2 * i + 1];
                cim += static_cast<double>(fa[2 * i]) * fb[2 * i + 1] + static_cast<double>(fa[2 * i + 1]) * fb[2 * i];
            }
            float out[2];
            DotProductRealComplexKernelSse(a.Data(), b.Data(), n, out);
            ASSERT_EQ(out[0], rre) << "n " << n << " +" << offset;
            ASSERT_EQ(out[1], rim) << "n " << n << " +" << offset;
            DotProductComplexKernelSse(a.Data(), b.Data(), n, out);
            ASSERT_EQ(out[0], cre) << "n " << n << " +" << offset;
            ASSERT_EQ(out[1], cim) << "n " << n << " +" << offset;
            double wide[2];
            DotProductFloatToDoubleKernel(a.Data(), b.Data(), n, wide);
            ASSERT_EQ(wide[0], real);
            DotProductRealComplexToDoubleKernel(a.Data(), b.Data(), n, wide);
            ASSERT_EQ(wide[0], rre);
            ASSERT_EQ(wide[1], rim);
            DotProductComplexToDoubleKernel(a.Data(), b.Data(), n, wide);
            ASSERT_EQ(wide[0], cre);
            ASSERT_EQ(wide[1], cim);
            // The same in double.
            const std::vector<double> da(fa.begin(), fa.end()), db(fb.begin(), fb.end());
            Guarded<double> x(2 * n, offset % 4 == 0 ? offset : 8), y(2 * n, offset % 8);
            x.Fill(da);
            y.Fill(db);
            DotProductDoubleKernelSse(x.Data(), y.Data(), n, wide);
            ASSERT_EQ(wide[0], real) << "n " << n << " +" << offset;
            DotProductRealComplexDoubleKernelSse(x.Data(), y.Data(), n, wide);
            ASSERT_EQ(wide[0], rre);
            ASSERT_EQ(wide[1], rim);
            DotProductComplexDoubleKernelSse(x.Data(), y.Data(), n, wide);
            ASSERT_EQ(wide[0], cre);
            ASSERT_EQ(wide[1], cim);
            // Integers: exact int64 sums, and the scaled int32 results.
            const auto ia = RandomInts<int16_t>(2 * n, n);
            const auto ib = RandomInts<int16_t>(2 * n, n + 7);
            const auto wa = RandomInts<int32_t>(2 * n, n, -100000, 100000);
            const auto wb = RandomInts<int32_t>(2 * n, n + 3, -100000, 100000);
            Guarded<int16_t> p(2 * n, offset), q(2 * n, (offset + 6) % 16);
            Guarded<int32_t> u(2 * n, offset & ~size_t{1}), w(2 * n, (offset + 4) % 16);
            p.Fill(ia);
            q.Fill(ib);
            u.Fill(wa);
            w.Fill(wb);
            int64_t exact = 0, exRe = 0, exIm = 0, cxRe = 0, cxIm = 0;
            double iw = 0, wReal = 0, wRe = 0, wIm = 0, wcRe = 0, wcIm = 0;
            for (int32_t i = 0; i < n; ++i) {
                exact += static_cast<int64_t>(ia[i]) * ib[i];
                exRe += static_cast<int64_t>(ia[i]) * ib[2 * i];
                exIm += static_cast<int64_t>(ia[i]) * ib[2 * i + 1];
                cxRe += static_cast<int64_t>(ia[2 * i]) * ib[2 * i] - static_cast<int64_t>(ia[2 * i + 1]) * ib[2 * i + 1];
                cxIm += static_cast<int64_t>(ia[2 * i]) * ib[2 * i + 1] + static_cast<int64_t>(ia[2 * i + 1]) * ib[2 * i];
                iw += static_cast<double>(ia[i]) * wb[i];
                wReal += static_cast<double>(wa[i]) * wb[i];
                wRe += static_cast<double>(wa[i]) * wb[2 * i];
                wIm += static_cast<double>(wa[i]) * wb[2 * i + 1];
                wcRe += static_cast<double>(wa[2 * i]) * wb[2 * i] - static_cast<double>(wa[2 * i + 1]) * wb[2 * i + 1];
                wcIm += static_cast<double>(wa[2 * i]) * wb[2 * i + 1] + static_cast<double>(wa[2 * i + 1]) * wb[2 * i];
            }
            int64_t wide64[2];
            DotProductInt16ToInt64KernelSse(p.Data(), q.Data(), n, wide64);
            ASSERT_EQ(wide64[0], exact) << "n " << n << " +" << offset;
            DotProductInt16ToInt64BlockKernelSse(p.Data(), q.Data(), n, wide64);
            ASSERT_EQ(wide64[0], exact) << "n " << n << " +" << offset;
            DotProductRealComplexInt16ToInt64KernelSse(p.Data(), q.Data(), n, wide64);
            ASSERT_EQ(wide64[0], exRe);
            ASSERT_EQ(wide64[1], exIm);
            DotProductComplexInt16ToInt64KernelSse(p.Data(), q.Data(), n, wide64);
            ASSERT_EQ(wide64[0], cxRe);
            ASSERT_EQ(wide64[1], cxIm);
            // Scale 2^-20: the sums (exact in double here) land within the int32 range.
            const double scale = std::ldexp(1.0, -20);
            const auto scaled = [&](double sum) {
                const double x = sum * scale;
                return x > 2147483647.0 ? INT32_MAX : (x < -2147483648.0 ? INT32_MIN : static_cast<int32_t>(std::nearbyint(x)));
            };
            int32_t s32[2];
            DotProductInt32ScaledKernelSse(u.Data(), w.Data(), n, s32, &scale);
            ASSERT_EQ(s32[0], scaled(wReal)) << "n " << n;
            DotProductRealComplexInt32ScaledKernelSse(u.Data(), w.Data(), n, s32, &scale);
            ASSERT_EQ(s32[0], scaled(wRe));
            ASSERT_EQ(s32[1], scaled(wIm));
            DotProductComplexInt32ScaledKernelSse(u.Data(), w.Data(), n, s32, &scale);
            ASSERT_EQ(s32[0], scaled(wcRe));
            ASSERT_EQ(s32[1], scaled(wcIm));
            DotProductInt16Int32ScaledKernelSse(p.Data(), w.Data(), n, s32, &scale);
            ASSERT_EQ(s32[0], scaled(iw)) << "n " << n << " +" << offset;
        }
    }
    // Pair sums of four -32768 factors, and ties to even whatever the caller's rounding.
    const std::vector<int16_t> most(64, -32768);
    int64_t result[2];
    DotProductInt16ToInt64KernelSse(most.data(), most.data(), 16, result);
    EXPECT_EQ(result[0], 17179869184);
    DotProductInt16ToInt64BlockKernelSse(most.data() + 1, most.data(), 31, result);
    EXPECT_EQ(result[0], 31ll << 30);
    DotProductRealComplexInt16ToInt64KernelSse(most.data(), most.data(), 16, result);
    EXPECT_EQ(result[0], 16ll << 30);
    EXPECT_EQ(result[1], 16ll << 30);
    DotProductComplexInt16ToInt64KernelSse(most.data(), most.data(), 16, result);
    EXPECT_EQ(result[0], 0);
    EXPECT_EQ(result[1], 32ll << 30);
    const uint32_t saved = _mm_getcsr();
    const int32_t five[2] = {5, 1};
    const int32_t ones[2] = {1, 0};
    const double half = 0.5;
    int32_t out = 0;
    for (uint32_t mode : {0x1F80u, 0x1F80u | 0x4000u, 0x1F80u | 0x2000u}) {
        _mm_setcsr(mode);
        DotProductInt32ScaledKernelSse(five, ones, 1, &out, &half);
        EXPECT_EQ(_mm_getcsr() & ~0x3Fu, mode) << "the caller's rounding comes back";
        _mm_setcsr(saved);
        EXPECT_EQ(out, 2) << std::hex << mode;
    }
    const double nan = std::nan("");
    DotProductInt32ScaledKernelSse(five, ones, 1, &out, &nan);
    EXPECT_EQ(out, INT32_MIN);
}

}  // namespace
