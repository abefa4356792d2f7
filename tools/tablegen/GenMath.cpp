#include "tools/tablegen/GenMath.h"

#include <cmath>
#include <cstring>

namespace tablegen {

namespace {

// ln 2 and 2 pi split into a high part with trailing zero bits (so that k * high is exact for the
// k used here) and the rest, for range reductions that keep the small argument accurate.
constexpr double LN2_HIGH = 0.693147180369123816490;
constexpr double LN2_LOW = 1.90821492927058770002e-10;
constexpr double TWO_PI_HIGH = 6.28318530717958623200;
constexpr double TWO_PI_LOW = 2.44929359829470635445e-16;
constexpr double HALF_PI = PI / 2.0;

// Double-double arithmetic from basic operations only (the product split by Dekker's method, so
// that no fused multiply-add is needed).
DoubleDouble TwoSum(double a, double b)
{
    const double s = a + b;
    const double v = s - a;
    return {s, (a - (s - v)) + (b - v)};
}

DoubleDouble QuickTwoSum(double a, double b)
{
    const double s = a + b;
    return {s, b - (s - a)};
}

DoubleDouble TwoProduct(double a, double b)
{
    const auto split = [](double x, double* high, double* low) {
        const double t = 134217729.0 * x;  // 2^27 + 1
        *high = t - (t - x);
        *low = x - *high;
    };
    double ah, al, bh, bl;
    split(a, &ah, &al);
    split(b, &bh, &bl);
    const double p = a * b;
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

DoubleDouble Add(DoubleDouble a, DoubleDouble b)
{
    DoubleDouble s = TwoSum(a.high, b.high);
    const DoubleDouble t = TwoSum(a.low, b.low);
    s = QuickTwoSum(s.high, s.low + t.high);
    return QuickTwoSum(s.high, s.low + t.low);
}

DoubleDouble Multiply(DoubleDouble a, DoubleDouble b)
{
    DoubleDouble p = TwoProduct(a.high, b.high);
    p.low += a.high * b.low + a.low * b.high;
    return QuickTwoSum(p.high, p.low);
}

DoubleDouble Divide(DoubleDouble a, DoubleDouble b)
{
    const double q1 = a.high / b.high;
    DoubleDouble r = Add(a, Multiply({-q1, 0.0}, b));
    const double q2 = r.high / b.high;
    r = Add(r, Multiply({-q2, 0.0}, b));
    const double q3 = r.high / b.high;
    return Add(QuickTwoSum(q1, q2), {q3, 0.0});
}

double PowerOfTwo(int k)
{
    const uint64_t bits = static_cast<uint64_t>(k + 1023) << 52;
    double result;
    std::memcpy(&result, &bits, sizeof(result));
    return result;
}

// Series of sin and cos for |r| <= pi/4: twenty terms leave nothing above double precision.
double SinSeries(double r)
{
    const double r2 = r * r;
    double term = r;
    double sum = r;
    for (int n = 1; n <= 12; ++n) {
        term = -term * r2 / static_cast<double>((2 * n) * (2 * n + 1));
        sum += term;
    }
    return sum;
}

double CosSeries(double r)
{
    const double r2 = r * r;
    double term = 1.0;
    double sum = 1.0;
    for (int n = 1; n <= 12; ++n) {
        term = -term * r2 / static_cast<double>((2 * n - 1) * (2 * n));
        sum += term;
    }
    return sum;
}

// x reduced to r in [-pi/4, pi/4] and its quadrant q (x = r + q pi/2 + a multiple of 2 pi).
void Reduce(double x, double* r, int* q)
{
    const double turns = std::floor(x / TWO_PI_HIGH + 0.5);
    double y = (x - turns * TWO_PI_HIGH) - turns * TWO_PI_LOW;
    const double quarter = std::floor(y / HALF_PI + 0.5);
    y -= quarter * HALF_PI;
    *r = y;
    *q = static_cast<int>(quarter) & 3;
}

}  // namespace

DoubleDouble LogOfRatio(int64_t numerator, int64_t denominator)
{
    const DoubleDouble t = Divide({static_cast<double>(numerator - denominator), 0.0},
                                  {static_cast<double>(numerator + denominator), 0.0});
    const DoubleDouble t2 = Multiply(t, t);
    DoubleDouble power = t;
    DoubleDouble sum = t;
    // |t| <= 1/3, so each term is at most a ninth of the one before.
    for (int k = 1; k < 40; ++k) {
        power = Multiply(power, t2);
        sum = Add(sum, Divide(power, {static_cast<double>(2 * k + 1), 0.0}));
    }
    return {2.0 * sum.high, 2.0 * sum.low};
}

double Exp(double x)
{
    if (x < -700.0) {
        return 0.0;
    }
    if (x > 709.0) {
        return HUGE_VAL;
    }
    const double k = std::floor(x / LN2 + 0.5);
    const double r = (x - k * LN2_HIGH) - k * LN2_LOW;  // |r| <= 0.35
    double term = 1.0;
    double sum = 1.0;
    for (int n = 1; n <= 20; ++n) {
        term = term * r / static_cast<double>(n);
        sum += term;
    }
    // 2^k in two steps, so that k down to -1010 stays a normal number on the way.
    const int ki = static_cast<int>(k);
    const int half = ki / 2;
    return sum * PowerOfTwo(half) * PowerOfTwo(ki - half);
}

double DecibelsDown(double db)
{
    return Exp(-db * LN10 / 20.0);
}

double Sin(double x)
{
    double r;
    int q;
    Reduce(x, &r, &q);
    switch (q) {
    case 0: return SinSeries(r);
    case 1: return CosSeries(r);
    case 2: return -SinSeries(r);
    default: return -CosSeries(r);
    }
}

double Cos(double x)
{
    double r;
    int q;
    Reduce(x, &r, &q);
    switch (q) {
    case 0: return CosSeries(r);
    case 1: return -SinSeries(r);
    case 2: return -CosSeries(r);
    default: return SinSeries(r);
    }
}

double BesselI0(double x)
{
    const double half = x / 2.0;
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k <= 80; ++k) {
        term = term * half / static_cast<double>(k);
        sum += term * term;
    }
    return sum;
}

double KaiserWindow(double u, double beta)
{
    if (u <= -1.0 || u >= 1.0) {
        return 0.0;
    }
    return BesselI0(beta * std::sqrt(1.0 - u * u)) / BesselI0(beta);
}

double RoundToQ15(double x)
{
    return std::floor(x * 32768.0 + 0.5) / 32768.0;
}

uint64_t Rng::Seed(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    Rng mix((static_cast<uint64_t>(a) << 32) | b);
    return mix.Next() ^ ((static_cast<uint64_t>(c) << 32) | d);
}

uint64_t Rng::Next()
{
    m_State += 0x9E3779B97F4A7C15ull;
    uint64_t z = m_State;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::Symmetric()
{
    return static_cast<double>(static_cast<int64_t>(Next() >> 11)) / 4503599627370496.0 - 1.0;
}

double Rng::Unit()
{
    return static_cast<double>(Next() >> 11) / 9007199254740992.0;
}

double Rng::Bell()
{
    // Four uniforms in [-1, 1) have variance 4/3 together.
    const double sum = Symmetric() + Symmetric() + Symmetric() + Symmetric();
    return sum * 0.86602540378443864676;
}

}  // namespace tablegen
