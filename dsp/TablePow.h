// 2 or 10 raised to a real exponent from two small tables, without a logarithm or an exponential:
// the topology turns control levels into linear gains with it (10^(dB / 20)). Pure arithmetic.
#pragma once

// Entry k = 2^k, k = 0 .. 15.
extern const double TablePowBase2Table[16];
// Entry k = 10^(k / 200), k = 0 .. 200: the fraction of a base-10 exponent in steps of 1/200.
extern const double TablePowBase10Table[201];

// Base 2 takes the nearest whole exponent (0 .. 15; any other gives 0.0). Base 10 looks up the
// nearest 1/200 of the fraction and scales by whole powers of ten. Every other base, and a NaN
// exponent, gives 0.0.
double TablePowDouble(double base, double exponent);

// TablePowDouble in double, narrowed to float.
float TablePow(float base, float exponent);
