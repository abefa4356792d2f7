// The processor-specific bodies of the vector basics, interleaving and the power function against
// the generic ones, and the byte, word and fill kernels beneath them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "primitives/core/Dispatch.h"
#include "primitives/core/Interleave.h"
#include "primitives/core/Power.h"
#include "primitives/core/SlotVariants.h"
#include "primitives/core/VectorBasics.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace {

using coretest::FromBits;

constexpr uint8_t kFill = 0xA5;
constexpr size_t kPad = 32;

struct Region {
    std::vector<uint8_t> storage;
    uint8_t* data;
    Region(size_t bytes, size_t offset) : storage(bytes + 2 * kPad + 128, kFill)
    {
        auto base = reinterpret_cast<uintptr_t>(storage.data()) + kPad;
        data = reinterpret_cast<uint8_t*>((base + 63) & ~uintptr_t{63}) + offset;
    }
    float* Floats() { return reinterpret_cast<float*>(data); }
};

std::vector<int32_t> Lengths()
{
    std::vector<int32_t> v;
    for (int32_t n = 1; n <= 70; ++n) {
        v.push_back(n);
    }
    for (int32_t n : {127, 128, 129, 1000, 4099}) {
        v.push_back(n);
    }
    return v;
}

// A body of one slot, per entry point, over a source region a and a destination region b of len
// floats each; the entries with one buffer work on b.
struct BodyCase {
    const char* name;
    std::function<PrimitiveStatus(int slot, const float* a, float* b, int32_t len)> call;
};

std::vector<BodyCase> BodyCases()
{
    return {
        {"ZeroFloat", [](int k, const float*, float* b, int32_t n) { return ZeroFloatDispatchTable.Slot[k](b, n); }},
        {"CopyFloat",
         [](int k, const float* a, float* b, int32_t n) { return CopyFloatDispatchTable.Slot[k](a, b, n); }},
        {"MoveFloat",
         [](int k, const float* a, float* b, int32_t n) { return MoveFloatDispatchTable.Slot[k](a, b, n); }},
        {"AddInPlace",
         [](int k, const float* a, float* b, int32_t n) { return AddInPlaceDispatchTable.Slot[k](a, b, n); }},
        {"AddConstantInPlace",
         [](int k, const float*, float* b, int32_t n) { return AddConstantInPlaceDispatchTable.Slot[k](0.75f, b, n); }},
        {"AddConstantInPlace0",
         [](int k, const float*, float* b, int32_t n) { return AddConstantInPlaceDispatchTable.Slot[k](-0.0f, b, n); }},
        {"MultiplyByConstantInPlace",
         [](int k, const float*, float* b, int32_t n) {
             return MultiplyByConstantInPlaceDispatchTable.Slot[k](-3.25f, b, n);
         }},
        {"MultiplyByConstantInPlace1",
         [](int k, const float*, float* b, int32_t n) {
             return MultiplyByConstantInPlaceDispatchTable.Slot[k](1.0f, b, n);
         }},
        {"MultiplyByConstantInPlace0",
         [](int k, const float*, float* b, int32_t n) {
             return MultiplyByConstantInPlaceDispatchTable.Slot[k](-0.0f, b, n);
         }},
        {"MultiplyByConstant",
         [](int k, const float* a, float* b, int32_t n) {
             return MultiplyByConstantDispatchTable.Slot[k](a, 1.0e-3f, b, n);
         }},
        {"MultiplyByConstant1",
         [](int k, const float* a, float* b, int32_t n) { return MultiplyByConstantDispatchTable.Slot[k](a, 1.0f, b, n); }},
        {"MultiplyByConstant0",
         [](int k, const float* a, float* b, int32_t n) { return MultiplyByConstantDispatchTable.Slot[k](a, 0.0f, b, n); }},
        {"DivideByConstantInPlace",
         [](int k, const float*, float* b, int32_t n) {
             return DivideByConstantInPlaceDispatchTable.Slot[k](3.0f, b, n);
         }},
        {"DivideByConstantInPlaceInf",
         [](int k, const float*, float* b, int32_t n) {
             return DivideByConstantInPlaceDispatchTable.Slot[k](__builtin_inff(), b, n);
         }},
        {"DivideByConstantInPlace0",
         [](int k, const float*, float* b, int32_t n) {
             return DivideByConstantInPlaceDispatchTable.Slot[k](-0.0f, b, n);
         }},
        {"RaiseToPower",
         [](int k, const float* a, float* b, int32_t n) { return RaiseToPowerDispatchTable.Slot[k](a, b, b, n); }},
        {"InterleaveTwo",
         [](int k, const float* a, float* b, int32_t n) {
             const float* ch[2] = {a, a + n / 2};
             return InterleaveChannelsDispatchTable.Slot[k](ch, 2, n / 2 > 0 ? n / 2 : 1, b);
         }},
        {"InterleaveThree",
         [](int k, const float* a, float* b, int32_t n) {
             const float* ch[3] = {a + 2 * (n / 3), a + n / 3, a};
             return InterleaveChannelsDispatchTable.Slot[k](ch, 3, n / 3 > 0 ? n / 3 : 1, b);
         }},
        {"DeinterleaveTwo",
         [](int k, const float* a, float* b, int32_t n) {
             float* ch[2] = {b + n / 2, b};
             return DeinterleaveChannelsDispatchTable.Slot[k](a, 2, n / 2 > 0 ? n / 2 : 1, ch);
         }},
        {"DeinterleaveFive",
         [](int k, const float* a, float* b, int32_t n) {
             const int32_t frames = n / 5 > 0 ? n / 5 : 1;
             float* ch[5] = {b, b + frames, b + 2 * frames, b + 3 * frames, b + 4 * frames};
             return DeinterleaveChannelsDispatchTable.Slot[k](a, 5, frames, ch);
         }},
    };
}

// Samples of every kind; for the power function positive bases of many magnitudes and exponents
// that keep most groups on the fast path.
std::vector<float> Samples(size_t n, uint32_t seed)
{
    std::vector<float> v = coretest::MixedFloats(n, seed);
    v[3] = FromBits(0x7FA00001u);  // a signalling NaN
    v[5] = -0.0f;
    return v;
}

class SlotBodies : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        if (!coretest::ProcessorRunsSlot(GetParam())) {
            GTEST_SKIP() << "this processor lacks slot " << GetParam();
        }
    }
};

TEST_P(SlotBodies, GiveTheGenericResultAtEveryLengthAndAlignment)
{
    const int slot = GetParam();
    const std::vector<float> a = Samples(4200, 21);
    const std::vector<float> b = Samples(4200, 22);
    int failures = 0;
    for (const BodyCase& c : BodyCases()) {
        for (int32_t len : Lengths()) {
            // Offsets that are not multiples of 4 too: pointers not aligned to their element are
            // legal input of every body, the generic ones included.
            for (size_t aOffset : {0, 4, 8, 12, 1}) {
                for (size_t bOffset : {0, 4, 12, 2, 7}) {
                    const size_t bytes = static_cast<size_t>(len) * 4;
                    Region src(bytes, aOffset);
                    std::copy_n(a.begin(), len, src.Floats());
                    Region generic(bytes, bOffset);
                    Region variant(bytes, bOffset);
                    std::copy_n(b.begin(), len, generic.Floats());
                    std::copy_n(b.begin(), len, variant.Floats());
                    const PrimitiveStatus g = c.call(0, src.Floats(), generic.Floats(), len);
                    const PrimitiveStatus v = c.call(slot, src.Floats(), variant.Floats(), len);
                    const bool same =
                        g == v && memcmp(generic.data - kPad, variant.data - kPad, bytes + 2 * kPad) == 0 &&
                        memcmp(src.data, a.data(), bytes) == 0;
                    if (!same && ++failures <= 8) {
                        ADD_FAILURE() << c.name << " slot " << slot << " len " << len << " a+" << aOffset << " b+"
                                      << bOffset << " status " << v << " vs " << g;
                    }
                }
            }
        }
    }
}

// Around the element and byte limits of the kernels: the streaming prefetch of the in-place
// arithmetic (0x40000 elements), the non-temporal stores of the multiplication (0x4000 steps of
// eight) and the cache lookups of zero and copy (0x80000 and 0x100000 bytes).
TEST_P(SlotBodies, GiveTheGenericResultAroundTheLargeLimits)
{
    const int slot = GetParam();
    const std::vector<int32_t> lengths = {0x20000 - 1, 0x20000, 0x20000 + 1, 0x20000 + 5,
                                          0x40000 + 10, 0x40000 + 11, 0x40000 + 12, 0x40000 + 15};
    const std::vector<float> a = Samples(0x40010 + 8, 31);
    const std::vector<float> b = Samples(0x40010 + 8, 32);
    int failures = 0;
    for (const BodyCase& c : BodyCases()) {
        const std::string name = c.name;
        if (name.rfind("Raise", 0) == 0 || name.find("nterleave") != std::string::npos) {
            continue;
        }
        for (int32_t len : lengths) {
            for (auto [aOffset, bOffset] : {std::pair<size_t, size_t>{0, 0}, {4, 0}, {0, 8}}) {
                const size_t bytes = static_cast<size_t>(len) * 4;
                Region src(bytes, aOffset);
                std::copy_n(a.begin(), len, src.Floats());
                Region generic(bytes, bOffset);
                Region variant(bytes, bOffset);
                std::copy_n(b.begin(), len, generic.Floats());
                std::copy_n(b.begin(), len, variant.Floats());
                const PrimitiveStatus g = c.call(0, src.Floats(), generic.Floats(), len);
                const PrimitiveStatus v = c.call(slot, src.Floats(), variant.Floats(), len);
                const bool same =
                    g == v && memcmp(generic.data - kPad, variant.data - kPad, bytes + 2 * kPad) == 0;
                if (!same && ++failures <= 8) {
                    ADD_FAILURE() << c.name << " slot " << slot << " len " << len << " a+" << aOffset << " b+"
                                  << bOffset;
                }
            }
        }
    }
}

TEST_P(SlotBodies, MoveFloatOverlapsBothWaysAndCopyFloatApart)
{
    const int slot = GetParam();
    for (int32_t len : {1, 7, 33, 64, 100, 1000}) {
        for (int32_t shift : {-9, -4, -1, 1, 3, 8, 40}) {
            std::vector<float> base(static_cast<size_t>(len) + 100);
            for (size_t i = 0; i < base.size(); ++i) {
                base[i] = static_cast<float>(i);
            }
            std::vector<float> expect = base;
            std::vector<float> got = base;
            memmove(expect.data() + 50 + shift, expect.data() + 50, static_cast<size_t>(len) * 4);
            ASSERT_EQ(MoveFloatDispatchTable.Slot[slot](got.data() + 50, got.data() + 50 + shift, len), StatusOk);
            EXPECT_EQ(got, expect) << "len " << len << " shift " << shift;
        }
    }
    // Copies of every size at a source that starts a page: the shifted loads never reach before it.
    std::vector<float> src(2000);
    for (size_t i = 0; i < src.size(); ++i) {
        src[i] = static_cast<float>(i) * 0.5f;
    }
    for (size_t srcOffset : {1, 2, 3}) {
        for (int32_t len : {16, 17, 64, 65, 500}) {
            std::vector<float> dst(static_cast<size_t>(len) + 8, -1.0f);
            ASSERT_EQ(CopyFloatDispatchTable.Slot[slot](src.data() + srcOffset, dst.data() + 1, len), StatusOk);
            EXPECT_EQ(0, memcmp(dst.data() + 1, src.data() + srcOffset, static_cast<size_t>(len) * 4));
            EXPECT_EQ(dst[0], -1.0f);
            EXPECT_EQ(dst[static_cast<size_t>(len) + 1], -1.0f);
        }
    }
}

TEST_P(SlotBodies, ArgumentErrorsInTheGenericOrder)
{
    const int k = GetParam();
    float f[4] = {1, 2, 3, 4};
    const float* channels[2] = {f, nullptr};
    float* out[2] = {f, nullptr};
    EXPECT_EQ(ZeroFloatDispatchTable.Slot[k](nullptr, 0), StatusNullPointer);
    EXPECT_EQ(CopyFloatDispatchTable.Slot[k](f, f, -1), StatusSizeError);
    EXPECT_EQ(MoveFloatDispatchTable.Slot[k](nullptr, f, 1), StatusNullPointer);
    EXPECT_EQ(AddInPlaceDispatchTable.Slot[k](f, nullptr, 1), StatusNullPointer);
    EXPECT_EQ(AddConstantInPlaceDispatchTable.Slot[k](1.0f, f, 0), StatusSizeError);
    EXPECT_EQ(MultiplyByConstantDispatchTable.Slot[k](f, 1.0f, f, 0), StatusSizeError);
    EXPECT_EQ(MultiplyByConstantInPlaceDispatchTable.Slot[k](0.0f, nullptr, 0), StatusNullPointer);
    EXPECT_EQ(DivideByConstantInPlaceDispatchTable.Slot[k](0.0f, f, 4), StatusDivideByZero);
    EXPECT_EQ(DivideByConstantInPlaceDispatchTable.Slot[k](0.0f, f, 0), StatusSizeError);
    EXPECT_EQ(InterleaveChannelsDispatchTable.Slot[k](channels, 0, 0, f), StatusChannelCountError);
    EXPECT_EQ(InterleaveChannelsDispatchTable.Slot[k](channels, 2, 4, f), StatusNullPointer);
    EXPECT_EQ(DeinterleaveChannelsDispatchTable.Slot[k](f, 2, 0, out), StatusSizeError);
    EXPECT_EQ(RaiseToPowerDispatchTable.Slot[k](f, f, nullptr, 0), StatusNullPointer);
    EXPECT_EQ(f[0], 1.0f);
    EXPECT_EQ(f[3], 4.0f);
}

// The 16-, 32-, 64- and 128-bit pattern fills write their pattern over exactly count elements at
// any start address, below and above their element limits.
TEST_P(SlotBodies, PatternFillsCoverExactlyTheirElements)
{
    const int slot = GetParam();
    using Fill16 = void (*)(const uint16_t*, void*, int32_t, const CpuidReader&);
    using Fill32 = void (*)(const uint32_t*, void*, int32_t, const CpuidReader&);
    using Fill64 = void (*)(const uint64_t*, void*, int32_t, const CpuidReader&);
    using Fill128 = void (*)(const Pattern128*, void*, int32_t, const CpuidReader&);
    const Fill16 fill16[] = {nullptr, Sse3Variant::FillKernel16, Ssse3Variant::FillKernel16, Sse41Variant::FillKernel16};
    const Fill32 fill32[] = {nullptr, Sse3Variant::FillKernel32Sse, Ssse3Variant::FillKernel32Sse,
                             Sse41Variant::FillKernel32Sse};
    const Fill64 fill64[] = {nullptr, Sse3Variant::FillKernel64, Ssse3Variant::FillKernel64, Sse41Variant::FillKernel64};
    const Fill128 fill128[] = {nullptr, Sse3Variant::FillKernel128, Ssse3Variant::FillKernel128,
                               Sse41Variant::FillKernel128};
    const uint8_t pattern[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x0F};
    auto check = [&](size_t width, auto call) {
        for (int32_t count : {1, 2, 3, 5, 8, 13, 31, 64, 100, 0x10001, 0x20001, 0x40001, 0x80001}) {
            if (static_cast<size_t>(count) * width > (9u << 20)) {
                continue;
            }
            for (size_t offset : {0, 1, 2, 4, 6, 8, 12}) {
                const size_t bytes = static_cast<size_t>(count) * width;
                Region region(bytes, offset);
                call(region.data, count);
                bool same = region.data[-1] == kFill && region.data[bytes] == kFill;
                for (size_t b = 0; b < bytes && same; ++b) {
                    same = region.data[b] == pattern[b % width];
                }
                EXPECT_TRUE(same) << width << "-byte fill, count " << count << " offset " << offset;
            }
        }
    };
    uint16_t v16;
    uint32_t v32;
    uint64_t v64;
    Pattern128 v128;
    memcpy(&v16, pattern, 2);
    memcpy(&v32, pattern, 4);
    memcpy(&v64, pattern, 8);
    memcpy(&v128, pattern, 16);
    check(2, [&](uint8_t* d, int32_t n) { fill16[slot](&v16, d, n, HardwareCpuid); });
    check(4, [&](uint8_t* d, int32_t n) { fill32[slot](&v32, d, n, HardwareCpuid); });
    check(8, [&](uint8_t* d, int32_t n) { fill64[slot](&v64, d, n, HardwareCpuid); });
    check(16, [&](uint8_t* d, int32_t n) { fill128[slot](&v128, d, n, HardwareCpuid); });
}

INSTANTIATE_TEST_SUITE_P(Slots, SlotBodies, ::testing::Values(1, 2, 3),
                         [](const ::testing::TestParamInfo<int>& info) { return "Slot" + std::to_string(info.param); });

}  // namespace
