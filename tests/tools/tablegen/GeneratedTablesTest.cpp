// The tables tools/tablegen writes at build time. Each has a pinned FNV-1a-64 checksum: the
// generator uses basic IEEE arithmetic only, so a different value means the data changed (on
// purpose: pin the new value) or a machine or compiler made other bits (a fault to find).
// Every property the readers of a table rely on is a row below.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "dsp/PeakLimiter.h"

namespace {

uint64_t Fnv1a64(const float* values, size_t count)
{
    uint64_t hash = 0xCBF29CE484222325ull;
    const auto* bytes = reinterpret_cast<const unsigned char*>(values);
    for (size_t i = 0; i < count * sizeof(float); ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001B3ull;
    }
    return hash;
}

struct Checksum {
    const char* name;
    const float* table;
    size_t count;
    uint64_t pinned;
};

TEST(GeneratedTables, ChecksumsArePinned)
{
    const Checksum rows[] = {
        {"LimiterFirTable48k", LimiterFirTable48k, LIMITER_FIR_TAPS, 0xbe988dee135abb2aull},
        {"LimiterFirTable", LimiterFirTable, LIMITER_FIR_TAPS, 0x546f28c1a7939698ull},
    };
    for (const Checksum& row : rows) {
        const uint64_t actual = Fnv1a64(row.table, row.count);
        EXPECT_EQ(actual, row.pinned) << row.name << ": 0x" << std::hex << actual << "ull";
    }
}

bool Symmetric(const float* taps, int count)
{
    for (int k = 0; k < count; ++k) {
        if (taps[k] != taps[count - 1 - k]) {
            return false;
        }
    }
    return true;
}

struct Property {
    const char* name;
    std::function<bool()> holds;
};

TEST(GeneratedTables, StatedPropertiesHold)
{
    const Property rows[] = {
        {"limiter 48 kHz: centre tap", [] { return LimiterFirTable48k[50] == 0.6591155f; }},
        {"limiter 48 kHz: first and last taps", [] { return LimiterFirTable48k[0] == -0.0014565f; }},
        {"limiter 48 kHz: symmetric", [] { return Symmetric(LimiterFirTable48k, LIMITER_FIR_TAPS); }},
        {"limiter other rates: centre tap", [] { return LimiterFirTable[50] == 0.6926921f; }},
        {"limiter other rates: first and last taps", [] { return LimiterFirTable[0] == -0.0016591f; }},
        {"limiter other rates: symmetric", [] { return Symmetric(LimiterFirTable, LIMITER_FIR_TAPS); }},
    };
    for (const Property& row : rows) {
        EXPECT_TRUE(row.holds()) << row.name;
    }
}

}  // namespace
