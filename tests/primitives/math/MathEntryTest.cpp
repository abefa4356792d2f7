// The exponential, logarithm and square-root entries in every slot: the processor-specific
// slots against scalar models of their kernels, bit for bit and on every path; special values at
// every position against slot 0; statuses, MXCSR handling and array bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "primitives/Primitives.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/math/MathTestSupport.h"

namespace {

using namespace mathtest;

using EntryFn = PrimitiveStatus (*)(float*, int32_t);

class MathEntries : public coretest::ForcedSlotTest {
protected:
    bool Generic() const { return DispatchIndex == 0; }
};

KVX_INSTANTIATE_FOR_EVERY_SLOT(MathEntries);

const size_t kOffsets[] = {0, 4, 8, 12, 1};

// Runs an entry on a row and returns the resulting bits.
std::vector<uint32_t> RunEntry(EntryFn fn, const std::vector<uint32_t>& in, size_t offset, PrimitiveStatus& status,
                          uintptr_t* address = nullptr)
{
    FloatRow row(in, offset);
    status = fn(row.Data(), static_cast<int32_t>(in.size()));
    if (address != nullptr) {
        *address = row.Address();
    }
    return row.Contents();
}

TEST_P(MathEntries, ArgumentsAreCheckedBeforeAnythingIsWritten)
{
    for (EntryFn fn : {EntryFn{ExponentialInPlace}, EntryFn{NaturalLogInPlace}, EntryFn{SquareRootInPlace}}) {
        float value = 4.0f;
        EXPECT_EQ(fn(nullptr, 0), StatusNullPointer);
        EXPECT_EQ(fn(nullptr, 5), StatusNullPointer);
        EXPECT_EQ(fn(&value, 0), StatusSizeError);
        EXPECT_EQ(fn(&value, -3), StatusSizeError);
        EXPECT_EQ(value, 4.0f);
    }
}

// Random rows of every kind of value, over lengths that reach every path and chunk boundary.
std::vector<uint32_t> RandomRow(size_t n, std::mt19937& rng, float lo, float hi, int specialEvery)
{
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<uint32_t> v(n);
    for (auto& b : v) {
        b = Bits(dist(rng));
        if (specialEvery > 0 && rng() % specialEvery == 0) {
            b = static_cast<uint32_t>(rng());
        }
    }
    return v;
}

TEST_P(MathEntries, SlotsFollowTheirKernelModelsBitForBit)
{
    if (Generic()) {
        GTEST_SKIP() << "slot 0 is specified and tested with the vector family";
    }
    std::mt19937 rng(11);
    const size_t lengths[] = {1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 32, 33, 47, 63, 64, 100, 256, 257, 300, 600};
    for (size_t n : lengths) {
        for (size_t offset : kOffsets) {
            SCOPED_TRACE("length " + std::to_string(n) + " offset " + std::to_string(offset));
            PrimitiveStatus status;
            uintptr_t address;

            const auto e = RandomRow(n, rng, -95.0f, 95.0f, 9);
            const auto eOut = RunEntry(ExponentialInPlace, e, offset, status);
            EXPECT_EQ(status, StatusOk);
            for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(eOut[i], ExpModel(FromBits(e[i]))) << "exp at " << i << " of " << FromBits(e[i]);
            }

            // Positive values over the whole exponent range, with a few of every kind.
            auto l = RandomRow(n, rng, 0.0f, 1.0f, 0);
            for (auto& b : l) {
                b = rng() % 23 == 0 ? static_cast<uint32_t>(rng()) : (static_cast<uint32_t>(rng()) & 0x7FFFFFFFu) % 0x7F800000u;
            }
            const auto lOut = RunEntry(NaturalLogInPlace, l, offset, status, &address);
            int64_t flag = 0;
            const auto lWant = LogArrayModel(l, address, flag);
            EXPECT_EQ(status, flag == 0 ? StatusOk : (flag == 2 ? WarningLnZero : WarningLnNegative));
            for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(lOut[i], lWant[i]) << "ln at " << i << " of " << FromBits(l[i]);
            }

            // Mostly positive normal values, so that blocks take both paths.
            const auto s = RandomRow(n, rng, 1e-30f, 1e30f, 60);
            const auto sOut = RunEntry(SquareRootInPlace, s, offset, status, &address);
            bool negative = false;
            const auto sWant = SqrtArrayModel(s, address, negative);
            EXPECT_EQ(status, negative ? WarningSqrtNegative : StatusOk);
            EXPECT_EQ(sOut, sWant);
        }
    }
}

// Expectations in the special-value table: a bit pattern, or one of these.
constexpr int64_t kModel = -1;  // the slot's kernel model
constexpr int64_t kRef = -2;    // near the double function (correctly rounded for the square root)

struct SpecialRow {
    uint32_t input;
    int64_t slot0;
    int64_t slots;
    const char* what;
};

const SpecialRow kExpRows[] = {
    {0x00000000u, 0x3F800000, kModel, "+0 (slots 1-3 may give 0x3F7FFFFF)"},
    {0x80000000u, 0x3F800000, kModel, "-0"},
    {0x7F800000u, PLUS_INF, PLUS_INF, "+infinity"},
    {0xFF800000u, 0, 0, "-infinity"},
    {0x7FC00000u, DEFAULT_NAN, POSITIVE_QNAN, "positive quiet NaN"},
    {0x7FC01234u, DEFAULT_NAN, POSITIVE_QNAN, "positive quiet NaN with payload"},
    {0xFFC01234u, DEFAULT_NAN, kModel, "negative quiet NaN: the arithmetic's NaN"},
    {0x7FA00001u, PLUS_INF, PLUS_INF, "positive signalling NaN"},
    {0xFF800001u, 0, kModel, "negative signalling NaN"},
    {0x00000001u, 0x3F800000, kModel, "smallest subnormal"},
    {0x007FFFFFu, 0x3F800000, kModel, "largest subnormal"},
    {0x807FFFFFu, 0x3F800000, kModel, "negative subnormal"},
    {0x00800000u, kRef, kModel, "FLT_MIN"},
    {0x7F7FFFFFu, PLUS_INF, PLUS_INF, "FLT_MAX"},
    {0xFF7FFFFFu, 0, 0, "-FLT_MAX"},
    {0x7149F2CAu, PLUS_INF, PLUS_INF, "1e30"},
    {0xF149F2CAu, 0, 0, "-1e30"},
    {0x3F800000u, kRef, kModel, "1"},
    {0x40000000u, kRef, kModel, "2"},
    {0x3F000000u, kRef, kModel, "0.5"},
    {0xC2AEAC4Au, kRef, 0, "-87.33650207519531, the slots' lower limit"},
    {0xC2AEAC49u, kRef, kModel, "just above the lower limit: a normal result"},
    {0xC2AEAC50u, 0, 0, "-87.3365478515625"},
    {0xC2AEAC4Fu, kRef, 0, "-87.33654022216797"},
    {0x42AE3333u, kRef, kModel, "87.0999984741211, the slots' upper limit"},
    {0x42AE3334u, kRef, PLUS_INF, "the next float above 87.1"},
    {0x42B00000u, kRef, PLUS_INF, "88.0"},
    {0x42B17217u, kRef, PLUS_INF, "88.72283172607422"},
    {0x42B17218u, PLUS_INF, PLUS_INF, "88.72283935546875"},
};

const SpecialRow kLnRows[] = {
    {0x00000000u, MINUS_INF, MINUS_INF, "+0"},
    {0x80000000u, DEFAULT_NAN, DEFAULT_NAN, "-0"},
    {0x7F800000u, PLUS_INF, PLUS_INF, "+infinity"},
    {0xFF800000u, DEFAULT_NAN, DEFAULT_NAN, "-infinity"},
    {0x7FC01234u, DEFAULT_NAN, 0x7FC01234, "positive quiet NaN: returned as it is by slots 1-3"},
    {0xFFC01234u, DEFAULT_NAN, DEFAULT_NAN, "negative quiet NaN"},
    {0x7FA00001u, 0x7FE00001, 0x7FE00001, "positive signalling NaN: quieted, no warning"},
    {0x7F800001u, 0x7FC00001, 0x7FC00001, "smallest positive signalling NaN"},
    {0xFF800001u, DEFAULT_NAN, DEFAULT_NAN, "negative signalling NaN"},
    {0x00000001u, kRef, kModel, "smallest subnormal: the logarithm of its value"},
    {0x007FFFFFu, kRef, kModel, "largest subnormal"},
    {0x807FFFFFu, DEFAULT_NAN, DEFAULT_NAN, "negative subnormal"},
    {0x00800000u, kRef, kModel, "FLT_MIN"},
    {0x7F7FFFFFu, kRef, kModel, "FLT_MAX"},
    {0x7149F2CAu, kRef, kModel, "1e30"},
    {0xF149F2CAu, DEFAULT_NAN, DEFAULT_NAN, "-1e30"},
    {0x3F800000u, 0, 0, "1"},
    {0x40000000u, 0x3F317218, 0x3F317218, "2"},
    {0x3F000000u, 0xBF317218, 0xBF317218, "0.5"},
};

const SpecialRow kSqrtRows[] = {
    {0x00000000u, 0, 0, "+0"},
    {0x80000000u, 0x80000000, 0x80000000, "-0"},
    {0x7F800000u, PLUS_INF, PLUS_INF, "+infinity"},
    {0xFF800000u, DEFAULT_NAN, DEFAULT_NAN, "-infinity"},
    {0x7FC01234u, 0x7FC01234, 0x7FC01234, "positive quiet NaN"},
    {0xFFC01234u, 0xFFC01234, 0xFFC01234, "negative quiet NaN: no warning wherever it stands"},
    {0x7FA00001u, 0x7FA00001, 0x7FE00001, "positive signalling NaN: quieted by slots 1-3"},
    {0xFF800001u, 0xFF800001, 0xFFC00001, "negative signalling NaN: quieted, no warning"},
    {0x00000001u, kRef, kRef, "smallest subnormal"},
    {0x007FFFFFu, kRef, kRef, "largest subnormal"},
    {0x807FFFFFu, DEFAULT_NAN, DEFAULT_NAN, "negative subnormal"},
    {0x00800000u, kRef, kModel, "FLT_MIN"},
    {0x7F7FFFFFu, kRef, kModel, "FLT_MAX"},
    {0x7149F2CAu, kRef, kModel, "1e30"},
    {0xF149F2CAu, DEFAULT_NAN, DEFAULT_NAN, "-1e30"},
    {0x3F800000u, kRef, kModel, "1"},
    {0x40000000u, kRef, kModel, "2"},
    {0x3F000000u, kRef, kModel, "0.5"},
};

struct SpecialFunction {
    const char* name;
    EntryFn entry;
    const SpecialRow* rows;
    size_t rowCount;
    uint32_t background;
    double (*reference)(double);
    double tolerance;  // ulps allowed for kRef
};

PrimitiveStatus ExpectedStatus(const char* name, uint32_t b)
{
    const float x = FromBits(b);
    if (std::string(name) == "ln") {
        return b == 0 ? WarningLnZero : ((b & 0x80000000u) ? WarningLnNegative : StatusOk);
    }
    if (std::string(name) == "sqrt") {
        return x < 0.0f ? WarningSqrtNegative : StatusOk;
    }
    return StatusOk;
}

std::vector<uint32_t> SlotModel(const char* name, const std::vector<uint32_t>& in, uintptr_t address)
{
    if (std::string(name) == "exp") {
        std::vector<uint32_t> out(in.size());
        for (size_t i = 0; i < in.size(); ++i) {
            out[i] = ExpModel(FromBits(in[i]));
        }
        return out;
    }
    if (std::string(name) == "ln") {
        int64_t flag;
        return LogArrayModel(in, address, flag);
    }
    bool negative;
    return SqrtArrayModel(in, address, negative);
}

TEST_P(MathEntries, SpecialValuesAtEveryPositionAgainstSlotZero)
{
    const SpecialFunction functions[] = {
        {"exp", ExponentialInPlace, kExpRows, std::size(kExpRows), Bits(0.75f), [](double x) { return std::exp(x); }, 2},
        {"ln", NaturalLogInPlace, kLnRows, std::size(kLnRows), Bits(1.75f), [](double x) { return std::log(x); }, 2},
        {"sqrt", SquareRootInPlace, kSqrtRows, std::size(kSqrtRows), Bits(2.25f), [](double x) { return std::sqrt(x); },
         0.5},
    };
    // 47 elements reach, by offset, the head or lead-in, every lane of the groups and blocks, and
    // every tail form.
    constexpr size_t n = 47;
    for (const SpecialFunction& f : functions) {
        for (size_t r = 0; r < f.rowCount; ++r) {
            const SpecialRow& row = f.rows[r];
            const int64_t want = Generic() ? row.slot0 : row.slots;
            for (size_t offset : kOffsets) {
                for (size_t p = 0; p < n; ++p) {
                    std::vector<uint32_t> in(n, f.background);
                    in[p] = row.input;
                    PrimitiveStatus status;
                    uintptr_t address;
                    const auto out = RunEntry(f.entry, in, offset, status, &address);
                    SCOPED_TRACE(std::string(f.name) + " of " + row.what + ", offset " + std::to_string(offset) +
                                 ", position " + std::to_string(p));
                    ASSERT_EQ(status, ExpectedStatus(f.name, row.input));
                    if (want >= 0) {
                        ASSERT_EQ(out[p], static_cast<uint32_t>(want));
                    } else if (want == kRef) {
                        ASSERT_LE(UlpError(FromBits(out[p]), f.reference(FromBits(row.input))), f.tolerance);
                    }
                    if (!Generic()) {
                        // The slot's model decides every element, the neighbours' paths included.
                        ASSERT_EQ(out, SlotModel(f.name, in, address));
                    }
                }
            }
        }
    }
}

TEST_P(MathEntries, WarningsFollowTheFirstOffendingElement)
{
    struct Case {
        const char* what;
        EntryFn entry;
        std::vector<float> values;
        PrimitiveStatus status;
    };
    std::vector<float> chunks(300, 3.0f);
    chunks[10] = 0.0f;    // chunk 1
    chunks[270] = -1.0f;  // chunk 2
    std::vector<float> chunksReversed(300, 3.0f);
    chunksReversed[10] = -1.0f;
    chunksReversed[270] = 0.0f;
    const Case cases[] = {
        {"ln, zero in chunk 1 and negative in chunk 2", NaturalLogInPlace, chunks, WarningLnZero},
        {"ln, negative in chunk 1 and zero in chunk 2", NaturalLogInPlace, chunksReversed, WarningLnNegative},
        {"ln of [-1, 0]", NaturalLogInPlace, {-1.0f, 0.0f}, WarningLnNegative},
        {"ln of [0, -1]", NaturalLogInPlace, {0.0f, -1.0f}, WarningLnZero},
        {"sqrt of [4, -1, -0, NaN]", SquareRootInPlace, {4.0f, -1.0f, -0.0f, NAN}, WarningSqrtNegative},
        {"exp of overflowing and underflowing values", ExponentialInPlace, {1000.0f, -1000.0f, 0.0f, 5.0f}, StatusOk},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> bits;
        for (float v : c.values) {
            bits.push_back(Bits(v));
        }
        PrimitiveStatus status;
        const auto out = RunEntry(c.entry, bits, 0, status);
        EXPECT_EQ(status, c.status) << c.what;
        if (c.entry == NaturalLogInPlace) {
            // Every chunk is still computed after the first warning.
            EXPECT_EQ(out.back(), Bits(std::log(FromBits(bits.back())))) << c.what;
        }
    }
}

TEST_P(MathEntries, OneSpecialElementSendsItsWholeBlockOfSixteenToTheExactRoot)
{
    if (Generic()) {
        GTEST_SKIP() << "slot 0 has no blocks";
    }
    // Values whose refined estimate differs from the IEEE root, so that each path shows.
    std::vector<uint32_t> values;
    for (uint32_t b = Bits(1.0f); values.size() < 16; b += 0x1003) {
        const float x = FromBits(b);
        if (Bits(SqrtFastModel(x)) != Bits(std::sqrt(x))) {
            values.push_back(b);
        }
    }
    PrimitiveStatus status;
    const auto fast = RunEntry(SquareRootInPlace, values, 0, status);
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(fast[i], Bits(SqrtFastModel(FromBits(values[i]))));
    }
    for (uint32_t special : {0u, 0x80000000u, 0x00000001u, PLUS_INF, 0x7FC00000u, Bits(-2.0f)}) {
        for (size_t k = 0; k < 16; ++k) {
            auto in = values;
            in[k] = special;
            const auto out = RunEntry(SquareRootInPlace, in, 0, status);
            for (size_t i = 0; i < 16; ++i) {
                if (i != k) {
                    ASSERT_EQ(out[i], Bits(std::sqrt(FromBits(in[i])))) << "special " << special << " at " << k;
                }
            }
        }
    }
    // A single element at an aligned address is the exact tail.
    const auto single = RunEntry(SquareRootInPlace, {values[0]}, 0, status);
    EXPECT_EQ(single[0], Bits(std::sqrt(FromBits(values[0]))));
}

// Calls an entry with MXCSR set to csr and returns MXCSR as the entry left it; nothing else runs
// in between.
__attribute__((noinline)) uint32_t WithMxcsr(uint32_t csr, EntryFn fn, float* p, int32_t n, PrimitiveStatus& status)
{
    const uint32_t saved = _mm_getcsr();
    _mm_setcsr(csr);
    status = fn(p, n);
    const uint32_t after = _mm_getcsr();
    _mm_setcsr(saved);
    return after;
}

constexpr uint32_t kDefaultMxcsr = 0x1F80u;
constexpr uint32_t kPe = 0x20u;
constexpr uint32_t kDaz = 0x40u;
constexpr uint32_t kFtz = 0x8000u;
constexpr uint32_t kRoundDown = 0x2000u;

TEST_P(MathEntries, ExponentialClearsTheFlagsItCanRaiseAndKeepsTheRest)
{
    if (Generic()) {
        GTEST_SKIP() << "slot 0 leaves MXCSR to the arithmetic";
    }
    std::vector<float> v = {100.0f, -100.0f, NAN, 1.0f, 0.5f};
    for (uint32_t csr : {kDefaultMxcsr | 0x1Fu | kPe, kDefaultMxcsr | 0x01u | kDaz | kFtz | kRoundDown,
                         (kDefaultMxcsr & ~0x0200u) | 0x08u}) {
        auto copy = v;
        PrimitiveStatus status;
        const uint32_t after = WithMxcsr(csr, ExponentialInPlace, copy.data(), static_cast<int32_t>(copy.size()), status);
        EXPECT_EQ(status, StatusOk);
        // Flags IE to UE cleared, the precision flag only ever added.
        EXPECT_EQ(after & ~kPe, csr & ~(0x1Fu | kPe)) << std::hex << csr;
        EXPECT_EQ(after & kPe, (csr & kPe) | (after & kPe));
    }
}

TEST_P(MathEntries, SquareRootNeverTrapsAndGivesTheCallersMxcsrBack)
{
    if (Generic()) {
        GTEST_SKIP() << "slot 0 leaves MXCSR to the arithmetic";
    }
    std::vector<float> v(40, 2.0f);
    v[3] = -4.0f;
    v[20] = -1.0f;
    v[39] = FromBits(0x00000005u);
    struct Case {
        uint32_t csr;
        uint32_t want;
        bool negatives;
    };
    const Case cases[] = {
        // Every exception unmasked, DAZ on: no trap, the exact caller's value back.
        {kDaz, kDaz, true},
        {0x0000u, 0x0000u, true},
        // All masked with DAZ on: a raised invalid flag brings the caller's value back, DAZ kept.
        {kDefaultMxcsr | kDaz, kDefaultMxcsr | kDaz, true},
        // All masked, positive data only: nothing but the precision flag may be left behind.
        {kDefaultMxcsr, kDefaultMxcsr | kPe, false},
    };
    for (const Case& c : cases) {
        auto copy = v;
        if (!c.negatives) {
            // Normal values only: a subnormal raises the denormal flag, which also brings the
            // caller's value back.
            copy[3] = 4.0f;
            copy[20] = 1.0f;
            copy[39] = 3.0f;
        }
        PrimitiveStatus status;
        const uint32_t after = WithMxcsr(c.csr, SquareRootInPlace, copy.data(), 40, status);
        EXPECT_EQ(after, c.want) << std::hex << c.csr;
        EXPECT_EQ(status, c.negatives ? WarningSqrtNegative : StatusOk);
        if (c.negatives) {
            EXPECT_EQ(Bits(copy[3]), DEFAULT_NAN);
            EXPECT_EQ(Bits(copy[20]), DEFAULT_NAN);
        }
    }
}

TEST_P(MathEntries, LogarithmLeavesMxcsrAlone)
{
    if (Generic()) {
        GTEST_SKIP() << "slot 0 leaves MXCSR to the arithmetic";
    }
    std::vector<float> v = {0.0f, -1.0f, NAN, INFINITY, FromBits(1u), 3.0f, 1e-40f, 7.0f};
    v.resize(64, 2.5f);
    auto copy = v;
    PrimitiveStatus status;
    const uint32_t after = WithMxcsr(kDefaultMxcsr, NaturalLogInPlace, copy.data(), 64, status);
    EXPECT_EQ(status, WarningLnZero);
    EXPECT_EQ(after & ~kPe, kDefaultMxcsr);
}

TEST_P(MathEntries, ArraysFlushAgainstGuardPagesAreNeverOverstepped)
{
    coretest::GuardedPage page;
    const std::vector<float> pattern = {2.0f, -1.0f, 0.0f, 1e-40f, 88.0f, 0.5f, NAN, 3.0f, 1e30f};
    for (EntryFn fn : {EntryFn{ExponentialInPlace}, EntryFn{NaturalLogInPlace}, EntryFn{SquareRootInPlace}}) {
        for (int32_t n = 1; n <= 40; ++n) {
            const size_t bytes = static_cast<size_t>(n) * 4;
            uint8_t* starts[] = {page.Start(),          page.Start() + 4,     page.Start() + 8,
                                 page.Start() + 12,     page.Start() + 1,     page.EndMinus(bytes),
                                 page.EndMinus(bytes + 1), page.EndMinus(bytes + 4), page.EndMinus(bytes + 8)};
            for (uint8_t* p : starts) {
                for (int32_t i = 0; i < n; ++i) {
                    std::memcpy(p + 4 * i, &pattern[static_cast<size_t>(i) % pattern.size()], 4);
                }
                fn(reinterpret_cast<float*>(p), n);
            }
        }
    }
}

}  // namespace
