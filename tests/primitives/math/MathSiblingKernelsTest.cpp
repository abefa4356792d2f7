// The members of the math module that no entry point reaches, called directly in each slot's
// copy: the float copy and scaled-integer logarithms, the double-precision logarithms and their
// table, and the double, complex and scaled-integer square roots and the byte translation.
// Floating-point results are held to long-double references, integer roots to their exact rule.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "primitives/core/CpuDetection.h"
#include "primitives/core/FpControl.h"
#include "primitives/math/MathKernels.h"
#include "tests/primitives/math/MathTestSupport.h"

namespace {

using namespace mathtest;

// The members of one slot's copy.
struct Copy {
    const char* name;
    const LogReciprocalEntry* table;
    decltype(&Sse3Variant::NaturalLogCopyKernel) logCopy;
    decltype(&Sse3Variant::NaturalLogInt32CopyKernel) logInt32Copy;
    decltype(&Sse3Variant::NaturalLogInt32Kernel) logInt32;
    decltype(&Sse3Variant::NaturalLogInt32ToInt16Kernel) logInt32ToInt16;
    decltype(&Sse3Variant::NaturalLogInt16CopyKernel) logInt16Copy;
    decltype(&Sse3Variant::NaturalLogInt16Kernel) logInt16;
    decltype(&Sse3Variant::ScaleFactorToFloat) scaleFactorToFloat;
    decltype(&Sse3Variant::NaturalLogDoubleKernel) logDouble;
    decltype(&Sse3Variant::NaturalLogDoubleToFloatKernel) logDoubleToFloat;
    decltype(&Sse3Variant::SquareRootDoubleKernel) sqrtDouble;
    decltype(&Sse3Variant::ComplexSquareRootKernel) complexSqrt;
    decltype(&Sse3Variant::ComplexSquareRootDoubleKernel) complexSqrtDouble;
    decltype(&Sse3Variant::SquareRootInt16Kernel) sqrtInt16;
    decltype(&Sse3Variant::ComplexSquareRootInt16Kernel) complexInt16;
    decltype(&Sse3Variant::ComplexSquareRootInt16ScaledKernel) complexInt16Scaled;
    decltype(&Sse3Variant::ComplexSquareRootInt16QuotientKernel) complexInt16Quotient;
    decltype(&Sse3Variant::SquareRootUint16Kernel) sqrtUint16;
    decltype(&Sse3Variant::TranslateBytesKernel) translate;
    decltype(&Sse3Variant::SquareRootInt32ToInt16Kernel) sqrtInt32ToInt16;
    decltype(&Sse3Variant::SquareRootInt64ToInt16Kernel) sqrtInt64ToInt16;
    decltype(&Sse3Variant::SquareRootInt64Kernel) sqrtInt64;
};

#define KVX_COPY(Ns)                                                                                               \
    Copy                                                                                                           \
    {                                                                                                              \
        #Ns, Ns::LogReciprocalTable, Ns::NaturalLogCopyKernel, Ns::NaturalLogInt32CopyKernel,                      \
            Ns::NaturalLogInt32Kernel, Ns::NaturalLogInt32ToInt16Kernel, Ns::NaturalLogInt16CopyKernel,            \
            Ns::NaturalLogInt16Kernel, Ns::ScaleFactorToFloat, Ns::NaturalLogDoubleKernel,                         \
            Ns::NaturalLogDoubleToFloatKernel, Ns::SquareRootDoubleKernel, Ns::ComplexSquareRootKernel,            \
            Ns::ComplexSquareRootDoubleKernel, Ns::SquareRootInt16Kernel, Ns::ComplexSquareRootInt16Kernel,        \
            Ns::ComplexSquareRootInt16ScaledKernel, Ns::ComplexSquareRootInt16QuotientKernel,                      \
            Ns::SquareRootUint16Kernel, Ns::TranslateBytesKernel, Ns::SquareRootInt32ToInt16Kernel,                \
            Ns::SquareRootInt64ToInt16Kernel, Ns::SquareRootInt64Kernel                                            \
    }

const Copy kCopies[] = {KVX_COPY(Sse3Variant), KVX_COPY(Ssse3Variant), KVX_COPY(Sse41Variant)};

class Sibling : public ::testing::TestWithParam<Copy> {
protected:
    void SetUp() override
    {
        if (ProbeCpuFeatureSse3() == 0) {
            GTEST_SKIP() << "no SSE3";
        }
    }
    const Copy& K() const { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(EveryCopy, Sibling, ::testing::ValuesIn(kCopies),
                         [](const ::testing::TestParamInfo<Copy>& info) { return std::string(info.param.name); });

// Bytes at a chosen offset from a 64-byte boundary.
struct Buffer {
    std::vector<uint8_t> storage;
    uint8_t* p;
    Buffer(size_t bytes, size_t offset) : storage(bytes + 128, 0xA5)
    {
        p = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(storage.data()) + 63) & ~uintptr_t{63}) + offset;
    }
    template <typename T>
    T* As()
    {
        return reinterpret_cast<T*>(p);
    }
};

template <typename T>
void Put(Buffer& b, const std::vector<T>& v)
{
    std::memcpy(b.p, v.data(), v.size() * sizeof(T));
}

template <typename T>
std::vector<T> Get(const Buffer& b, size_t n)
{
    std::vector<T> v(n);
    std::memcpy(v.data(), b.p, n * sizeof(T));
    return v;
}

uint64_t DoubleBits(double d)
{
    uint64_t b;
    std::memcpy(&b, &d, 8);
    return b;
}

double DoubleFrom(uint64_t b)
{
    double d;
    std::memcpy(&d, &b, 8);
    return d;
}

// ---- logarithms ------------------------------------------------------------------------------

TEST_P(Sibling, FloatCopyLogarithmFollowsTheModelOnItsPaths)
{
    std::mt19937 rng(5);
    struct Placement {
        size_t src, dst;
        bool blocked;
    };
    // Blocked only with dst a multiple of 4 and src congruent to dst modulo 16.
    const Placement placements[] = {{0, 0, true}, {4, 4, true}, {12, 12, true}, {4, 8, false}, {1, 1, false}};
    for (size_t n : {1u, 3u, 31u, 32u, 45u, 300u}) {
        for (const Placement& pl : placements) {
            std::vector<uint32_t> in(n);
            for (auto& b : in) {
                b = rng() % 19 == 0 ? static_cast<uint32_t>(rng()) : (static_cast<uint32_t>(rng()) & 0x7FFFFFFFu) % 0x7F800000u;
            }
            Buffer src(n * 4, pl.src), dst(n * 4, pl.dst), scratch(n * 4, 0);
            Put(src, in);
            const int64_t flag = K().logCopy(src.As<float>(), dst.As<float>(), static_cast<int64_t>(n), scratch.p);
            int64_t want = 0;
            const auto expected = LogKernelModel(in, pl.blocked, reinterpret_cast<uintptr_t>(dst.p), want);
            EXPECT_EQ(flag, want);
            EXPECT_EQ(Get<uint32_t>(dst, n), expected) << n << " elements at " << pl.src << "/" << pl.dst;
            EXPECT_EQ(Get<uint32_t>(src, n), in);  // the source is only read
        }
    }
}

TEST_P(Sibling, ScaleFactorToFloatIsTwoToTheMinusFactor)
{
    const std::pair<int32_t, float> cases[] = {{0, 1.0f}, {3, 0.125f}, {-10, 1024.0f}, {126, FromBits(0x00800000u)},
                                               {-126, FromBits(0x7E800000u)}, {127, 0.0f}};
    for (const auto& [sf, want] : cases) {
        float scale = -1.0f;
        K().scaleFactorToFloat(sf, &scale);
        EXPECT_EQ(Bits(scale), Bits(want)) << sf;
    }
}

// The five scaled integer logarithms: ln(x) * scale rounded, saturated, zero and negative
// elements giving the most negative output and the first of them the flag.
TEST_P(Sibling, IntegerLogarithmsAreScaledRoundedAndSaturated)
{
    std::mt19937 rng(9);
    enum Member { Int32Copy, Int32InPlace, Int32ToInt16, Int16Copy, Int16InPlace };
    for (Member m : {Int32Copy, Int32InPlace, Int32ToInt16, Int16Copy, Int16InPlace}) {
        const bool in16 = m == Int16Copy || m == Int16InPlace;
        const bool out16 = m == Int32ToInt16 || in16;
        for (int32_t sf : {0, -4, 3, -20, -126}) {
            for (size_t n : {1u, 2u, 3u, 31u, 32u, 77u}) {
                for (size_t offset : {0u, 2u, 4u}) {
                    std::vector<int64_t> x(n);
                    for (auto& v : x) {
                        v = in16 ? static_cast<int16_t>(rng()) : static_cast<int32_t>(rng());
                        v = rng() % 3 == 0 ? std::abs(v) % 100 : v;
                    }
                    x[0] = 1;
                    float scale;
                    K().scaleFactorToFloat(sf, &scale);
                    Buffer a(n * 4, offset), b(n * 4, offset), work(32 + 8 * n, 0);
                    for (size_t i = 0; i < n; ++i) {
                        if (in16) {
                            const auto v = static_cast<int16_t>(x[i]);
                            std::memcpy(a.p + 2 * i, &v, 2);
                        } else {
                            const auto v = static_cast<int32_t>(x[i]);
                            std::memcpy(a.p + 4 * i, &v, 4);
                        }
                    }
                    int64_t flag = 0;
                    uint8_t* out = a.p;
                    switch (m) {
                    case Int32Copy:
                        flag = K().logInt32Copy(a.As<int32_t>(), b.As<int32_t>(), n, &scale, work.p);
                        out = b.p;
                        break;
                    case Int32InPlace:
                        flag = K().logInt32(a.As<int32_t>(), n, &scale, work.p);
                        break;
                    case Int32ToInt16:
                        flag = K().logInt32ToInt16(a.As<int32_t>(), b.As<int16_t>(), n, sf, work.p);
                        out = b.p;
                        break;
                    case Int16Copy:
                        flag = K().logInt16Copy(a.As<int16_t>(), b.As<int16_t>(), n, sf, work.p);
                        out = b.p;
                        break;
                    case Int16InPlace:
                        flag = K().logInt16(a.As<int16_t>(), n, sf, work.p);
                        break;
                    }
                    int64_t wantFlag = 0;
                    float head[8];
                    std::memcpy(head, work.p, 32);
                    ASSERT_EQ(Bits(head[0]), Bits(scale));
                    ASSERT_EQ(Bits(head[4]), Bits(scale * FromBits(0x3F317218u)));
                    for (size_t i = 0; i < n; ++i) {
                        int64_t got;
                        if (out16) {
                            int16_t v;
                            std::memcpy(&v, out + 2 * i, 2);
                            got = v;
                        } else {
                            int32_t v;
                            std::memcpy(&v, out + 4 * i, 4);
                            got = v;
                        }
                        const int64_t lowest = out16 ? INT16_MIN : INT32_MIN;
                        SCOPED_TRACE("member " + std::to_string(m) + " sf " + std::to_string(sf) + " x " +
                                     std::to_string(x[i]) + " at " + std::to_string(i) + " of " + std::to_string(n));
                        if (x[i] <= 0) {
                            wantFlag = wantFlag ? wantFlag : (x[i] == 0 ? 2 : 4);
                            ASSERT_EQ(got, lowest);
                            continue;
                        }
                        const long double exact = std::log(static_cast<long double>(x[i])) * scale;
                        const long double top = out16 ? 32767.0L : 2147483520.0L;
                        const long double clamped = std::min(exact, top);
                        ASSERT_LE(std::fabs(static_cast<long double>(got) - clamped), 1.0L + std::fabs(clamped) * 1e-6L);
                    }
                    EXPECT_EQ(flag, wantFlag);
                }
            }
        }
    }
}

TEST_P(Sibling, IntegerLogarithmSaturatesBelowTheLargestInteger)
{
    // Scale 2^126: every element above 1 saturates, at 2147483520 for 32-bit results.
    float scale;
    K().scaleFactorToFloat(-126, &scale);
    alignas(16) int32_t v[3] = {2, 1, 100000};
    alignas(16) uint8_t work[64];
    EXPECT_EQ(K().logInt32(v, 3, &scale, work), 0);
    EXPECT_EQ(v[0], 2147483520);
    EXPECT_EQ(v[1], 0);
    EXPECT_EQ(v[2], 2147483520);
    alignas(16) int16_t h[3] = {2, 1, -7};
    EXPECT_EQ(K().logInt16(h, 3, -126, work), 4);
    EXPECT_EQ(h[0], 32767);
    EXPECT_EQ(h[1], 0);
    EXPECT_EQ(h[2], INT16_MIN);
}

TEST_P(Sibling, ReciprocalTableRowsFollowTheirRule)
{
    const LogReciprocalEntry* t = K().table;
    for (int32_t j = 0; j < LOG_RECIPROCAL_ENTRIES; ++j) {
        const double r = std::nearbyint(4096.0 / (1.0 + j / 64.0)) / 4096.0;
        EXPECT_EQ(t[j].Reciprocal, r) << j;
        EXPECT_EQ(t[j].ReciprocalAgain, r) << j;
        const long double minusLog = -std::log(static_cast<long double>(r));
        EXPECT_LE(std::fabs(static_cast<long double>(t[j].NegLogHigh) + t[j].NegLogLow - minusLog), 6e-16L) << j;
        EXPECT_GE(t[j].NegLogLow, 0.0) << j;
        EXPECT_LT(t[j].NegLogLow, 1.2e-13) << j;
    }
    EXPECT_EQ(t[1].Reciprocal, 0.984619140625);
    EXPECT_EQ(DoubleBits(t[64].NegLogHigh), 0x3FE62E42FEFA37FDull);
    EXPECT_EQ(DoubleBits(t[64].NegLogLow), 0x3D2EF35793C7672Eull);
    EXPECT_EQ(t[0].NegLogHigh, 0.0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(t) % 16, 0u);
    // Each copy reads a table of its own.
    EXPECT_NE(kCopies[0].table, kCopies[1].table);
    EXPECT_NE(kCopies[1].table, kCopies[2].table);
}

// A few ulps, plus the k ln 2 term's share: its two parts sum to three ulps below ln 2.
long double LogTolerance(long double ref)
{
    return 4 * std::ldexp(1.0L, std::ilogb(static_cast<double>(ref)) - 52) + 1e-15L * std::fabs(ref);
}

TEST_P(Sibling, DoubleLogarithmsAgainstLongDouble)
{
    struct Case {
        uint64_t input;
        uint64_t want;  // 0 for "near the long-double logarithm"
        int64_t flag;
    };
    const Case cases[] = {
        {DoubleBits(1.0), DoubleBits(0.0), 0},
        {DoubleBits(2.0), 0x3FE62E42FEFA39ECull, 0},
        {DoubleBits(0.5), 0xBFE62E42FEFA39ECull, 0},
        {DoubleBits(1.0 - 1.0 / 1024), 0, 0},  // j = 64, k = -1: the near-one case
        {DoubleBits(1.0 + 1.0 / 256), 0, 0},
        {0x0000000000000000ull, 0xFFF0000000000000ull, 2},
        {0x8000000000000000ull, 0xFFF8000000000000ull, 4},
        {0x7FF0000000000000ull, 0x7FF0000000000000ull, 0},
        {0x7FF8000000001234ull, 0x7FF0000000000000ull, 0},  // a positive NaN gives +infinity
        {0x000FFFFFFFFFFFFFull, 0, 0},                      // subnormals normalised
        {0x0000000100000000ull, 0, 0},
        {0x00000000FFFFFFFFull, 0xFFF0000000000000ull, 2},  // zero high word: -infinity, as a zero
        {DoubleBits(1e300), 0, 0},
        {DoubleBits(-3.0), 0xFFF8000000000000ull, 4},
    };
    for (const Case& c : cases) {
        for (size_t offset : {0u, 8u}) {
            // The case stands alone and as the second of a pair.
            for (size_t at : {0u, 1u}) {
                std::vector<double> in(at + 1, 3.0);
                in[at] = DoubleFrom(c.input);
                Buffer src(in.size() * 8, 0), dst(in.size() * 8, offset), dstF(in.size() * 4, 0);
                Put(src, in);
                const int64_t flag = K().logDouble(src.As<double>(), dst.As<double>(), static_cast<int64_t>(in.size()));
                const int64_t flagF =
                    K().logDoubleToFloat(src.As<double>(), dstF.As<float>(), static_cast<int64_t>(in.size()));
                const auto out = Get<double>(dst, in.size());
                const auto outF = Get<float>(dstF, in.size());
                SCOPED_TRACE(std::to_string(c.input) + " at " + std::to_string(at));
                EXPECT_EQ(flag, c.flag);
                EXPECT_EQ(flagF, c.flag);
                if (c.want != 0 || c.input == DoubleBits(1.0)) {
                    EXPECT_EQ(DoubleBits(out[at]), c.want);
                } else {
                    const long double ref = std::log(static_cast<long double>(in[at]));
                    EXPECT_LE(std::fabs(out[at] - ref), LogTolerance(ref));
                }
                // The float member converts the same pairs.
                EXPECT_EQ(Bits(outF[at]), Bits(static_cast<float>(out[at])));
            }
        }
    }
    // Random positive values over the exponent range, odd count, both alignments.
    std::mt19937_64 rng(3);
    std::vector<double> in(101);
    for (auto& v : in) {
        v = DoubleFrom((rng() & 0x7FFFFFFFFFFFFFFFull) % 0x7FF0000000000000ull);
    }
    for (size_t offset : {0u, 8u}) {
        Buffer src(in.size() * 8, offset), dst(in.size() * 8 + 8, offset);
        Put(src, in);
        EXPECT_EQ(K().logDouble(src.As<double>(), dst.As<double>(), static_cast<int64_t>(in.size())), 0);
        const auto out = Get<double>(dst, in.size() + 1);
        for (size_t i = 0; i < in.size(); ++i) {
            const long double ref = std::log(static_cast<long double>(in[i]));
            ASSERT_LE(std::fabs(out[i] - ref), LogTolerance(ref)) << in[i];
        }
        EXPECT_EQ(DoubleBits(out[in.size()]), 0xA5A5A5A5A5A5A5A5ull);  // nothing past the count
    }
}

// ---- square roots ----------------------------------------------------------------------------

__attribute__((noinline)) uint32_t SqrtDoubleWithMxcsr(const Copy& k, uint32_t csr, double* p, int32_t n, int32_t& flag)
{
    const uint32_t saved = _mm_getcsr();
    _mm_setcsr(csr);
    flag = k.sqrtDouble(p, p, n);
    const uint32_t after = _mm_getcsr();
    _mm_setcsr(saved);
    return after;
}

TEST_P(Sibling, DoubleSquareRootFastBlocksExactElsewhere)
{
    std::mt19937_64 rng(4);
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 9u, 64u, 67u}) {
        for (size_t offset : {0u, 8u}) {
            std::vector<double> in(n);
            for (auto& v : in) {
                v = DoubleFrom(0x0010000000000000ull + rng() % (0x7FE0000000000000ull));
            }
            Buffer b(n * 8, offset);
            Put(b, in);
            EXPECT_EQ(K().sqrtDouble(b.As<double>(), b.As<double>(), static_cast<int32_t>(n)), 0);
            const auto out = Get<double>(b, n);
            for (size_t i = 0; i < n; ++i) {
                const long double exact = std::sqrt(static_cast<long double>(in[i]));
                ASSERT_LE(std::fabs((out[i] - exact) / exact), 2e-13L) << in[i];
            }
        }
    }
    // 4.0 in a fast block is 2.0 within 1e-13; a special value sends its block to the exact root.
    alignas(16) double block[4] = {4.0, 9.0, 2.0, 7.0};
    ASSERT_EQ(K().sqrtDouble(block, block, 4), 0);
    EXPECT_NEAR(block[0], 2.0, 2e-13);
    for (double special : {0.0, -0.0, double{INFINITY}, 1e-310, double{NAN}, -1.0}) {
        alignas(16) double v[4] = {2.0, special, 3.0, 5.0};
        const int32_t flag = K().sqrtDouble(v, v, 4);
        EXPECT_EQ(flag != 0, special < 0.0) << special;
        EXPECT_EQ(DoubleBits(v[0]), DoubleBits(std::sqrt(2.0))) << special;
        EXPECT_EQ(DoubleBits(v[2]), DoubleBits(std::sqrt(3.0))) << special;
    }
    // Single elements (head and last) count a set sign bit unless the value is -0.0.
    alignas(16) double v[3] = {0.0, -0.0, 0.0};
    EXPECT_EQ(K().sqrtDouble(v + 1, v + 1, 1), 0);
    v[1] = DoubleFrom(0xFFF8000000000000ull);
    EXPECT_NE(K().sqrtDouble(v + 1, v + 1, 1), 0);
    // MXCSR: the caller's masks and DAZ come back after a negative input. (Only the invalid and
    // denormal masks are the kernel's to set: with precision unmasked an inexact root traps.)
    for (uint32_t csr : {0x1F80u | 0x40u | 0x01u, 0x1E00u | 0x40u, 0x1F80u}) {
        alignas(16) double w[6] = {4.0, -1.0, 2.0, 3.0, 5.0, 6.0};
        int32_t flag = 0;
        const uint32_t after = SqrtDoubleWithMxcsr(K(), csr, w, 6, flag);
        EXPECT_NE(flag, 0);
        EXPECT_EQ(after & 0x1FC3u, csr & 0x1FC3u) << std::hex << csr;
    }
}

std::complex<long double> PrincipalRoot(long double x, long double y)
{
    // The principal root with the sign of a zero imaginary part ignored (non-negative then).
    auto r = std::sqrt(std::complex<long double>(x, y == 0 ? 0.0L : y));
    return r;
}

TEST_P(Sibling, ComplexFloatAndDoubleRoots)
{
    struct Case {
        float x, y, re, im;
    };
    const Case cases[] = {{4, 0, 2, 0}, {-4, 0, 0, 2}, {-4, -0.0f, 0, 2}, {3, 4, 2, 1}, {-3, -4, 1, -2}, {0, 0, 0, 0}};
    for (const Case& c : cases) {
        for (size_t n : {1u, 2u, 3u, 4u, 7u}) {
            for (size_t offset : {0u, 8u}) {
                std::vector<float> in;
                std::vector<double> ind;
                for (size_t i = 0; i < n; ++i) {
                    in.push_back(c.x);
                    in.push_back(c.y);
                    ind.push_back(c.x);
                    ind.push_back(c.y);
                }
                Buffer b(n * 8, offset), bd(n * 16, offset);
                Put(b, in);
                Put(bd, ind);
                K().complexSqrt(b.As<float>(), b.As<float>(), static_cast<int32_t>(n));
                K().complexSqrtDouble(bd.As<double>(), bd.As<double>(), static_cast<int32_t>(n));
                const auto out = Get<float>(b, 2 * n);
                const auto outd = Get<double>(bd, 2 * n);
                for (size_t i = 0; i < n; ++i) {
                    EXPECT_NEAR(out[2 * i], c.re, 4e-7f * 2) << c.x << " " << c.y;
                    EXPECT_NEAR(out[2 * i + 1], c.im, 4e-7f * 2) << c.x << " " << c.y;
                    EXPECT_EQ(outd[2 * i], c.re) << c.x << " " << c.y;
                    EXPECT_EQ(outd[2 * i + 1], c.im) << c.x << " " << c.y;
                }
            }
        }
    }
    // Random elements within the working range, at every alignment path.
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> mag(-1e6f, 1e6f);
    for (size_t offset : {0u, 4u, 8u}) {
        const size_t n = 37;
        std::vector<float> in(2 * n);
        std::vector<double> ind(2 * n);
        for (size_t i = 0; i < 2 * n; ++i) {
            in[i] = mag(rng) * (rng() % 2 ? 1e-3f : 1.0f);
            ind[i] = in[i];
        }
        in[6] = in[7] = 0.0f;  // a zero inside a block
        ind[6] = ind[7] = 0.0;
        Buffer src(n * 8, offset), dst(n * 8, 8 - offset % 8), srcd(n * 16, offset), dstd(n * 16, 8);
        Put(src, in);
        Put(srcd, ind);
        K().complexSqrt(src.As<float>(), dst.As<float>(), static_cast<int32_t>(n));
        K().complexSqrtDouble(srcd.As<double>(), dstd.As<double>(), static_cast<int32_t>(n));
        const auto out = Get<float>(dst, 2 * n);
        const auto outd = Get<double>(dstd, 2 * n);
        for (size_t i = 0; i < n; ++i) {
            const auto ref = PrincipalRoot(in[2 * i], in[2 * i + 1]);
            const long double scale = std::abs(ref);
            EXPECT_LE(std::fabs(out[2 * i] - ref.real()), 1e-6L * scale + 1e-30L) << i;
            EXPECT_LE(std::fabs(out[2 * i + 1] - ref.imag()), 1e-6L * scale + 1e-30L) << i;
            EXPECT_LE(std::fabs(outd[2 * i] - ref.real()), 1e-15L * scale) << i;
            EXPECT_LE(std::fabs(outd[2 * i + 1] - ref.imag()), 1e-15L * scale) << i;
        }
    }
}

// ---- integer square roots: the exact rule --------------------------------------------------

using u128 = unsigned __int128;

uint64_t FloorRoot(u128 v)
{
    if (v == 0) {
        return 0;
    }
    auto r = static_cast<uint64_t>(std::sqrt(static_cast<long double>(v)));
    while (static_cast<u128>(r) * r > v) {
        --r;
    }
    while (static_cast<u128>(r + 1) * (r + 1) <= v) {
        ++r;
    }
    return r;
}

int BitLength(uint64_t v)
{
    return v == 0 ? 0 : 64 - __builtin_clzll(v);
}

// sqrt(x) 2^-sf rounded to nearest, ties to even, saturated at top; x >= 0.
uint64_t RootRule(uint64_t x, int32_t sf, uint64_t top)
{
    if (x == 0) {
        return 0;
    }
    if (sf <= 0) {
        const int32_t k = -sf;
        if (BitLength(x) + 2 * k > 126) {
            return top;
        }
        const u128 big = static_cast<u128>(x) << (2 * k);
        const uint64_t f = FloorRoot(big);
        const uint64_t r = f + (big > static_cast<u128>(f) * f + f ? 1 : 0);
        return r > top ? top : r;
    }
    if (2 * sf >= 128) {
        return 0;
    }
    const uint64_t q = FloorRoot(static_cast<u128>(x) >> (2 * sf));
    const u128 m = (static_cast<u128>(2 * q + 1)) << (sf - 1);
    const u128 threshold = m * m;
    uint64_t r = q;
    if (x > threshold || (x == threshold && (q & 1))) {
        r = q + 1;
    }
    return r > top ? top : r;
}

TEST_P(Sibling, Int16AndUint16RootsFollowTheRuleForEveryInputAndFactor)
{
    std::vector<int16_t> all(65536);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<int16_t>(i);
    }
    // Every factor at one placement; a few factors at placements that reach the other loops.
    struct Placement {
        size_t src, dst;
    };
    const Placement aligned[] = {{0, 0}};
    const Placement others[] = {{2, 6}, {8, 0}, {6, 0}, {4, 14}};
    for (int32_t sf = -17; sf <= 10; ++sf) {
        std::vector<int16_t> want(all.size());
        std::vector<uint16_t> wantU(all.size());
        for (size_t i = 0; i < all.size(); ++i) {
            want[i] = static_cast<int16_t>(RootRule(all[i] < 0 ? 0 : static_cast<uint64_t>(all[i]), sf, 32767));
            wantU[i] = static_cast<uint16_t>(RootRule(i, sf, 65535));
        }
        const bool more = sf == -9 || sf == -3 || sf == 0 || sf == 1 || sf == 5;
        for (const Placement& pl : more ? std::vector<Placement>(std::begin(others), std::end(others))
                                        : std::vector<Placement>(std::begin(aligned), std::end(aligned))) {
            Buffer src(all.size() * 2, pl.src), dst(all.size() * 2, pl.dst);
            Put(src, all);
            SCOPED_TRACE("sf " + std::to_string(sf) + " offsets " + std::to_string(pl.src) + "/" + std::to_string(pl.dst));
            EXPECT_NE(K().sqrtInt16(src.As<int16_t>(), dst.As<int16_t>(), 65536, sf), 0);
            EXPECT_EQ(Get<int16_t>(dst, all.size()), want);
            K().sqrtUint16(src.As<uint16_t>(), dst.As<uint16_t>(), 65536, sf);
            EXPECT_EQ(Get<uint16_t>(dst, all.size()), wantU);
        }
    }
    // Positive inputs only: no flag.
    alignas(16) int16_t v[9] = {2, 3, 32767, 9, 25, 49, 0, 1, 4};
    EXPECT_EQ(K().sqrtInt16(v, v, 9, 0), 0);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(v[1], 2);
    EXPECT_EQ(v[2], 181);
}

TEST_P(Sibling, WideIntegerRootsFollowTheRule)
{
    std::mt19937_64 rng(6);
    std::vector<int64_t> edges = {0, 1, 2, 3, 4, 9, 16, 25, INT32_MAX, 1073741824, 1073741825, 1073676289,
                                  0x3FFF0000, 268435456, INT64_MAX, INT64_MAX - 1, 4611686018427387904LL,
                                  -1, INT64_MIN, INT32_MIN};
    for (int64_t r = 2; r < 3037000499; r = r * 3 + 1) {
        edges.push_back(r * r);
        edges.push_back(r * r + r);
        edges.push_back(r * r + r + 1);
    }
    for (int i = 0; i < 400; ++i) {
        const int bits = static_cast<int>(rng() % 64);
        edges.push_back(static_cast<int64_t>(rng() >> bits) * (rng() % 8 == 0 ? -1 : 1));
    }
    std::vector<int32_t> edges32;
    for (int64_t e : edges) {
        edges32.push_back(static_cast<int32_t>(e));
    }
    const size_t n = edges.size();
    for (int32_t sf = -66; sf <= 36; ++sf) {
        Buffer src32(n * 4, 4), src64(n * 8, 8), dst16(n * 2, 2), dst64(n * 8, 0);
        Put(src32, edges32);
        Put(src64, edges);
        const int32_t f32 = K().sqrtInt32ToInt16(src32.As<int32_t>(), dst16.As<int16_t>(), static_cast<int32_t>(n), sf);
        const auto out32 = Get<int16_t>(dst16, n);
        const int32_t f64 = K().sqrtInt64ToInt16(src64.As<int64_t>(), dst16.As<int16_t>(), static_cast<int32_t>(n), sf);
        const auto out64 = Get<int16_t>(dst16, n);
        const uint32_t x87 = GetX87ControlWord();
        const int32_t fw = K().sqrtInt64(src64.As<int64_t>(), dst64.As<int64_t>(), static_cast<int32_t>(n), sf);
        EXPECT_EQ(GetX87ControlWord(), x87);
        const auto outW = Get<int64_t>(dst64, n);
        EXPECT_NE(f32, 0);
        EXPECT_NE(f64, 0);
        EXPECT_EQ(fw, 1);
        for (size_t i = 0; i < n; ++i) {
            const int64_t x32 = edges32[i] < 0 ? 0 : edges32[i];
            const int64_t x64 = edges[i] < 0 ? 0 : edges[i];
            ASSERT_EQ(out32[i], static_cast<int16_t>(RootRule(static_cast<uint64_t>(x32), sf, 32767)))
                << "int32 sf " << sf << " x " << edges32[i];
            ASSERT_EQ(out64[i], static_cast<int16_t>(RootRule(static_cast<uint64_t>(x64), sf, 32767)))
                << "int64 to int16 sf " << sf << " x " << edges[i];
            ASSERT_EQ(static_cast<uint64_t>(outW[i]), RootRule(static_cast<uint64_t>(x64), sf, INT64_MAX))
                << "int64 sf " << sf << " x " << edges[i];
        }
    }
    // The x87 precision is set for the call whatever the caller's (24-bit here) and given back.
    const uint32_t saved = GetX87ControlWord();
    LoadX87ControlWord(saved & ~0x300u);
    alignas(16) int64_t big[2] = {INT64_MAX, 9};
    K().sqrtInt64(big, big, 2, 0);
    EXPECT_EQ(GetX87ControlWord(), saved & ~0x300u);
    LoadX87ControlWord(saved);
    EXPECT_EQ(big[0], 3037000500);
    EXPECT_EQ(big[1], 3);
}

TEST_P(Sibling, ComplexInt16RootsFollowTheirRules)
{
    struct Case {
        int16_t x, y;
        int32_t sf;
        int16_t re, im;
    };
    const Case unscaled[] = {{3, 4, 0, 2, 1}, {-4, 0, 0, 0, 2}, {0, 0, 0, 0, 0}, {-32768, -32768, 0, 82, -199},
                             {2, 0, 0, 1, 0}};
    const Case scaled[] = {{16, 0, -8, 1024, 0}, {16, 0, 2, 1, 0}, {4, 0, -30, 32767, 0}, {3, 4, 0, 2, 1},
                           {-4, 0, 0, 0, 2},     {3, -4, 0, 2, -1}, {5, 7, 511, 0, 0},    {-32768, -32768, 0, 82, -199}};
    for (const Case& c : unscaled) {
        for (size_t n : {1u, 5u}) {
            std::vector<int16_t> in;
            for (size_t i = 0; i < n; ++i) {
                in.push_back(c.x);
                in.push_back(c.y);
            }
            Buffer b(n * 4, 4);
            Put(b, in);
            K().complexInt16(b.As<int16_t>(), b.As<int16_t>(), static_cast<int32_t>(n));
            const auto out = Get<int16_t>(b, 2 * n);
            for (size_t i = 0; i < n; ++i) {
                EXPECT_EQ(out[2 * i], c.re) << c.x << "," << c.y;
                EXPECT_EQ(out[2 * i + 1], c.im) << c.x << "," << c.y;
            }
        }
    }
    for (const Case& c : scaled) {
        for (auto kernel : {K().complexInt16Scaled, K().complexInt16Quotient}) {
            alignas(16) int16_t v[10] = {c.x, c.y, c.x, c.y, c.x, c.y, c.x, c.y, c.x, c.y};
            kernel(v, v, 5, c.sf);
            for (int i = 0; i < 5; ++i) {
                EXPECT_EQ(v[2 * i], c.re) << c.x << "," << c.y << " sf " << c.sf;
                EXPECT_EQ(v[2 * i + 1], c.im) << c.x << "," << c.y << " sf " << c.sf;
            }
        }
    }
    // Random elements: the unscaled rule exactly; the scaled forms within one unit of the
    // long-double root (they round their double results).
    std::mt19937 rng(10);
    const size_t n = 203;
    std::vector<int16_t> in(2 * n);
    for (auto& v : in) {
        v = static_cast<int16_t>(rng() >> (rng() % 16));
    }
    for (size_t offset : {0u, 4u, 8u, 12u}) {
        Buffer src(n * 4, offset), dst(n * 4, (offset + 4) % 16);
        Put(src, in);
        K().complexInt16(src.As<int16_t>(), dst.As<int16_t>(), static_cast<int32_t>(n));
        const auto out = Get<int16_t>(dst, 2 * n);
        for (size_t i = 0; i < n; ++i) {
            const int64_t x = in[2 * i], y = in[2 * i + 1];
            const uint64_t norm = std::min<uint64_t>(static_cast<uint64_t>(x * x + y * y), INT32_MAX);
            const auto m = static_cast<int64_t>(RootRule(norm, 0, UINT64_MAX));
            const uint64_t p = RootRule(static_cast<uint64_t>((m + x + 1) / 2), 0, 32767);
            const uint64_t q = RootRule(static_cast<uint64_t>((m - x + 1) / 2), 0, 32767);
            ASSERT_EQ(out[2 * i], static_cast<int16_t>(p)) << x << "," << y;
            ASSERT_EQ(out[2 * i + 1], static_cast<int16_t>(y < 0 ? -static_cast<int64_t>(q) : q)) << x << "," << y;
        }
        for (int32_t sf : {-3, 0, 2}) {
            for (auto kernel : {K().complexInt16Scaled, K().complexInt16Quotient}) {
                kernel(src.As<int16_t>(), dst.As<int16_t>(), static_cast<int32_t>(n), sf);
                const auto o = Get<int16_t>(dst, 2 * n);
                for (size_t i = 0; i < n; ++i) {
                    const auto ref = PrincipalRoot(in[2 * i], in[2 * i + 1]) * std::ldexp(1.0L, -sf);
                    const long double re = std::min(ref.real(), 32767.0L);
                    const long double im = std::max(std::min(ref.imag(), 32767.0L), -32768.0L);
                    ASSERT_LE(std::fabs(o[2 * i] - re), 0.5L + 1e-9L) << in[2 * i] << "," << in[2 * i + 1];
                    ASSERT_LE(std::fabs(o[2 * i + 1] - im), 0.5L + 1e-9L) << in[2 * i] << "," << in[2 * i + 1];
                }
            }
        }
    }
}

TEST_P(Sibling, TranslateBytesThroughTheTable)
{
    uint8_t identity[256], full[256], shuffled[256];
    for (int i = 0; i < 256; ++i) {
        identity[i] = static_cast<uint8_t>(i);
        full[i] = 255;
        shuffled[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    std::vector<uint8_t> in(97);
    for (size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<uint8_t>(i * 13 + 5);
    }
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 97u}) {
        for (size_t offset : {0u, 1u, 3u}) {
            Buffer src(n, offset), dst(n + 1, 3 - offset);
            std::memcpy(src.p, in.data(), n);
            K().translate(src.p, dst.p, static_cast<int32_t>(n), shuffled);
            const auto out = Get<uint8_t>(dst, n + 1);
            for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(out[i], shuffled[in[i]]);
            }
            EXPECT_EQ(out[n], 0xA5);
            K().translate(src.p, src.p, static_cast<int32_t>(n), identity);
            EXPECT_EQ(Get<uint8_t>(src, n), std::vector<uint8_t>(in.begin(), in.begin() + static_cast<ptrdiff_t>(n)));
            K().translate(src.p, src.p, static_cast<int32_t>(n), full);
            EXPECT_EQ(Get<uint8_t>(src, n), std::vector<uint8_t>(n, 255));
        }
    }
}

// Every member on arrays flush against a guard page, and the logarithms' work areas sized exactly
// as the members state, flush as well.
TEST_P(Sibling, ArraysAndWorkAreasFlushAgainstGuardPagesAreNeverOverstepped)
{
    coretest::GuardedPage srcPage, dstPage, workPage;
    for (int32_t n = 1; n <= 40; ++n) {
        for (size_t skew : {0u, 4u, 8u, 12u}) {
            const auto at = [n, skew](coretest::GuardedPage& page, size_t element) {
                return page.EndMinus(static_cast<size_t>(n) * element + skew);
            };
            // Sources hold small positive values; work areas stay 16-byte aligned at the page end.
            std::memset(srcPage.EndMinus(4096), 1, 4096);
            const auto work = [&](size_t bytes) { return workPage.EndMinus((bytes + 15) / 16 * 16); };
            K().logCopy(reinterpret_cast<float*>(at(srcPage, 4)), reinterpret_cast<float*>(at(dstPage, 4)), n, work(4 * n));
            K().logInt32Copy(reinterpret_cast<int32_t*>(at(srcPage, 4)), reinterpret_cast<int32_t*>(at(dstPage, 4)), n,
                             reinterpret_cast<float*>(srcPage.Start()), work(32 + 4 * n));
            K().logInt32(reinterpret_cast<int32_t*>(at(dstPage, 4)), n, reinterpret_cast<float*>(srcPage.Start()),
                         work(32 + 8 * n));
            K().logInt32ToInt16(reinterpret_cast<int32_t*>(at(srcPage, 4)), reinterpret_cast<int16_t*>(at(dstPage, 2)), n, 0,
                                work(32 + 4 * n));
            K().logInt16Copy(reinterpret_cast<int16_t*>(at(srcPage, 2)), reinterpret_cast<int16_t*>(at(dstPage, 2)), n, 0,
                             work(32 + 4 * n));
            K().logInt16(reinterpret_cast<int16_t*>(at(dstPage, 2)), n, 0, work(32 + 8 * n));
            K().logDouble(reinterpret_cast<double*>(at(srcPage, 8)), reinterpret_cast<double*>(at(dstPage, 8)), n);
            K().logDoubleToFloat(reinterpret_cast<double*>(at(srcPage, 8)), reinterpret_cast<float*>(at(dstPage, 4)), n);
            K().sqrtDouble(reinterpret_cast<double*>(at(srcPage, 8)), reinterpret_cast<double*>(at(dstPage, 8)), n);
            K().complexSqrt(reinterpret_cast<float*>(at(srcPage, 8)), reinterpret_cast<float*>(at(dstPage, 8)), n);
            K().complexSqrtDouble(reinterpret_cast<double*>(at(srcPage, 16)), reinterpret_cast<double*>(at(dstPage, 16)), n);
            K().sqrtInt16(reinterpret_cast<int16_t*>(at(srcPage, 2)), reinterpret_cast<int16_t*>(at(dstPage, 2)), n, 0);
            K().complexInt16(reinterpret_cast<int16_t*>(at(srcPage, 4)), reinterpret_cast<int16_t*>(at(dstPage, 4)), n);
            K().complexInt16Scaled(reinterpret_cast<int16_t*>(at(srcPage, 4)), reinterpret_cast<int16_t*>(at(dstPage, 4)), n, 0);
            K().complexInt16Quotient(reinterpret_cast<int16_t*>(at(srcPage, 4)), reinterpret_cast<int16_t*>(at(dstPage, 4)), n,
                                     0);
            K().sqrtUint16(reinterpret_cast<uint16_t*>(at(srcPage, 2)), reinterpret_cast<uint16_t*>(at(dstPage, 2)), n, -9);
            K().translate(at(srcPage, 1), at(dstPage, 1), n, srcPage.Start());
            K().sqrtInt32ToInt16(reinterpret_cast<int32_t*>(at(srcPage, 4)), reinterpret_cast<int16_t*>(at(dstPage, 2)), n, 3);
            K().sqrtInt64ToInt16(reinterpret_cast<int64_t*>(at(srcPage, 8)), reinterpret_cast<int16_t*>(at(dstPage, 2)), n, -3);
            K().sqrtInt64(reinterpret_cast<int64_t*>(at(srcPage, 8)), reinterpret_cast<int64_t*>(at(dstPage, 8)), n, 5);
        }
    }
}

}  // namespace
