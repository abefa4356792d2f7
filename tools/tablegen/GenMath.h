// Arithmetic of the table generator that gives the same bits on every machine and compiler:
// only IEEE basic operations (+, -, *, /, sqrt, exact conversions) on doubles, an integer random
// generator and the exponential and sine by their series. No library transcendental (their last
// bits differ between C libraries) and no standard distribution (its algorithm is the library's).
// The generator is built with -ffp-contract=off, so no multiply-add is fused behind our back.
#pragma once

#include <cstdint>

namespace tablegen {

constexpr double PI = 3.14159265358979323846;
constexpr double LN2 = 0.69314718055994530942;
constexpr double LN10 = 2.30258509299404568402;

// e^x; 0 below -700, +inf above 709.
double Exp(double x);
// 10^(-db/20): the linear gain of an attenuation in decibels.
double DecibelsDown(double db);
double Sin(double x);
double Cos(double x);
// A double-double: the value high + low, low within half an ulp of high.
struct DoubleDouble {
    double high;
    double low;
};

// ln(numerator / denominator) to about 2^-104, for a ratio in [1/2, 2] of integers below 2^52:
// 2 atanh((n - d)/(n + d)) by its series in double-double arithmetic.
DoubleDouble LogOfRatio(int64_t numerator, int64_t denominator);

// The nearest float to x, ties to even (the conversion the hardware makes).
inline float ToFloat(double x)
{
    return static_cast<float>(x);
}
// The modified Bessel function of the first kind and order 0, by its power series (the Kaiser
// window's shape); accurate to double precision for the window parameters used here (x < 40).
double BesselI0(double x);
// The Kaiser window of shape beta at u in [-1, 1] (0 outside): I0(beta sqrt(1 - u^2)) / I0(beta).
double KaiserWindow(double u, double beta);
// x rounded to a multiple of 2^-15: the coefficient grid of the tables that are stored in Q15.
double RoundToQ15(double x);

// SplitMix64: a 64-bit counter through an invertible mixing function. Small, fast and the same
// everywhere; every table draws from its own seed.
class Rng {
public:
    explicit Rng(uint64_t seed) : m_State(seed) {}
    // A seed from up to four small numbers (family, room, loudspeaker, ear...).
    static uint64_t Seed(uint32_t a, uint32_t b = 0, uint32_t c = 0, uint32_t d = 0);
    uint64_t Next();
    // Uniform in [-1, 1) on a grid of 2^-52.
    double Symmetric();
    // Uniform in [0, 1) on a grid of 2^-53.
    double Unit();
    // A bell-shaped value of unit variance: the centred sum of four uniforms (Irwin-Hall).
    double Bell();

private:
    uint64_t m_State;
};

}  // namespace tablegen
