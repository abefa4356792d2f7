#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>
#include <xmmintrin.h>

#include "primitives/Primitives.h"
#include "primitives/core/VectorBasics.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace {

// Run once per dispatch slot, through the public entry points.
class ConversionsEverySlot : public coretest::ForcedSlotTest {};
KVX_INSTANTIATE_FOR_EVERY_SLOT(ConversionsEverySlot);

using coretest::Bits;
using coretest::FromBits;

const float kNan = FromBits(0x7FC00000u);
const float kInf = std::numeric_limits<float>::infinity();

// ---- independent references, in double precision ----

double RoundByMode(double p, RoundingMode mode)
{
    if (mode == RoundTowardZero) {
        return std::trunc(p);
    }
    if (mode == RoundNearestEven) {
        return std::nearbyint(p);  // the test runs in the default rounding mode
    }
    return std::round(p);  // halves away from zero
}

double Clamp(double v, double lo, double hi)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

int16_t RefFloatToInt16(float x, RoundingMode mode, ScaleFactor sf)
{
    if (sf == 0 && mode != RoundTowardZero && mode != RoundNearestEven) {
        // Unscaled nearest-away adds the half in single precision.
        if (std::isnan(x)) {
            return 0;
        }
        float sum = x + (x < 0.0f ? -0.5f : 0.5f);
        return static_cast<int16_t>(Clamp(std::trunc(static_cast<double>(sum)), -32768.0, 32767.0));
    }
    double p = sf == 0 ? static_cast<double>(x) : static_cast<double>(x) * std::ldexp(1.0, -sf);
    if (std::isnan(p)) {
        return 0;
    }
    return static_cast<int16_t>(Clamp(RoundByMode(p, mode), -32768.0, 32767.0));
}

int32_t RefFloatToInt32(float x, RoundingMode mode, ScaleFactor sf)
{
    double p = sf == 0 ? static_cast<double>(x) : static_cast<double>(x) * std::ldexp(1.0, -sf);
    if (std::isnan(p)) {
        return (mode == RoundTowardZero || mode == RoundNearestEven) ? 0 : INT32_MIN;
    }
    return static_cast<int32_t>(Clamp(RoundByMode(p, mode), -2147483648.0, 2147483647.0));
}

int32_t RefFloatToInt24(float x, ScaleFactor sf)
{
    float factor = 1.0f;
    if (sf != 0) {
        int32_t clamped = std::clamp(sf, -127, 127);
        factor = clamped == 127 ? 0.0f : std::ldexp(1.0f, -clamped);  // exponent field 0 is +0.0
    }
    double p = static_cast<double>(sf == 0 ? x : factor * x);
    if (std::isnan(p)) {
        return DispatchIndex != 0 ? -8388608 : 0;  // the processor-specific kernels clamp it low
    }
    return static_cast<int32_t>(Clamp(std::nearbyint(p), -8388608.0, 8388607.0));
}

int32_t Read24(const uint8_t* p)
{
    int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
    return v >= 0x800000 ? v - 0x1000000 : v;
}

void Write24(uint8_t* p, int32_t v)
{
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    p[2] = static_cast<uint8_t>((v >> 16) & 0xFF);
}

// Inputs for one scale: values of every kind plus exact ties (k + 1/2) * 2^sf around zero and
// around the saturation bounds.
std::vector<float> InputsForScale(ScaleFactor sf, double bound)
{
    std::vector<float> v = coretest::MixedFloats(3000, static_cast<uint32_t>(sf + 5000));
    if (sf > -150 && sf < 100) {
        for (int k = -40; k <= 40; ++k) {
            v.push_back(static_cast<float>(std::ldexp(k + 0.5, sf)));
            v.push_back(static_cast<float>(std::ldexp(k + 0.25, sf)));
            v.push_back(static_cast<float>(std::ldexp(bound + k + 0.5, sf)));
            v.push_back(static_cast<float>(std::ldexp(-bound + k - 0.5, sf)));
        }
    }
    return v;
}

// -127/-126 and 104/105 border the scales whose nearest-even int16 rounding is done in the adder.
const ScaleFactor kWideScales[] = {-2000, -1024, -1023, -200, -127, -126, -31, -23, -15, -1, 0,
                                   1,     15,    104,   105,  126,  1074, 1075, 2000};
const RoundingMode kModes[] = {RoundTowardZero, RoundNearestEven, RoundNearestAway, 7, -1};

TEST(Conversions, FloatToInt16And32MatchTheReferenceForEveryModeAndScale)
{
    for (ScaleFactor sf : kWideScales) {
        std::vector<float> in16 = InputsForScale(sf, 32767.0);
        std::vector<float> in32 = InputsForScale(sf, 2147483647.0);
        for (RoundingMode mode : kModes) {
            std::vector<int16_t> out16(in16.size());
            std::vector<int32_t> out32(in32.size());
            ASSERT_EQ(ConvertFloatToInt16(in16.data(), out16.data(), static_cast<int32_t>(in16.size()), mode, sf),
                      StatusOk);
            ASSERT_EQ(ConvertFloatToInt32(in32.data(), out32.data(), static_cast<int32_t>(in32.size()), mode, sf),
                      StatusOk);
            for (size_t i = 0; i < in16.size(); ++i) {
                ASSERT_EQ(out16[i], RefFloatToInt16(in16[i], mode, sf))
                    << "x=" << in16[i] << " bits " << std::hex << Bits(in16[i]) << std::dec << " mode " << mode
                    << " sf " << sf;
            }
            for (size_t i = 0; i < in32.size(); ++i) {
                ASSERT_EQ(out32[i], RefFloatToInt32(in32[i], mode, sf))
                    << "x=" << in32[i] << " bits " << std::hex << Bits(in32[i]) << std::dec << " mode " << mode
                    << " sf " << sf;
            }
        }
    }
}

TEST(Conversions, FloatToInt24MatchesTheReferenceForEveryScale)
{
    // From -119 up the scale factor times 256 is finite and the packing folds it into one product.
    for (ScaleFactor sf : {-2000, -200, -127, -126, -120, -119, -23, -1, 0, 1, 23, 126, 127, 128, 2000}) {
        std::vector<float> in = InputsForScale(sf, 8388607.0);
        std::vector<uint8_t> out(3 * in.size() + 3, 0xEE);
        ASSERT_EQ(ConvertFloatToInt24(in.data(), out.data(), static_cast<int32_t>(in.size()), sf), StatusOk);
        for (size_t i = 0; i < in.size(); ++i) {
            ASSERT_EQ(Read24(&out[3 * i]), RefFloatToInt24(in[i], sf))
                << "x=" << in[i] << " bits " << std::hex << Bits(in[i]) << std::dec << " sf " << sf;
        }
        EXPECT_EQ(out[3 * in.size()], 0xEE);  // nothing written past the last sample
    }
}

// The packed 24-bit format is handled in blocks: every length around the block sizes writes its
// samples exactly and nothing past them.
TEST(Conversions, PackedSamplesAtEveryLength)
{
    std::vector<float> in = coretest::MixedFloats(700, 99);
    for (int32_t len : {1, 2, 3, 4, 5, 7, 8, 9, 255, 256, 257, 258, 511, 512, 513, 700}) {
        std::vector<uint8_t> packed(3 * static_cast<size_t>(len) + 16, 0xEE);
        ASSERT_EQ(ConvertFloatToInt24(in.data(), packed.data(), len, -20), StatusOk);
        for (int32_t i = 0; i < len; ++i) {
            ASSERT_EQ(Read24(&packed[3 * static_cast<size_t>(i)]), RefFloatToInt24(in[static_cast<size_t>(i)], -20))
                << len << " at " << i;
        }
        for (size_t b = 3 * static_cast<size_t>(len); b < packed.size(); ++b) {
            ASSERT_EQ(packed[b], 0xEE) << len;
        }
        std::vector<float> unpacked(static_cast<size_t>(len) + 4, 7.0f);
        ASSERT_EQ(ConvertInt24ToFloat(packed.data(), unpacked.data(), len), StatusOk);
        for (int32_t i = 0; i < len; ++i) {
            ASSERT_EQ(unpacked[static_cast<size_t>(i)], static_cast<float>(Read24(&packed[3 * static_cast<size_t>(i)])));
        }
        EXPECT_EQ(unpacked[static_cast<size_t>(len)], 7.0f);
    }
}

// The bodies work in blocks of 4 or 8 with a padded last block: every length writes its samples
// exactly and nothing past them, the int32 one also in place.
TEST(Conversions, BlockedBodiesAtEveryLength)
{
    const std::vector<float> in = InputsForScale(-15, 32767.0);
    const int16_t pcm[] = {-32768, 32767, -1, 0, 1, 12345, -23456, 7, -8, 300, -301, 16384, -16385, 2, -3, 4, -5, 6, 9};
    for (int32_t len = 1; len <= 19; ++len) {
        std::vector<float> widened(static_cast<size_t>(len) + 8, 7.0f);
        ASSERT_EQ(ConvertInt16ToFloat(pcm, widened.data(), len, 15), StatusOk);
        for (int32_t i = 0; i < len; ++i) {
            ASSERT_EQ(widened[static_cast<size_t>(i)], std::ldexp(static_cast<float>(pcm[i]), -15)) << len;
        }
        for (size_t i = static_cast<size_t>(len); i < widened.size(); ++i) {
            ASSERT_EQ(widened[i], 7.0f) << len;
        }
        for (RoundingMode mode : {RoundTowardZero, RoundNearestEven, RoundNearestAway}) {
            std::vector<int16_t> out16(static_cast<size_t>(len) + 8, 0x5A5A);
            ASSERT_EQ(ConvertFloatToInt16(in.data() + 3, out16.data(), len, mode, -15), StatusOk);
            std::vector<int32_t> inPlace(static_cast<size_t>(len) + 8, 0x5A5A5A5A);
            memcpy(inPlace.data(), in.data() + 3, sizeof(float) * static_cast<size_t>(len));
            ASSERT_EQ(ConvertFloatToInt32(reinterpret_cast<float*>(inPlace.data()), inPlace.data(), len, mode, -15),
                      StatusOk);
            for (int32_t i = 0; i < len; ++i) {
                const float x = in[static_cast<size_t>(i) + 3];
                ASSERT_EQ(out16[static_cast<size_t>(i)], RefFloatToInt16(x, mode, -15)) << len << " at " << i;
                ASSERT_EQ(inPlace[static_cast<size_t>(i)], RefFloatToInt32(x, mode, -15)) << len << " at " << i;
            }
            for (size_t i = static_cast<size_t>(len); i < out16.size(); ++i) {
                ASSERT_EQ(out16[i], 0x5A5A) << len;
                ASSERT_EQ(inPlace[i], 0x5A5A5A5A) << len;
            }
        }
    }
}

// The generic bodies leave the control register alone, and a caller's directed rounding mode
// changes no result of the modes that do not depend on it.
TEST_P(ConversionsEverySlot, DirectedRoundingOfTheCallerChangesNoResult)
{
    std::vector<float> in = InputsForScale(-15, 32767.0);
    std::vector<float> in24 = InputsForScale(-20, 8388607.0);
    const int32_t len = static_cast<int32_t>(in.size());
    const int32_t len24 = static_cast<int32_t>(in24.size());
    const unsigned int original = _mm_getcsr();
    for (unsigned int rounding : {0x2000u, 0x4000u, 0x6000u}) {
        const unsigned int callerCsr = (original & ~0x6000u) | rounding;
        std::vector<int16_t> even(in.size()), zero(in.size());
        std::vector<int32_t> even32(in.size());
        std::vector<uint8_t> packed(3 * in24.size());
        _mm_setcsr(callerCsr);
        ConvertFloatToInt16(in.data(), even.data(), len, RoundNearestEven, -15);
        ConvertFloatToInt16(in.data(), zero.data(), len, RoundTowardZero, -15);
        ConvertFloatToInt32(in.data(), even32.data(), len, RoundNearestEven, -15);
        ConvertFloatToInt24(in24.data(), packed.data(), len24, -20);
        const unsigned int after = _mm_getcsr();
        _mm_setcsr(original);
        EXPECT_EQ(after & ~0x3Fu, callerCsr & ~0x3Fu);
        for (size_t i = 0; i < in.size(); ++i) {
            ASSERT_EQ(even[i], RefFloatToInt16(in[i], RoundNearestEven, -15)) << in[i] << " rc " << rounding;
            ASSERT_EQ(zero[i], RefFloatToInt16(in[i], RoundTowardZero, -15)) << in[i] << " rc " << rounding;
            ASSERT_EQ(even32[i], RefFloatToInt32(in[i], RoundNearestEven, -15)) << in[i] << " rc " << rounding;
        }
        for (size_t i = 0; i < in24.size(); ++i) {
            ASSERT_EQ(Read24(&packed[3 * i]), RefFloatToInt24(in24[i], -20)) << in24[i] << " rc " << rounding;
        }
    }
}

TEST_P(ConversionsEverySlot, IntegerToFloatWithClampedScales)
{
    std::vector<int16_t> all16;
    for (int v = -32768; v <= 32767; ++v) {
        all16.push_back(static_cast<int16_t>(v));
    }
    std::vector<int32_t> some32 = {0, 1, -1, 16777217, -16777217, 2147483647, INT32_MIN, 123456789, -987654321};
    std::mt19937 rng(3);
    for (int i = 0; i < 4000; ++i) {
        some32.push_back(static_cast<int32_t>(rng()));
    }
    for (ScaleFactor sf : {-200, -113, -112, -97, -96, -1, 0, 1, 15, 31, 126, 127, 200}) {
        std::vector<float> out16(all16.size());
        std::vector<float> out32(some32.size());
        ASSERT_EQ(ConvertInt16ToFloat(all16.data(), out16.data(), static_cast<int32_t>(all16.size()), sf), StatusOk);
        ASSERT_EQ(ConvertInt32ToFloatScaled(some32.data(), out32.data(), static_cast<int32_t>(some32.size()), sf),
                  StatusOk);
        const int32_t sf16 = std::clamp(sf, -112, 126);
        const int32_t sf32 = std::clamp(sf, -96, 126);
        for (size_t i = 0; i < all16.size(); ++i) {
            float expected = static_cast<float>(std::ldexp(static_cast<double>(all16[i]), -sf16));
            ASSERT_EQ(Bits(out16[i]), Bits(expected)) << all16[i] << " sf " << sf;
        }
        for (size_t i = 0; i < some32.size(); ++i) {
            double rounded = static_cast<double>(static_cast<float>(some32[i]));
            float expected = static_cast<float>(std::ldexp(rounded, -sf32));
            ASSERT_EQ(Bits(out32[i]), Bits(expected)) << some32[i] << " sf " << sf;
        }
    }
    // The clamps keep every result finite and exact.
    int16_t one = 1, top = 32767;
    float f = 0;
    ConvertInt16ToFloat(&one, &f, 1, 200);
    EXPECT_EQ(f, std::ldexp(1.0f, -126));
    ConvertInt16ToFloat(&top, &f, 1, -200);
    EXPECT_EQ(f, std::ldexp(32767.0f, 112));

    std::vector<float> plain(some32.size());
    ASSERT_EQ(ConvertInt32ToFloat(some32.data(), plain.data(), static_cast<int32_t>(some32.size())), StatusOk);
    EXPECT_EQ(plain[3], 16777216.0f);
    EXPECT_EQ(plain[5], 2147483648.0f);
    for (size_t i = 0; i < some32.size(); ++i) {
        ASSERT_EQ(static_cast<double>(plain[i]), static_cast<double>(static_cast<float>(some32[i])));
    }
}

TEST_P(ConversionsEverySlot, SameWidthConversionsWorkInPlace)
{
    std::vector<int32_t> values = {5, -7, 16777217, INT32_MAX, INT32_MIN, 0, 99, -100000, 3, 8388607, 12, 13};
    for (size_t offset = 0; offset < 4; ++offset) {
        std::vector<int32_t> buffer(values.size() + offset);
        std::copy(values.begin(), values.end(), buffer.begin() + static_cast<ptrdiff_t>(offset));
        int32_t* p = buffer.data() + offset;
        const int32_t len = static_cast<int32_t>(values.size());
        auto* f = reinterpret_cast<float*>(p);

        ASSERT_EQ(ConvertInt32ToFloatScaled(p, f, len, 4), StatusOk);
        for (size_t i = 0; i < values.size(); ++i) {
            ASSERT_EQ(f[i], std::ldexp(static_cast<float>(values[i]), -4));
        }
        ASSERT_EQ(ConvertFloatToInt32(f, p, len, RoundNearestEven, -4), StatusOk);
        ASSERT_EQ(ConvertInt32ToFloat(p, f, len), StatusOk);
        for (size_t i = 0; i < values.size(); ++i) {
            ASSERT_EQ(f[i], static_cast<float>(RefFloatToInt32(std::ldexp(static_cast<float>(values[i]), -4),
                                                               RoundNearestEven, -4)));
        }
    }
}

TEST_P(ConversionsEverySlot, PinnedValues)
{
    // Where the processor-specific kernels differ by design: a NaN to int16 with ties away gives
    // 32767, to int32 with ties away the bound of its sign, to 24 bits the lower bound (so does the
    // NaN that a zero factor makes of an infinity).
    const bool slotted = DispatchIndex != 0;
    struct Case16 {
        float x;
        RoundingMode mode;
        ScaleFactor sf;
        int16_t expected;
    };
    const Case16 cases16[] = {
        {1.0f, RoundTowardZero, -15, 32767},     {-1.0f, RoundTowardZero, -15, -32768},
        {0.5f, RoundTowardZero, -15, 16384},     {-0.99999f, RoundTowardZero, -15, -32767},
        {2.5f, RoundNearestEven, 0, 2},          {3.5f, RoundNearestEven, 0, 4},
        {-2.5f, RoundNearestEven, 0, -2},        {32767.5f, RoundNearestEven, 0, 32767},
        {2.5f, RoundNearestAway, 0, 3},          {-2.5f, RoundNearestAway, 0, -3},
        {-2.7f, RoundTowardZero, 0, -2},         {2.5f, 7, 0, 3},
        {-2.5f, -1, 0, -3},                      {0.4999999701976776f, RoundNearestAway, 0, 1},
        {kNan, RoundTowardZero, 0, 0},           {kNan, RoundNearestAway, -15, static_cast<int16_t>(slotted ? 32767 : 0)},
        {kInf, RoundNearestEven, 0, 32767},      {-kInf, RoundTowardZero, 3, -32768},
        {12345.0f, RoundTowardZero, 2000, 0},    {kInf, RoundTowardZero, 2000, 0},
        {0.25f, RoundTowardZero, -2000, 32767},  {0.0f, RoundTowardZero, -2000, 0},
    };
    for (const Case16& c : cases16) {
        int16_t out = 111;
        ASSERT_EQ(ConvertFloatToInt16(&c.x, &out, 1, c.mode, c.sf), StatusOk);
        EXPECT_EQ(out, c.expected) << c.x << " mode " << c.mode << " sf " << c.sf;
    }

    struct Case32 {
        float x;
        RoundingMode mode;
        int32_t expected;
    };
    const Case32 cases32[] = {
        {0.4999999701976776f, RoundNearestAway, 0}, {kNan, RoundTowardZero, 0},
        {kNan, RoundNearestEven, 0},                {kNan, RoundNearestAway, slotted ? INT32_MAX : INT32_MIN},
        {kInf, RoundNearestAway, INT32_MAX},        {-kInf, RoundNearestEven, INT32_MIN},
        {2147483648.0f, RoundTowardZero, INT32_MAX}, {-2147483648.0f, RoundNearestAway, INT32_MIN},
    };
    for (const Case32& c : cases32) {
        int32_t out = 111;
        ASSERT_EQ(ConvertFloatToInt32(&c.x, &out, 1, c.mode, 0), StatusOk);
        EXPECT_EQ(out, c.expected) << c.x << " mode " << c.mode;
    }

    struct Case24 {
        float x;
        ScaleFactor sf;
        uint8_t b0, b1, b2;
    };
    const Case24 cases24[] = {
        {8388606.5f, 0, 0xFE, 0xFF, 0x7F}, {8388607.5f, 0, 0xFF, 0xFF, 0x7F}, {-8388610.0f, 0, 0x00, 0x00, 0x80},
        {1.5f, 0, 2, 0, 0},                {2.5f, 0, 2, 0, 0},                {-1.5f, 0, 0xFE, 0xFF, 0xFF},
        {-1.0f, 0, 0xFF, 0xFF, 0xFF},      {kNan, 0, 0, 0, static_cast<uint8_t>(slotted ? 0x80 : 0)},                {kInf, 0, 0xFF, 0xFF, 0x7F},
        {-kInf, 5, 0x00, 0x00, 0x80},      {1.0f, -23, 0xFF, 0xFF, 0x7F},     {123.0f, 127, 0, 0, 0},
        {-kInf, 127, 0, 0, 0},             {1e30f, 300, 0, 0, 0},
    };
    for (const Case24& c : cases24) {
        uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        ASSERT_EQ(ConvertFloatToInt24(&c.x, out, 1, c.sf), StatusOk);
        EXPECT_EQ(out[0], c.b0) << c.x << " sf " << c.sf;
        EXPECT_EQ(out[1], c.b1) << c.x << " sf " << c.sf;
        EXPECT_EQ(out[2], c.b2) << c.x << " sf " << c.sf;
        EXPECT_EQ(out[3], 0xEE);
    }
    // sf -200 is clamped to -127.
    const float tiny[] = {std::ldexp(1.0f, -120), std::ldexp(1.0f, -130), std::ldexp(3.0f, -128)};
    uint8_t clamped[9], exact[9];
    ASSERT_EQ(ConvertFloatToInt24(tiny, clamped, 3, -200), StatusOk);
    ASSERT_EQ(ConvertFloatToInt24(tiny, exact, 3, -127), StatusOk);
    EXPECT_EQ(0, memcmp(clamped, exact, sizeof(exact)));
    EXPECT_EQ(Read24(clamped), 128);

    const uint8_t packed[] = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF};
    float unpacked[3];
    ASSERT_EQ(ConvertInt24ToFloat(packed, unpacked, 3), StatusOk);
    EXPECT_EQ(unpacked[0], -8388608.0f);
    EXPECT_EQ(unpacked[1], 8388607.0f);
    EXPECT_EQ(unpacked[2], -1.0f);
}

// The stream engine's paths: PCM to float and back gives every 16-bit and every 24-bit value back.
TEST_P(ConversionsEverySlot, PcmRoundTripsAreExhaustivelyExact)
{
    std::vector<int16_t> pcm16;
    for (int v = -32768; v <= 32767; ++v) {
        pcm16.push_back(static_cast<int16_t>(v));
    }
    const int32_t len16 = static_cast<int32_t>(pcm16.size());
    std::vector<float> f16(pcm16.size());
    ASSERT_EQ(ConvertInt16ToFloat(pcm16.data(), f16.data(), len16, 15), StatusOk);
    for (RoundingMode mode : {RoundTowardZero, RoundNearestEven, RoundNearestAway}) {
        std::vector<int16_t> back(pcm16.size());
        ASSERT_EQ(ConvertFloatToInt16(f16.data(), back.data(), len16, mode, -15), StatusOk);
        ASSERT_EQ(back, pcm16) << "mode " << mode;
    }

    const int32_t len24 = 1 << 24;
    std::vector<uint8_t> pcm24(3 * static_cast<size_t>(len24));
    for (int32_t i = 0; i < len24; ++i) {
        Write24(&pcm24[3 * static_cast<size_t>(i)], i - (1 << 23));
    }
    std::vector<float> f24(static_cast<size_t>(len24));
    ASSERT_EQ(ConvertInt24ToFloat(pcm24.data(), f24.data(), len24), StatusOk);
    for (int32_t i = 0; i < len24; i += 4099) {
        ASSERT_EQ(f24[static_cast<size_t>(i)], static_cast<float>(i - (1 << 23)));
    }
    std::vector<uint8_t> back24(pcm24.size());
    ASSERT_EQ(ConvertFloatToInt24(f24.data(), back24.data(), len24, 0), StatusOk);
    ASSERT_TRUE(back24 == pcm24);
    // Scaled to full scale 1.0 as the stream engine does, and back.
    ASSERT_EQ(DivideByConstantInPlace(8388608.0f, f24.data(), len24), StatusOk);
    EXPECT_EQ(f24[0], -1.0f);
    std::fill(back24.begin(), back24.end(), 0);
    ASSERT_EQ(ConvertFloatToInt24(f24.data(), back24.data(), len24, -23), StatusOk);
    ASSERT_TRUE(back24 == pcm24);
}

}  // namespace
