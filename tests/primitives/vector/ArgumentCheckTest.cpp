// The argument tests of every status-returning vector and math entry under every slot: pointers in
// argument order first (even with a bad length), then the length; a failed test writes nothing.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "primitives/Primitives.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/vector/VectorTestSupport.h"

namespace {

class VectorArguments : public coretest::ForcedSlotTest {};

using vectest::TestArray;

struct EntryCase {
    std::string name;
    int pointers;  // float pointer arguments, in argument order
    std::function<PrimitiveStatus(float* const* p, int32_t len)> call;
};

std::vector<EntryCase> AllEntries()
{
    return {
        {"FillFloat", 1, [](float* const* p, int32_t n) { return FillFloat(1.0f, p[0], n); }},
        {"SquareRootInPlace", 1, [](float* const* p, int32_t n) { return SquareRootInPlace(p[0], n); }},
        {"AbsoluteInPlace", 1, [](float* const* p, int32_t n) { return AbsoluteInPlace(p[0], n); }},
        {"ExponentialInPlace", 1, [](float* const* p, int32_t n) { return ExponentialInPlace(p[0], n); }},
        {"NaturalLogInPlace", 1, [](float* const* p, int32_t n) { return NaturalLogInPlace(p[0], n); }},
        {"ReverseCopy", 2, [](float* const* p, int32_t n) { return ReverseCopy(p[0], p[1], n); }},
        {"MultiplyInPlace", 2, [](float* const* p, int32_t n) { return MultiplyInPlace(p[0], p[1], n); }},
        {"Square", 2, [](float* const* p, int32_t n) { return Square(p[0], p[1], n); }},
        {"ElementwiseMinimumInPlace", 2,
         [](float* const* p, int32_t n) { return ElementwiseMinimumInPlace(p[0], p[1], n); }},
        {"ElementwiseMaximumInPlace", 2,
         [](float* const* p, int32_t n) { return ElementwiseMaximumInPlace(p[0], p[1], n); }},
        {"MultiplyAccumulateByConstant", 2,
         [](float* const* p, int32_t n) { return MultiplyAccumulateByConstant(p[0], 2.0f, p[1], n); }},
        {"Add", 3, [](float* const* p, int32_t n) { return Add(p[0], p[1], p[2], n); }},
        {"Subtract", 3, [](float* const* p, int32_t n) { return Subtract(p[0], p[1], p[2], n); }},
        {"Multiply", 3, [](float* const* p, int32_t n) { return Multiply(p[0], p[1], p[2], n); }},
        {"MultiplyAccumulate", 3, [](float* const* p, int32_t n) { return MultiplyAccumulate(p[0], p[1], p[2], n); }},
        {"Divide", 3, [](float* const* p, int32_t n) { return Divide(p[0], p[1], p[2], n); }},
        {"Maximum", 2, [](float* const* p, int32_t n) { return Maximum(p[0], n, p[1]); }},
        {"Minimum", 2, [](float* const* p, int32_t n) { return Minimum(p[0], n, p[1]); }},
        {"Sum", 2, [](float* const* p, int32_t n) { return Sum(p[0], n, p[1], 1); }},
        {"Mean", 2, [](float* const* p, int32_t n) { return Mean(p[0], n, p[1], 0); }},
        {"DotProduct", 3, [](float* const* p, int32_t n) { return DotProduct(p[0], p[1], n, p[2]); }},
    };
}

TEST_P(VectorArguments, NullPointerComesBeforeLengthAndNothingIsWritten)
{
    // Arrays hold values every entry would change (negative, zero, non-integral).
    const std::vector<float> sentinel = {-2.5f, 0.0f, 3.25f, -0.0f, 7.0f};
    for (const auto& entry : AllEntries()) {
        SCOPED_TRACE(entry.name);
        std::vector<TestArray> arrays;
        for (int k = 0; k < 3; ++k) {
            arrays.emplace_back(sentinel);
        }
        const std::vector<uint32_t> before = arrays[0].AllBits();
        for (int nullAt = 0; nullAt < entry.pointers; ++nullAt) {
            for (int32_t len : {0, -1, 5}) {
                float* p[3] = {arrays[0].Data(), arrays[1].Data(), arrays[2].Data()};
                p[nullAt] = nullptr;
                EXPECT_EQ(entry.call(p, len), StatusNullPointer) << "null at " << nullAt << ", len " << len;
            }
        }
        for (int32_t len : {0, -1, INT32_MIN}) {
            float* p[3] = {arrays[0].Data(), arrays[1].Data(), arrays[2].Data()};
            EXPECT_EQ(entry.call(p, len), StatusSizeError) << "len " << len;
        }
        for (const auto& array : arrays) {
            EXPECT_EQ(array.AllBits(), before);
        }
    }
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(VectorArguments);

}  // namespace
