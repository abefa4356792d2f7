// The constant data of the headphone FIR: the impulse-response library (27 head tables and 9
// tail tables, chosen by set and angle code) and the CTC table. Both are made by the table
// generator at build time, which lays the library out by the constants below.
#pragma once

#include <cstdint>

constexpr int32_t HEADPHONEFIR_N = 512;
constexpr int32_t HEADPHONE_SETS = 3;
constexpr int32_t HEADPHONE_ANGLE_CODE_COUNT = 9;
constexpr int32_t HEADPHONE_FAMILIES = 3;
constexpr int32_t HEADPHONE_HEAD_RESPONSES = 10;
constexpr int32_t HEADPHONE_HEAD_LENGTH = 1024;
constexpr int32_t HEADPHONE_HEAD_FLOATS = HEADPHONE_HEAD_RESPONSES * HEADPHONE_HEAD_LENGTH;
constexpr int32_t HEADPHONE_TAIL_RESPONSES = 2;
constexpr int32_t HEADPHONE_MAX_TAIL_LENGTH = 7168;

// The angle codes in library order: the variant 0 family, the variant 1 family, then 31. A head
// table for each set and code; a tail table for each set and family.
inline constexpr int32_t HeadphoneAngleCodes[HEADPHONE_ANGLE_CODE_COUNT] = {24, 29, 34, 39, 25, 30, 35, 40, 31};

// Tail length in samples by set (1 to 3) and family (0 to 2).
inline constexpr int32_t HeadphoneTailLengths[HEADPHONE_SETS][HEADPHONE_FAMILIES] = {
    {3072, 3072, 6144},  // set 1 (room code 2)
    {3072, 5120, 6144},  // set 2 (room code 1)
    {7168, 7168, 6144},  // set 3 (room code 0)
};

// The position of a code in HeadphoneAngleCodes, or -1 for a code outside the nine.
constexpr int32_t HeadphoneAngleCodeIndex(int32_t code)
{
    for (int32_t i = 0; i < HEADPHONE_ANGLE_CODE_COUNT; ++i) {
        if (HeadphoneAngleCodes[i] == code) {
            return i;
        }
    }
    return -1;
}

// 0 for 24, 29, 34, 39; 1 for 25, 30, 35, 40; 2 for 31 (a code among the nine).
constexpr int32_t HeadphoneAngleFamily(int32_t code)
{
    return code == 31 ? 2 : (code % 5 == 4 ? 0 : 1);
}

// Offsets of a set's (1 to 3) tables in the library, in floats: every head table first (by set,
// then code), then every tail table (by set, then family).
constexpr int32_t HeadphoneHeadOffset(int32_t set, int32_t codeIndex)
{
    return ((set - 1) * HEADPHONE_ANGLE_CODE_COUNT + codeIndex) * HEADPHONE_HEAD_FLOATS;
}

constexpr int32_t HeadphoneTailOffset(int32_t set, int32_t family)
{
    int32_t offset = HEADPHONE_SETS * HEADPHONE_ANGLE_CODE_COUNT * HEADPHONE_HEAD_FLOATS;
    for (int32_t s = 1; s <= HEADPHONE_SETS; ++s) {
        for (int32_t f = 0; f < HEADPHONE_FAMILIES; ++f) {
            if (s == set && f == family) {
                return offset;
            }
            offset += HEADPHONE_TAIL_RESPONSES * HeadphoneTailLengths[s - 1][f];
        }
    }
    return offset;
}

constexpr int32_t HEADPHONE_LIBRARY_FLOATS = HeadphoneTailOffset(HEADPHONE_SETS + 1, 0);
static_assert(HEADPHONE_LIBRARY_FLOATS == 370688);

// The library, 64-byte aligned read-only data.
extern "C" const float HeadphoneResponseLibrary[HEADPHONE_LIBRARY_FLOATS];

// The CTC table: for each angle in HeadphoneCtcAngles, the 256-tap direct filter and then the
// 256-tap cross filter.
constexpr int32_t HEADPHONE_CTC_ANGLES = 5;
constexpr int32_t HEADPHONE_CTC_TAPS = 256;
inline constexpr int32_t HeadphoneCtcAngles[HEADPHONE_CTC_ANGLES] = {5, 10, 15, 20, 30};
extern const float HeadphoneCtcTable[HEADPHONE_CTC_ANGLES * 2 * HEADPHONE_CTC_TAPS];
