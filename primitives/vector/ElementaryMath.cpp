// Generic bodies of the elementary math entries.
#include "primitives/vector/ElementaryMath.h"

#include <cmath>

#include "primitives/vector/VectorAccess.h"

using namespace kvxvec;

PrimitiveStatus SquareRootInPlaceGeneric(float* srcDst, int32_t len)
{
    bool negative = false;
    const PrimitiveStatus status = StoreEach(CheckArguments(len, srcDst), srcDst, len, [&](int32_t i) {
        const float x = Load(srcDst, i);
        if (x > 0.0f) {
            return static_cast<float>(std::sqrt(static_cast<double>(x)));
        }
        if (x < 0.0f) {
            negative = true;
            return FromBits(NAN_PATTERN);
        }
        return x;  // zeros of both signs and NaNs stay as they are
    });
    return status == StatusOk && negative ? WarningSqrtNegative : status;
}

namespace {

// Above this (widened to double) the single-precision exponential overflows.
constexpr double EXP_OVERFLOW_LIMIT = 88.72284;
// 128 ln 2 and -126 ln 2 rounded to single, as bit patterns: the edges of the regular range.
constexpr uint32_t EXP_HIGH_PATTERN = 0x42B17218u;
constexpr uint32_t EXP_LOW_PATTERN = 0xC2AEAC50u;
constexpr double LOG2_E = 1.4426950408889634;
constexpr double LN_2 = 0.6931471805599453;

float ExponentialOne(float x)
{
    const double wide = x;
    if (wide > EXP_OVERFLOW_LIMIT) {
        return FromBits(POSITIVE_INFINITY_PATTERN);
    }
    return static_cast<float>(std::exp(wide));
}

// Regular elements are gathered in batches of whole groups so that the arithmetic runs as
// straight loops over arrays.
constexpr int32_t EXP_BATCH = 64;

// Groups of four regular elements (index[4g] found first, at the highest index) by the 3/3 Pade
// approximant of e^r, r = x - n ln 2; each group shares one division.
void ExponentialGroups(float* srcDst, const int32_t* index, int32_t count)
{
    double n[EXP_BATCH];
    double num[EXP_BATCH];
    double den[EXP_BATCH];
    double inverse[EXP_BATCH];
    for (int32_t j = 0; j < count; ++j) {
        const double x = Load(srcDst, index[j]);
        // Nearest integer with ties to even, whatever the caller's rounding mode; |x log2 e|
        // stays below 129 here, so the truncation is exact.
        const double v = x * LOG2_E;
        const auto truncated = static_cast<int32_t>(v);
        // Bitwise rather than short-circuit logic: the data decides, so branches would mispredict.
        const int32_t down = truncated - static_cast<int32_t>(v < static_cast<double>(truncated));
        const double fraction = v - static_cast<double>(down);
        const int32_t up = static_cast<int32_t>(fraction > 0.5) | (static_cast<int32_t>(fraction == 0.5) & down & 1);
        n[j] = static_cast<double>(down + up);
        const double r = x - n[j] * LN_2;
        const double p = (r * r + 60.0) * r;
        const double q = (r * r + 10.0) * 12.0;
        num[j] = q + p;
        den[j] = q - p;
    }
    for (int32_t g = 0; g < count; g += 4) {
        const double d12 = den[g] * den[g + 1];
        const double d34 = den[g + 2] * den[g + 3];
        const double reciprocal = 1.0 / (d12 * d34);
        const double a = d34 * reciprocal;
        const double b = d12 * reciprocal;
        inverse[g] = den[g + 1] * a;
        inverse[g + 1] = a * den[g];
        inverse[g + 2] = den[g + 3] * b;
        inverse[g + 3] = b * den[g + 2];
    }
    for (int32_t j = 0; j < count; ++j) {
        const float y = static_cast<float>(inverse[j]) * static_cast<float>(num[j]);
        // n goes straight into the exponent field; the regular range keeps it within 1 to 254.
        const uint32_t bits = Bits(y) + (static_cast<uint32_t>(static_cast<int32_t>(n[j])) << 23);
        StoreBits(srcDst, index[j], bits);
    }
}

}  // namespace

PrimitiveStatus ExponentialInPlaceGeneric(float* srcDst, int32_t len)
{
    const PrimitiveStatus status = CheckArguments(len, srcDst);
    if (status != StatusOk) {
        return status;
    }
    if (len < 4) {
        for (int32_t i = 0; i < len; ++i) {
            Store(srcDst, i, ExponentialOne(Load(srcDst, i)));
        }
        return StatusOk;
    }
    // From the last element down: special patterns are settled at once, regular ones are
    // gathered into groups of four in the order found.
    int32_t regular[EXP_BATCH];
    int32_t pending = 0;
    for (int32_t i = len - 1; i >= 0; --i) {
        const uint32_t bits = LoadBits(srcDst, i);
        if ((bits & 0x7F800000u) == 0) {
            StoreBits(srcDst, i, 0x3F800000u);
        } else if ((bits & 0x80000000u) == 0 && bits >= EXP_HIGH_PATTERN) {
            StoreBits(srcDst, i, IsQuietNanPattern(bits) ? NAN_PATTERN : POSITIVE_INFINITY_PATTERN);
        } else if ((bits & 0x80000000u) != 0 && bits >= EXP_LOW_PATTERN) {
            StoreBits(srcDst, i, IsQuietNanPattern(bits) ? NAN_PATTERN : 0u);
        } else {
            regular[pending++] = i;
            if (pending == EXP_BATCH) {
                ExponentialGroups(srcDst, regular, pending);
                pending = 0;
            }
        }
    }
    const int32_t grouped = pending / 4 * 4;
    ExponentialGroups(srcDst, regular, grouped);
    // One to three regular elements left over (the lowest indices) take the double path.
    for (int32_t j = grouped; j < pending; ++j) {
        Store(srcDst, regular[j], ExponentialOne(Load(srcDst, regular[j])));
    }
    return StatusOk;
}

PrimitiveStatus NaturalLogInPlaceGeneric(float* srcDst, int32_t len)
{
    // The first offending element decides the warning.
    PrimitiveStatus warning = StatusOk;
    const PrimitiveStatus status = StoreEach(CheckArguments(len, srcDst), srcDst, len, [&](int32_t i) {
        const uint32_t bits = LoadBits(srcDst, i);
        if ((bits & 0x80000000u) != 0) {
            warning = warning == StatusOk ? WarningLnNegative : warning;
            return FromBits(NAN_PATTERN);
        }
        if (IsQuietNanPattern(bits)) {
            return FromBits(NAN_PATTERN);
        }
        if (bits == 0) {
            warning = warning == StatusOk ? WarningLnZero : warning;
            return FromBits(NEGATIVE_INFINITY_PATTERN);
        }
        // Rounded once from double: the correctly rounded single-precision logarithm.
        return static_cast<float>(std::log(static_cast<double>(FromBits(bits))));
    });
    return status == StatusOk ? warning : status;
}
