// The conversion kernels of each processor variant on their own: the control register around a
// call, the results that differ from the generic bodies by design, in-place conversion, and the
// 24-bit kernels between guard pages.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>
#include <xmmintrin.h>

#include "primitives/core/Conversions.h"
#include "primitives/core/Dispatch.h"
#include "primitives/core/SlotVariants.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace {

using coretest::GuardedPage;

using coretest::Bits;
using coretest::FromBits;

const float kNan = FromBits(0x7FC00000u);
const float kNegNan = FromBits(0xFFC00001u);
const float kInf = __builtin_inff();

// The kernels of one variant.
struct Kernels {
    void (*floatToInt16)(const float*, int16_t*, int32_t, int32_t, ScaleFactor);
    void (*floatToInt16Away)(const float*, int16_t*, int32_t, ScaleFactor);
    void (*floatToInt32)(const float*, int32_t*, int32_t, int32_t, ScaleFactor);
    void (*floatToInt32Away)(const float*, int32_t*, int32_t, ScaleFactor);
    void (*int32ToFloat)(const int32_t*, float*, int32_t);
    void (*int24ToFloat)(const uint8_t*, float*, int32_t);
    void (*floatToInt24)(const float*, uint8_t*, int32_t);
    void (*floatToInt24Scaled)(const float*, uint8_t*, int32_t, ScaleFactor);
    void (*scaleFactorBroadcast)(ScaleFactor, float*);
};

#define KVX_KERNELS(Ns)                                                                                        \
    Kernels                                                                                                    \
    {                                                                                                          \
        Ns::FloatToInt16Kernel, Ns::FloatToInt16AwayKernel, Ns::FloatToInt32Kernel, Ns::FloatToInt32AwayKernel, \
            Ns::Int32ToFloatKernel, Ns::Int24ToFloatKernel, Ns::FloatToInt24Kernel, Ns::FloatToInt24ScaledKernel, \
            Ns::ScaleFactorBroadcast                                                                           \
    }

const Kernels kVariants[4] = {{}, KVX_KERNELS(Sse3Variant), KVX_KERNELS(Ssse3Variant), KVX_KERNELS(Sse41Variant)};

class VariantKernels : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        if (!coretest::ProcessorRunsSlot(GetParam())) {
            GTEST_SKIP() << "this processor lacks slot " << GetParam();
        }
        m_mxcsr = _mm_getcsr();
    }
    void TearDown() override { _mm_setcsr(m_mxcsr); }
    const Kernels& K() const { return kVariants[GetParam()]; }

private:
    uint32_t m_mxcsr = 0x1F80u;
};

int32_t Read24(const uint8_t* p)
{
    return static_cast<int32_t>((static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                 (static_cast<uint32_t>(p[2]) << 16))
                                << 8) >>
           8;
}

// Every conversion body of the slot leaves the caller's control bits as they were, the caller's
// denormals-are-zero bit included, and a clear invalid flag clear (the 24-bit kernels touch the
// register only when they must change its rounding).
TEST_P(VariantKernels, ControlRegisterComesBackAsTheCallerLeftIt)
{
    const int k = GetParam();
    const float src[12] = {kNan, 1e10f, -1e10f, 2.5f, -2.5f, 3.5f, 0.5f, kInf, -kInf, 1e-40f, 7.25f, kNegNan};
    int16_t i16[12];
    int32_t i32[12];
    uint8_t i24[36];
    float f[12];
    const int32_t ints[12] = {16777217, -16777217, 2147483647, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    const uint32_t callers[] = {0x1F80u, 0x1F80u | 0x6000u, 0x1F80u | 0x2000u | 0x0040u, 0x1F80u | 0x4000u | 0x8000u};
    for (uint32_t caller : callers) {
        struct Call {
            const char* name;
            std::function<void()> run;
            bool keepsInvalidClear;
        };
        const Call calls[] = {
            {"int16 mode 0", [&] { ConvertFloatToInt16DispatchTable.Slot[k](src, i16, 12, 0, 0); }, true},
            {"int16 mode 1 sf -3", [&] { ConvertFloatToInt16DispatchTable.Slot[k](src, i16, 12, 1, -3); }, true},
            {"int16 mode 2", [&] { ConvertFloatToInt16DispatchTable.Slot[k](src, i16, 12, 2, 0); }, true},
            {"int32 mode 0", [&] { ConvertFloatToInt32DispatchTable.Slot[k](src, i32, 12, 0, 5); }, true},
            {"int32 mode 1", [&] { ConvertFloatToInt32DispatchTable.Slot[k](src, i32, 12, 1, 0); }, true},
            {"int32 mode 7", [&] { ConvertFloatToInt32DispatchTable.Slot[k](src, i32, 12, 7, -2); }, true},
            {"int24", [&] { ConvertFloatToInt24DispatchTable.Slot[k](src, i24, 12, 0); }, false},
            {"int24 sf -8", [&] { ConvertFloatToInt24DispatchTable.Slot[k](src, i24, 12, -8); }, false},
            {"int32 to float", [&] { ConvertInt32ToFloatDispatchTable.Slot[k](ints, f, 12); }, false},
            {"int16 to float", [&] { ConvertInt16ToFloatDispatchTable.Slot[k](i16, f, 12, 4); }, true},
            {"int24 to float", [&] { ConvertInt24ToFloatDispatchTable.Slot[k](i24, f, 12); }, true},
        };
        for (const Call& call : calls) {
            _mm_setcsr(caller);
            call.run();
            const uint32_t after = _mm_getcsr();
            EXPECT_EQ(after & ~0x3Fu, caller & ~0x3Fu) << call.name << " caller " << std::hex << caller;
            if (call.keepsInvalidClear || (caller & 0x6000u) != 0) {
                EXPECT_EQ(after & 1u, 0u) << call.name << " caller " << std::hex << caller;
            }
        }
    }
}

TEST_P(VariantKernels, NearestEvenUnderACallerRoundingTowardZero)
{
    const float src[6] = {2.5f, 3.5f, -2.5f, 0.5f, 1.5f, -1.5f};
    const int32_t expected[6] = {2, 4, -2, 0, 2, -2};
    _mm_setcsr(0x1F80u | 0x6000u);
    int16_t i16[6];
    int32_t i32[6];
    uint8_t i24[18];
    K().floatToInt16(src, i16, 6, 1, 0);
    K().floatToInt32(src, i32, 6, 1, 0);
    K().floatToInt24(src, i24, 6);
    EXPECT_EQ(_mm_getcsr() & 0x6000u, 0x6000u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(i16[i], expected[i]) << src[i];
        EXPECT_EQ(i32[i], expected[i]) << src[i];
        EXPECT_EQ(Read24(i24 + 3 * i), expected[i]) << src[i];
    }
}

TEST_P(VariantKernels, Int32ToFloatFollowsTheCallersRounding)
{
    const int32_t src[5] = {16777217, -16777217, 2147483647, 16777219, 3};
    float dst[5];
    K().int32ToFloat(src, dst, 5);
    EXPECT_EQ(dst[0], 16777216.0f);
    EXPECT_EQ(dst[2], 2147483648.0f);
    EXPECT_EQ(dst[3], 16777220.0f);
    _mm_setcsr(0x1F80u | 0x6000u);
    K().int32ToFloat(src, dst, 5);
    EXPECT_EQ(dst[1], -16777216.0f);
    EXPECT_EQ(dst[2], 2147483520.0f);
    EXPECT_EQ(dst[3], 16777218.0f);
    _mm_setcsr(0x1F80u | 0x4000u);
    K().int32ToFloat(src, dst, 5);
    EXPECT_EQ(dst[0], 16777218.0f);
    EXPECT_EQ(dst[4], 3.0f);
}

// Where the kernels differ from the generic bodies by design (NaN), and where they once differed:
// a scaled ties-away half added in single precision, an infinite float factor, an infinity
// under a vanishing 24-bit factor.
TEST_P(VariantKernels, DesignedDifferencesFromTheGenericBodies)
{
    int16_t i16[4];
    int32_t i32[4];
    // Ties-away to int16: NaN saturates high; with a scale, magnitudes one step below one half
    // round to 0 as in the generic body.
    const float away16[4] = {kNan, kNegNan, 0.24999999f, -0.24999999f};
    K().floatToInt16Away(away16, i16, 4, 1);
    EXPECT_EQ(i16[0], 32767);
    EXPECT_EQ(i16[1], 32767);
    EXPECT_EQ(i16[2], 0);
    EXPECT_EQ(i16[3], 0);
    const float nearHalf[4] = {-0.99999994f, 3.99999976f, 1.0f, -3.0f};
    K().floatToInt16Away(nearHalf, i16, 4, 1);
    EXPECT_EQ(i16[0], 0);
    EXPECT_EQ(i16[1], 2);
    EXPECT_EQ(i16[2], 1);  // exactly one half rounds away
    EXPECT_EQ(i16[3], -2);
    K().floatToInt16Away(nearHalf + 1, i16, 1, 3);
    EXPECT_EQ(i16[0], 0);
    // Unscaled the half is added in single precision, as the generic body adds it.
    const float justBelow = 0.49999997f;
    K().floatToInt16Away(&justBelow, i16, 1, 0);
    EXPECT_EQ(i16[0], 1);
    // Ties-away to int32: NaN by its sign.
    const float away32[4] = {kNan, kNegNan, 2.5f, -0.49999997f};
    K().floatToInt32Away(away32, i32, 4, 0);
    EXPECT_EQ(i32[0], INT32_MAX);
    EXPECT_EQ(i32[1], INT32_MIN);
    EXPECT_EQ(i32[2], 3);
    EXPECT_EQ(i32[3], 0);
    // Scale factors of -128 and below scale small inputs exactly: the smallest subnormal times
    // 2^149 is 1, times 2^150 is 2; 0 stays 0 and larger values saturate.
    const float tiny[4] = {FromBits(1), -FromBits(1), 0.0f, 1e-30f};
    const struct {
        ScaleFactor sf;
        int32_t smallest;
    } scaled[] = {{-128, 0}, {-149, 1}, {-150, 2}, {-200, INT32_MAX}, {INT32_MIN, INT32_MAX}};
    for (const auto& row : scaled) {
        K().floatToInt16(tiny, i16, 4, 1, row.sf);
        K().floatToInt32(tiny, i32, 4, 0, row.sf);
        const int32_t expected16 = row.smallest > 32767 ? 32767 : row.smallest;
        EXPECT_EQ(i16[0], expected16) << row.sf;
        EXPECT_EQ(i16[1], -expected16 - (row.smallest > 32767 ? 1 : 0)) << row.sf;
        EXPECT_EQ(i16[2], 0) << row.sf;
        EXPECT_EQ(i32[0], row.smallest) << row.sf;
        EXPECT_EQ(i32[1], row.smallest == INT32_MAX ? INT32_MIN : -row.smallest) << row.sf;
        EXPECT_EQ(i32[2], 0) << row.sf;
        K().floatToInt32Away(tiny, i32, 4, row.sf);
        EXPECT_EQ(i32[0], row.smallest) << row.sf;
    }
    K().floatToInt32(tiny + 3, i32, 1, 0, -128);
    EXPECT_EQ(i32[0], static_cast<int32_t>(std::ldexp(static_cast<double>(tiny[3]), 128)));
    // NaN to 24 bits clamps to the lower bound; under the vanishing factor (sf 127 and above) an
    // infinity gives 0 like every other number.
    uint8_t i24[9];
    const float specials[3] = {kNan, kNegNan, kInf};
    K().floatToInt24(specials, i24, 3);
    EXPECT_EQ(Read24(i24), -8388608);
    EXPECT_EQ(Read24(i24 + 3), -8388608);
    EXPECT_EQ(Read24(i24 + 6), 8388607);
    for (ScaleFactor sf : {127, 1000}) {
        K().floatToInt24Scaled(specials, i24, 3, sf);
        EXPECT_EQ(Read24(i24), -8388608);
        EXPECT_EQ(Read24(i24 + 3), -8388608);
        EXPECT_EQ(Read24(i24 + 6), 0);
    }
}

// The factor is halved or doubled only until it is 0 or infinite: the extreme scale factors
// return at once with the right factor.
TEST_P(VariantKernels, ScaleFactorBroadcastStopsAtZeroOrInfinity)
{
    const struct {
        ScaleFactor sf;
        float factor;
    } rows[] = {
        {1, 0.5f},           {-1, 2.0f},        {149, FromBits(1)},  {150, 0.0f},
        {-127, std::ldexp(1.0f, 127)}, {-128, kInf}, {INT32_MAX, 0.0f}, {INT32_MIN, kInf},
    };
    for (const auto& row : rows) {
        float lanes[4];
        K().scaleFactorBroadcast(row.sf, lanes);
        for (float lane : lanes) {
            EXPECT_EQ(Bits(lane), Bits(row.factor)) << row.sf;
        }
    }
}

// In place, the converted integers must not be taken for NaNs: a caller's sticky invalid flag and
// integers whose bits read as NaN (negative ones down to -8388607, positive ones above
// 2139095040) keep their values.
TEST_P(VariantKernels, InPlaceFloatToInt32KeepsIntegersThatLookLikeNans)
{
    const int k = GetParam();
    const float values[] = {-5.0f, 2.14e9f, kNan, kNegNan, 3e9f, -8388607.0f, -1.0f, 1.5f, 2.5f, -kInf, 7.0f};
    constexpr int32_t n = static_cast<int32_t>(std::size(values));
    for (RoundingMode mode : {0, 1, 2}) {
        for (uint32_t caller : {0x1F80u, 0x1F81u}) {
            float generic[n];
            float slot[n];
            memcpy(generic, values, sizeof(values));
            memcpy(slot, values, sizeof(values));
            _mm_setcsr(caller);
            ConvertFloatToInt32Generic(generic, reinterpret_cast<int32_t*>(generic), n, mode, 0);
            _mm_setcsr(caller);
            ASSERT_EQ(ConvertFloatToInt32DispatchTable.Slot[k](slot, reinterpret_cast<int32_t*>(slot), n, mode, 0),
                      StatusOk);
            EXPECT_EQ(_mm_getcsr() & 1u, caller & 1u);
            for (int32_t i = 0; i < n; ++i) {
                int32_t g;
                int32_t s;
                memcpy(&g, generic + i, 4);
                memcpy(&s, slot + i, 4);
                if (std::isnan(values[i]) && mode == 2) {
                    g = std::signbit(values[i]) ? INT32_MIN : INT32_MAX;  // by design
                }
                EXPECT_EQ(s, g) << "element " << i << " mode " << mode << " caller " << std::hex << caller;
            }
        }
    }
}

// Heads, blocks and tails of the 24-bit kernels stay inside both arrays: each array is placed flush
// against a faulting page, first at its start, then at its end, with the other array at every
// offset.
TEST_P(VariantKernels, Int24KernelsStayInsideBothArrays)
{
    GuardedPage packedPage;
    GuardedPage floatPage;
    std::vector<float> floats(40);
    for (size_t i = 0; i < floats.size(); ++i) {
        floats[i] = static_cast<float>((i * 2654435761u) % 16777216u) - 8388608.0f + 0.5f;
    }
    std::vector<uint8_t> packed(120);
    for (size_t i = 0; i < packed.size(); ++i) {
        packed[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    for (int32_t n = 1; n <= 40; ++n) {
        const size_t packedBytes = 3 * static_cast<size_t>(n);
        const size_t floatBytes = 4 * static_cast<size_t>(n);
        float expectedFloats[40];
        uint8_t expectedPacked[120];
        ConvertInt24ToFloatGeneric(packed.data(), expectedFloats, n);
        ConvertFloatToInt24Generic(floats.data(), expectedPacked, n, 0);
        uint8_t scaledPacked[120];
        ConvertFloatToInt24Generic(floats.data(), scaledPacked, n, 1);
        for (size_t offset = 0; offset < 16; ++offset) {
            for (bool packedAtStart : {true, false}) {
                uint8_t* p = packedAtStart ? packedPage.Start() : packedPage.EndMinus(packedBytes);
                uint8_t* q = packedAtStart ? floatPage.EndMinus(floatBytes + offset) : floatPage.Start() + offset;
                auto* f = reinterpret_cast<float*>(q);
                // Packed to float.
                memcpy(p, packed.data(), packedBytes);
                K().int24ToFloat(p, f, n);
                EXPECT_EQ(0, memcmp(q, expectedFloats, floatBytes)) << "n " << n << " offset " << offset;
                // Float to packed, unscaled and scaled.
                memcpy(q, floats.data(), floatBytes);
                K().floatToInt24(f, p, n);
                EXPECT_EQ(0, memcmp(p, expectedPacked, packedBytes)) << "n " << n << " offset " << offset;
                K().floatToInt24Scaled(f, p, n, 1);
                EXPECT_EQ(0, memcmp(p, scaledPacked, packedBytes)) << "n " << n << " offset " << offset;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Slots, VariantKernels, ::testing::Values(1, 2, 3),
                         [](const ::testing::TestParamInfo<int>& info) { return "Slot" + std::to_string(info.param); });

}  // namespace
