#include "primitives/core/Conversions.h"

#include <cstring>
#include <type_traits>
#include <xmmintrin.h>

#include "primitives/core/ArgumentChecks.h"

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
// register rounds to nearest (see RoundSingle).
enum class Rounding { TowardZero, NearestEven, NearestAway, NearestEvenByAddition };

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
// way), so it gives exactly the double-precision results. It is written as straight element
// loops with selects so that the compiler can vectorise it at the baseline.
constexpr ScaleFactor SINGLE_PATH_MIN_SF = -127;
constexpr ScaleFactor SINGLE_PATH_MAX_SF = 126;

// Rounds c, finite and within the int32 range, by the mode. The truncation and the fraction are
// exact, so the result is the exactly rounded value whatever the control register says.
template <Rounding R>
inline int32_t RoundSingle(float c)
{
    if constexpr (R == Rounding::NearestEvenByAddition) {
        // For |c| <= 2^23, c + 2^23 (with the sign of c) lies where the float spacing is 1, so the
        // adder rounds it to the nearest integer, ties to even; taking 2^23 off again is exact.
        float magic = __builtin_bit_cast(float, 0x4B000000u | (__builtin_bit_cast(uint32_t, c) & 0x80000000u));
        return static_cast<int32_t>((c + magic) - magic);
    }
    int32_t t = static_cast<int32_t>(c);
    if constexpr (R == Rounding::TowardZero) {
        return t;
    } else {
        float magnitude = __builtin_fabsf(c - static_cast<float>(t));
        // Bitwise rather than short-circuit logic keeps the loop free of branches.
        int32_t up;
        if constexpr (R == Rounding::NearestEven) {
            up = static_cast<int32_t>(magnitude > 0.5f) | (static_cast<int32_t>(magnitude == 0.5f) & t);
        } else {
            up = static_cast<int32_t>(magnitude >= 0.5f);
        }
        up &= 1;
        return t + (c < 0.0f ? -up : up);
    }
}

// Saturation bounds of an output type. The loops take them as a run-time argument of a function
// the optimiser does not specialise: with constant bounds it would split the clamps into branches
// (the clamped values round to known constants), and the loops would no longer vectorise.
struct SampleRange {
    float lo;
    float hi;
};

constexpr SampleRange INT16_RANGE = {-32768.0f, 32767.0f};
constexpr SampleRange INT24_RANGE = {-8388608.0f, 8388607.0f};
// The floats that convert to int32: -2^31 up to the largest float below 2^31. No float times a
// power of two lies strictly between 2147483647 and 2^31, so p >= 2^31 is the saturating test.
constexpr SampleRange INT32_INSIDE = {-2147483648.0f, 2147483520.0f};

// NaN to 0, then clamped to the range; written in the operand order of the vector min and max.
inline float ClampSingle(float p, SampleRange range)
{
    float c = p == p ? p : 0.0f;
    c = c < range.hi ? c : range.hi;
    return c > range.lo ? c : range.lo;
}

// Scaled, saturated and rounded samples as int32 values within the range (int16 and int24).
template <Rounding R, typename Out>
__attribute__((noipa)) void FloatToIntSingle(const float* src, Out* dst, int32_t len, float factor, SampleRange range)
{
    for (int32_t i = 0; i < len; ++i) {
        dst[i] = static_cast<Out>(RoundSingle<R>(ClampSingle(src[i] * factor, range)));
    }
}

// Unscaled nearest-away to int16 adds the half in single precision: the largest float below 0.5
// then rounds up to 1.
__attribute__((noipa)) void FloatToInt16AwayUnscaled(const float* src, int16_t* dst, int32_t len, SampleRange range)
{
    for (int32_t i = 0; i < len; ++i) {
        float c = ClampSingle(src[i], range);
        float sum = c + (c < 0.0f ? -0.5f : 0.5f);
        dst[i] = static_cast<int16_t>(static_cast<int32_t>(sum));
    }
}

template <Rounding R>
__attribute__((noipa)) void FloatToInt32Single(const float* src, int32_t* dst, int32_t len, float factor,
                                               SampleRange inside)
{
    // The hardware's "integer indefinite" for NaN is kept by the nearest-away mode.
    constexpr int32_t nanResult = R == Rounding::NearestAway ? INT32_MIN : 0;
    for (int32_t i = 0; i < len; ++i) {
        float p = src[i] * factor;
        // Rounded within the floats that convert (up to the largest float below 2^31); the
        // saturated and NaN results are selected from p itself.
        int32_t r = RoundSingle<R>(ClampSingle(p, inside));
        r = p >= 2147483648.0f ? INT32_MAX : r;
        r = p <= -2147483648.0f ? INT32_MIN : r;
        r = p != p ? nanResult : r;
        dst[i] = r;
    }
}

// The double-precision path, for the scales whose factor is no normal float (2^-sf from the
// halving loop, 0 or infinity at the extremes).
template <Rounding R>
void FloatToInt16Loop(const float* src, int16_t* dst, int32_t len, double factor)
{
    for (int32_t i = 0; i < len; ++i) {
        dst[i] = SaturateRound<R, int16_t>(static_cast<double>(src[i]) * factor, -32768.0, 32767.0, 0);
    }
}

template <Rounding R>
void FloatToInt32Loop(const float* src, int32_t* dst, int32_t len, double factor)
{
    constexpr int32_t nanResult = R == Rounding::NearestAway ? INT32_MIN : 0;
    // No float times a power of two lies strictly between 2147483647 and 2^31.
    for (int32_t i = 0; i < len; ++i) {
        double p = static_cast<double>(src[i]) * factor;
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
        dst[i] = out;
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
        FloatToInt16AwayUnscaled(src, dst, len, INT16_RANGE);
    } else if (SinglePathApplies(scaleFactor)) {
        const float factor = FloatScale(scaleFactor, SINGLE_PATH_MIN_SF, SINGLE_PATH_MAX_SF);
        const Rounding single = rounding == Rounding::NearestEven ? NearestEvenForSmallValues() : rounding;
        WithRounding(single, [&](auto mode) { FloatToIntSingle<mode.value>(src, dst, len, factor, INT16_RANGE); });
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

// float(src[i]) * 2^-sf, the factor a float built from the clamped sf; within each entry's clamp
// every product is finite and exact.
template <typename In>
PrimitiveStatus IntegerToFloatScaled(const In* src, float* dst, int32_t len, ScaleFactor scaleFactor, int32_t lowSf,
                                     int32_t highSf)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    if (scaleFactor == 0) {
        for (int32_t i = 0; i < len; ++i) {
            dst[i] = static_cast<float>(src[i]);
        }
        return StatusOk;
    }
    const float factor = FloatScale(scaleFactor, lowSf, highSf);
    for (int32_t i = 0; i < len; ++i) {
        dst[i] = static_cast<float>(src[i]) * factor;
    }
    return StatusOk;
}

}  // namespace

PrimitiveStatus ConvertInt16ToFloatGeneric(const int16_t* src, float* dst, int32_t len, ScaleFactor scaleFactor)
{
    return IntegerToFloatScaled(src, dst, len, scaleFactor, -112, 126);
}

PrimitiveStatus ConvertInt32ToFloatScaledGeneric(const int32_t* src, float* dst, int32_t len, ScaleFactor scaleFactor)
{
    return IntegerToFloatScaled(src, dst, len, scaleFactor, -96, 126);
}

PrimitiveStatus ConvertInt24ToFloatGeneric(const uint8_t* src, float* dst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    // Four samples are three little-endian words; each sample is shifted to the top of a word and
    // brought back with its sign.
    const int32_t groups = len / 4;
    for (int32_t g = 0; g < groups; ++g) {
        uint32_t w[3];
        memcpy(w, src + 12 * static_cast<int64_t>(g), sizeof(w));
        float* out = dst + 4 * static_cast<int64_t>(g);
        out[0] = static_cast<float>(static_cast<int32_t>(w[0] << 8) >> 8);
        out[1] = static_cast<float>(static_cast<int32_t>((w[1] << 16) | (w[0] >> 16)) >> 8);
        out[2] = static_cast<float>(static_cast<int32_t>((w[2] << 24) | (w[1] >> 8)) >> 8);
        out[3] = static_cast<float>(static_cast<int32_t>(w[2]) >> 8);
    }
    for (int32_t i = 4 * groups; i < len; ++i) {
        const uint8_t* s = src + 3 * static_cast<int64_t>(i);
        int32_t value = static_cast<int32_t>(s[0]) | (static_cast<int32_t>(s[1]) << 8) |
                        (static_cast<int32_t>(static_cast<int8_t>(s[2])) * 65536);
        dst[i] = static_cast<float>(value);
    }
    return StatusOk;
}

PrimitiveStatus ConvertFloatToInt24Generic(const float* src, uint8_t* dst, int32_t len, ScaleFactor scaleFactor)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    // The scaled product is formed in single precision (1.0 when unscaled changes no value).
    const float factor = scaleFactor == 0 ? 1.0f : FloatScale(scaleFactor, -127, 127);
    // A chunk is rounded into int32 values by the vector loop, then packed.
    constexpr int32_t CHUNK = 256;
    int32_t values[CHUNK];
    const bool byAddition = NearestEvenForSmallValues() == Rounding::NearestEvenByAddition;
    for (int32_t base = 0; base < len; base += CHUNK) {
        const int32_t count = len - base < CHUNK ? len - base : CHUNK;
        if (byAddition) {
            FloatToIntSingle<Rounding::NearestEvenByAddition>(src + base, values, count, factor, INT24_RANGE);
        } else {
            FloatToIntSingle<Rounding::NearestEven>(src + base, values, count, factor, INT24_RANGE);
        }
        uint8_t* out = dst + 3 * static_cast<int64_t>(base);
        // Two samples (one 64-bit pair of values) make six bytes; the pairs are stored as 8-byte
        // words six bytes apart in ascending order, each overwriting the two spare bytes of the
        // one before, and the last pair of the chunk stores its six bytes only.
        const int32_t pairs = count / 2;
        uint64_t packed[CHUNK / 2];
        for (int32_t k = 0; k < pairs; ++k) {
            uint64_t q;
            memcpy(&q, values + 2 * k, sizeof(q));
            packed[k] = (q & 0xFFFFFFull) | ((q >> 8) & 0xFFFFFF000000ull);
        }
        for (int32_t k = 0; k + 1 < pairs; ++k) {
            memcpy(out + 6 * k, &packed[k], sizeof(uint64_t));
        }
        if (pairs > 0) {
            memcpy(out + 6 * (pairs - 1), &packed[pairs - 1], 6);
        }
        if ((count & 1) != 0) {
            const auto value = static_cast<uint32_t>(values[count - 1]);
            uint8_t* last = out + 3 * (count - 1);
            last[0] = static_cast<uint8_t>(value);
            last[1] = static_cast<uint8_t>(value >> 8);
            last[2] = static_cast<uint8_t>(value >> 16);
        }
    }
    return StatusOk;
}

PrimitiveStatus ConvertInt32ToFloatGeneric(const int32_t* src, float* dst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    for (int32_t i = 0; i < len; ++i) {
        dst[i] = static_cast<float>(src[i]);
    }
    return StatusOk;
}
