// What the slots of the FFT family differ in: the path limits of the complex FFT at the heart of
// every transform, and the factor tables of the slot 1 to 3 large-order algorithm. Shared by the
// slot bodies, their specification builders and the tests.
#pragma once

#include <cstdint>

// The complex order m of a transform runs one pass up to onePassMax, a bit reversal and a radix
// pass up to flatMax (the largest order of the flat specification layout), and the large-order
// algorithm above. Slot 0 has no one-pass path.
struct FftPathLimit {
    int32_t onePassMax;
    int32_t flatMax;
};
inline constexpr FftPathLimit FftPathLimits[4] = {{2, 10}, {15, 16}, {16, 17}, {16, 17}};

// Indexed by the order of a level (used for 17 to 30): rowBits, log2 of its rows, and blockBits,
// log2 of the complex values in one column block (rows times columns).
struct LargeFftFactorTable {
    int32_t rowBits[31];
    int32_t blockBits[31];
};
extern const LargeFftFactorTable LargeFftFactorTables;

// A leaf row of a slot's large-order level is at most 2^flatMax points; longer rows are levels.
constexpr int32_t LargeFftRowLimit(int32_t slot) { return FftPathLimits[slot].flatMax; }
// From this complex order on the large layout reverses bits by 64 x 64 tiles.
constexpr int32_t BlockedReversalFrom(int32_t slot) { return slot == 1 ? 20 : 19; }
// Bytes of the two tiles of the blocked bit reversal.
constexpr int64_t BLOCKED_REVERSAL_WORK_BYTES = 65536;
