// The tables tools/tablegen writes at build time. Each has a pinned FNV-1a-64 checksum: the
// generator uses basic IEEE arithmetic only, so a different value means the data changed (on
// purpose: pin the new value) or a machine or compiler made other bits (a fault to find).
// Every property the readers of a table rely on is a row below.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "dsp/PeakLimiter.h"
#include "dsp/SpatialDiffuserTaps.gen.h"
#include "dsp/SpatialTables.h"

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
        {"SpatialDiffuserTaps", SpatialDiffuserTaps, SPATIAL_DIFFUSER_TAPS_TOTAL, 0xd0b1c10e7c5bb337ull},
        {"spatial set 48 kHz", SpatialSetTable[0], 244, 0x39b32568c0bb6afcull},
        {"spatial set 44.1 kHz", SpatialSetTable[1], 236, 0x1b8a07605c60807aull},
        {"spatial set 32 kHz", SpatialSetTable[2], 204, 0x1d18cec36252aaefull},
        {"spatial set 96 kHz", SpatialSetTable[16], 392, 0xb503db310348cafull},
        {"spatial set 88.2 kHz", SpatialSetTable[17], 376, 0x9a44227bb9680bd0ull},
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

// The layout of a spatial coefficient set as the processor walks it.
struct SpatialSet {
    explicit SpatialSet(int32_t rateIndex) : p(SpatialSetTable[rateIndex]), size(SpatialSetSizeTable[rateIndex])
    {
        taps = rateIndex == 2 ? 3 : rateIndex >= 16 ? 4 : 2;
        const float* q = p;
        for (int i = 0; i < 4; ++i) {
            gap[i] = static_cast<int>(q[0]);
            q += 1 + taps;
        }
        q += 8 + 5 + 1 + 10 + 12;
        for (int k = 0; k < 7; ++k) {
            length[k] = static_cast<int>(*q++);
            diffuser[k] = q;
            q += length[k];
        }
        q += 14 + 30;
        for (int j = 0; j < 4; ++j) {
            row[j] = q;
            q += 5;
        }
        used = static_cast<int>(q - p);
    }
    const float* p;
    int size;
    int taps;
    int gap[4];
    int length[7];
    const float* diffuser[7];
    const float* row[4];
    int used;
};

// Each set fits its size with at most three trailing zeros, and the offset after each of the
// first three feedback rows is gap + T of its line.
bool SpatialLayoutHolds(int32_t rateIndex, const std::vector<int>& lengths)
{
    const SpatialSet s(rateIndex);
    if (s.used > s.size || s.size - s.used > 3) {
        return false;
    }
    for (int k = s.used; k < s.size; ++k) {
        if (s.p[k] != 0.0f) return false;
    }
    for (int j = 0; j < 3; ++j) {
        if (s.row[j][4] != static_cast<float>(s.gap[j] + s.taps)) return false;
    }
    return std::vector<int>(s.length, s.length + 7) == lengths;
}

// M Mt = I to four decimals.
bool FeedbackOrthogonal(int32_t rateIndex)
{
    const SpatialSet s(rateIndex);
    for (int a = 0; a < 4; ++a) {
        for (int b = 0; b < 4; ++b) {
            double dot = 0.0;
            for (int i = 0; i < 4; ++i) dot += static_cast<double>(s.row[a][i]) * s.row[b][i];
            if (std::fabs(dot - (a == b ? 1.0 : 0.0)) > 1e-4) return false;
        }
    }
    return true;
}

bool DiffuserStarts(int32_t rateIndex, float a, float b, float c)
{
    const float* h = SpatialSet(rateIndex).diffuser[0];
    auto near = [](float x, float y) { return std::fabs(x - y) <= 1.0f / 65536.0f; };
    return near(h[0], a) && near(h[1], b) && near(h[2], c);
}

// Every diffuser: taps on the 2^-15 grid, some of them zero (sparse), and more energy in its
// first half than in its second (decaying).
bool DiffusersSparseAndDecaying()
{
    for (int32_t index : {0, 1, 2, 16, 17}) {
        const SpatialSet s(index);
        for (int k = 0; k < 7; ++k) {
            double first = 0.0, second = 0.0;
            int zeros = 0;
            for (int j = 0; j < s.length[k]; ++j) {
                const float h = s.diffuser[k][j];
                if (h * 32768.0f != std::floor(h * 32768.0f)) return false;
                zeros += h == 0.0f;
                (2 * j < s.length[k] ? first : second) += static_cast<double>(h) * h;
            }
            if (zeros == 0 || zeros == s.length[k] || first <= second) return false;
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
        {"spatial 48 kHz: layout and diffuser lengths", [] { return SpatialLayoutHolds(0, {16, 16, 16, 20, 20, 18, 18}); }},
        {"spatial 44.1 kHz: layout and diffuser lengths", [] { return SpatialLayoutHolds(1, {15, 15, 15, 19, 19, 17, 17}); }},
        {"spatial 32 kHz: layout and diffuser lengths", [] { return SpatialLayoutHolds(2, {10, 10, 10, 13, 13, 12, 12}); }},
        {"spatial 96 kHz: layout and diffuser lengths", [] { return SpatialLayoutHolds(16, {34, 34, 34, 42, 42, 38, 38}); }},
        {"spatial 88.2 kHz: layout and diffuser lengths", [] { return SpatialLayoutHolds(17, {32, 32, 32, 40, 40, 36, 36}); }},
        {"spatial: feedback matrix orthogonal in every set",
         [] { return FeedbackOrthogonal(0) && FeedbackOrthogonal(1) && FeedbackOrthogonal(2) && FeedbackOrthogonal(16) && FeedbackOrthogonal(17); }},
        {"spatial 48 kHz: first diffuser starts", [] { return DiffuserStarts(0, 0.14975f, -0.0775452f, 0.0103149f); }},
        {"spatial 96 kHz: first diffuser starts", [] { return DiffuserStarts(16, -0.0436707f, 0.00518799f, 0.0834656f); }},
        {"spatial: diffusers sparse, decaying, on the Q15 grid", DiffusersSparseAndDecaying},
        {"spatial: empty slots 3 to 15", [] {
             for (int i = 3; i <= 15; ++i) if (SpatialSetTable[i] != nullptr || SpatialRingLengthTable[i] != 0) return false;
             return true;
         }},
    };
    for (const Property& row : rows) {
        EXPECT_TRUE(row.holds()) << row.name;
    }
}

}  // namespace
