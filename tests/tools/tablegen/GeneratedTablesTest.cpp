// The tables tools/tablegen writes at build time. Each has a pinned FNV-1a-64 checksum: the
// generator uses basic IEEE arithmetic only, so a different value means the data changed (on
// purpose: pin the new value) or a machine or compiler made other bits (a fault to find).
// Every property the readers of a table rely on is a row below.
#include <gtest/gtest.h>

#include <algorithm>
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "dsp/PeakLimiter.h"
#include "dsp/SpatialDiffuserTaps.gen.h"
#include "dsp/SpatialTables.h"
#include "dsp/SrcTables.h"
#include "globaltopo/common/JQZ/headphonefir_tables.h"
#include "primitives/math/MathKernels.h"

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
        {"head set 1 code 24", HeadphoneResponseLibrary + HeadphoneHeadOffset(1, 0), HEADPHONE_HEAD_FLOATS, 0xd136d97caa52e795ull},
        {"head set 1 code 29", HeadphoneResponseLibrary + HeadphoneHeadOffset(1, 1), HEADPHONE_HEAD_FLOATS, 0xdd9fdd16126e6b4dull},
        {"head set 1 code 34", HeadphoneResponseLibrary + HeadphoneHeadOffset(1, 2), HEADPHONE_HEAD_FLOATS, 0xddbab770fadb4789ull},
        {"head set 1 code 39", HeadphoneResponseLibrary + HeadphoneHeadOffset(1, 3), HEADPHONE_HEAD_FLOATS, 0xe18bdc6663cdc535ull},
        {"head set 1 code 25", HeadphoneResponseLibrary + HeadphoneHeadOffset(1, 4), HEADPHONE_HEAD_FLOATS, 0xe314bbdb2b16759aull},
        {"head set 1 code 30", HeadphoneResponseLibrary + HeadphoneHeadOffset(1, 5), HEADPHONE_HEAD_FLOATS, 0x96917764e8a7815full},
        {"head set 1 code 35", HeadphoneResponseLibrary + HeadphoneHeadOffset(1, 6), HEADPHONE_HEAD_FLOATS, 0x5d1693c769dee80ull},
        {"head set 1 code 40", HeadphoneResponseLibrary + HeadphoneHeadOffset(1, 7), HEADPHONE_HEAD_FLOATS, 0x5064fded479683f3ull},
        {"head set 1 code 31", HeadphoneResponseLibrary + HeadphoneHeadOffset(1, 8), HEADPHONE_HEAD_FLOATS, 0x939c76e29270e1feull},
        {"head set 2 code 24", HeadphoneResponseLibrary + HeadphoneHeadOffset(2, 0), HEADPHONE_HEAD_FLOATS, 0xc55827d8ebbbe29ull},
        {"head set 2 code 29", HeadphoneResponseLibrary + HeadphoneHeadOffset(2, 1), HEADPHONE_HEAD_FLOATS, 0x171ec8d6af80bc6dull},
        {"head set 2 code 34", HeadphoneResponseLibrary + HeadphoneHeadOffset(2, 2), HEADPHONE_HEAD_FLOATS, 0xe749aca3deb1056dull},
        {"head set 2 code 39", HeadphoneResponseLibrary + HeadphoneHeadOffset(2, 3), HEADPHONE_HEAD_FLOATS, 0x5f59b4c18b200865ull},
        {"head set 2 code 25", HeadphoneResponseLibrary + HeadphoneHeadOffset(2, 4), HEADPHONE_HEAD_FLOATS, 0x85e79463bf7bd76dull},
        {"head set 2 code 30", HeadphoneResponseLibrary + HeadphoneHeadOffset(2, 5), HEADPHONE_HEAD_FLOATS, 0x413ac888354cba24ull},
        {"head set 2 code 35", HeadphoneResponseLibrary + HeadphoneHeadOffset(2, 6), HEADPHONE_HEAD_FLOATS, 0xc4739200e80abdcaull},
        {"head set 2 code 40", HeadphoneResponseLibrary + HeadphoneHeadOffset(2, 7), HEADPHONE_HEAD_FLOATS, 0x4f547e52a5ecdcc6ull},
        {"head set 2 code 31", HeadphoneResponseLibrary + HeadphoneHeadOffset(2, 8), HEADPHONE_HEAD_FLOATS, 0xc6f793ffa57c251aull},
        {"head set 3 code 24", HeadphoneResponseLibrary + HeadphoneHeadOffset(3, 0), HEADPHONE_HEAD_FLOATS, 0x9b3b13d3e5d42701ull},
        {"head set 3 code 29", HeadphoneResponseLibrary + HeadphoneHeadOffset(3, 1), HEADPHONE_HEAD_FLOATS, 0x94ad6a1363b07279ull},
        {"head set 3 code 34", HeadphoneResponseLibrary + HeadphoneHeadOffset(3, 2), HEADPHONE_HEAD_FLOATS, 0x8fb8c43a76fcb169ull},
        {"head set 3 code 39", HeadphoneResponseLibrary + HeadphoneHeadOffset(3, 3), HEADPHONE_HEAD_FLOATS, 0xc2a38f7d0e4c8a75ull},
        {"head set 3 code 25", HeadphoneResponseLibrary + HeadphoneHeadOffset(3, 4), HEADPHONE_HEAD_FLOATS, 0xe9d3942935895beaull},
        {"head set 3 code 30", HeadphoneResponseLibrary + HeadphoneHeadOffset(3, 5), HEADPHONE_HEAD_FLOATS, 0xa066c1ff00063f82ull},
        {"head set 3 code 35", HeadphoneResponseLibrary + HeadphoneHeadOffset(3, 6), HEADPHONE_HEAD_FLOATS, 0x59f656fff34786f4ull},
        {"head set 3 code 40", HeadphoneResponseLibrary + HeadphoneHeadOffset(3, 7), HEADPHONE_HEAD_FLOATS, 0xdbc2806a86eb0500ull},
        {"head set 3 code 31", HeadphoneResponseLibrary + HeadphoneHeadOffset(3, 8), HEADPHONE_HEAD_FLOATS, 0x5356e1d7ca553f52ull},
        {"tail set 1 family 0", HeadphoneResponseLibrary + HeadphoneTailOffset(1, 0), 2 * HeadphoneTailLengths[0][0], 0x7f5b500e884a0613ull},
        {"tail set 1 family 1", HeadphoneResponseLibrary + HeadphoneTailOffset(1, 1), 2 * HeadphoneTailLengths[0][1], 0xd1eaa2f9d9c42357ull},
        {"tail set 1 family 2", HeadphoneResponseLibrary + HeadphoneTailOffset(1, 2), 2 * HeadphoneTailLengths[0][2], 0xbb6f9e421b46bdc2ull},
        {"tail set 2 family 0", HeadphoneResponseLibrary + HeadphoneTailOffset(2, 0), 2 * HeadphoneTailLengths[1][0], 0xd62b68ac931fc456ull},
        {"tail set 2 family 1", HeadphoneResponseLibrary + HeadphoneTailOffset(2, 1), 2 * HeadphoneTailLengths[1][1], 0xda85b047ddda9f4dull},
        {"tail set 2 family 2", HeadphoneResponseLibrary + HeadphoneTailOffset(2, 2), 2 * HeadphoneTailLengths[1][2], 0x40dd0e284495ff8ull},
        {"tail set 3 family 0", HeadphoneResponseLibrary + HeadphoneTailOffset(3, 0), 2 * HeadphoneTailLengths[2][0], 0x3d08868405846364ull},
        {"tail set 3 family 1", HeadphoneResponseLibrary + HeadphoneTailOffset(3, 1), 2 * HeadphoneTailLengths[2][1], 0x8009131543b692d7ull},
        {"tail set 3 family 2", HeadphoneResponseLibrary + HeadphoneTailOffset(3, 2), 2 * HeadphoneTailLengths[2][2], 0xed61bbc3ee329c44ull},
        {"HeadphoneCtcTable", HeadphoneCtcTable, HEADPHONE_CTC_ANGLES * 2 * HEADPHONE_CTC_TAPS, 0x825007dd08bdf5b8ull},
        {"SrcX2Taps", SrcX2Taps, SRC_X2_TAPS, 0x7dda51d1a4c1cdddull},
        {"SrcX4Taps", SrcX4Taps, SRC_X4_TAPS, 0xa59414da74964fcdull},
        {"Src44k48kUpTaps", Src44k48kUpTaps, SRC_44K48K_UP_PHASES * SRC_44K48K_UP_TAPS, 0x88cfb43386baf10cull},
        {"Src44k48kDownTaps", Src44k48kDownTaps, SRC_44K48K_DOWN_PHASES * SRC_44K48K_DOWN_TAPS, 0x3ea15304c87f0756ull},
        // Rows of four doubles, hashed as their bytes; one copy per slot, all alike.
        {"Sse3Variant::LogReciprocalTable", reinterpret_cast<const float*>(Sse3Variant::LogReciprocalTable),
         LOG_RECIPROCAL_ENTRIES * 8, 0x0a15dccd98d036b4ull},
        {"Ssse3Variant::LogReciprocalTable", reinterpret_cast<const float*>(Ssse3Variant::LogReciprocalTable),
         LOG_RECIPROCAL_ENTRIES * 8, 0x0a15dccd98d036b4ull},
        {"Sse41Variant::LogReciprocalTable", reinterpret_cast<const float*>(Sse41Variant::LogReciprocalTable),
         LOG_RECIPROCAL_ENTRIES * 8, 0x0a15dccd98d036b4ull},
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

// The head and tail responses of the library.
const float* HeadResponse(int set, int code, int r)
{
    return HeadphoneResponseLibrary + HeadphoneHeadOffset(set, HeadphoneAngleCodeIndex(code)) + r * HEADPHONE_HEAD_LENGTH;
}

bool SameResponse(const float* a, const float* b)
{
    return std::equal(a, a + HEADPHONE_HEAD_LENGTH, b);
}

constexpr int VARIANT_0[] = {24, 29, 34, 39};
constexpr int OTHER_CODES[] = {25, 30, 35, 40, 31};

// Variant 0: the mirror image of each response is the same, sample for sample.
bool MirrorPairs(const int* codes, size_t count, bool expected)
{
    const int pairs[][2] = {{3, 0}, {2, 1}, {5, 4}, {9, 6}, {8, 7}};
    for (int set = 1; set <= 3; ++set) {
        for (size_t c = 0; c < count; ++c) {
            for (const auto& pair : pairs) {
                if (SameResponse(HeadResponse(set, codes[c], pair[0]), HeadResponse(set, codes[c], pair[1])) != expected) {
                    return false;
                }
            }
        }
    }
    return true;
}

// Variant 0 codes of one set share responses 4 to 9 and differ in the front pair; in the other
// family every response differs between codes.
bool SharedResponses()
{
    for (int set = 1; set <= 3; ++set) {
        for (int r = 0; r < 10; ++r) {
            for (int a = 0; a < 4; ++a) {
                for (int b = a + 1; b < 4; ++b) {
                    if (SameResponse(HeadResponse(set, VARIANT_0[a], r), HeadResponse(set, VARIANT_0[b], r)) != (r >= 4)) {
                        return false;
                    }
                }
            }
            for (int a = 0; a < 5; ++a) {
                for (int b = a + 1; b < 5; ++b) {
                    if (SameResponse(HeadResponse(set, OTHER_CODES[a], r), HeadResponse(set, OTHER_CODES[b], r))) {
                        return false;
                    }
                }
            }
        }
    }
    return true;
}

// Every head response runs to its last sample.
bool FullLength()
{
    for (int set = 1; set <= 3; ++set) {
        for (int code : HeadphoneAngleCodes) {
            for (int r = 0; r < 10; ++r) {
                const float* h = HeadResponse(set, code, r);
                if (h[HEADPHONE_HEAD_LENGTH - 1] == 0.0f || h[HEADPHONE_HEAD_LENGTH - 2] == 0.0f) {
                    return false;
                }
            }
        }
    }
    return true;
}

// Variant 0: near-ear responses (0, 3, 6, 9) peak at samples 6 to 9 at about 0.2, far-ear ones
// (1, 2, 7, 8) at samples 14 to 20 at about 0.03.
bool VariantZeroPeaks()
{
    for (int set = 1; set <= 3; ++set) {
        for (int code : VARIANT_0) {
            for (int r : {0, 1, 2, 3, 6, 7, 8, 9}) {
                const float* h = HeadResponse(set, code, r);
                const float* peak = std::max_element(h, h + HEADPHONE_HEAD_LENGTH, [](float a, float b) { return std::fabs(a) < std::fabs(b); });
                const long at = peak - h;
                const bool near = r == 0 || r == 3 || r == 6 || r == 9;
                const bool ok = near ? (at >= 6 && at <= 9 && *peak >= 0.15f && *peak <= 0.25f)
                                     : (at >= 14 && at <= 20 && *peak >= 0.015f && *peak <= 0.05f);
                if (!ok) {
                    return false;
                }
            }
        }
    }
    return true;
}

double Rms(const float* x, int n)
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / n);
}

// Tails: 0.001 to 0.003 RMS over the first 512 samples, a third to a hundredth of that over the
// last 512.
bool TailLevels()
{
    for (int set = 1; set <= 3; ++set) {
        for (int family = 0; family < 3; ++family) {
            const int length = HeadphoneTailLengths[set - 1][family];
            for (int ear = 0; ear < 2; ++ear) {
                const float* t = HeadphoneResponseLibrary + HeadphoneTailOffset(set, family) + ear * length;
                const double first = Rms(t, 512);
                const double last = Rms(t + length - 512, 512);
                if (first < 0.001 || first > 0.003 || last > first / 3.0 || last < first / 100.0) {
                    return false;
                }
            }
        }
    }
    return true;
}

// CTC: every filter's largest tap at 112 to 125; the direct sums from 0.81 at 5 degrees down to
// 0.72 at 30, the cross sums between -0.065 and -0.128.
bool CtcFilters()
{
    double previous = 1.0;
    for (int a = 0; a < HEADPHONE_CTC_ANGLES; ++a) {
        for (int part = 0; part < 2; ++part) {
            const float* f = HeadphoneCtcTable + (2 * a + part) * HEADPHONE_CTC_TAPS;
            const long at = std::max_element(f, f + HEADPHONE_CTC_TAPS, [](float x, float y) { return std::fabs(x) < std::fabs(y); }) - f;
            const double sum = std::accumulate(f, f + HEADPHONE_CTC_TAPS, 0.0);
            if (at < 112 || at > 125) return false;
            if (part == 0 && (sum > previous || sum < 0.72 - 1e-4 || sum > 0.81 + 1e-4)) return false;
            if (part == 1 && (sum < -0.128 - 1e-4 || sum > -0.065 + 1e-4)) return false;
            if (part == 0) previous = sum;
        }
    }
    auto sum = [](int a, int part) {
        const float* f = HeadphoneCtcTable + (2 * a + part) * HEADPHONE_CTC_TAPS;
        return std::accumulate(f, f + HEADPHONE_CTC_TAPS, 0.0);
    };
    return std::fabs(sum(0, 0) - 0.81) < 1e-4 && std::fabs(sum(4, 0) - 0.72) < 1e-4;
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
        {"heads, variant 0: mirror pairs", [] { return MirrorPairs(VARIANT_0, 4, true); }},
        {"heads, variant 1 and 31: no mirror pair", [] { return MirrorPairs(OTHER_CODES, 5, false); }},
        {"heads: variant 0 shares centre and surrounds, the other family shares nothing", SharedResponses},
        {"heads: every response to its last sample", FullLength},
        {"heads, variant 0: near and far peaks", VariantZeroPeaks},
        {"tails: levels at the start and the end", TailLevels},
        {"CTC: peaks and sums", CtcFilters},
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

namespace {

// |H(f)| of taps at f cycles per sample, by a direct double DFT.
double Magnitude(const float* taps, int count, double f)
{
    // The phasor e^(-i w n) by rotation: a few thousand steps stay far below the figures' bounds.
    const double w = 2.0 * 3.14159265358979323846 * f;
    const double c = std::cos(w), s = -std::sin(w);
    double pr = 1.0, pi = 0.0, re = 0.0, im = 0.0;
    for (int n = 0; n < count; ++n) {
        re += taps[n] * pr;
        im += taps[n] * pi;
        const double next = pr * c - pi * s;
        pi = pr * s + pi * c;
        pr = next;
    }
    return std::hypot(re, im);
}

double Db(double gain) { return 20.0 * std::log10(gain); }

// The largest and smallest |H| / gain over [from, to] on a grid of step.
struct Extent {
    double Min = 1e300, Max = 0.0;
};
Extent Scan(const float* taps, int count, double gain, double from, double to, double step)
{
    Extent e;
    for (double f = from; f <= to + 1e-12; f += step) {
        const double m = Magnitude(taps, count, f) / gain;
        e.Min = std::min(e.Min, m);
        e.Max = std::max(e.Max, m);
    }
    return e;
}

double Sum(const float* taps, int count)
{
    double s = 0.0;
    for (int k = 0; k < count; ++k) s += taps[k];
    return s;
}

// A polyphase table as one filter at `phases` times the input rate: h[phases k + p] = row p tap k.
std::vector<float> Prototype(const float* rows, int phases, int taps)
{
    std::vector<float> h(static_cast<size_t>(phases) * taps);
    for (int p = 0; p < phases; ++p) {
        for (int k = 0; k < taps; ++k) h[static_cast<size_t>(phases) * k + p] = rows[p * taps + k];
    }
    return h;
}

}  // namespace

// The power-of-two filters: symmetric, summing to 1.001, flat within 0.01 dB over the pass band,
// at least 3 dB down at the lower rate's Nyquist frequency and at least 59.7 (59.8) dB down from
// the stop-band edge to the higher rate's Nyquist frequency. Frequencies in the higher rate.
TEST(GeneratedTables, PowerOfTwoFiltersMeetTheirResponses)
{
    struct Row {
        const char* Name;
        const float* Taps;
        int Count;
        double PassEdge, HalfBand, StopEdge, StopDb;
    } rows[] = {
        {"x2", SrcX2Taps, SRC_X2_TAPS, 0.2, 0.25, 0.28, 59.7},
        {"x4", SrcX4Taps, SRC_X4_TAPS, 0.1, 0.125, 0.14, 59.8},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        EXPECT_TRUE(Symmetric(r.Taps, r.Count));
        EXPECT_NEAR(Sum(r.Taps, r.Count), 1.001, 1e-6);
        const Extent pass = Scan(r.Taps, r.Count, 1.0, 0.0, r.PassEdge, 0.0005);
        EXPECT_LE(Db(pass.Max), 0.01);
        EXPECT_GE(Db(pass.Min), -0.01);
        EXPECT_LE(Db(Magnitude(r.Taps, r.Count, r.HalfBand)), -3.0);
        EXPECT_LE(Db(Scan(r.Taps, r.Count, 1.0, r.StopEdge, 0.5, 0.0002).Max), -r.StopDb);
    }
}

// The 160/147 tables: rows of unit sum, row 0 of the rising table the exact delay of 10 samples,
// the falling table's last two taps empty, each row's centre of mass where its delay says, and the
// tables taken as one filter: flat (0.01 dB) to 0.2 of the input rate, half gain at the cut-off,
// and the stated stop band from 0.6 of the input rate up to the filter's own Nyquist frequency.
TEST(GeneratedTables, The160Over147TablesMeetTheirResponses)
{
    for (int k = 0; k < SRC_44K48K_UP_TAPS; ++k) {
        EXPECT_EQ(Src44k48kUpTaps[k], k == 10 ? 1.0f : 0.0f) << k;
    }
    struct Row {
        const char* Name;
        const float* Rows;
        int Phases, Taps;
        double Delay0;       // delay of row 0 in input samples
        double AtPassEdge;   // least |H| / gain at 0.4 of the input rate
        double Cutoff;       // where the response is 6 dB down
        double StopGain;     // largest |H| / gain from 0.6 on
    } rows[] = {
        {"up", Src44k48kUpTaps, SRC_44K48K_UP_PHASES, SRC_44K48K_UP_TAPS, 10.0, 0.98, 0.5, 0.02},
        {"down", Src44k48kDownTaps, SRC_44K48K_DOWN_PHASES, SRC_44K48K_DOWN_TAPS, 1600.0 / 147.0, 0.0, 0.47, 0.001},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        for (int p = 0; p < r.Phases; ++p) {
            const float* row = r.Rows + p * r.Taps;
            EXPECT_NEAR(Sum(row, r.Taps), 1.0, 2e-6) << "row " << p;
            double moment = 0.0;
            for (int k = 0; k < r.Taps; ++k) moment += k * static_cast<double>(row[k]);
            EXPECT_NEAR(moment / Sum(row, r.Taps), r.Delay0 - static_cast<double>(p) / r.Phases, 0.01) << "row " << p;
        }
        if (r.Taps == SRC_44K48K_DOWN_TAPS) {
            for (int p = 0; p < r.Phases; ++p) {
                EXPECT_EQ(r.Rows[p * r.Taps + 22], 0.0f);
                EXPECT_EQ(r.Rows[p * r.Taps + 23], 0.0f);
            }
        }
        const std::vector<float> h = Prototype(r.Rows, r.Phases, r.Taps);
        const int n = static_cast<int>(h.size());
        const double gain = static_cast<double>(r.Phases);
        const double scale = 1.0 / r.Phases;  // input-rate frequency to the filter's own
        const Extent pass = Scan(h.data(), n, gain, 0.0, 0.2 * scale, 0.002 * scale);
        EXPECT_LE(std::fabs(Db(pass.Max)), 0.01);
        EXPECT_LE(std::fabs(Db(pass.Min)), 0.01);
        EXPECT_GE(Magnitude(h.data(), n, 0.4 * scale) / gain, r.AtPassEdge);
        EXPECT_NEAR(Db(Magnitude(h.data(), n, r.Cutoff * scale) / gain), -6.02, 0.1);
        // The first lobes closely, the rest of the band to the filter's Nyquist frequency on a
        // coarser grid.
        EXPECT_LE(Scan(h.data(), n, gain, 0.6 * scale, 3.0 * scale, 0.001 * scale).Max, r.StopGain);
        EXPECT_LE(Scan(h.data(), n, gain, 3.0 * scale, 0.5, 0.01 * scale).Max, r.StopGain);
    }
}
