// Constant tables of the power function.
#pragma once

#include <cstdint>

struct PowerLogEntry {
    double Ln;   // ln(1 + j/256)
    double Inv;  // 1 / (1 + j/256)
};

struct PowerExpPair {
    float Hi;  // 2^(j/128) rounded toward zero
    float Lo;  // (2^(j/128) - Hi) / Hi
};

extern const PowerLogEntry PowerLogTable[257];
extern const uint64_t PowerExpTable[128];
extern const PowerExpPair PowerExpPairTable[128];
