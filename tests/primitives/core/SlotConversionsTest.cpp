// The processor-specific conversion bodies against the generic ones: status, every output byte
// and nothing written outside, over lengths, alignments, values, modes and scale factors. Where
// the processor-specific kernels differ by design, the expected value says so.
#include <gtest/gtest.h>

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

using coretest::Bits;
using coretest::FromBits;

constexpr uint8_t kFill = 0xA5;
constexpr size_t kPad = 32;

// A byte buffer with a chosen offset from a 64-byte boundary and filled padding on both sides.
struct Region {
    std::vector<uint8_t> storage;
    uint8_t* data;
    Region(size_t bytes, size_t offset) : storage(bytes + 2 * kPad + 128, kFill)
    {
        auto base = reinterpret_cast<uintptr_t>(storage.data()) + kPad;
        data = reinterpret_cast<uint8_t*>((base + 63) & ~uintptr_t{63}) + offset;
    }
};

const std::vector<int32_t>& Lengths()
{
    static const std::vector<int32_t> lengths = [] {
        std::vector<int32_t> v;
        for (int32_t n = 1; n <= 70; ++n) {
            v.push_back(n);
        }
        for (int32_t n : {127, 128, 129, 255, 256, 257, 1023, 1024, 1025}) {
            v.push_back(n);
        }
        return v;
    }();
    return lengths;
}

const std::vector<int32_t>& ScaleFactors()
{
    static const std::vector<int32_t> sfs = [] {
        std::vector<int32_t> v = {2000, -2000, -200, -128, -127, 126, 127, 149, 150};
        for (int32_t sf = -31; sf <= 31; ++sf) {
            v.push_back(sf);
        }
        return v;
    }();
    return sfs;
}

const RoundingMode kModes[] = {0, 1, 2, 7, -1};

bool IsAway(RoundingMode mode)
{
    return mode != RoundTowardZero && mode != RoundNearestEven;
}

// Source floats: every kind of value, plus the bounds, ties and the values just below one half.
std::vector<float> Inputs(size_t n, uint32_t seed)
{
    std::vector<float> v = coretest::MixedFloats(n, seed);
    const float more[] = {0.49999997f, -0.49999997f, 1.4999999f, 16383.5f, -16384.5f, 2147483648.0f,
                          -2147483904.0f, FromBits(0x807FFFFFu), 4194303.5f, -1.5f, 3.5f, FromBits(0x7F800001u)};
    for (size_t i = 0; i < std::size(more) && 24 + i < n; ++i) {
        v[24 + i] = more[i];
    }
    return v;
}

// What the processor-specific kernels give where they differ from the generic body by design: a
// NaN under the ties-away kernels, and a zero under a double factor that has overflowed (sf -1024
// and below), which the generic int32 ties-away body turns into the NaN product's INT32_MIN while
// the kernels keep the exact 0. Otherwise the generic value.
int64_t SlotFloatToInt(float x, RoundingMode mode, ScaleFactor sf, int64_t generic, int bits)
{
    const int64_t max = (int64_t{1} << (bits - 1)) - 1;
    const int64_t min = -max - 1;
    if (std::isnan(x) && IsAway(mode)) {
        return bits == 16 ? max : (std::signbit(x) ? min : max);
    }
    if (x == 0.0f && sf <= -1024) {
        return 0;
    }
    return generic;
}

struct Scene {
    int32_t len;
    size_t srcOffset;
    size_t dstOffset;
    ScaleFactor sf;
    RoundingMode mode;
};

std::string Describe(int slot, const Scene& s)
{
    return "slot " + std::to_string(slot) + " len " + std::to_string(s.len) + " src+" + std::to_string(s.srcOffset) +
           " dst+" + std::to_string(s.dstOffset) + " sf " + std::to_string(s.sf) + " mode " + std::to_string(s.mode);
}

// Runs both bodies on the same input into two filled regions, corrects the generic output by
// expect(i, x, genericValue) and compares every byte, padding included.
template <typename In, typename Out, typename Call, typename Expect>
void Compare(int slot, const Scene& s, const std::vector<In>& input, size_t inUnits, size_t outBytes, Call call,
             Expect expect, int& failures)
{
    const size_t inBytes = static_cast<size_t>(s.len) * inUnits * sizeof(In);
    Region src(inBytes, s.srcOffset);
    memcpy(src.data, input.data(), inBytes);
    Region generic(static_cast<size_t>(s.len) * outBytes, s.dstOffset);
    Region variant(static_cast<size_t>(s.len) * outBytes, s.dstOffset);
    const PrimitiveStatus g = call(0, src.data, generic.data);
    const PrimitiveStatus v = call(slot, src.data, variant.data);
    for (int32_t i = 0; i < s.len; ++i) {
        expect(i, src.data, generic.data + static_cast<size_t>(i) * outBytes);
    }
    const size_t window = static_cast<size_t>(s.len) * outBytes + 2 * kPad;
    const bool same = g == v && memcmp(generic.data - kPad, variant.data - kPad, window) == 0;
    if (!same && ++failures <= 5) {
        ADD_FAILURE() << Describe(slot, s) << " status " << v << " vs " << g;
        for (int32_t i = 0; i < s.len; ++i) {
            if (memcmp(generic.data + i * outBytes, variant.data + i * outBytes, outBytes) != 0) {
                ADD_FAILURE() << "  first difference at element " << i;
                break;
            }
        }
    }
    EXPECT_EQ(0, memcmp(src.data, input.data(), inBytes)) << Describe(slot, s) << ": source written";
}

template <typename Fn>
Fn* Body(const DispatchTable<Fn>& table, int slot)
{
    return table.Slot[slot];
}

// Every float-to-integer body over one scene.
void FloatToIntScene(int slot, const Scene& s, const std::vector<float>& input, int& failures)
{
    Compare<float, int16_t>(
        slot, s, input, 1, 2,
        [&](int k, uint8_t* in, uint8_t* out) {
            return Body(ConvertFloatToInt16DispatchTable, k)(reinterpret_cast<float*>(in),
                                                             reinterpret_cast<int16_t*>(out), s.len, s.mode, s.sf);
        },
        [&](int32_t i, const uint8_t* in, uint8_t* out) {
            float x;
            int16_t g;
            memcpy(&x, in + 4 * i, 4);
            memcpy(&g, out, 2);
            const auto e = static_cast<int16_t>(SlotFloatToInt(x, s.mode, s.sf, g, 16));
            memcpy(out, &e, 2);
        },
        failures);
    Compare<float, int32_t>(
        slot, s, input, 1, 4,
        [&](int k, uint8_t* in, uint8_t* out) {
            return Body(ConvertFloatToInt32DispatchTable, k)(reinterpret_cast<float*>(in),
                                                             reinterpret_cast<int32_t*>(out), s.len, s.mode, s.sf);
        },
        [&](int32_t i, const uint8_t* in, uint8_t* out) {
            float x;
            int32_t g;
            memcpy(&x, in + 4 * i, 4);
            memcpy(&g, out, 4);
            const auto e = static_cast<int32_t>(SlotFloatToInt(x, s.mode, s.sf, g, 32));
            memcpy(out, &e, 4);
        },
        failures);
    if (s.mode != 0) {
        return;  // the 24-bit conversion has no mode
    }
    Compare<float, uint8_t>(
        slot, s, input, 1, 3,
        [&](int k, uint8_t* in, uint8_t* out) {
            return Body(ConvertFloatToInt24DispatchTable, k)(reinterpret_cast<float*>(in), out, s.len, s.sf);
        },
        [&](int32_t i, const uint8_t* in, uint8_t* out) {
            float x;
            memcpy(&x, in + 4 * i, 4);
            if (std::isnan(x)) {
                // A NaN input clamps to the lower bound.
                out[0] = 0x00;
                out[1] = 0x00;
                out[2] = 0x80;
            }
        },
        failures);
}

void IntToFloatScene(int slot, const Scene& s, const std::vector<uint8_t>& input, int& failures)
{
    auto keep = [](int32_t, const uint8_t*, uint8_t*) {};
    Compare<int16_t, float>(
        slot, s, std::vector<int16_t>(reinterpret_cast<const int16_t*>(input.data()),
                                      reinterpret_cast<const int16_t*>(input.data()) + input.size() / 2),
        1, 4,
        [&](int k, uint8_t* in, uint8_t* out) {
            return Body(ConvertInt16ToFloatDispatchTable, k)(reinterpret_cast<int16_t*>(in),
                                                             reinterpret_cast<float*>(out), s.len, s.sf);
        },
        keep, failures);
    Compare<uint8_t, float>(
        slot, s, input, 3, 4,
        [&](int k, uint8_t* in, uint8_t* out) {
            return Body(ConvertInt24ToFloatDispatchTable, k)(in, reinterpret_cast<float*>(out), s.len);
        },
        keep, failures);
    const std::vector<int32_t> words(reinterpret_cast<const int32_t*>(input.data()),
                                     reinterpret_cast<const int32_t*>(input.data()) + input.size() / 4);
    Compare<int32_t, float>(
        slot, s, words, 1, 4,
        [&](int k, uint8_t* in, uint8_t* out) {
            return Body(ConvertInt32ToFloatScaledDispatchTable, k)(reinterpret_cast<int32_t*>(in),
                                                                   reinterpret_cast<float*>(out), s.len, s.sf);
        },
        keep, failures);
    Compare<int32_t, float>(
        slot, s, words, 1, 4,
        [&](int k, uint8_t* in, uint8_t* out) {
            return Body(ConvertInt32ToFloatDispatchTable, k)(reinterpret_cast<int32_t*>(in),
                                                             reinterpret_cast<float*>(out), s.len);
        },
        keep, failures);
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) {
        b = static_cast<uint8_t>(rng());
    }
    // Extremes of every width at the start.
    const uint8_t extremes[] = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00,
                                0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x00, 0x01};
    memcpy(v.data(), extremes, sizeof(extremes));
    return v;
}

class SlotConversions : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        if (!coretest::ProcessorRunsSlot(GetParam())) {
            GTEST_SKIP() << "this processor lacks slot " << GetParam();
        }
    }
};

TEST_P(SlotConversions, FloatToIntegerAtEveryLengthAndAlignment)
{
    const std::vector<float> input = Inputs(1100, 11);
    int failures = 0;
    for (int32_t len : Lengths()) {
        for (size_t srcOffset : {0, 4, 8, 12}) {
            for (size_t dstOffset : {0, 1, 2, 4, 6, 8, 12, 15}) {
                for (ScaleFactor sf : {0, -15, 3}) {
                    for (RoundingMode mode : kModes) {
                        FloatToIntScene(GetParam(), {len, srcOffset, dstOffset, sf, mode}, input, failures);
                    }
                }
            }
        }
    }
}

TEST_P(SlotConversions, FloatToIntegerForEveryScaleAndMode)
{
    const std::vector<float> input = Inputs(300, 12);
    int failures = 0;
    for (ScaleFactor sf : ScaleFactors()) {
        for (RoundingMode mode : kModes) {
            for (int32_t len : {67, 300}) {
                FloatToIntScene(GetParam(), {len, 0, 0, sf, mode}, input, failures);
                FloatToIntScene(GetParam(), {len, 4, 2, sf, mode}, input, failures);
            }
        }
    }
}

TEST_P(SlotConversions, IntegerToFloatAtEveryLengthAlignmentAndScale)
{
    const std::vector<uint8_t> input = RandomBytes(4 * 1100, 13);
    int failures = 0;
    for (int32_t len : Lengths()) {
        for (size_t srcOffset = 0; srcOffset < 16; ++srcOffset) {
            for (size_t dstOffset : {0, 4, 8, 12, 2}) {
                IntToFloatScene(GetParam(), {len, srcOffset, dstOffset, len % 2 == 0 ? 0 : 15, 0}, input, failures);
            }
        }
    }
    for (ScaleFactor sf : ScaleFactors()) {
        IntToFloatScene(GetParam(), {300, 0, 0, sf, 0}, input, failures);
    }
}

TEST_P(SlotConversions, ArgumentErrorsWriteNothing)
{
    const int k = GetParam();
    float f[4] = {1, 2, 3, 4};
    int16_t s[4] = {5, 6, 7, 8};
    uint8_t b[12] = {};
    int32_t w[4] = {9, 9, 9, 9};
    EXPECT_EQ(Body(ConvertFloatToInt16DispatchTable, k)(nullptr, s, 0, 0, 0), StatusNullPointer);
    EXPECT_EQ(Body(ConvertFloatToInt16DispatchTable, k)(f, s, 0, 1, 0), StatusSizeError);
    EXPECT_EQ(Body(ConvertFloatToInt32DispatchTable, k)(f, nullptr, -3, 2, 0), StatusNullPointer);
    EXPECT_EQ(Body(ConvertFloatToInt32DispatchTable, k)(f, w, -3, 2, 0), StatusSizeError);
    EXPECT_EQ(Body(ConvertInt16ToFloatDispatchTable, k)(s, nullptr, 4, 3), StatusNullPointer);
    EXPECT_EQ(Body(ConvertInt24ToFloatDispatchTable, k)(nullptr, f, 4), StatusNullPointer);
    EXPECT_EQ(Body(ConvertFloatToInt24DispatchTable, k)(f, b, 0, 0), StatusSizeError);
    EXPECT_EQ(Body(ConvertInt32ToFloatDispatchTable, k)(w, f, 0), StatusSizeError);
    EXPECT_EQ(Body(ConvertInt32ToFloatScaledDispatchTable, k)(nullptr, f, 0, 1), StatusNullPointer);
    EXPECT_EQ(f[0], 1.0f);
    EXPECT_EQ(s[0], 5);
    EXPECT_EQ(w[0], 9);
    EXPECT_EQ(b[0], 0);
}

INSTANTIATE_TEST_SUITE_P(Slots, SlotConversions, ::testing::Values(1, 2, 3),
                         [](const ::testing::TestParamInfo<int>& info) { return "Slot" + std::to_string(info.param); });

}  // namespace
