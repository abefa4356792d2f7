#include "primitives/core/Power.h"

#include <cstring>
#include <xmmintrin.h>

#include "primitives/core/ArgumentChecks.h"
#include "primitives/core/FloatBits.h"
#include "primitives/core/PowerTables.h"

namespace {

constexpr double LN2 = 0.6931471805599453;
constexpr double LOG_P = 0.33333333333238757;  // cubic coefficient of the logarithm
constexpr double LOG_R = -0.4999999999992423;  // square coefficient of the logarithm
constexpr double INV_LN2_BY_128 = 184.6649652337873;
constexpr double LN2_BY_128 = 0.0054152123481245725;
constexpr double ROUNDING_SHIFTER = 6755399441055744.0;  // 1.5 * 2^52
constexpr double ONE_SIXTH = 0.16666666666666666;
constexpr double E_POW_23 = 9744803446.248903;  // subnormal scale of the scalar path
constexpr double OVERFLOW_VALUE = 1.404448428688076e306;
constexpr uint32_t DOMAIN_NAN_BITS = 0xFFC00000u;
// Upper words of |t|: the fast path keeps |t| < 87.33380126953125, the scalar path's exponential
// |t| < 708.396484375.
constexpr uint32_t FAST_T_LIMIT = 0x4055D55Cu;
constexpr uint32_t SCALAR_T_LIMIT = 0x4086232Bu;

// MXCSR: flush-to-zero, denormals-are-zero and the two rounding-control bits.
constexpr unsigned int MXCSR_FTZ = 0x8000u;
constexpr unsigned int MXCSR_DAZ = 0x0040u;
constexpr unsigned int MXCSR_ROUNDING = 0x6000u;

inline uint32_t UpperMagnitude(double t)
{
    return static_cast<uint32_t>(Bits(t) >> 32) & 0x7FFFFFFFu;
}

// |t| < 87.33380126953125: the upper word of |t| at most 0x4055D55C. A NaN fails the comparison.
const double FAST_T_BOUND = __builtin_bit_cast(double, static_cast<uint64_t>(FAST_T_LIMIT + 1) << 32);

// x positive, normal and finite: bit patterns 0x00800000 to 0x7F7FFFFF.
inline bool IsPositiveNormal(float x)
{
    return Bits(x) - 0x00800000u < 0x7F000000u;
}

// The logarithm of the fast path for a positive normal float, from its own bits: its double has
// the same exponent and the mantissa shifted up by 29, so the table index and m come out as in
// PowerLog, with 32-bit integer work only.
struct LogParts {
    double k;  // unbiased exponent
    double m;  // 1 <= m < 2
    uint32_t j;
};

inline LogParts SplitNormalFloat(float x)
{
    uint32_t b = Bits(x);
    uint32_t mantissa = b & 0x007FFFFFu;
    return {static_cast<double>(static_cast<int32_t>(b >> 23) - 127),
            static_cast<double>(FloatFromBits(mantissa | 0x3F800000u)), ((mantissa >> 14) + 1) >> 1};
}

// ln = k ln 2 + ln(1 + j/256) + a cubic in r = (m - c) / c, c = 1 + j/256 the table point nearest
// m (halves up), evaluated in exactly this order.
inline double LogFromParts(double k, double m, uint32_t j, double ln, double inv)
{
    double c = 1.0 + static_cast<double>(j) * (1.0 / 256.0);
    double r = (m - c) * inv;
    return (((LOG_P * r + LOG_R) * r) * r + r) + (k * LN2 + ln);
}

// ln h of a positive normal double, as the scalar path computes it (h may be a scaled subnormal).
inline double PowerLog(double h)
{
    uint64_t b = Bits(h);
    uint64_t mantissa = b & 0x000FFFFFFFFFFFFFull;
    uint32_t j = (static_cast<uint32_t>(mantissa >> 43) + 1) >> 1;
    const PowerLogEntry& entry = PowerLogTable[j];
    return LogFromParts(static_cast<double>(static_cast<int32_t>((b >> 52) & 0x7FF) - 1023),
                        DoubleFromBits(mantissa | 0x3FF0000000000000ull), j, entry.Ln, entry.Inv);
}

// n = t * 128 / ln 2 rounded to nearest even through the shifter; w - shifter is n exactly, so it
// is also the low word of w.
inline int32_t ExpIndex(double t, float* pR)
{
    double w = t * INV_LN2_BY_128 + ROUNDING_SHIFTER;
    double nearest = w - ROUNDING_SHIFTER;
    *pR = static_cast<float>(t - nearest * LN2_BY_128);
    return static_cast<int32_t>(nearest);
}

// e^t from n and r, in single precision in exactly this order; a normal float for |t| < 87.34.
inline float ExpFromParts(int32_t n, float r, float hi, float lo)
{
    float scale = FloatFromBits(static_cast<uint32_t>((n >> 7) + 127) << 23);
    return ((r * r * 0.5f + (lo + r)) * hi + hi) * scale;
}

// The fast-path tests and result for one element; false when the element must take the scalar path.
inline bool FastPathElement(float x, float y, float* pResult)
{
    if (!IsPositiveNormal(x) || y != y) {
        return false;
    }
    LogParts parts = SplitNormalFloat(x);
    const PowerLogEntry& entry = PowerLogTable[parts.j];
    double t = static_cast<double>(y) * LogFromParts(parts.k, parts.m, parts.j, entry.Ln, entry.Inv);
    if (!(__builtin_fabs(t) < FAST_T_BOUND)) {
        return false;
    }
    float r;
    int32_t n = ExpIndex(t, &r);
    const PowerExpPair& pair = PowerExpPairTable[n & 127];
    *pResult = ExpFromParts(n, r, pair.Hi, pair.Lo);
    return true;
}

enum class IntegerKind { None, Odd, Even };

// |y| >= 2^24 is an even integer; 1 <= |y| < 2^24 without fraction bits is odd or even by its
// units bit; anything else (zero included) is not an integer.
inline IntegerKind ClassifyExponent(float y)
{
    uint32_t magnitude = Bits(y) & 0x7FFFFFFFu;
    if (magnitude >= 0x4B800000u) {
        return IntegerKind::Even;
    }
    if (magnitude < 0x3F800000u) {
        return IntegerKind::None;
    }
    uint32_t fractionBits = 23 - ((magnitude >> 23) - 127);
    uint32_t significand = (magnitude & 0x007FFFFFu) | 0x00800000u;
    if ((significand & ((1u << fractionBits) - 1)) != 0) {
        return IntegerKind::None;
    }
    return ((significand >> fractionBits) & 1) != 0 ? IntegerKind::Odd : IntegerKind::Even;
}

inline bool IsNan(float v)
{
    return v != v;
}
inline bool IsInf(float v)
{
    return (Bits(v) & 0x7FFFFFFFu) == 0x7F800000u;
}

// The scalar path's x^y for finite non-zero x and y, x > 0 or y an integer, in double precision.
float DirectPower(float x, float y, IntegerKind kind)
{
    double sign = (x < 0.0f && kind == IntegerKind::Odd) ? -1.0 : 1.0;
    double h = static_cast<double>(x < 0.0f ? -x : x);
    double d = 0.0;
    if ((Bits(x) & 0x7F800000u) == 0) {
        h = h * E_POW_23;
        d = 23.0;
    }
    double t = static_cast<double>(y) * (PowerLog(h) - d);
    double v;
    if (UpperMagnitude(t) > SCALAR_T_LIMIT) {
        v = t < 0.0 ? 0.0 : OVERFLOW_VALUE;
    } else {
        double w = t * INV_LN2_BY_128 + ROUNDING_SHIFTER;
        int32_t n = static_cast<int32_t>(static_cast<uint32_t>(Bits(w)));
        double r = t - (w - ROUNDING_SHIFTER) * LN2_BY_128;
        uint64_t exponent = static_cast<uint64_t>((n >> 7) + 1023) << 52;
        double tableValue = DoubleFromBits(exponent | PowerExpTable[n & 127]);
        v = tableValue + ((r * ONE_SIXTH + 0.5) * r * r + r) * tableValue;
    }
    return static_cast<float>(v * sign);
}

constexpr float POSITIVE_INFINITY = __builtin_inff();

// The special-value table, first matching row; sets *pDomain for the domain rows.
float SpecialValue(float x, float y, IntegerKind kind, bool* pDomain)
{
    bool odd = kind == IntegerKind::Odd;
    float ax = x < 0.0f ? -x : x;
    bool xNegative = (Bits(x) >> 31) != 0;
    if (y == 0.0f) {
        return 1.0f;
    }
    if (x == 1.0f) {
        return 1.0f;
    }
    if (x == -1.0f && IsInf(y)) {
        return 1.0f;
    }
    if (IsNan(x)) {
        return x;
    }
    if (IsNan(y)) {
        return y;
    }
    if (x == 0.0f && y == -POSITIVE_INFINITY) {
        *pDomain = true;
        return POSITIVE_INFINITY;
    }
    if (IsInf(y)) {
        bool growing = (ax > 1.0f) == (y > 0.0f);
        return growing ? POSITIVE_INFINITY : 0.0f;
    }
    if (x == POSITIVE_INFINITY) {
        return y > 0.0f ? POSITIVE_INFINITY : 0.0f;
    }
    if (x == -POSITIVE_INFINITY) {
        float magnitude = y > 0.0f ? POSITIVE_INFINITY : 0.0f;
        return odd ? -magnitude : magnitude;
    }
    if (x == 0.0f) {
        if (!xNegative) {
            if (y > 0.0f) {
                return 0.0f;
            }
            *pDomain = true;
            return POSITIVE_INFINITY;
        }
        if (y > 0.0f) {
            return odd ? -0.0f : 0.0f;
        }
        *pDomain = true;
        return odd ? -POSITIVE_INFINITY : POSITIVE_INFINITY;
    }
    // A negative finite base with a finite exponent that is not an integer.
    *pDomain = true;
    return FloatFromBits(DOMAIN_NAN_BITS);
}

constexpr int32_t GROUP = 8;
// The passes over the lanes are unrolled in full, which lets the compiler keep the lanes in vector
// registers.
#define KVX_LANES _Pragma("GCC unroll 8")

// The fast path of one group of eight, in passes over the lanes so that each pass is a short
// vector loop; the table reads are the only per-lane scalar work. Returns false, having stored
// nothing, when any element fails a test.
inline bool FastPathGroup(const float* x, const float* y, float* dst)
{
    float xs[GROUP];
    float ys[GROUP];
    memcpy(xs, x, sizeof(xs));
    memcpy(ys, y, sizeof(ys));

    int32_t refused = 0;
    KVX_LANES
    for (int32_t l = 0; l < GROUP; ++l) {
        refused |= static_cast<int32_t>(!IsPositiveNormal(xs[l])) | static_cast<int32_t>(ys[l] != ys[l]);
    }
    if (refused != 0) {
        return false;
    }
    double t[GROUP];
    uint32_t differentBase = 0;
    KVX_LANES
    for (int32_t l = 0; l < GROUP; ++l) {
        differentBase |= Bits(xs[l]) ^ Bits(xs[0]);
    }
    if (differentBase == 0) {
        // One base for the whole group, as the volume controls pass it: its logarithm once.
        LogParts parts = SplitNormalFloat(xs[0]);
        const PowerLogEntry& entry = PowerLogTable[parts.j];
        double lnx = LogFromParts(parts.k, parts.m, parts.j, entry.Ln, entry.Inv);
        KVX_LANES
        for (int32_t l = 0; l < GROUP; ++l) {
            t[l] = static_cast<double>(ys[l]) * lnx;
        }
    } else {
        LogParts parts[GROUP];
        KVX_LANES
        for (int32_t l = 0; l < GROUP; ++l) {
            parts[l] = SplitNormalFloat(xs[l]);
        }
        double ln[GROUP];
        double inv[GROUP];
        KVX_LANES
        for (int32_t l = 0; l < GROUP; ++l) {
            ln[l] = PowerLogTable[parts[l].j].Ln;
            inv[l] = PowerLogTable[parts[l].j].Inv;
        }
        KVX_LANES
        for (int32_t l = 0; l < GROUP; ++l) {
            t[l] = static_cast<double>(ys[l]) * LogFromParts(parts[l].k, parts[l].m, parts[l].j, ln[l], inv[l]);
        }
    }
    KVX_LANES
    for (int32_t l = 0; l < GROUP; ++l) {
        refused |= static_cast<int32_t>(!(__builtin_fabs(t[l]) < FAST_T_BOUND));
    }
    if (refused != 0) {
        return false;
    }
    int32_t n[GROUP];
    float r[GROUP];
    KVX_LANES
    for (int32_t l = 0; l < GROUP; ++l) {
        n[l] = ExpIndex(t[l], &r[l]);
    }
    float hi[GROUP];
    float lo[GROUP];
    KVX_LANES
    for (int32_t l = 0; l < GROUP; ++l) {
        hi[l] = PowerExpPairTable[n[l] & 127].Hi;
        lo[l] = PowerExpPairTable[n[l] & 127].Lo;
    }
    float out[GROUP];
    KVX_LANES
    for (int32_t l = 0; l < GROUP; ++l) {
        out[l] = ExpFromParts(n[l], r[l], hi[l], lo[l]);
    }
    // Every element of the group was read before this store: dst may be x or y.
    memcpy(dst, out, sizeof(out));
    return true;
}

// Every element of the call, with the control register already in the default mode. Kept out of
// line so that no floating-point operation moves across the register writes of the caller.
__attribute__((noinline)) PrimitiveStatus PowerElements(const float* x, const float* y, float* dst, int32_t len)
{
    PrimitiveStatus status = StatusOk;
    const int32_t groupEnd = len & ~(GROUP - 1);
    int32_t i = 0;
    for (; i < groupEnd; i += GROUP) {
        if (!FastPathGroup(x + i, y + i, dst + i)) {
            for (int32_t l = 0; l < GROUP; ++l) {
                PowerSpecialCases(x, y, dst, i + l, &status);
            }
        }
    }
    for (; i < len; ++i) {
        float result;
        if (FastPathElement(x[i], y[i], &result)) {
            dst[i] = result;
        } else {
            PowerSpecialCases(x, y, dst, i, &status);
        }
    }
    return status;
}

}  // namespace

void RaiseFloatException(PrimitiveStatus code)
{
    // volatile: the operation must really execute for its flag to be raised.
    volatile double a;
    volatile double b;
    switch (code) {
    case WarningDomain:
        a = 0.0;
        b = 0.0;
        break;
    case WarningSingularity:
        a = 1.0;
        b = 0.0;
        break;
    case WarningOverflow:
        a = 1.7976931348623157e308;
        b = a;
        break;
    case WarningUnderflow:
        a = 2.225073858507202e-308;
        b = a;
        break;
    default:
        return;
    }
    volatile double result;
    if (code == WarningDomain || code == WarningSingularity) {
        result = a / b;
    } else {
        result = a * b;
    }
    (void)result;
}

void PowerSpecialCases(const float* x, const float* y, float* dst, int32_t i, PrimitiveStatus* pStatus)
{
    float xv = x[i];
    float yv = y[i];
    IntegerKind kind = ClassifyExponent(yv);
    bool yFiniteNonZero = !IsNan(yv) && !IsInf(yv) && yv != 0.0f;
    bool xFiniteNonZero = !IsNan(xv) && !IsInf(xv) && xv != 0.0f;
    if (yFiniteNonZero && xFiniteNonZero && (xv > 0.0f || kind != IntegerKind::None)) {
        dst[i] = DirectPower(xv, yv, kind);
        return;
    }
    bool domain = false;
    float result = SpecialValue(xv, yv, kind, &domain);
    if (domain) {
        *pStatus = WarningDomain;
        RaiseFloatException(WarningDomain);
    }
    dst[i] = result;
}

PrimitiveStatus RaiseToPowerGeneric(const float* x, const float* y, float* dst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, dst, y, x); status != StatusOk) {
        return status;
    }
    // Round to nearest with gradual underflow for the duration of the call; restoring the saved
    // value also drops the exception flags raised meanwhile.
    const unsigned int saved = _mm_getcsr();
    const unsigned int modeBits = MXCSR_FTZ | MXCSR_DAZ | MXCSR_ROUNDING;
    const bool changed = (saved & modeBits) != 0;
    if (changed) {
        _mm_setcsr(saved & ~modeBits);
    }
    PrimitiveStatus status = PowerElements(x, y, dst, len);
    if (changed) {
        _mm_setcsr(saved);
    }
    return status;
}
