// Element-wise vector arithmetic under every slot: operand order, one rounding per operation, exact
// special patterns, overlap behaviour and the aligned float blocks. Where the slot kernels differ
// by design (the reciprocal division and its NaN, arrays that overlap partly), the expectations say
// so; the division of slots 1 to 3 is examined in SlotDivideTest.cpp.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "platform/nt/Pool.h"
#include "primitives/Primitives.h"
#include "primitives/core/Memory.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/vector/VectorTestSupport.h"
#include "platform/nt/PoolHost.h"

namespace {

using namespace vectest;

class VectorArithmetic : public coretest::ForcedSlotTest {
protected:
    static bool Generic() { return DispatchIndex == 0; }
};

// Byte offsets from a 32-byte boundary: aligned, 4-byte steps that change the 16-byte peel,
// and addresses that are not even 4-byte aligned.
constexpr size_t kOffsets[] = {0, 4, 12, 1, 6};

TEST_P(VectorArithmetic, FillStoresTheExactPattern)
{
    for (uint32_t pattern : {0x7FC01234u, 0x7F800001u, MINUS_ZERO, 0x3FC00000u}) {
        for (size_t offset : {0, 3}) {
            TestArray dst(std::vector<float>(7, 9.0f), offset);
            ASSERT_EQ(FillFloat(FromBits(pattern), dst.Data(), 7), StatusOk);
            EXPECT_EQ(dst.AllBits(), std::vector<uint32_t>(7, pattern)) << std::hex << pattern;
        }
    }
}

TEST_P(VectorArithmetic, AbsoluteClearsOnlyTheSignBit)
{
    // Six elements: one four-element step and a tail of two.
    TestArray a({-0.0f, FromBits(MINUS_INF), FromBits(NAN_PATTERN), -3.5f, FromBits(0x80000001u), 7.0f}, 2);
    ASSERT_EQ(AbsoluteInPlace(a.Data(), 6), StatusOk);
    EXPECT_EQ(a.AllBits(), (std::vector<uint32_t>{0u, PLUS_INF, 0x7FC00000u, Bits(3.5f), 1u, Bits(7.0f)}));
}

TEST_P(VectorArithmetic, ReverseCopyKeepsPatterns)
{
    TestArray src({1.0f, 2.0f, FromBits(0x7FA00005u)});
    TestArray dst({0.0f, 0.0f, 0.0f}, 1);
    ASSERT_EQ(ReverseCopy(src.Data(), dst.Data(), 3), StatusOk);
    EXPECT_EQ(dst.AllBits(), (std::vector<uint32_t>{0x7FA00005u, Bits(2.0f), Bits(1.0f)}));
    ASSERT_EQ(ReverseCopy(src.Data(), dst.Data(), 1), StatusOk);
    EXPECT_EQ(dst.Get(0), 1.0f);
}

// Each binary entry against a reference computed in double and rounded once, which equals the
// single-precision result of one correctly rounded operation. x is the first array argument,
// y the second; the result lands in the destination (for in-place forms, y).
struct BinaryCase {
    std::string name;
    std::function<PrimitiveStatus(const float* x, float* y, float* dst, int32_t len)> call;
    std::function<float(float x, float y, float dstBefore)> reference;
    bool inPlace;
};

std::vector<BinaryCase> BinaryCases()
{
    const auto round = [](double v) { return static_cast<float>(v); };
    return {
        {"Add", [](const float* x, float* y, float* d, int32_t n) { return Add(x, y, d, n); },
         [=](float x, float y, float) { return round(double(x) + y); }, false},
        {"Subtract", [](const float* x, float* y, float* d, int32_t n) { return Subtract(x, y, d, n); },
         [=](float x, float y, float) { return round(double(y) - x); }, false},
        {"Multiply", [](const float* x, float* y, float* d, int32_t n) { return Multiply(x, y, d, n); },
         [=](float x, float y, float) { return round(double(x) * y); }, false},
        {"Divide", [](const float* x, float* y, float* d, int32_t n) { return Divide(x, y, d, n); },
         [=](float x, float y, float) { return round(double(y) / x); }, false},
        {"Square", [](const float* x, float*, float* d, int32_t n) { return Square(x, d, n); },
         [=](float x, float, float) { return round(double(x) * x); }, false},
        {"MultiplyAccumulate",
         [](const float* x, float* y, float* d, int32_t n) { return MultiplyAccumulate(x, y, d, n); },
         [=](float x, float y, float d) { return round(double(round(double(x) * y)) + d); }, false},
        {"MultiplyAccumulateByConstant",
         [](const float* x, float*, float* d, int32_t n) { return MultiplyAccumulateByConstant(x, 0.3f, d, n); },
         [=](float x, float, float d) { return round(double(round(double(x) * 0.3f)) + d); }, false},
        {"MultiplyInPlace", [](const float* x, float* y, float*, int32_t n) { return MultiplyInPlace(x, y, n); },
         [=](float x, float y, float) { return round(double(x) * y); }, true},
    };
}

TEST_P(VectorArithmetic, BinaryEntriesRoundOnceInOperandOrder)
{
    for (const auto& c : BinaryCases()) {
        SCOPED_TRACE(c.name);
        if (!Generic() && c.name == "Divide") {
            continue;  // the reciprocal path of slots 1 to 3 may differ in the last bits
        }
        for (size_t offset : kOffsets) {
            for (int32_t len : {1, 3, 7, 8, 11, 16, 37}) {
                const auto xs = RandomValues(len, 0.5f, 4.0f, 1u + len);
                const auto ys = RandomValues(len, -3.0f, 3.0f, 100u + len);
                const auto ds = RandomValues(len, -1.0f, 1.0f, 200u + len);
                TestArray x(xs, offset);
                TestArray y(ys, (offset + 8) % 32);
                TestArray d(ds, (offset + 20) % 32);
                ASSERT_EQ(c.call(x.Data(), y.Data(), d.Data(), len), StatusOk);
                const TestArray& out = c.inPlace ? y : d;
                for (int32_t i = 0; i < len; ++i) {
                    ASSERT_EQ(out.BitsAt(i), Bits(c.reference(xs[i], ys[i], ds[i])))
                        << "offset " << offset << " len " << len << " i " << i;
                }
            }
        }
    }
}

TEST_P(VectorArithmetic, SecondOperandIsTheLeftOne)
{
    TestArray a({1.0f}), b({5.0f}), dst({0.0f});
    ASSERT_EQ(Subtract(a.Data(), b.Data(), dst.Data(), 1), StatusOk);
    EXPECT_EQ(dst.Get(0), 4.0f);
    TestArray two({2.0f}), one({1.0f});
    ASSERT_EQ(Divide(two.Data(), one.Data(), dst.Data(), 1), StatusOk);
    EXPECT_EQ(dst.Get(0), 0.5f);
}

TEST_P(VectorArithmetic, DivideByZeroWritesFixedPatternsAndWarns)
{
    const float nan = FromBits(0x7FC00001u);
    TestArray a({0.0f, -0.0f, 0.0f, 0.0f, -0.0f, nan, 2.0f});
    TestArray b({1.0f, 1.0f, 0.0f, -3.0f, nan, 1.0f, 1.0f});
    TestArray dst(std::vector<float>(7, 0.0f));
    // The slot kernels write the invalid quotient without its sign bit.
    const uint32_t invalid = Generic() ? NAN_PATTERN : 0x7FC00000u;
    EXPECT_EQ(Divide(a.Data(), b.Data(), dst.Data(), 7), WarningDivideByZero);
    EXPECT_EQ(dst.BitsAt(0), PLUS_INF);
    EXPECT_EQ(dst.BitsAt(1), PLUS_INF);
    EXPECT_EQ(dst.BitsAt(2), invalid);
    EXPECT_EQ(dst.BitsAt(3), MINUS_INF);
    EXPECT_EQ(dst.BitsAt(4), invalid);
    EXPECT_TRUE(std::isnan(dst.Get(5)));  // a NaN divisor is not a zero divisor
    EXPECT_EQ(dst.Get(6), 0.5f);          // the warning stays after later regular elements
}

TEST_P(VectorArithmetic, DestinationMayBeAnOperand)
{
    TestArray a({1.0f, 2.0f, 3.0f}), b({10.0f, 20.0f, 30.0f});
    ASSERT_EQ(Add(a.Data(), b.Data(), a.Data(), 3), StatusOk);
    EXPECT_EQ(a.AllBits(), (std::vector<uint32_t>{Bits(11.0f), Bits(22.0f), Bits(33.0f)}));
}

// srcDst one element after the source: each step reads the element the previous step wrote,
// which turns a row of ones into running sums.
TEST_P(VectorArithmetic, AccumulateOverlappingSourceRunsElementByElement)
{
    const std::function<PrimitiveStatus(float*, float*, int32_t)> calls[] = {
        [](float* x, float* ones, int32_t n) { return MultiplyAccumulate(x, ones, x + 1, n); },
        [](float* x, float* ones, int32_t n) { return MultiplyAccumulate(ones, x, x + 1, n); },
        [](float* x, float*, int32_t n) { return MultiplyAccumulateByConstant(x, 1.0f, x + 1, n); },
    };
    // Arrays that overlap partly are outside the contract of the slot kernel of the constant form
    // (slots 1 to 3 run the generic body of the other).
    const size_t forms = Generic() ? 3 : 2;
    for (const auto& call : std::vector(calls, calls + forms)) {
        for (int32_t len : {5, 6, 7, 20}) {
            std::vector<float> row(len + 1, 1.0f);
            std::vector<float> ones(len, 1.0f);
            ASSERT_EQ(call(row.data(), ones.data(), len), StatusOk);
            for (int32_t i = 0; i <= len; ++i) {
                ASSERT_EQ(row[i], float(i + 1)) << "len " << len << " i " << i;
            }
        }
    }
}

TEST_P(VectorArithmetic, ElementwiseExtremesKeepDestinationOnTiesAndNaN)
{
    const float nan = FromBits(0x7FC00000u);
    struct Case {
        std::vector<float> src, srcDst;
        std::vector<uint32_t> minimum, maximum;
    };
    const Case cases[] = {
        {{nan, -0.0f}, {1.0f, 0.0f}, {Bits(1.0f), 0u}, {Bits(1.0f), 0u}},
        {{1.0f}, {nan}, {0x7FC00000u}, {0x7FC00000u}},
        {{0.0f, 2.0f, -5.0f}, {-0.0f, 1.0f, -4.0f}, {MINUS_ZERO, Bits(1.0f), Bits(-5.0f)},
         {MINUS_ZERO, Bits(2.0f), Bits(-4.0f)}},
    };
    for (const auto& c : cases) {
        const auto n = static_cast<int32_t>(c.src.size());
        TestArray src(c.src), lo(c.srcDst), hi(c.srcDst, 2);
        ASSERT_EQ(ElementwiseMinimumInPlace(src.Data(), lo.Data(), n), StatusOk);
        ASSERT_EQ(ElementwiseMaximumInPlace(src.Data(), hi.Data(), n), StatusOk);
        EXPECT_EQ(lo.AllBits(), c.minimum);
        EXPECT_EQ(hi.AllBits(), c.maximum);
    }
}

TEST_P(VectorArithmetic, AlignedFloatBlocksComeFromThePool)
{
    const uint64_t serial = platform::PoolCurrentSerial();
    EXPECT_EQ(AllocateFloatAligned(0), nullptr);
    EXPECT_EQ(AllocateFloatAligned(-3), nullptr);
    // A byte count beyond the 32-bit Allocate hook is refused, never truncated.
    EXPECT_EQ(AllocateFloatAligned(INT32_MAX), nullptr);
    EXPECT_EQ(AllocateFloatAligned(1 << 30), nullptr);
    EXPECT_EQ(platform::PoolCurrentSerial(), serial) << "nothing may be allocated for these";

    for (int32_t len : {1, 3, 100}) {
        float* block = AllocateFloatAligned(len);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 32, 0u);
        void* raw = reinterpret_cast<AlignedBlockHeader*>(block)[-1].pRaw;
        ULONG tag = 0;
        POOL_TYPE type{};
        SIZE_T size = 0;
        ASSERT_TRUE(platform::PoolQueryBlock(raw, &tag, &type, &size));
        EXPECT_EQ(tag, MakePoolTag("KVX "));
        EXPECT_EQ(type, NonPagedPoolNx);
        EXPECT_EQ(size, static_cast<SIZE_T>(len) * 4 + 40);
        const auto rawAddress = reinterpret_cast<uintptr_t>(raw);
        EXPECT_GE(reinterpret_cast<uintptr_t>(block), rawAddress + 8);
        EXPECT_LE(reinterpret_cast<uintptr_t>(block + len), rawAddress + size);
        FreeAligned(block);
    }
    EXPECT_EQ(platform::PoolLiveSince(serial), 0u);

    platform::PoolFailNextWithTag(MakePoolTag("KVX "));
    EXPECT_EQ(AllocateFloatAligned(16), nullptr);
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(VectorArithmetic);

}  // namespace
