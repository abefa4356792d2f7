// The conversion kernels that no slot body calls, in every variant: 8- and 16-bit integers, doubles,
// half precision, int64 with a shift, packed 24-bit with int32. Each against an exact reference over
// values of every kind, lengths, alignments, rounding flags and scale factors, with nothing written
// outside its destination and the caller's MXCSR given back.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>
#include <xmmintrin.h>

#include "primitives/core/SlotVariants.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace {

using coretest::Bits;
using coretest::FromBits;
using coretest::GuardedArray;

std::vector<int32_t> Lengths()
{
    std::vector<int32_t> v;
    for (int32_t n = 1; n <= 40; ++n) {
        v.push_back(n);
    }
    v.push_back(101);
    return v;
}

const int32_t kScales[] = {0, 1, -1, 3, -7, 15, -15, 24, -31, 126, -127, 127, -128, 149, 150, -150, -200, 1100, -1100};

// Floats of every kind, and ties and near-ties of every integer scale.
std::vector<float> Floats(size_t n, uint32_t seed)
{
    std::vector<float> v = coretest::MixedFloats(n, seed);
    const float more[] = {0.5f, -0.5f, 1.5f, 2.5f, -2.5f, 0.49999997f, -0.49999997f, 127.5f, -128.5f, 255.5f,
                          65535.5f, 65519.99f, 65520.0f, 6.1e-5f, 3e-8f, FromBits(0x387FE000u), FromBits(0x33000001u)};
    for (size_t i = 0; i < std::size(more) && i < n; ++i) {
        v[(i * 7 + 3) % n] = more[i];
    }
    return v;
}

// saturate(round(p)) by the rounding flag (to nearest even, or toward zero), or ties away.
int64_t Rounded(double p, int mode, int64_t lo, int64_t hi)
{
    const double r = mode == 0 ? std::trunc(p) : (mode == 1 ? std::nearbyint(p) : std::round(p));
    return r <= static_cast<double>(lo) ? lo : (r >= static_cast<double>(hi) ? hi : static_cast<int64_t>(r));
}

template <typename Out, typename Call>
void CheckFloatToNarrow(int slot, const char* name, int mode, Call call, int64_t nanValue)
{
    const int64_t lo = std::numeric_limits<Out>::min();
    const int64_t hi = std::numeric_limits<Out>::max();
    for (int32_t sf : kScales) {
        for (int32_t n : Lengths()) {
            for (size_t offset : {0, 4, 1, 6}) {
                const auto src = Floats(n, static_cast<uint32_t>(n * 31 + sf + 7));
                GuardedArray<float> in(n, offset);
                GuardedArray<Out> out(n, (offset * 5 + 2) % 16);
                in.Fill(src);
                call(in.Data(), out.Data(), n, sf);
                for (int32_t i = 0; i < n; ++i) {
                    const float x = src[i];
                    int64_t want = std::isnan(x) ? nanValue : Rounded(std::ldexp(static_cast<double>(x), -sf), mode, lo, hi);
                    if (sf >= 1075 && std::isinf(x)) {
                        want = 0;  // as in the whole family: the generic bodies' double factor is 0 there
                    }
                    ASSERT_EQ(static_cast<int64_t>(out.Get(i)), want)
                        << name << " slot " << slot << " sf " << sf << " x " << x << " (" << std::hex << Bits(x) << ")";
                }
                ASSERT_TRUE(out.GuardsIntact()) << name << " n " << n;
            }
        }
    }
}

class ConversionFamily : public ::testing::Test {
protected:
    void SetUp() override { m_saved = _mm_getcsr(); }
    void TearDown() override { _mm_setcsr(m_saved); }
    uint32_t m_saved = 0x1F80u;
};

TEST_F(ConversionFamily, FloatsToNarrowIntegers)
{
    for (int flag : {0, 1}) {
        for (const auto& [slot, f] : KVX_EACH_VARIANT(FloatToInt8Kernel)) {
            CheckFloatToNarrow<int8_t>(slot, "int8", flag, [&, f = f](const float* s, int8_t* d, int32_t n, int32_t sf) { f(s, d, n, flag, sf); }, 0);
        }
        for (const auto& [slot, f] : KVX_EACH_VARIANT(FloatToUint8Kernel)) {
            CheckFloatToNarrow<uint8_t>(slot, "uint8", flag, [&, f = f](const float* s, uint8_t* d, int32_t n, int32_t sf) { f(s, d, n, flag, sf); }, 0);
        }
        for (const auto& [slot, f] : KVX_EACH_VARIANT(FloatToUint16Kernel)) {
            CheckFloatToNarrow<uint16_t>(slot, "uint16", flag, [&, f = f](const float* s, uint16_t* d, int32_t n, int32_t sf) { f(s, d, n, flag, sf); }, 0);
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(FloatToInt8AwayKernel)) {
        CheckFloatToNarrow<int8_t>(slot, "int8 away", 2, f, 127);
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(FloatToUint8AwayKernel)) {
        CheckFloatToNarrow<uint8_t>(slot, "uint8 away", 2, f, 255);
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(FloatToUint16AwayKernel)) {
        CheckFloatToNarrow<uint16_t>(slot, "uint16 away", 2, f, 0);
    }
    // The edge values of the rules.
    for (const auto& [slot, f] : KVX_EACH_VARIANT(FloatToUint8Kernel)) {
        const float values[3] = {-1.0f, 300.0f, FromBits(0x7FC00000u)};
        uint8_t out[3];
        f(values, out, 3, 1, 0);
        EXPECT_EQ(out[0], 0);
        EXPECT_EQ(out[1], 255);
        EXPECT_EQ(out[2], 0);
    }
}

TEST_F(ConversionFamily, DoublesToInt32)
{
    std::mt19937_64 rng(5);
    std::vector<double> values(101);
    for (auto& v : values) {
        uint64_t bits = rng();
        if (rng() % 2) {
            bits = (bits & 0x800FFFFFFFFFFFFFull) | ((1023ull + rng() % 40) << 52);  // within reach of int32
        }
        memcpy(&v, &bits, 8);
    }
    const double specials[] = {0.5, -0.5, 2.5, -2.5, 0.49999999999999994, 2147483647.5, -2147483648.5, 2147483646.5,
                               std::nan(""), -std::nan(""), INFINITY, -INFINITY, 4.9e-324, -0.0};
    std::copy(std::begin(specials), std::end(specials), values.begin());
    for (int mode : {0, 1, 2}) {
        const auto kernels = KVX_EACH_VARIANT(DoubleToInt32Kernel);
        const auto away = KVX_EACH_VARIANT(DoubleToInt32AwayKernel);
        for (size_t k = 0; k < kernels.size(); ++k) {
            for (int32_t sf : kScales) {
                for (int32_t n : Lengths()) {
                    for (size_t offset : {0, 4, 8, 3}) {
                        GuardedArray<double> in(n, offset);
                        GuardedArray<int32_t> out(n, (offset + 4) % 16);
                        in.Fill(std::vector<double>(values.begin(), values.begin() + n));
                        if (mode == 2) {
                            away[k].second(in.Data(), out.Data(), n, sf);
                        } else {
                            kernels[k].second(in.Data(), out.Data(), n, mode, sf);
                        }
                        for (int32_t i = 0; i < n; ++i) {
                            const double x = values[i];
                            const int64_t want = std::isnan(x) ? (mode == 2 ? INT32_MAX : 0)
                                                               : Rounded(std::ldexp(x, -sf), mode, INT32_MIN, INT32_MAX);
                            ASSERT_EQ(out.Get(i), want) << "slot " << kernels[k].first << " mode " << mode << " sf " << sf
                                                        << " x " << x;
                        }
                        ASSERT_TRUE(out.GuardsIntact());
                    }
                }
            }
        }
    }
}

TEST_F(ConversionFamily, SmallIntegersAndInt32ToFloatOrDouble)
{
    const auto bytes = coretest::MixedFloats(64, 3);  // any bit patterns
    for (int32_t n : Lengths()) {
        for (size_t offset : {0, 1, 2, 4, 7}) {
            std::vector<uint8_t> raw(4 * static_cast<size_t>(n));
            memcpy(raw.data(), bytes.data(), std::min(raw.size(), 4 * bytes.size()));
            for (size_t i = 256; i < raw.size(); ++i) {
                raw[i] = static_cast<uint8_t>(i * 37);
            }
            const auto check = [&](auto kernels, auto element) {
                using In = decltype(element);
                for (const auto& [slot, f] : kernels) {
                    GuardedArray<In> in(n, offset);
                    GuardedArray<float> out(n, (offset * 3) % 16);
                    std::vector<In> src(n);
                    memcpy(src.data(), raw.data(), static_cast<size_t>(n) * sizeof(In));
                    in.Fill(src);
                    f(in.Data(), out.Data(), n);
                    for (int32_t i = 0; i < n; ++i) {
                        ASSERT_EQ(out.Get(i), static_cast<float>(src[i])) << "slot " << slot << " n " << n;
                    }
                    ASSERT_TRUE(out.GuardsIntact());
                }
            };
            check(KVX_EACH_VARIANT(Int8ToFloatKernel), int8_t{});
            check(KVX_EACH_VARIANT(Uint8ToFloatKernel), uint8_t{});
            check(KVX_EACH_VARIANT(Int16ToFloatSimpleKernel), int16_t{});
            check(KVX_EACH_VARIANT(Uint16ToFloatKernel), uint16_t{});
            for (const auto& [slot, f] : KVX_EACH_VARIANT(Int32ToDoubleKernel)) {
                std::vector<int32_t> src(n);
                memcpy(src.data(), raw.data(), 4 * static_cast<size_t>(n));
                GuardedArray<int32_t> in(n, offset);
                GuardedArray<double> out(n, (offset + 8) % 16);
                in.Fill(src);
                f(in.Data(), out.Data(), n);
                for (int32_t i = 0; i < n; ++i) {
                    ASSERT_EQ(out.Get(i), static_cast<double>(src[i])) << "slot " << slot;
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
        }
    }
}

// ---- half precision ----

double HalfValue(uint16_t h)
{
    const int e = (h >> 10) & 31;
    const int m = h & 1023;
    const double sign = (h & 0x8000) ? -1.0 : 1.0;
    if (e == 31) {
        return m == 0 ? sign * INFINITY : std::nan("");
    }
    return sign * (e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25));
}

// The half nearest to x (ties to even) or x truncated to a half; beyond the range, infinity.
uint16_t HalfOf(float x, bool nearest)
{
    const uint16_t sign = std::signbit(x) ? 0x8000 : 0;
    if (std::isnan(x)) {
        return nearest ? static_cast<uint16_t>(sign | 0x7FFF)
                       : static_cast<uint16_t>(sign | 0x7E00 | ((Bits(x) >> 13) & 0x3FF));
    }
    const double m = std::fabs(static_cast<double>(x));
    const auto round = [&](double v) { return nearest ? std::nearbyint(v) : std::trunc(v); };
    if (m < std::ldexp(1.0, -14)) {
        return static_cast<uint16_t>(sign | static_cast<uint16_t>(round(m * std::ldexp(1.0, 24))));
    }
    int e = std::ilogb(m);
    double q = round(std::ldexp(m, 10 - e));
    if (q == 2048) {
        q = 1024;
        ++e;
    }
    if (e + 15 >= 31) {
        return static_cast<uint16_t>(sign | 0x7C00);
    }
    return static_cast<uint16_t>(sign | ((e + 15) << 10) | (static_cast<int>(q) - 1024));
}

TEST_F(ConversionFamily, HalfPrecisionBothWays)
{
    std::vector<uint16_t> everyHalf(65536);
    for (int32_t h = 0; h < 65536; ++h) {
        everyHalf[h] = static_cast<uint16_t>(h);
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(HalfToFloatKernel)) {
        for (size_t offset : {0, 2, 1}) {
            GuardedArray<uint16_t> in(65536, offset);
            GuardedArray<float> out(65536, (offset + 4) % 16);
            in.Fill(everyHalf);
            f(in.Data(), out.Data(), 65536);
            for (int32_t h = 0; h < 65536; ++h) {
                const double want = HalfValue(static_cast<uint16_t>(h));
                const float got = out.Get(h);
                ASSERT_TRUE(std::isnan(want) ? std::isnan(got) : static_cast<double>(got) == want)
                    << "slot " << slot << " half " << std::hex << h;
            }
            ASSERT_TRUE(out.GuardsIntact());
        }
    }
    for (int flag : {0, 1}) {
        for (const auto& [slot, f] : KVX_EACH_VARIANT(FloatToHalfKernel)) {
            // Every half, every midpoint between neighbours and the floats just around it.
            std::vector<float> src;
            for (int32_t h = 0; h < 0x7C00; ++h) {
                const double v = HalfValue(static_cast<uint16_t>(h));
                const double next = h + 1 < 0x7C00 ? HalfValue(static_cast<uint16_t>(h + 1)) : 65536.0;
                const float mid = static_cast<float>((v + next) / 2);
                for (float x : {static_cast<float>(v), mid, std::nextafter(mid, 0.0f), std::nextafter(mid, 1e9f)}) {
                    src.push_back(x);
                    src.push_back(-x);
                }
            }
            for (float x : {65536.0f, 1e9f, INFINITY, FromBits(0x7FC00000u), FromBits(0xFFA00001u), 1e-30f}) {
                src.push_back(x);
            }
            const auto n = static_cast<int32_t>(src.size());
            for (size_t offset : {0, 2, 4, 1}) {
                GuardedArray<float> in(n, offset);
                GuardedArray<uint16_t> out(n, (offset + 6) % 16);
                in.Fill(src);
                f(in.Data(), out.Data(), n, flag);
                for (int32_t i = 0; i < n; ++i) {
                    ASSERT_EQ(out.Get(i), HalfOf(src[i], flag != 0))
                        << "slot " << slot << " flag " << flag << " x " << src[i] << " (" << std::hex << Bits(src[i]) << ")";
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
            const float pair[2] = {65519.0f, 65520.0f};
            uint16_t halves[2];
            f(pair, halves, 2, 1);
            EXPECT_EQ(halves[0], 0x7BFF);
            EXPECT_EQ(halves[1], 0x7C00);
        }
        for (const auto& [slot, f] : KVX_EACH_VARIANT(Int16ToHalfKernel)) {
            std::vector<int16_t> every(65536);
            for (int32_t v = 0; v < 65536; ++v) {
                every[v] = static_cast<int16_t>(v - 32768);
            }
            GuardedArray<int16_t> in(65536, 2);
            GuardedArray<uint16_t> out(65536, 0);
            in.Fill(every);
            f(in.Data(), out.Data(), 65536, flag);
            for (int32_t v = 0; v < 65536; ++v) {
                ASSERT_EQ(out.Get(v), HalfOf(static_cast<float>(every[v]), flag != 0)) << "slot " << slot << " " << every[v];
            }
            ASSERT_TRUE(out.GuardsIntact());
            const int16_t samples[3] = {2049, 2051, 32767};
            uint16_t halves[3];
            f(samples, halves, 3, flag);
            EXPECT_EQ(HalfValue(halves[0]), 2048.0);
            EXPECT_EQ(HalfValue(halves[1]), flag ? 2052.0 : 2050.0);
            EXPECT_EQ(HalfValue(halves[2]), flag ? 32768.0 : 32752.0);
        }
        for (const auto& [slot, f] : KVX_EACH_VARIANT(HalfToInt16Kernel)) {
            for (int32_t sf : {0, 1, 2, 5, 16, 17, 40, -1, -13, -14, -20, -112, -200}) {
                GuardedArray<uint16_t> in(65536, 6);
                GuardedArray<int16_t> out(65536, 2);
                in.Fill(everyHalf);
                f(in.Data(), out.Data(), 65536, flag, sf);
                for (int32_t h = 0; h < 65536; ++h) {
                    const double v = HalfValue(static_cast<uint16_t>(h));
                    const int64_t want = std::isnan(v) ? 0 : Rounded(std::ldexp(v, -sf), flag, -32768, 32767);
                    ASSERT_EQ(out.Get(h), want) << "slot " << slot << " flag " << flag << " sf " << sf << " half " << std::hex << h;
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
        }
    }
}

// ---- int64, wide and packed 24-bit ----

TEST_F(ConversionFamily, Int64ShiftedToInt32TiesAway)
{
    std::mt19937_64 rng(9);
    std::vector<int64_t> values(61);
    for (auto& v : values) {
        v = static_cast<int64_t>(rng()) >> (rng() % 40);
    }
    const int64_t specials[] = {8, -8, 24, 7, -7, INT64_MAX, INT64_MIN, 0, -1, 1};
    std::copy(std::begin(specials), std::end(specials), values.begin());
    for (const auto& [slot, f] : KVX_EACH_VARIANT(Int64ToInt32ShiftKernel)) {
        for (int32_t s : {1, 2, 4, 16, 31, 32, 33, 62, 63, 64}) {
            for (int32_t n : {1, 3, 4, 5, 61}) {
                GuardedArray<int64_t> in(n, 8);
                GuardedArray<int32_t> out(n, 4);
                in.Fill(std::vector<int64_t>(values.begin(), values.begin() + n));
                f(in.Data(), out.Data(), n, s);
                for (int32_t i = 0; i < n; ++i) {
                    const __int128 d = static_cast<__int128>(1) << s;
                    const __int128 v = values[i];
                    const __int128 q = v >= 0 ? (v + d / 2) / d : -((-v + d / 2) / d);  // ties away
                    const int64_t want = q > INT32_MAX ? INT32_MAX : (q < INT32_MIN ? INT32_MIN : static_cast<int64_t>(q));
                    ASSERT_EQ(out.Get(i), want) << "slot " << slot << " shift " << s << " v " << values[i];
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
        }
        const int64_t four[4] = {8, -8, 24, int64_t{1} << 40};
        int32_t out[4];
        f(four, out, 4, 4);
        EXPECT_EQ(out[0], 1);
        EXPECT_EQ(out[1], -1);
        EXPECT_EQ(out[2], 2);
        EXPECT_EQ(out[3], INT32_MAX);
    }
}

TEST_F(ConversionFamily, FloatsAndDoublesAndInt16ToDouble)
{
    const auto floats = coretest::MixedFloats(300, 4);
    for (const auto& [slot, f] : KVX_EACH_VARIANT(FloatToDoubleKernel)) {
        for (int32_t n : Lengths()) {
            for (size_t offset : {0, 8, 4, 2}) {
                GuardedArray<float> in(n, offset);
                GuardedArray<double> out(n, (offset + 4) % 16);
                in.Fill(std::vector<float>(floats.begin(), floats.begin() + n));
                f(in.Data(), out.Data(), n);
                for (int32_t i = 0; i < n; ++i) {
                    const double want = floats[i];
                    ASSERT_TRUE(out.Get(i) == want || (std::isnan(want) && std::isnan(out.Get(i)))) << slot;
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
        }
        // Around the non-temporal threshold (variant 1 at half that of the others): equal values.
        for (int32_t n : {100000, 200000, 400000}) {
            std::vector<float> src(n);
            for (int32_t i = 0; i < n; ++i) {
                src[i] = static_cast<float>(i) * 0.25f - 7.0f;
            }
            GuardedArray<double> out(n, 0);
            f(src.data(), out.Data(), n);
            for (int32_t i = 0; i < n; i += 997) {
                ASSERT_EQ(out.Get(i), static_cast<double>(src[i])) << slot << " n " << n;
            }
            ASSERT_EQ(out.Get(n - 1), static_cast<double>(src[n - 1]));
            ASSERT_TRUE(out.GuardsIntact());
        }
    }
    std::vector<double> doubles(300);
    std::mt19937_64 rng(2);
    for (auto& d : doubles) {
        const uint64_t bits = rng();
        memcpy(&d, &bits, 8);
    }
    const double specials[] = {1e39, -INFINITY, std::nan(""), INFINITY, -1e39, 3.4028235677973366e38, 1.5, -0.0};
    std::copy(std::begin(specials), std::end(specials), doubles.begin());
    for (const auto& [slot, f] : KVX_EACH_VARIANT(DoubleToFloatKernel)) {
        for (int32_t n : Lengths()) {
            for (size_t offset : {0, 8, 4, 1}) {
                GuardedArray<double> in(n, offset);
                GuardedArray<float> out(n, (offset + 4) % 16);
                in.Fill(std::vector<double>(doubles.begin(), doubles.begin() + n));
                f(in.Data(), out.Data(), n);
                for (int32_t i = 0; i < n; ++i) {
                    const double x = doubles[i];
                    const float want = std::isnan(x) ? FLT_MAX : static_cast<float>(std::clamp(x, -1.0 * FLT_MAX, 1.0 * FLT_MAX));
                    ASSERT_EQ(Bits(out.Get(i)), Bits(want)) << slot << " x " << x;
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
        }
    }
    std::vector<int16_t> shorts(300);
    for (size_t i = 0; i < shorts.size(); ++i) {
        shorts[i] = static_cast<int16_t>(i * 7919 - 30000);
    }
    const auto plain = KVX_EACH_VARIANT(Int16ToDoubleKernel);
    const auto scaled = KVX_EACH_VARIANT(Int16ToDoubleScaledKernel);
    for (size_t k = 0; k < plain.size(); ++k) {
        for (int32_t n : {1, 2, 7, 8, 9, 17, 300}) {
            for (size_t offset : {0, 8, 2, 1}) {
                GuardedArray<int16_t> in(n, offset);
                GuardedArray<double> out(n, (offset + 8) % 16);
                in.Fill(std::vector<int16_t>(shorts.begin(), shorts.begin() + n));
                plain[k].second(in.Data(), out.Data(), n);
                for (int32_t i = 0; i < n; ++i) {
                    ASSERT_EQ(out.Get(i), static_cast<double>(shorts[i]));
                }
                const double factor = 1.0 / 3.0;
                scaled[k].second(in.Data(), out.Data(), n, &factor);
                for (int32_t i = 0; i < n; ++i) {
                    ASSERT_EQ(out.Get(i), static_cast<double>(shorts[i]) * factor);
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
        }
    }
}

int32_t Read24(const uint8_t* p)
{
    return static_cast<int32_t>((static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                 (static_cast<uint32_t>(p[2]) << 16))
                                << 8) >>
           8;
}

TEST_F(ConversionFamily, PackedTwentyFourBitAndInt32)
{
    std::mt19937 rng(3);
    std::vector<int32_t> ints(101);
    for (auto& v : ints) {
        v = static_cast<int32_t>(rng()) >> (rng() % 16);
    }
    const int32_t specials[] = {8388608, -9000000, 384, 640, -384, 896, 32767, 32768, -32768, -32769, 0, -1};
    std::copy(std::begin(specials), std::end(specials), ints.begin());
    const auto clamp24 = [](int64_t v) { return std::clamp<int64_t>(v, -8388608, 8388607); };
    for (const auto& [slot, f] : KVX_EACH_VARIANT(Int32ToInt24Kernel)) {
        for (int32_t n : Lengths()) {
            for (size_t offset : {0, 4, 1, 3}) {
                GuardedArray<int32_t> in(n, (offset * 4) % 16);
                GuardedArray<uint8_t> out(3 * static_cast<size_t>(n), offset);
                in.Fill(std::vector<int32_t>(ints.begin(), ints.begin() + n));
                f(in.Data(), out.Data(), n);
                for (int32_t i = 0; i < n; ++i) {
                    ASSERT_EQ(Read24(out.Data() + 3 * i), clamp24(ints[i])) << slot << " n " << n;
                }
                ASSERT_TRUE(out.GuardsIntact()) << "exactly 3n bytes written";
            }
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(Int32ToInt24ShiftDownKernel)) {
        for (int32_t s : {1, 2, 8, 15, 23, 24, 31, 32}) {
            for (int32_t n : {1, 4, 5, 8, 9, 101}) {
                GuardedArray<int32_t> in(n, 4);
                GuardedArray<uint8_t> out(3 * static_cast<size_t>(n), 1);
                in.Fill(std::vector<int32_t>(ints.begin(), ints.begin() + n));
                f(in.Data(), out.Data(), n, s);
                for (int32_t i = 0; i < n; ++i) {
                    const int64_t d = int64_t{1} << s;
                    int64_t q = ints[i] >= 0 ? ints[i] / d : -((-static_cast<int64_t>(ints[i]) + d - 1) / d);
                    const int64_t rest = ints[i] - q * d;
                    if (2 * rest > d || (2 * rest == d && (q & 1) != 0)) {
                        ++q;
                    }
                    ASSERT_EQ(Read24(out.Data() + 3 * i), clamp24(q)) << slot << " s " << s << " x " << ints[i];
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
        }
    }
    for (const auto& [slot, f] : KVX_EACH_VARIANT(Int32ToInt24ShiftUpKernel)) {
        for (int32_t s : {0, 1, 8, 23, 24, 30, 40}) {
            for (int32_t n : {1, 4, 5, 8, 9, 101}) {
                GuardedArray<int32_t> in(n, 8);
                GuardedArray<uint8_t> out(3 * static_cast<size_t>(n), 2);
                in.Fill(std::vector<int32_t>(ints.begin(), ints.begin() + n));
                f(in.Data(), out.Data(), n, s);
                for (int32_t i = 0; i < n; ++i) {
                    const int64_t want = ints[i] == 0 ? 0 : clamp24(static_cast<int64_t>(ints[i]) * (int64_t{1} << std::min(s, 30)));
                    ASSERT_EQ(Read24(out.Data() + 3 * i), want) << slot << " s " << s << " x " << ints[i];
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
        }
    }
    // Reading: never a byte before the first sample, whatever the destination.
    coretest::GuardedPage page;
    for (const auto& [slot, f] : KVX_EACH_VARIANT(Int24ToInt32Kernel)) {
        for (int32_t n : Lengths()) {
            uint8_t* src = page.Start();
            for (int32_t i = 0; i < 3 * n; ++i) {
                src[i] = static_cast<uint8_t>(i * 53 + 7);
            }
            for (size_t offset : {0, 4, 8, 12, 1}) {
                GuardedArray<int32_t> out(n, offset);
                f(src, out.Data(), n);
                for (int32_t i = 0; i < n; ++i) {
                    ASSERT_EQ(out.Get(i), Read24(src + 3 * i)) << slot << " n " << n;
                }
                ASSERT_TRUE(out.GuardsIntact());
            }
            uint8_t* atEnd = page.EndMinus(3 * static_cast<size_t>(n));
            memmove(atEnd, src, 3 * static_cast<size_t>(n));
            GuardedArray<int32_t> out(n, 4);
            f(atEnd, out.Data(), n);
            ASSERT_EQ(out.Get(n - 1), Read24(atEnd + 3 * (n - 1)));
        }
    }
}

// The rounding-flag members give the caller's control bits back; the ties-away ones too.
TEST_F(ConversionFamily, CallersControlBitsComeBack)
{
    const float src[9] = {FromBits(0x7FC00000u), 1e10f, -1e10f, 2.5f, -2.5f, 0.5f, 1e-40f, 7.25f, 300.0f};
    int8_t i8[9];
    uint16_t u16[9];
    const double d[3] = {std::nan(""), 1e20, 2.5};
    int32_t i32[3];
    for (uint32_t caller : {0x1F80u, 0x1F80u | 0x6000u, 0x1F80u | 0x2000u | 0x0040u, 0x1F80u | 0x4000u | 0x8000u}) {
        for (const auto& [slot, f] : KVX_EACH_VARIANT(FloatToInt8Kernel)) {
            _mm_setcsr(caller);
            f(src, i8, 9, 1, -3);
            EXPECT_EQ(_mm_getcsr() & ~0x3Fu, caller) << slot;
        }
        for (const auto& [slot, f] : KVX_EACH_VARIANT(FloatToUint16AwayKernel)) {
            _mm_setcsr(caller);
            f(src, u16, 9, 2);
            EXPECT_EQ(_mm_getcsr() & ~0x3Fu, caller) << slot;
        }
        for (const auto& [slot, f] : KVX_EACH_VARIANT(DoubleToInt32Kernel)) {
            _mm_setcsr(caller);
            f(d, i32, 3, 1, 0);
            EXPECT_EQ(_mm_getcsr() & ~0x3Fu, caller) << slot;
            EXPECT_EQ(i32[0], 0);
            EXPECT_EQ(i32[2], 2);
        }
        for (const auto& [slot, f] : KVX_EACH_VARIANT(FloatToHalfKernel)) {
            _mm_setcsr(caller);
            f(src, u16, 9, 1);
            EXPECT_EQ(_mm_getcsr() & ~0x3Fu, caller) << slot;
        }
    }
}

}  // namespace
