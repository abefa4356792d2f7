// The processor-specific bodies of the element-wise vector entries against the generic bodies:
// every output bit, the status and nothing written outside, over lengths, byte offsets, arrays
// that are separate or identical, and data with every kind of float. Beside them: arrays flush
// against inaccessible pages, the caller's floating-point modes, and the tables themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>
#include <xmmintrin.h>

#include "primitives/core/Dispatch.h"
#include "primitives/vector/VectorArithmetic.h"
#include "primitives/vector/VectorReductions.h"
#include "primitives/vector/VectorSlots.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace {

using coretest::Bits;
using coretest::FromBits;
using coretest::GuardedWords;

// One element-wise entry: the public entry point (dispatched to the forced slot) and its generic
// body, over inputs a and b and the destination (srcDst for the in-place entries).
struct Entry {
    const char* name;
    int inputs;         // array inputs besides the destination: 0, 1 (a) or 2 (a, b)
    bool dstIsOperand;  // the destination's old value is an operand
    bool eitherNan;     // a lane with two NaN operands may carry either payload
    std::function<PrimitiveStatus(bool generic, const float* a, const float* b, float* dst, int32_t n)> call;
};

const float kConstant = 0.3f;

std::vector<Entry> Entries()
{
    return {
        {"FillFloat", 1, false, false,
         [](bool g, const float* a, const float*, float* d, int32_t n) {
             float value;
             memcpy(&value, a, 4);  // the first source element, payloads and all
             return g ? FillFloatGeneric(value, d, n) : FillFloat(value, d, n);
         }},
        {"AbsoluteInPlace", 0, true, false,
         [](bool g, const float*, const float*, float* d, int32_t n) {
             return g ? AbsoluteInPlaceGeneric(d, n) : AbsoluteInPlace(d, n);
         }},
        {"ReverseCopy", 1, false, false,
         [](bool g, const float* a, const float*, float* d, int32_t n) {
             return g ? ReverseCopyGeneric(a, d, n) : ReverseCopy(a, d, n);
         }},
        {"Add", 2, false, true,
         [](bool g, const float* a, const float* b, float* d, int32_t n) {
             return g ? AddGeneric(a, b, d, n) : Add(a, b, d, n);
         }},
        {"Subtract", 2, false, false,
         [](bool g, const float* a, const float* b, float* d, int32_t n) {
             return g ? SubtractGeneric(a, b, d, n) : Subtract(a, b, d, n);
         }},
        {"Multiply", 2, false, true,
         [](bool g, const float* a, const float* b, float* d, int32_t n) {
             return g ? MultiplyGeneric(a, b, d, n) : Multiply(a, b, d, n);
         }},
        {"MultiplyInPlace", 1, true, true,
         [](bool g, const float* a, const float*, float* d, int32_t n) {
             return g ? MultiplyInPlaceGeneric(a, d, n) : MultiplyInPlace(a, d, n);
         }},
        // The generic body's sum of a NaN product and a NaN element may carry either payload too: the
        // compiler is free to order the operands of its addition.
        {"MultiplyAccumulateByConstant", 1, true, true,
         [](bool g, const float* a, const float*, float* d, int32_t n) {
             return g ? MultiplyAccumulateByConstantGeneric(a, kConstant, d, n)
                      : MultiplyAccumulateByConstant(a, kConstant, d, n);
         }},
        {"MultiplyAccumulateBySubnormal", 1, true, true,
         [](bool g, const float* a, const float*, float* d, int32_t n) {
             const float c = FromBits(0x80000123u);
             return g ? MultiplyAccumulateByConstantGeneric(a, c, d, n) : MultiplyAccumulateByConstant(a, c, d, n);
         }},
        {"Square", 1, false, false,
         [](bool g, const float* a, const float*, float* d, int32_t n) {
             return g ? SquareGeneric(a, d, n) : Square(a, d, n);
         }},
        {"ElementwiseMinimumInPlace", 1, true, false,
         [](bool g, const float* a, const float*, float* d, int32_t n) {
             return g ? ElementwiseMinimumInPlaceGeneric(a, d, n) : ElementwiseMinimumInPlace(a, d, n);
         }},
        {"ElementwiseMaximumInPlace", 1, true, false,
         [](bool g, const float* a, const float*, float* d, int32_t n) {
             return g ? ElementwiseMaximumInPlaceGeneric(a, d, n) : ElementwiseMaximumInPlace(a, d, n);
         }},
    };
}

// How the arrays of one call relate: apart, or the destination the same array as an input.
enum class Sharing { Apart, DstIsA, DstIsB, AllOne };

struct Scene {
    int32_t len;
    size_t offsetA, offsetB, offsetDst;
    Sharing sharing;
};

std::string Describe(const Scene& s)
{
    static const char* const names[] = {"apart", "dst=a", "dst=b", "a=b=dst"};
    return " len " + std::to_string(s.len) + " offsets " + std::to_string(s.offsetA) + "/" + std::to_string(s.offsetB) +
           "/" + std::to_string(s.offsetDst) + " " + names[static_cast<int>(s.sharing)];
}

bool Applies(const Entry& e, Sharing sharing)
{
    switch (sharing) {
    case Sharing::Apart:
        return true;
    case Sharing::DstIsA:
        // A reversal in place is outside the kernels' contract.
        return e.inputs >= 1 && std::string(e.name) != "ReverseCopy" && std::string(e.name) != "FillFloat";
    case Sharing::DstIsB:
    case Sharing::AllOne:
        return e.inputs == 2;
    }
    return false;
}

// Data of every kind, the same for every call of a test so that large lengths cost one draw.
const std::vector<float>& Pool(int which)
{
    static const std::vector<float> pools[3] = {coretest::MixedFloats(100000, 11), coretest::MixedFloats(100000, 22),
                                                coretest::MixedFloats(100000, 33)};
    return pools[which];
}

bool IsNan(uint32_t bits)
{
    return (bits & 0x7FFFFFFFu) > 0x7F800000u;
}

// Runs the generic body and the forced slot's body on equal arrays and compares everything the two
// calls wrote, guards included. Returns false after reporting a difference.
bool CompareScene(const Entry& e, const Scene& s)
{
    const size_t n = static_cast<size_t>(s.len);
    const size_t start = (static_cast<size_t>(s.len) * 7) % 1000;  // vary the data window
    struct Arrays {
        GuardedWords a, b, dst;
        float* pa;
        float* pb;
        float* pd;
        Arrays(const Scene& s, size_t n, size_t start)
            : a(n, s.offsetA), b(n, s.offsetB), dst(n, s.offsetDst)
        {
            memcpy(a.Floats(), Pool(0).data() + start, 4 * n);
            memcpy(b.Floats(), Pool(1).data() + start, 4 * n);
            memcpy(dst.Floats(), Pool(2).data() + start, 4 * n);
            pa = a.Floats();
            pb = b.Floats();
            pd = dst.Floats();
            switch (s.sharing) {
            case Sharing::Apart:
                break;
            case Sharing::DstIsA:
                pd = pa;
                break;
            case Sharing::DstIsB:
                pd = pb;
                break;
            case Sharing::AllOne:
                pb = pa;
                pd = pa;
                break;
            }
        }
    };
    Arrays generic(s, n, start);
    Arrays slot(s, n, start);
    const PrimitiveStatus g = e.call(true, generic.pa, generic.pb, generic.pd, s.len);
    const PrimitiveStatus v = e.call(false, slot.pa, slot.pb, slot.pd, s.len);
    if (g != v) {
        ADD_FAILURE() << e.name << Describe(s) << ": status " << v << ", generic " << g;
        return false;
    }
    GuardedWords* const arrays[2][3] = {{&generic.a, &generic.b, &generic.dst}, {&slot.a, &slot.b, &slot.dst}};
    for (int k = 0; k < 3; ++k) {
        if (!arrays[1][k]->GuardsIntact()) {
            ADD_FAILURE() << e.name << Describe(s) << ": written outside array " << k;
            return false;
        }
        if (memcmp(arrays[0][k]->Floats(), arrays[1][k]->Floats(), 4 * n) == 0) {
            continue;
        }
        const bool written = arrays[0][k]->Floats() == generic.pd;
        const Arrays before(s, n, start);
        for (size_t i = 0; i < n; ++i) {
            uint32_t want;
            uint32_t got;
            uint32_t left;
            uint32_t right;
            memcpy(&want, arrays[0][k]->Floats() + i, 4);
            memcpy(&got, arrays[1][k]->Floats() + i, 4);
            memcpy(&left, before.pa + i, 4);
            memcpy(&right, (e.inputs == 2 ? before.pb : before.pd) + i, 4);
            if (want == got || (written && e.eitherNan && IsNan(left) && IsNan(right) && IsNan(got))) {
                continue;
            }
            ADD_FAILURE() << e.name << Describe(s) << ": array " << k << " element " << i << " is " << std::hex << got
                          << ", generic " << want;
            return false;
        }
    }
    return true;
}

class VectorSlotBodies : public coretest::ForcedSlotTest {};

TEST_P(VectorSlotBodies, MatchTheGenericBodiesAtEveryLengthAndAlignment)
{
    for (const Entry& e : Entries()) {
        for (int32_t len = 1; len <= 70; ++len) {
            for (size_t o = 0; o < 16; ++o) {
                const Scene rotations[] = {
                    {len, o, (o * 5 + 3) % 16, (o * 7 + 9) % 16, Sharing::Apart},
                    {len, (o * 3 + 1) % 16, o, (o * 11 + 4) % 16, Sharing::Apart},
                    {len, o, o, o, Sharing::Apart},
                    {len, o, (o + 8) % 16, o, Sharing::DstIsA},
                    {len, (o + 4) % 16, o, o, Sharing::DstIsB},
                    {len, o, o, o, Sharing::AllOne},
                };
                for (const Scene& s : rotations) {
                    if (Applies(e, s.sharing) && !CompareScene(e, s)) {
                        return;
                    }
                }
            }
        }
    }
}

// Around the lengths where the kernels change their stores (non-temporal above 87383 elements
// after the peel to the destination's 16-byte boundary) and the chunk length of the sums.
TEST_P(VectorSlotBodies, MatchTheGenericBodiesAtLargeLengths)
{
    for (const Entry& e : Entries()) {
        // Only addition and subtraction change their stores at a length.
        const bool threshold = std::string(e.name) == "Add" || std::string(e.name) == "Subtract";
        for (size_t o : {0, 4, 12, 2}) {
            const int32_t peel = o % 4 == 0 ? static_cast<int32_t>((16 - o) % 16 / 4) : 0;
            for (int32_t len : {threshold ? 87383 + peel : 0, threshold ? 87384 + peel : 0, o == 0 ? 32768 : 32771}) {
                if (len == 0) {
                    continue;
                }
                const Scene scenes[] = {{len, (o + 4) % 16, (o + 8) % 16, o, Sharing::Apart},
                                        {len, o, o, o, Sharing::DstIsA}};
                for (const Scene& s : scenes) {
                    if (Applies(e, s.sharing) && !CompareScene(e, s)) {
                        return;
                    }
                }
            }
        }
    }
}

// ---- every body: inaccessible neighbours, the caller's floating-point modes ----

// Every slot body of the family over up to two source arrays and one destination (for the
// reductions a separate output).
struct Body {
    const char* name;
    std::function<PrimitiveStatus(const float* a, const float* b, float* dst, int32_t n)> call;
};

std::vector<Body> Bodies()
{
    return {
        {"FillFloat", [](const float*, const float*, float* d, int32_t n) { return FillFloat(-1.5f, d, n); }},
        {"AbsoluteInPlace", [](const float*, const float*, float* d, int32_t n) { return AbsoluteInPlace(d, n); }},
        {"ReverseCopy", [](const float* a, const float*, float* d, int32_t n) { return ReverseCopy(a, d, n); }},
        {"Add", [](const float* a, const float* b, float* d, int32_t n) { return Add(a, b, d, n); }},
        {"Subtract", [](const float* a, const float* b, float* d, int32_t n) { return Subtract(a, b, d, n); }},
        {"Multiply", [](const float* a, const float* b, float* d, int32_t n) { return Multiply(a, b, d, n); }},
        {"MultiplyInPlace", [](const float* a, const float*, float* d, int32_t n) { return MultiplyInPlace(a, d, n); }},
        {"MultiplyAccumulateByConstant",
         [](const float* a, const float*, float* d, int32_t n) { return MultiplyAccumulateByConstant(a, 0.5f, d, n); }},
        {"Square", [](const float* a, const float*, float* d, int32_t n) { return Square(a, d, n); }},
        {"Divide", [](const float* a, const float* b, float* d, int32_t n) { return Divide(a, b, d, n); }},
        {"ElementwiseMinimumInPlace",
         [](const float* a, const float*, float* d, int32_t n) { return ElementwiseMinimumInPlace(a, d, n); }},
        {"ElementwiseMaximumInPlace",
         [](const float* a, const float*, float* d, int32_t n) { return ElementwiseMaximumInPlace(a, d, n); }},
        {"Maximum", [](const float* a, const float*, float* d, int32_t n) { return Maximum(a, n, d); }},
        {"Minimum", [](const float* a, const float*, float* d, int32_t n) { return Minimum(a, n, d); }},
        {"Sum", [](const float* a, const float*, float* d, int32_t n) { return Sum(a, n, d, 0); }},
        {"SumChunked", [](const float* a, const float*, float* d, int32_t n) { return Sum(a, n, d, 1); }},
        {"Mean", [](const float* a, const float*, float* d, int32_t n) { return Mean(a, n, d, 0); }},
        {"MeanChunked", [](const float* a, const float*, float* d, int32_t n) { return Mean(a, n, d, 1); }},
        {"DotProduct", [](const float* a, const float* b, float* d, int32_t n) { return DotProduct(a, b, n, d); }},
    };
}

// Each array alone on a page between two inaccessible ones, its first byte slack bytes after the
// page start or its last byte slack bytes before the page end: a kernel that reads or writes a
// byte beyond either end faults there. Over the lengths, every 16-byte phase of the flush end.
TEST_P(VectorSlotBodies, StayInsideArraysFlushAgainstInaccessiblePages)
{
    coretest::GuardedPage pages[3];
    std::vector<int32_t> lengths;
    for (int32_t n = 1; n <= 40; ++n) {
        lengths.push_back(n);
    }
    for (int32_t n : {64, 100, 257, 1000}) {
        lengths.push_back(n);
    }
    for (const Body& body : Bodies()) {
        for (int32_t n : lengths) {
            for (size_t slack = 0; slack < 4; ++slack) {
                for (bool atEnd : {false, true}) {
                    float* p[3];
                    for (int k = 0; k < 3; ++k) {
                        // The arrays sit at different phases of the two placements.
                        const bool end = k == 1 ? !atEnd : atEnd;
                        uint8_t* at = end ? pages[k].EndMinus(4 * static_cast<size_t>(n) + slack) : pages[k].Start() + slack;
                        p[k] = reinterpret_cast<float*>(at);
                        for (int32_t i = 0; i < n; ++i) {
                            const float v = 0.5f + static_cast<float>(i % 13);
                            memcpy(at + 4 * i, &v, 4);
                        }
                    }
                    const PrimitiveStatus status = body.call(p[0], p[1], p[2], n);
                    ASSERT_TRUE(status == StatusOk || status == WarningDivideByZero) << body.name << " n " << n;
                }
            }
        }
    }
}

// Under the caller's rounding toward zero and flushing of subnormals, the arithmetic bodies still
// equal the generic ones computed under the same modes; no body changes the control bits.
TEST_P(VectorSlotBodies, FollowAndKeepTheCallersFloatingPointModes)
{
    const uint32_t saved = _mm_getcsr();
    const uint32_t modes[] = {0x1F80u | 0x6000u, 0x1F80u | 0x8040u, 0x1F80u | 0x6000u | 0x8040u, 0x1F80u | 0x2000u};
    const char* const arithmetic[] = {"Add", "Multiply", "MultiplyAccumulateByConstant", "MultiplyAccumulateBySubnormal",
                                      "Square"};
    for (uint32_t mode : modes) {
        _mm_setcsr(mode);
        for (const Entry& e : Entries()) {
            if (std::find_if(std::begin(arithmetic), std::end(arithmetic),
                             [&](const char* n) { return std::string(n) == e.name; }) == std::end(arithmetic)) {
                continue;
            }
            for (int32_t len : {1, 7, 11, 40, 333}) {
                for (size_t o : {0, 4, 8, 2}) {
                    if (!CompareScene(e, {len, (o + 4) % 16, o, o, Sharing::Apart})) {
                        _mm_setcsr(saved);
                        return;
                    }
                }
            }
        }
        std::vector<float> a(300, 1.25f), b(300, -3.0f), d(300, 0.0f);
        for (const Body& body : Bodies()) {
            for (int32_t n : {3, 300}) {
                body.call(a.data(), b.data(), d.data(), n);
                EXPECT_EQ(_mm_getcsr() & ~0x3Fu, mode & ~0x3Fu) << body.name << " under " << std::hex << mode;
            }
        }
    }
    _mm_setcsr(saved);
}

INSTANTIATE_TEST_SUITE_P(ProcessorSlots, VectorSlotBodies,
                         ::testing::Values(CpuTypeCode20, CpuTypeSsse3, CpuTypeSse41), coretest::SlotName);

// Each table row names the body of its slot: one per slot, or the slot-2 body in slot 3 where one
// body serves both, or the generic body everywhere.
TEST(VectorTables, EachSlotHoldsItsBody)
{
#define KVX_EXPECT_ROW(Name, S1, S2, S3)                                 \
    EXPECT_EQ(Name##DispatchTable.Slot[0], &Name##Generic) << #Name;    \
    EXPECT_EQ(Name##DispatchTable.Slot[1], &S1) << #Name;               \
    EXPECT_EQ(Name##DispatchTable.Slot[2], &S2) << #Name;               \
    EXPECT_EQ(Name##DispatchTable.Slot[3], &S3) << #Name;
#define KVX_EXPECT_SLOT_ROW(Name) \
    KVX_EXPECT_ROW(Name, Sse3Variant::Name##Sse3, Ssse3Variant::Name##Ssse3, Sse41Variant::Name##Sse41)
#define KVX_EXPECT_SHARED_ROW(Name) \
    KVX_EXPECT_ROW(Name, Sse3Variant::Name##Sse3, Ssse3Variant::Name##Ssse3, Ssse3Variant::Name##Ssse3)
    KVX_EXPECT_SLOT_ROW(FillFloat)
    KVX_EXPECT_SLOT_ROW(AbsoluteInPlace)
    KVX_EXPECT_SLOT_ROW(ReverseCopy)
    KVX_EXPECT_SLOT_ROW(Square)
    KVX_EXPECT_SLOT_ROW(Divide)
    KVX_EXPECT_SLOT_ROW(ElementwiseMinimumInPlace)
    KVX_EXPECT_SLOT_ROW(ElementwiseMaximumInPlace)
    KVX_EXPECT_SLOT_ROW(Maximum)
    KVX_EXPECT_SLOT_ROW(Minimum)
    KVX_EXPECT_SLOT_ROW(Sum)
    KVX_EXPECT_SLOT_ROW(Mean)
    KVX_EXPECT_SLOT_ROW(DotProduct)
    KVX_EXPECT_SHARED_ROW(MultiplyInPlace)
    KVX_EXPECT_SHARED_ROW(Add)
    KVX_EXPECT_SHARED_ROW(Subtract)
    KVX_EXPECT_SHARED_ROW(Multiply)
    KVX_EXPECT_SHARED_ROW(MultiplyAccumulateByConstant)
    KVX_EXPECT_ROW(MultiplyAccumulate, MultiplyAccumulateGeneric, MultiplyAccumulateGeneric, MultiplyAccumulateGeneric)
    KVX_EXPECT_ROW(AllocateFloatAligned, AllocateFloatAlignedGeneric, AllocateFloatAlignedGeneric,
                   AllocateFloatAlignedGeneric)
#undef KVX_EXPECT_SHARED_ROW
#undef KVX_EXPECT_SLOT_ROW
#undef KVX_EXPECT_ROW
}

}  // namespace
