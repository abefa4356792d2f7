#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/core/Conversions.h"
#include "primitives/core/Dispatch.h"
#include "primitives/core/Interleave.h"
#include "primitives/core/Memory.h"
#include "primitives/core/Power.h"
#include "primitives/core/SlotVariants.h"
#include "primitives/core/VectorBasics.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace {

// Run once per dispatch slot, through the public entry points.
class DispatchEverySlot : public coretest::ForcedSlotTest {};
KVX_INSTANTIATE_FOR_EVERY_SLOT(DispatchEverySlot);

#define NAME_OF_ROW(family, Ret, Name, Params, Args) #Name,
const char* const kEntryNames[] = {KVX_ENTRY_LIST(NAME_OF_ROW)};
#undef NAME_OF_ROW
#define FAMILY_OF_ROW(family, Ret, Name, Params, Args) #family,
const char* const kEntryFamilies[] = {KVX_ENTRY_LIST(FAMILY_OF_ROW)};
#undef FAMILY_OF_ROW

TEST(Dispatch, EntryListHoldsBothGroupsInTableOrder)
{
    ASSERT_EQ(std::size(kEntryNames), 65u);
    EXPECT_STREQ(kEntryNames[0], "ZeroFloat");
    EXPECT_STREQ(kEntryNames[24], "RaiseToPower");  // last of group 1
    EXPECT_STREQ(kEntryNames[25], "CopyFloat");     // first of group 2
    EXPECT_STREQ(kEntryNames[64], "MultiplyAccumulateByConstant");
    int core = 0;
    for (const char* family : kEntryFamilies) {
        core += std::string(family) == "core";
    }
    EXPECT_EQ(core, 19);
}

// Slot 0 is the generic body everywhere; slots 1 to 3 hold one body per slot, or one body for two
// slots where only slots 2 and 3 (or 0 and 1) share.
TEST(Dispatch, IndexIsZeroAndTheCoreTablesFollowTheirSlotsColumn)
{
    EXPECT_EQ(DispatchIndex, 0);
#define EXPECT_SLOTS(Name, S1, S2, S3)                                  \
    EXPECT_EQ(Name##DispatchTable.Slot[0], &Name##Generic) << #Name;    \
    EXPECT_EQ(Name##DispatchTable.Slot[1], &S1) << #Name << " slot 1"; \
    EXPECT_EQ(Name##DispatchTable.Slot[2], &S2) << #Name << " slot 2"; \
    EXPECT_EQ(Name##DispatchTable.Slot[3], &S3) << #Name << " slot 3";
#define EXPECT_FOUR(Name) \
    EXPECT_SLOTS(Name, Sse3Variant::Name##Sse3, Ssse3Variant::Name##Ssse3, Sse41Variant::Name##Sse41)
    EXPECT_FOUR(ZeroFloat)
    EXPECT_FOUR(ConvertFloatToInt16)
    EXPECT_FOUR(ConvertFloatToInt32)
    EXPECT_FOUR(ConvertInt16ToFloat)
    EXPECT_SLOTS(ConvertInt32ToFloatScaled, ConvertInt32ToFloatScaledGeneric,
                 Ssse3Variant::ConvertInt32ToFloatScaledSsse3, Ssse3Variant::ConvertInt32ToFloatScaledSsse3)
    EXPECT_FOUR(ConvertInt24ToFloat)
    EXPECT_FOUR(ConvertFloatToInt24)
    EXPECT_SLOTS(AddInPlace, Sse3Variant::AddInPlaceSse3, Ssse3Variant::AddInPlaceSsse3, Ssse3Variant::AddInPlaceSsse3)
    EXPECT_FOUR(DivideByConstantInPlace)
    EXPECT_FOUR(MoveFloat)
    EXPECT_FOUR(MultiplyByConstantInPlace)
    EXPECT_FOUR(ConvertInt32ToFloat)
    EXPECT_SLOTS(AddConstantInPlace, Sse3Variant::AddConstantInPlaceSse3, Ssse3Variant::AddConstantInPlaceSsse3,
                 Ssse3Variant::AddConstantInPlaceSsse3)
    EXPECT_FOUR(InterleaveChannels)
    EXPECT_FOUR(DeinterleaveChannels)
    EXPECT_FOUR(RaiseToPower)
    EXPECT_FOUR(CopyFloat)
    EXPECT_FOUR(MultiplyByConstant)
    EXPECT_SLOTS(FreeAligned, FreeAlignedGeneric, FreeAlignedGeneric, FreeAlignedGeneric)
#undef EXPECT_FOUR
#undef EXPECT_SLOTS
}

// Each core entry point run through its stub and through its generic body on the same input must
// give the same status and the same output bytes: the stub forwards every argument in order.
struct StubCase {
    const char* name;
    std::function<PrimitiveStatus(float* a, float* b, float* out)> viaStub;
    std::function<PrimitiveStatus(float* a, float* b, float* out)> viaGeneric;
};

constexpr int32_t N = 24;

TEST(Dispatch, StubsGiveTheResultOfTheGenericBody)
{
    auto i16 = [](float* p) { return reinterpret_cast<int16_t*>(p); };
    auto i32 = [](float* p) { return reinterpret_cast<int32_t*>(p); };
    auto u8 = [](float* p) { return reinterpret_cast<uint8_t*>(p); };
    const std::vector<StubCase> cases = {
        {"ZeroFloat", [](float*, float*, float* o) { return ZeroFloat(o + 1, N - 3); },
         [](float*, float*, float* o) { return ZeroFloatGeneric(o + 1, N - 3); }},
        {"ConvertFloatToInt16", [&](float* a, float*, float* o) { return ConvertFloatToInt16(a, i16(o), N, 1, -3); },
         [&](float* a, float*, float* o) { return ConvertFloatToInt16Generic(a, i16(o), N, 1, -3); }},
        {"ConvertFloatToInt32", [&](float* a, float*, float* o) { return ConvertFloatToInt32(a, i32(o), N, 2, -9); },
         [&](float* a, float*, float* o) { return ConvertFloatToInt32Generic(a, i32(o), N, 2, -9); }},
        {"ConvertInt16ToFloat", [&](float* a, float*, float* o) { return ConvertInt16ToFloat(i16(a), o, N, 3); },
         [&](float* a, float*, float* o) { return ConvertInt16ToFloatGeneric(i16(a), o, N, 3); }},
        {"ConvertInt32ToFloatScaled",
         [&](float* a, float*, float* o) { return ConvertInt32ToFloatScaled(i32(a), o, N, 5); },
         [&](float* a, float*, float* o) { return ConvertInt32ToFloatScaledGeneric(i32(a), o, N, 5); }},
        {"ConvertInt24ToFloat", [&](float* a, float*, float* o) { return ConvertInt24ToFloat(u8(a), o, N); },
         [&](float* a, float*, float* o) { return ConvertInt24ToFloatGeneric(u8(a), o, N); }},
        {"ConvertFloatToInt24", [&](float* a, float*, float* o) { return ConvertFloatToInt24(a, u8(o), N, -4); },
         [&](float* a, float*, float* o) { return ConvertFloatToInt24Generic(a, u8(o), N, -4); }},
        {"ConvertInt32ToFloat", [&](float* a, float*, float* o) { return ConvertInt32ToFloat(i32(a), o, N); },
         [&](float* a, float*, float* o) { return ConvertInt32ToFloatGeneric(i32(a), o, N); }},
        {"AddInPlace", [](float* a, float*, float* o) { return AddInPlace(a, o, N); },
         [](float* a, float*, float* o) { return AddInPlaceGeneric(a, o, N); }},
        {"DivideByConstantInPlace", [](float*, float*, float* o) { return DivideByConstantInPlace(3.0f, o, N); },
         [](float*, float*, float* o) { return DivideByConstantInPlaceGeneric(3.0f, o, N); }},
        {"MoveFloat", [](float*, float*, float* o) { return MoveFloat(o, o + 1, N - 1); },
         [](float*, float*, float* o) { return MoveFloatGeneric(o, o + 1, N - 1); }},
        {"MultiplyByConstantInPlace", [](float*, float*, float* o) { return MultiplyByConstantInPlace(-2.5f, o, N); },
         [](float*, float*, float* o) { return MultiplyByConstantInPlaceGeneric(-2.5f, o, N); }},
        {"AddConstantInPlace", [](float*, float*, float* o) { return AddConstantInPlace(0.25f, o, N); },
         [](float*, float*, float* o) { return AddConstantInPlaceGeneric(0.25f, o, N); }},
        {"InterleaveChannels",
         [](float* a, float* b, float* o) {
             const float* ch[3] = {a, b, a + 8};
             return InterleaveChannels(ch, 3, 8, o);
         },
         [](float* a, float* b, float* o) {
             const float* ch[3] = {a, b, a + 8};
             return InterleaveChannelsGeneric(ch, 3, 8, o);
         }},
        {"DeinterleaveChannels",
         [](float* a, float*, float* o) {
             float* ch[3] = {o, o + 8, o + 16};
             return DeinterleaveChannels(a, 3, 8, ch);
         },
         [](float* a, float*, float* o) {
             float* ch[3] = {o, o + 8, o + 16};
             return DeinterleaveChannelsGeneric(a, 3, 8, ch);
         }},
        {"RaiseToPower", [](float* a, float* b, float* o) { return RaiseToPower(a, b, o, N); },
         [](float* a, float* b, float* o) { return RaiseToPowerGeneric(a, b, o, N); }},
        {"CopyFloat", [](float* a, float*, float* o) { return CopyFloat(a + 2, o, N - 2); },
         [](float* a, float*, float* o) { return CopyFloatGeneric(a + 2, o, N - 2); }},
        {"MultiplyByConstant", [](float* a, float*, float* o) { return MultiplyByConstant(a, 0.75f, o, N); },
         [](float* a, float*, float* o) { return MultiplyByConstantGeneric(a, 0.75f, o, N); }},
    };
    const std::vector<float> input = coretest::MixedFloats(2 * N, 7);
    for (const StubCase& c : cases) {
        std::vector<float> a1(input.begin(), input.begin() + N), b1(input.begin() + N, input.end());
        std::vector<float> a2 = a1, b2 = b1;
        std::vector<float> out1(input.rbegin(), input.rbegin() + N), out2 = out1;
        PrimitiveStatus s1 = c.viaStub(a1.data(), b1.data(), out1.data());
        PrimitiveStatus s2 = c.viaGeneric(a2.data(), b2.data(), out2.data());
        EXPECT_EQ(s1, s2) << c.name;
        EXPECT_EQ(0, memcmp(out1.data(), out2.data(), N * sizeof(float))) << c.name;
        EXPECT_EQ(0, memcmp(a1.data(), a2.data(), N * sizeof(float))) << c.name;
    }
}

// The pointer tests come before the length test in every core entry point: a null pointer with
// a length of 0 reports -8, a valid pointer with a length of 0 reports -6.
TEST_P(DispatchEverySlot, NullPointerIsReportedBeforeALengthOfZero)
{
    float buffer[4] = {1, 2, 3, 4};
    float* f = buffer;
    auto* i16 = reinterpret_cast<int16_t*>(buffer);
    auto* i32 = reinterpret_cast<int32_t*>(buffer);
    auto* u8 = reinterpret_cast<uint8_t*>(buffer);
    const float* channels[1] = {buffer};
    float* outChannels[1] = {buffer};
    struct Case {
        const char* name;
        std::function<PrimitiveStatus(bool withNull, int32_t len)> call;
    };
    const std::vector<Case> cases = {
        {"ZeroFloat", [&](bool z, int32_t n) { return ZeroFloat(z ? nullptr : f, n); }},
        {"ConvertFloatToInt16", [&](bool z, int32_t n) { return ConvertFloatToInt16(f, z ? nullptr : i16, n, 0, 0); }},
        {"ConvertFloatToInt32", [&](bool z, int32_t n) { return ConvertFloatToInt32(z ? nullptr : f, i32, n, 0, 0); }},
        {"ConvertInt16ToFloat", [&](bool z, int32_t n) { return ConvertInt16ToFloat(i16, z ? nullptr : f, n, 0); }},
        {"ConvertInt32ToFloatScaled",
         [&](bool z, int32_t n) { return ConvertInt32ToFloatScaled(z ? nullptr : i32, f, n, 1); }},
        {"ConvertInt24ToFloat", [&](bool z, int32_t n) { return ConvertInt24ToFloat(z ? nullptr : u8, f, n); }},
        {"ConvertFloatToInt24", [&](bool z, int32_t n) { return ConvertFloatToInt24(f, z ? nullptr : u8, n, 0); }},
        {"ConvertInt32ToFloat", [&](bool z, int32_t n) { return ConvertInt32ToFloat(i32, z ? nullptr : f, n); }},
        {"AddInPlace", [&](bool z, int32_t n) { return AddInPlace(z ? nullptr : f, f, n); }},
        {"DivideByConstantInPlace", [&](bool z, int32_t n) { return DivideByConstantInPlace(0.0f, z ? nullptr : f, n); }},
        {"MoveFloat", [&](bool z, int32_t n) { return MoveFloat(f, z ? nullptr : f, n); }},
        {"MultiplyByConstantInPlace",
         [&](bool z, int32_t n) { return MultiplyByConstantInPlace(2.0f, z ? nullptr : f, n); }},
        {"AddConstantInPlace", [&](bool z, int32_t n) { return AddConstantInPlace(2.0f, z ? nullptr : f, n); }},
        {"InterleaveChannels", [&](bool z, int32_t n) { return InterleaveChannels(channels, 1, n, z ? nullptr : f); }},
        {"DeinterleaveChannels",
         [&](bool z, int32_t n) { return DeinterleaveChannels(f, 1, n, z ? nullptr : outChannels); }},
        {"RaiseToPower", [&](bool z, int32_t n) { return RaiseToPower(f, f, z ? nullptr : f, n); }},
        {"CopyFloat", [&](bool z, int32_t n) { return CopyFloat(z ? nullptr : f, f, n); }},
        {"MultiplyByConstant", [&](bool z, int32_t n) { return MultiplyByConstant(f, 0.0f, z ? nullptr : f, n); }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(true, 0), StatusNullPointer) << c.name;
        EXPECT_EQ(c.call(true, -1), StatusNullPointer) << c.name;
        EXPECT_EQ(c.call(false, 0), StatusSizeError) << c.name;
        EXPECT_EQ(c.call(false, -7), StatusSizeError) << c.name;
        EXPECT_EQ(buffer[0], 1.0f) << c.name << " wrote on an error";
        EXPECT_EQ(buffer[3], 4.0f) << c.name << " wrote on an error";
    }
}

}  // namespace
