// The coefficient sets of the spatial room processor: one sequence of floats per supported rate
// (48, 44.1, 32, 96 and 88.2 kHz), in slots indexed by the rate index, with the ring length each
// set needs. The diffuser taps inside the sets come from the table generator, which reads the
// diffuser shapes below.
#pragma once

#include <cstdint>

constexpr int32_t SPATIAL_RATE_SLOTS = 18;
constexpr int32_t SPATIAL_SET_COUNT = 5;
constexpr int32_t SPATIAL_LINES = 4;
constexpr int32_t SPATIAL_FEEDS = 4;
constexpr int32_t SPATIAL_DIFFUSERS = 7;
constexpr int32_t SPATIAL_OUTPUT_STREAMS = 5;
constexpr int32_t SPATIAL_OUTPUT_TAPS = 3;
constexpr int32_t SPATIAL_MAX_LINE_TAPS = 4;
constexpr int32_t SPATIAL_MAX_DIFFUSER_TAPS = 42;

// Rate indexes that hold a set; every other slot is empty.
constexpr int32_t SPATIAL_INDEX_48K = 0;
constexpr int32_t SPATIAL_INDEX_44K1 = 1;
constexpr int32_t SPATIAL_INDEX_32K = 2;
constexpr int32_t SPATIAL_INDEX_96K = 16;
constexpr int32_t SPATIAL_INDEX_88K2 = 17;

// The diffusers of one set: its rate and the number of taps of each of the seven diffusers.
struct SpatialDiffuserShape {
    int32_t rateIndex;
    int32_t rate;
    int32_t lengths[SPATIAL_DIFFUSERS];
};

// In the order of the generated tap table: the sets one after the other, each set's diffusers in
// order.
inline constexpr SpatialDiffuserShape SpatialDiffuserShapes[SPATIAL_SET_COUNT] = {
    {SPATIAL_INDEX_48K, 48000, {16, 16, 16, 20, 20, 18, 18}},
    {SPATIAL_INDEX_44K1, 44100, {15, 15, 15, 19, 19, 17, 17}},
    {SPATIAL_INDEX_32K, 32000, {10, 10, 10, 13, 13, 12, 12}},
    {SPATIAL_INDEX_96K, 96000, {34, 34, 34, 42, 42, 38, 38}},
    {SPATIAL_INDEX_88K2, 88200, {32, 32, 32, 40, 40, 36, 36}},
};

constexpr int32_t SpatialDiffuserTapCount()
{
    int32_t count = 0;
    for (const SpatialDiffuserShape& shape : SpatialDiffuserShapes) {
        for (int32_t length : shape.lengths) {
            count += length;
        }
    }
    return count;
}
constexpr int32_t SPATIAL_DIFFUSER_TAPS_TOTAL = SpatialDiffuserTapCount();
static_assert(SPATIAL_DIFFUSER_TAPS_TOTAL == 831);

// The set of each rate index (null for an empty slot), its length in floats, and the ring cells
// its delay memory takes.
extern const float* const SpatialSetTable[SPATIAL_RATE_SLOTS];
extern const int32_t SpatialSetSizeTable[SPATIAL_RATE_SLOTS];
extern const int32_t SpatialRingLengthTable[SPATIAL_RATE_SLOTS];
