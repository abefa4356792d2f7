#include "primitives/core/ElementAccess.h"
#include "primitives/core/Conversions.h"

#include <cstring>
#include <type_traits>
#include <xmmintrin.h>

#include "primitives/core/ArgumentChecks.h"

// Keeps a loop out of line and unspecialised by its callers' constants (see SampleRange).
#if defined(__clang__)
#define KVX_NO_IPA __attribute__((noinline))
#else
#define KVX_NO_IPA __attribute__((noipa))
#endif

namespace {

// 2^-sf as a double, formed by exact halvings or doublings; it reaches 0 from sf 1075 and
// infinity from sf -1024 on, and stays there.
double DoubleScale(ScaleFactor sf)
{
    double factor = 1.0;
    for (int32_t i = 0; i < sf && factor != 0.0; ++i) {
        factor *= 0.5;
    }
    for (int32_t i = 0; i > sf && factor != __builtin_inf(); --i) {
        factor *= 2.0;
    }
    return factor;
}

// 2^-sf as a float built from its exponent field, sf clamped to [low, high].
float FloatScale(ScaleFactor sf, int32_t low, int32_t high)
{
    if (sf < low) {
        sf = low;
    }
    if (sf > high) {
        sf = high;
    }
    return __builtin_bit_cast(float, static_cast<uint32_t>(127 - sf) << 23);
}

// NearestEvenByAddition is nearest-even through the float adder, valid only while the control
// register rounds to nearest (see RoundLanes); NearestAwayHalfInSingle adds the half in single
// precision.
enum class Rounding { TowardZero, NearestEven, NearestAway, NearestEvenByAddition, NearestAwayHalfInSingle };

// Calls f with the mode as a compile-time constant, so that each loop is built for one mode.
template <typename F>
inline void WithRounding(Rounding rounding, F&& f)
{
    switch (rounding) {
    case Rounding::TowardZero:
        f(std::integral_constant<Rounding, Rounding::TowardZero>{});
        break;
    case Rounding::NearestEven:
        f(std::integral_constant<Rounding, Rounding::NearestEven>{});
        break;
    case Rounding::NearestAway:
        f(std::integral_constant<Rounding, Rounding::NearestAway>{});
        break;
    case Rounding::NearestEvenByAddition:
        f(std::integral_constant<Rounding, Rounding::NearestEvenByAddition>{});
        break;
    case Rounding::NearestAwayHalfInSingle:
        // Only the unscaled int16 conversion uses it, and calls its loop directly.
        break;
    }
}

// The control register's rounding-control bits; 0 is round to nearest.
constexpr unsigned int MXCSR_ROUNDING = 0x6000u;

// The nearest-even mode for values within +-2^23, by the cheaper addition when the caller's
// control register rounds to nearest (the register is only read).
inline Rounding NearestEvenForSmallValues()
{
    return (_mm_getcsr() & MXCSR_ROUNDING) == 0 ? Rounding::NearestEvenByAddition : Rounding::NearestEven;
}

inline Rounding RoundingOf(RoundingMode mode)
{
    return mode == RoundTowardZero ? Rounding::TowardZero
                                   : (mode == RoundNearestEven ? Rounding::NearestEven : Rounding::NearestAway);
}

// Rounds p, already known to lie within [lo, hi] of the output type (lo, hi integers), to an
// integer by the mode. The half is added in double precision.
template <Rounding R>
inline int32_t RoundInRange(double p)
{
    if constexpr (R == Rounding::TowardZero) {
        return static_cast<int32_t>(p);
    } else {
        double sum = p + (p < 0.0 ? -0.5 : 0.5);
        int32_t q = static_cast<int32_t>(sum);
        if constexpr (R == Rounding::NearestEven) {
            // A tie truncated to an odd integer goes one step back toward zero.
            bool tie = static_cast<double>(q) == sum;
            int32_t step = (tie && (q & 1) != 0) ? (q > 0 ? 1 : -1) : 0;
            q -= step;
        }
        return q;
    }
}

// One element to a saturated integer in [lo, hi]. The inclusive bound tests of the nearest-away
// mode and the exclusive ones of the others give the same value, since the bounds are integers.
template <Rounding R, typename Out>
inline Out SaturateRound(double p, double lo, double hi, Out nanResult)
{
    if (p != p) {
        return nanResult;
    }
    if (p >= hi) {
        return static_cast<Out>(hi);
    }
    if (p <= lo) {
        return static_cast<Out>(lo);
    }
    return static_cast<Out>(RoundInRange<R>(p));
}

// The single-precision path. p = src[i] * 2^-sf is exact in float whenever 2^-sf is a normal float,
// except where it overflows (saturated either way) or falls below 2^-126 (0 in every mode either
// way), so it gives exactly the double-precision results.
constexpr ScaleFactor SINGLE_PATH_MIN_SF = -127;
constexpr ScaleFactor SINGLE_PATH_MAX_SF = 126;

// The single-precision loops work on four lanes at a time with the baseline instruction set,
// written with vector extensions so that they do not depend on the vectoriser.
typedef float V4f __attribute__((vector_size(16)));
typedef int32_t V4i __attribute__((vector_size(16)));
typedef uint32_t V4u __attribute__((vector_size(16)));
typedef uint64_t V2q __attribute__((vector_size(16)));
typedef int16_t V8s __attribute__((vector_size(16)));

constexpr uint32_t SIGN_BIT = 0x80000000u;

inline V4f Splat(float x)
{
    return V4f{x, x, x, x};
}

inline V4f LoadFloats(const float* p)
{
    V4f v;
    memcpy(&v, p, sizeof(v));
    return v;
}

// A lane mask (all ones where the comparison holds) as unsigned lanes.
inline V4u Mask(V4i comparison)
{
    return __builtin_bit_cast(V4u, comparison);
}

inline V4u BitsOf(V4f v)
{
    return __builtin_bit_cast(V4u, v);
}

inline V4f FloatsOf(V4u v)
{
    return __builtin_bit_cast(V4f, v);
}

// Truncation toward zero as the baseline conversion does it: a NaN or out-of-range lane gives
// 0x80000000. The loops below rely on that value: its low 16 and 24 bits are 0.
inline V4u Truncate(V4f v)
{
    V4i t = __builtin_convertvector(v, V4i);
    return __builtin_bit_cast(V4u, t);
}

inline V4f ToFloat(V4u v)
{
    return __builtin_convertvector(__builtin_bit_cast(V4i, v), V4f);
}

// Runs block(s, d) over whole blocks of Block samples in ascending order, each of which may read
// or write up to Spare samples past its own; the rest goes through zero-padded copies. A sample is
// InUnits source and OutUnits destination elements.
template <int32_t Block, int32_t Spare, int32_t InUnits, int32_t OutUnits, typename In, typename Out, typename F>
inline void InBlocks(const In* src, Out* dst, int32_t len, F block)
{
    int32_t i = 0;
    for (; i + Block + Spare <= len; i += Block) {
        block(src + InUnits * static_cast<int64_t>(i), dst + OutUnits * static_cast<int64_t>(i));
    }
    if (i < len) {
        const auto rest = static_cast<size_t>(len - i);
        In in[(Block + Spare) * InUnits] = {};
        Out out[(Block + Spare) * OutUnits];
        memcpy(in, src + InUnits * static_cast<int64_t>(i), rest * InUnits * sizeof(In));
        block(in, out);
        memcpy(dst + OutUnits * static_cast<int64_t>(i), out, rest * OutUnits * sizeof(Out));
    }
}

// Saturation bounds of an output type. The loops take them as a run-time argument of a function
// the optimiser does not specialise: with constant bounds the compiler no longer recognises the
// selects below as the single max and min instructions and spells each out in four.
struct SampleRange {
    float lo;
    float hi;
};

constexpr SampleRange INT16_RANGE = {-32768.0f, 32767.0f};
constexpr SampleRange INT24_RANGE = {-8388608.0f, 8388607.0f};
// The floats that convert to int32: -2^31 up to the largest float below 2^31. No float times a
// power of two lies strictly between 2147483647 and 2^31, so p >= 2^31 is the saturating test.
constexpr SampleRange INT32_INSIDE = {-2147483648.0f, 2147483520.0f};

// Clamps p to [lo, hi]. The operands are in the order of the baseline max and min, which return
// their second operand for a NaN: a NaN lane passes through unchanged.
inline V4f ClampPassingNan(V4f p, V4f lo, V4f hi)
{
    V4f c = lo > p ? lo : p;
    return hi < c ? hi : c;
}

// Rounds the lanes of c, NaN or within the int32 range, to integers by the mode. A NaN lane gives
// 0 from the exact modes (the wrapped sum of two 0x80000000) and 0x80000000 from the others.
// NearestEvenByAddition needs |c| <= 2^23, or |c| <= 2^22 when narrow.
template <Rounding R, bool Narrow = false>
inline V4u RoundLanes(V4f c)
{
    if constexpr (R == Rounding::TowardZero) {
        return Truncate(c);
    } else if constexpr (R == Rounding::NearestEvenByAddition) {
        // c + m lies where the float spacing is 1, so the adder rounds it to the nearest integer,
        // ties to even; taking m off again is exact. For narrow values m = 1.5 * 2^23 serves both
        // signs; otherwise m is 2^23 with the sign of c.
        V4f magic = Narrow ? Splat(12582912.0f) : FloatsOf((BitsOf(c) & SIGN_BIT) | 0x4B000000u);
        return Truncate((c + magic) - magic);
    } else if constexpr (R == Rounding::NearestAwayHalfInSingle) {
        V4f half = FloatsOf((BitsOf(c) & SIGN_BIT) | 0x3F000000u);
        return Truncate(c + half);
    } else {
        // The fraction f = c - trunc(c) and 2f are exact, and 2f truncates to -1, 0 or 1: the step
        // away from zero that a magnitude of at least one half takes. Exact whatever the control
        // register says.
        V4u t = Truncate(c);
        V4f twice = (c - ToFloat(t)) * 2.0f;
        V4u step = Truncate(twice);
        if constexpr (R == Rounding::NearestEven) {
            // At a tie an even t stays.
            V4u tie = Mask((BitsOf(twice) & 0x7FFFFFFFu) == 0x3F800000u);
            V4u even = Mask((t & 1u) == 0u);
            step &= ~(tie & even);
        }
        return t + step;
    }
}

// Eight samples at a time: the lanes are split into even and odd samples first, so that the two
// rounded halves interleave into 16-bit values with a mask, a shift and an or. roundFour gives
// each result in the low 16 bits of its lane.
template <typename RoundFour>
inline void FloatToInt16Blocks(const float* src, int16_t* dst, int32_t len, RoundFour roundFour)
{
    auto block = [&](const float* s, int16_t* d) {
        const V4f a = LoadFloats(s);
        const V4f b = LoadFloats(s + 4);
        const V4u e = roundFour(__builtin_shufflevector(a, b, 0, 2, 4, 6));
        const V4u o = roundFour(__builtin_shufflevector(a, b, 1, 3, 5, 7));
        const V4u packed = (e & 0xFFFFu) | (o << 16);
        memcpy(d, &packed, sizeof(packed));
    };
    InBlocks<8, 0, 1, 1>(src, dst, len, block);
}

template <Rounding R>
KVX_NO_IPA void FloatToInt16Single(const float* src, int16_t* dst, int32_t len, float factor,
                                               SampleRange range)
{
    const V4f scale = Splat(factor);
    const V4f lo = Splat(range.lo);
    const V4f hi = Splat(range.hi);
    // A NaN lane rounds to a value whose low 16 bits are 0.
    FloatToInt16Blocks(src, dst, len,
                       [&](V4f x) { return RoundLanes<R, true>(ClampPassingNan(x * scale, lo, hi)); });
}

// Nearest-even with the scaling left to the adder, while the control register rounds to nearest:
// x clamped to the range times 2^sf, plus magic = 1.5 * 2^(23 + sf), lies where the float spacing
// is 2^sf, so the sum is rounded to the nearest multiple of 2^sf, ties to even, and its low 16
// bits are the rounded x * 2^-sf.
KVX_NO_IPA void FloatToInt16NearestEvenInAdder(const float* src, int16_t* dst, int32_t len,
                                                           SampleRange scaledRange, float magic)
{
    const V4f lo = Splat(scaledRange.lo);
    const V4f hi = Splat(scaledRange.hi);
    const V4f m = Splat(magic);
    FloatToInt16Blocks(src, dst, len,
                       [&](V4f x) { return BitsOf(ClampPassingNan(x, lo, hi) + m) & Mask(x == x); });
}

// The scale factors for which 2^sf and 1.5 * 2^(23 + sf) are normal floats.
constexpr ScaleFactor IN_ADDER_MIN_SF = -126;
constexpr ScaleFactor IN_ADDER_MAX_SF = 104;

// Four samples at a time, loaded before they are stored, so that dst may be src itself.
template <Rounding Mode>
KVX_NO_IPA void FloatToInt32Single(const float* src, int32_t* dst, int32_t len, float factor,
                                               SampleRange inside)
{
    // The addition is only valid for small values; the exact nearest-even serves every value.
    constexpr Rounding R = Mode == Rounding::NearestEvenByAddition ? Rounding::NearestEven : Mode;
    const V4f scale = Splat(factor);
    const V4f two31 = Splat(2147483648.0f);
    const V4f lo = Splat(inside.lo);
    const V4f hi = Splat(inside.hi);
    auto block = [&](const float* s, int32_t* d) {
        const V4f p = LoadFloats(s) * scale;
        const V4u over = Mask(p >= two31);
        V4u r;
        if constexpr (R == Rounding::TowardZero) {
            // p >= 2^31 truncates to 0x80000000, which the mask flips to 0x7FFFFFFF; p <= -2^31
            // truncates to 0x80000000 as it is; NaN goes to 0.
            r = (Truncate(p) ^ over) & Mask(p == p);
        } else {
            r = RoundLanes<R>(ClampPassingNan(p, lo, hi)) + (over & 127u);
            if constexpr (R == Rounding::NearestAway) {
                // The hardware's "integer indefinite" for NaN (rounded to 0 above).
                r |= Mask(p != p) & SIGN_BIT;
            }
        }
        memcpy(d, &r, sizeof(r));
    };
    InBlocks<4, 0, 1, 1>(src, dst, len, block);
}

// Packed 24-bit, rounded to nearest even, four samples at a time. Lanes 0 and 2 are rounded at
// 256 times their value (exactly: the product is a multiple of 256 within the int32 range), so
// that each 64-bit half holds bytes 0, a0 a1 a2, b0 b1 b2, sign of b; shifted down by one byte
// it holds the six bytes of two samples, stored as 8 bytes, the two spare ones overwritten by the
// next store. Folded, the factor 256 is part of the scale factor (which then must stay finite).
enum class Int24Rounding { ByAddition, ByAdditionFolded, Exact };

template <Int24Rounding R>
KVX_NO_IPA void FloatToInt24Single(const float* src, uint8_t* dst, int32_t len, float factor,
                                               SampleRange range)
{
    const V4f lanes = {256.0f, 1.0f, 256.0f, 1.0f};
    constexpr bool folded = R == Int24Rounding::ByAdditionFolded;
    const V4f scale = folded ? Splat(factor) * lanes : Splat(factor);
    const V4f lo = folded ? Splat(range.lo) * lanes : Splat(range.lo);
    const V4f hi = folded ? Splat(range.hi) * lanes : Splat(range.hi);
    const V4u magnitude = BitsOf(V4f{2147483648.0f, 8388608.0f, 2147483648.0f, 8388608.0f});
    auto block = [&](const float* s, uint8_t* d) {
        const V4f p = LoadFloats(s) * scale;
        // NaN goes to 0 here: lanes 0 and 2 could not tell 0x80000000 from -8388608 * 256.
        const V4f c = FloatsOf(BitsOf(ClampPassingNan(p, lo, hi)) & Mask(p == p));
        V4u r;
        if constexpr (R == Int24Rounding::Exact) {
            r = Truncate(ToFloat(RoundLanes<Rounding::NearestEven>(c)) * lanes);
        } else {
            const V4f shifted = folded ? c : c * lanes;
            const V4f magic = FloatsOf((BitsOf(shifted) & SIGN_BIT) | magnitude);
            r = Truncate((shifted + magic) - magic);
        }
        const V2q pairs = __builtin_bit_cast(V2q, r) >> 8;
        const uint64_t first = pairs[0];
        const uint64_t second = pairs[1];
        memcpy(d, &first, sizeof(first));
        memcpy(d + 6, &second, sizeof(second));
    };
    // Each block writes 14 bytes, 2 past its own 12.
    InBlocks<4, 1, 1, 3>(src, dst, len, block);
}

// The double-precision path, for the scales whose factor is no normal float (2^-sf from the
// halving loop, 0 or infinity at the extremes).
template <Rounding R>
void FloatToInt16Loop(const float* src, int16_t* dst, int32_t len, double factor)
{
    for (int32_t i = 0; i < len; ++i) {
        StoreElement(dst, i, SaturateRound<R, int16_t>(static_cast<double>(LoadElement(src, i)) * factor, -32768.0, 32767.0, 0));
    }
}

template <Rounding R>
void FloatToInt32Loop(const float* src, int32_t* dst, int32_t len, double factor)
{
    constexpr int32_t nanResult = R == Rounding::NearestAway ? INT32_MIN : 0;
    // No float times a power of two lies strictly between 2147483647 and 2^31.
    for (int32_t i = 0; i < len; ++i) {
        double p = static_cast<double>(LoadElement(src, i)) * factor;
        int32_t out;
        if (p != p) {
            out = nanResult;
        } else if (p >= 2147483648.0) {
            out = INT32_MAX;
        } else if (p <= -2147483648.0) {
            out = INT32_MIN;
        } else {
            out = RoundInRange<R>(p);
        }
        StoreElement(dst, i, out);
    }
}

inline bool SinglePathApplies(ScaleFactor sf)
{
    return sf >= SINGLE_PATH_MIN_SF && sf <= SINGLE_PATH_MAX_SF;
}

}  // namespace

PrimitiveStatus ConvertFloatToInt16Generic(const float* src, int16_t* dst, int32_t len, RoundingMode roundingMode,
                                           ScaleFactor scaleFactor)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    const Rounding rounding = RoundingOf(roundingMode);
    if (scaleFactor == 0 && rounding == Rounding::NearestAway) {
        // The half is added in single precision: the largest float below 0.5 rounds up to 1.
        FloatToInt16Single<Rounding::NearestAwayHalfInSingle>(src, dst, len, 1.0f, INT16_RANGE);
    } else if (SinglePathApplies(scaleFactor)) {
        const float factor = FloatScale(scaleFactor, SINGLE_PATH_MIN_SF, SINGLE_PATH_MAX_SF);
        const Rounding single = rounding == Rounding::NearestEven ? NearestEvenForSmallValues() : rounding;
        if (single == Rounding::NearestEvenByAddition && scaleFactor >= IN_ADDER_MIN_SF &&
            scaleFactor <= IN_ADDER_MAX_SF) {
            // 2^sf, exact, from its exponent field.
            const float unit = FloatScale(-scaleFactor, -IN_ADDER_MAX_SF, -IN_ADDER_MIN_SF);
            const SampleRange scaled = {INT16_RANGE.lo * unit, INT16_RANGE.hi * unit};
            FloatToInt16NearestEvenInAdder(src, dst, len, scaled, 12582912.0f * unit);
        } else {
            WithRounding(single,
                         [&](auto mode) { FloatToInt16Single<mode.value>(src, dst, len, factor, INT16_RANGE); });
        }
    } else {
        const double factor = DoubleScale(scaleFactor);
        WithRounding(rounding, [&](auto mode) { FloatToInt16Loop<mode.value>(src, dst, len, factor); });
    }
    return StatusOk;
}

PrimitiveStatus ConvertFloatToInt32Generic(const float* src, int32_t* dst, int32_t len, RoundingMode roundingMode,
                                           ScaleFactor scaleFactor)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    const Rounding rounding = RoundingOf(roundingMode);
    if (SinglePathApplies(scaleFactor)) {
        const float factor = FloatScale(scaleFactor, SINGLE_PATH_MIN_SF, SINGLE_PATH_MAX_SF);
        WithRounding(rounding, [&](auto mode) { FloatToInt32Single<mode.value>(src, dst, len, factor, INT32_INSIDE); });
    } else {
        const double factor = DoubleScale(scaleFactor);
        WithRounding(rounding, [&](auto mode) { FloatToInt32Loop<mode.value>(src, dst, len, factor); });
    }
    return StatusOk;
}

namespace {

// float(src[i]) * 2^-sf, the factor a float built from the clamped sf; within the clamp every
// product is finite and exact.
PrimitiveStatus Int32ToFloatScaled(const int32_t* src, float* dst, int32_t len, ScaleFactor scaleFactor, int32_t lowSf,
                                     int32_t highSf)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    if (scaleFactor == 0) {
        for (int32_t i = 0; i < len; ++i) {
            StoreElement(dst, i, static_cast<float>(LoadElement(src, i)));
        }
        return StatusOk;
    }
    const float factor = FloatScale(scaleFactor, lowSf, highSf);
    for (int32_t i = 0; i < len; ++i) {
        StoreElement(dst, i, static_cast<float>(LoadElement(src, i)) * factor);
    }
    return StatusOk;
}

}  // namespace

PrimitiveStatus ConvertInt16ToFloatGeneric(const int16_t* src, float* dst, int32_t len, ScaleFactor scaleFactor)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    // Unscaled, the factor 1.0 changes no value.
    const V4f scale = Splat(scaleFactor == 0 ? 1.0f : FloatScale(scaleFactor, -112, 126));
    // Eight samples at a time, each widened to 32 bits by pairing it with its sign mask.
    auto block = [&](const int16_t* s, float* d) {
        V8s v;
        memcpy(&v, s, sizeof(v));
        const V8s sign = v < V8s{};
        const V4i low = __builtin_bit_cast(V4i, __builtin_shufflevector(v, sign, 0, 8, 1, 9, 2, 10, 3, 11));
        const V4i high = __builtin_bit_cast(V4i, __builtin_shufflevector(v, sign, 4, 12, 5, 13, 6, 14, 7, 15));
        const V4f a = __builtin_convertvector(low, V4f) * scale;
        const V4f b = __builtin_convertvector(high, V4f) * scale;
        memcpy(d, &a, sizeof(a));
        memcpy(d + 4, &b, sizeof(b));
    };
    InBlocks<8, 0, 1, 1>(src, dst, len, block);
    return StatusOk;
}

PrimitiveStatus ConvertInt32ToFloatScaledGeneric(const int32_t* src, float* dst, int32_t len, ScaleFactor scaleFactor)
{
    return Int32ToFloatScaled(src, dst, len, scaleFactor, -96, 126);
}

PrimitiveStatus ConvertInt24ToFloatGeneric(const uint8_t* src, float* dst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    // Two samples from each 8-byte word, read six bytes apart: shifted up by one byte, the word
    // holds its first sample in the top of its low half; shifted up by two, its second sample in
    // the top of its high half. An arithmetic shift brings each back with its sign. Eight samples
    // at a time: the first and the second samples are gathered apart, converted and interleaved.
    auto words = [](const uint8_t* s) {
        uint64_t low;
        uint64_t high;
        memcpy(&low, s, sizeof(low));
        memcpy(&high, s + 6, sizeof(high));
        return V2q{low, high};
    };
    auto block = [&](const uint8_t* s, float* d) {
        const V2q a = words(s);
        const V2q b = words(s + 12);
        const V2q a1 = a << 8;
        const V2q b1 = b << 8;
        const V2q a2 = a << 16;
        const V2q b2 = b << 16;
        const V4i first = __builtin_shufflevector(__builtin_bit_cast(V4i, a1), __builtin_bit_cast(V4i, b1),
                                                  0, 2, 4, 6);
        const V4i second = __builtin_shufflevector(__builtin_bit_cast(V4i, a2),
                                                   __builtin_bit_cast(V4i, b2), 1, 3, 5, 7);
        const V4f f = __builtin_convertvector(first >> 8, V4f);
        const V4f g = __builtin_convertvector(second >> 8, V4f);
        const V4f low = __builtin_shufflevector(f, g, 0, 4, 1, 5);
        const V4f high = __builtin_shufflevector(f, g, 2, 6, 3, 7);
        memcpy(d, &low, sizeof(low));
        memcpy(d + 4, &high, sizeof(high));
    };
    // Each block reads 26 bytes, 2 past its own 24.
    InBlocks<8, 1, 3, 1>(src, dst, len, block);
    return StatusOk;
}

PrimitiveStatus ConvertFloatToInt24Generic(const float* src, uint8_t* dst, int32_t len, ScaleFactor scaleFactor)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    // The scaled product is formed in single precision (1.0 when unscaled changes no value).
    const float factor = scaleFactor == 0 ? 1.0f : FloatScale(scaleFactor, -127, 127);
    if (NearestEvenForSmallValues() != Rounding::NearestEvenByAddition) {
        FloatToInt24Single<Int24Rounding::Exact>(src, dst, len, factor, INT24_RANGE);
    } else if (factor * 256.0f != __builtin_inff()) {
        FloatToInt24Single<Int24Rounding::ByAdditionFolded>(src, dst, len, factor, INT24_RANGE);
    } else {
        FloatToInt24Single<Int24Rounding::ByAddition>(src, dst, len, factor, INT24_RANGE);
    }
    return StatusOk;
}

PrimitiveStatus ConvertInt32ToFloatGeneric(const int32_t* src, float* dst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    for (int32_t i = 0; i < len; ++i) {
        StoreElement(dst, i, static_cast<float>(LoadElement(src, i)));
    }
    return StatusOk;
}
