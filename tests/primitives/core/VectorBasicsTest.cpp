#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cmath>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/core/VectorBasics.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace {

// Run once per dispatch slot, through the public entry points.
class VectorBasicsEverySlot : public coretest::ForcedSlotTest {};
KVX_INSTANTIATE_FOR_EVERY_SLOT(VectorBasicsEverySlot);

using coretest::Bits;
using coretest::FromBits;
using coretest::GuardedWords;

const float kNan = FromBits(0x7FC01234u);
const float kSignallingNan = FromBits(0xFF800001u);
const float kInf = FromBits(0x7F800000u);
const float kSubnormal = FromBits(1u);

std::vector<float> SpecialValues()
{
    return {0.0f, -0.0f, 1.0f, -3.5f, kNan, kSignallingNan, kInf, -kInf, kSubnormal, 1e30f, -7.25e-20f};
}

TEST_P(VectorBasicsEverySlot, ZeroCopyAndFillTouchExactlyTheirRange)
{
    // Every length from 1 to 70 at every 4-byte offset within 16 bytes, for the block and tail
    // handling of the byte and word routines.
    for (size_t offset = 0; offset < 16; offset += 4) {
        for (int32_t len = 1; len <= 70; ++len) {
            std::vector<float> src = coretest::MixedFloats(static_cast<size_t>(len), static_cast<uint32_t>(len));
            GuardedWords zero(static_cast<size_t>(len), offset);
            memset(zero.Bytes(), 0xEE, static_cast<size_t>(len) * 4);
            ASSERT_EQ(ZeroFloat(zero.Floats(), len), StatusOk);
            GuardedWords copy(static_cast<size_t>(len), offset);
            ASSERT_EQ(CopyFloat(src.data(), copy.Floats(), len), StatusOk);
            GuardedWords fill(static_cast<size_t>(len), offset);
            ASSERT_EQ(FillInt32(-123456, fill.Ints(), len), StatusOk);
            for (int32_t i = 0; i < len; ++i) {
                ASSERT_EQ(Bits(zero.Floats()[i]), 0u) << len;
                ASSERT_EQ(Bits(copy.Floats()[i]), Bits(src[static_cast<size_t>(i)])) << len;
                ASSERT_EQ(fill.Ints()[i], -123456) << len;
            }
            ASSERT_TRUE(zero.GuardsIntact() && copy.GuardsIntact() && fill.GuardsIntact()) << len << " @" << offset;
        }
    }
}

TEST_P(VectorBasicsEverySlot, MoveFloatHandlesOverlapBothWays)
{
    for (int32_t shift : {1, 2, 3, 5, 8, 40}) {
        for (int32_t len : {1, 2, 6, 7, 33, 100}) {
            const size_t total = static_cast<size_t>(len + shift);
            std::vector<float> original = coretest::MixedFloats(total, static_cast<uint32_t>(len * 31 + shift));
            std::vector<float> up = original;
            ASSERT_EQ(MoveFloat(up.data(), up.data() + shift, len), StatusOk);
            std::vector<float> down = original;
            ASSERT_EQ(MoveFloat(down.data() + shift, down.data(), len), StatusOk);
            for (size_t i = 0; i < total; ++i) {
                size_t s = static_cast<size_t>(shift);
                uint32_t expectUp = i >= s && i < s + static_cast<size_t>(len) ? Bits(original[i - s]) : Bits(original[i]);
                uint32_t expectDown = i < static_cast<size_t>(len) ? Bits(original[i + s]) : Bits(original[i]);
                ASSERT_EQ(Bits(up[i]), expectUp) << "up shift " << shift << " len " << len << " at " << i;
                ASSERT_EQ(Bits(down[i]), expectDown) << "down shift " << shift << " len " << len << " at " << i;
            }
        }
    }
    std::vector<float> same = {1, 2, 3};
    EXPECT_EQ(MoveFloat(same.data(), same.data(), 3), StatusOk);
    EXPECT_EQ(same, (std::vector<float>{1, 2, 3}));
}

TEST(VectorBasics, FillInt32At16kPlus4WritesExactlyThirteenWords)
{
    GuardedWords words(13, 4);
    EXPECT_EQ(FillInt32(0x7F00FF01, words.Ints(), 13), StatusOk);
    for (int i = 0; i < 13; ++i) {
        EXPECT_EQ(words.Ints()[i], 0x7F00FF01);
    }
    EXPECT_TRUE(words.GuardsIntact());
    EXPECT_EQ(FillInt32(1, nullptr, 0), StatusNullPointer);
    EXPECT_EQ(FillInt32(1, words.Ints(), 0), StatusSizeError);
}

// Equal bit for bit, except that any NaN matches any NaN: which operand's payload an operation
// with two NaNs keeps is up to the instruction the compiler picks.
::testing::AssertionResult SameFloat(float actual, float expected)
{
    if (Bits(actual) == Bits(expected) || (std::isnan(actual) && std::isnan(expected))) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << std::hex << Bits(actual) << " != " << Bits(expected);
}

// Element-wise arithmetic against a plain loop, bit for bit, over values of every kind.
TEST(VectorBasics, ArithmeticMatchesAnElementLoop)
{
    const int32_t len = 301;
    std::vector<float> a = coretest::MixedFloats(len, 1);
    std::vector<float> b = coretest::MixedFloats(len, 2);
    for (float c : {2.0f, -0.75f, 3.0f, 1e-12f, kInf, kNan, kSubnormal}) {
        std::vector<float> add = b, addConst = b, mulInPlace = b, mul(len), div(len), divInPlace = b;
        ASSERT_EQ(AddInPlace(a.data(), add.data(), len), StatusOk);
        ASSERT_EQ(AddConstantInPlace(c, addConst.data(), len), StatusOk);
        ASSERT_EQ(MultiplyByConstantInPlace(c, mulInPlace.data(), len), StatusOk);
        ASSERT_EQ(MultiplyByConstant(a.data(), c, mul.data(), len), StatusOk);
        ASSERT_EQ(DivideByConstant(a.data(), c, div.data(), len), StatusOk);
        ASSERT_EQ(DivideByConstantInPlace(c, divInPlace.data(), len), StatusOk);
        // Division multiplies by the reciprocal, whose special values 0 and 1 clear or copy.
        const float reciprocal = 1.0f / c;
        auto divided = [reciprocal](float x) { return reciprocal == 0.0f ? 0.0f : x * reciprocal; };
        for (size_t i = 0; i < static_cast<size_t>(len); ++i) {
            ASSERT_TRUE(SameFloat(add[i], a[i] + b[i]));
            ASSERT_TRUE(SameFloat(addConst[i], b[i] + c)) << c;
            ASSERT_TRUE(SameFloat(mulInPlace[i], b[i] * c)) << c;
            ASSERT_TRUE(SameFloat(mul[i], a[i] * c)) << c;
            ASSERT_TRUE(SameFloat(div[i], divided(a[i]))) << c;
            ASSERT_TRUE(SameFloat(divInPlace[i], divided(b[i]))) << c;
        }
    }
}

TEST_P(VectorBasicsEverySlot, SpecialConstants)
{
    const std::vector<float> values = SpecialValues();
    const int32_t len = static_cast<int32_t>(values.size());
    auto allBits = [](const std::vector<float>& v, uint32_t bits) {
        for (float f : v) {
            if (Bits(f) != bits) {
                return false;
            }
        }
        return true;
    };

    // Multiplying by either zero clears to +0.0, NaN and infinities included.
    for (float zero : {0.0f, -0.0f}) {
        std::vector<float> inPlace = values, out(values.size(), 5.0f);
        EXPECT_EQ(MultiplyByConstantInPlace(zero, inPlace.data(), len), StatusOk);
        EXPECT_EQ(MultiplyByConstant(values.data(), zero, out.data(), len), StatusOk);
        EXPECT_TRUE(allBits(inPlace, 0u));
        EXPECT_TRUE(allBits(out, 0u));
    }
    // Multiplying by 1.0 is a bit-exact copy (or no write at all), NaN payloads included.
    std::vector<float> ones = values, copy(values.size());
    EXPECT_EQ(MultiplyByConstantInPlace(1.0f, ones.data(), len), StatusOk);
    EXPECT_EQ(MultiplyByConstant(values.data(), 1.0f, copy.data(), len), StatusOk);
    EXPECT_EQ(0, memcmp(ones.data(), values.data(), values.size() * 4));
    EXPECT_EQ(0, memcmp(copy.data(), values.data(), values.size() * 4));
    // Adding -0.0 writes nothing: a -0.0 element stays -0.0.
    std::vector<float> added = values;
    EXPECT_EQ(AddConstantInPlace(-0.0f, added.data(), len), StatusOk);
    EXPECT_EQ(0, memcmp(added.data(), values.data(), values.size() * 4));
    // A NaN constant is neither 0 nor 1.
    std::vector<float> nanMul = values, nanAdd = values;
    EXPECT_EQ(MultiplyByConstantInPlace(kNan, nanMul.data(), len), StatusOk);
    EXPECT_EQ(AddConstantInPlace(kNan, nanAdd.data(), len), StatusOk);
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_TRUE(std::isnan(nanMul[i]) && std::isnan(nanAdd[i])) << i;
    }
    // Dividing by +infinity multiplies by +0.0: every element, NaN included, becomes +0.0.
    std::vector<float> byInf = values;
    EXPECT_EQ(DivideByConstantInPlace(kInf, byInf.data(), len), StatusOk);
    EXPECT_TRUE(allBits(byInf, 0u));
    // Dividing by the smallest subnormal: the reciprocal overflows to infinity.
    std::vector<float> bySub(values.size());
    EXPECT_EQ(DivideByConstant(values.data(), kSubnormal, bySub.data(), len), StatusOk);
    EXPECT_EQ(Bits(bySub[2]), Bits(kInf));
    EXPECT_EQ(Bits(bySub[3]), Bits(-kInf));
    EXPECT_TRUE(std::isnan(bySub[0]) && std::isnan(bySub[1]));
    // Dividing by 3 multiplies by the float nearest 1/3, which can differ from a true division.
    const float third = 1.0f / 3.0f;
    bool differs = false;
    for (int i = 1; i < 200; ++i) {
        float v = static_cast<float>(i) * 0.37f;
        float out = 0;
        ASSERT_EQ(DivideByConstant(&v, 3.0f, &out, 1), StatusOk);
        ASSERT_EQ(Bits(out), Bits(v * third));
        differs |= Bits(out) != Bits(v / 3.0f);
    }
    EXPECT_TRUE(differs);
}

TEST_P(VectorBasicsEverySlot, DivideByZeroAndArgumentOrder)
{
    std::vector<float> src = {1, 2, 3}, dst = {7, 8, 9};
    EXPECT_EQ(DivideByConstant(src.data(), 0.0f, dst.data(), 3), StatusDivideByZero);
    EXPECT_EQ(DivideByConstant(src.data(), -0.0f, dst.data(), 3), StatusDivideByZero);
    EXPECT_EQ(DivideByConstantInPlace(-0.0f, dst.data(), 3), StatusDivideByZero);
    EXPECT_EQ(DivideByConstant(nullptr, 0.0f, dst.data(), 0), StatusNullPointer);
    EXPECT_EQ(DivideByConstant(src.data(), 0.0f, dst.data(), 0), StatusSizeError);
    EXPECT_EQ(dst, (std::vector<float>{7, 8, 9}));

    GuardedWords one(1);
    one.Floats()[0] = 5.0f;
    EXPECT_EQ(ZeroFloat(one.Floats(), 1), StatusOk);
    EXPECT_EQ(Bits(one.Floats()[0]), 0u);
    EXPECT_TRUE(one.GuardsIntact());
}

// Buffers of 2^29 floats and more: the byte counts no longer fit 32 bits, and the work must still
// be done (not reported as success with nothing done).
class HugeBuffer {
public:
    explicit HugeBuffer(size_t floats) : m_bytes(floats * sizeof(float))
    {
        m_p = mmap(nullptr, m_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (m_p != MAP_FAILED) {
            madvise(m_p, m_bytes, MADV_HUGEPAGE);  // far fewer page faults where available
        }
    }
    ~HugeBuffer()
    {
        if (m_p != MAP_FAILED) {
            munmap(m_p, m_bytes);
        }
    }
    float* Floats() const { return m_p == MAP_FAILED ? nullptr : static_cast<float*>(m_p); }

private:
    size_t m_bytes;
    void* m_p;
};

TEST(VectorBasics, LengthsOfTwoToThe29AndMoreDoTheirWork)
{
    // One buffer receives every write, so that only it is ever backed by memory; the copy source
    // is read-only apart from its two ends.
    const int32_t len = 1 << 29;
    const size_t last = static_cast<size_t>(len) - 1;
    HugeBuffer target(static_cast<size_t>(len) + 1);
    HugeBuffer source(static_cast<size_t>(len));
    float* p = target.Floats();
    float* src = source.Floats();
    ASSERT_NE(p, nullptr);
    ASSERT_NE(src, nullptr);

    p[0] = 1.0f;
    p[last] = 2.0f;
    p[last + 1] = 7.0f;
    EXPECT_EQ(ZeroFloat(p, len), StatusOk);
    EXPECT_EQ(p[0], 0.0f);
    EXPECT_EQ(p[last], 0.0f);
    EXPECT_EQ(p[last + 1], 7.0f);

    p[0] = 5.0f;
    p[last] = 6.0f;
    EXPECT_EQ(MoveFloat(p, p + 1, len), StatusOk);
    EXPECT_EQ(p[1], 5.0f);
    EXPECT_EQ(p[last + 1], 6.0f);

    src[0] = 3.0f;
    src[last] = 4.0f;
    EXPECT_EQ(CopyFloat(src, p, len), StatusOk);
    EXPECT_EQ(p[0], 3.0f);
    EXPECT_EQ(p[1], 0.0f);
    EXPECT_EQ(p[last], 4.0f);
}

}  // namespace
