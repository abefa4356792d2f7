// The dry path's channel fold and expansion, row by row.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

#include "dsp/UpDownMix.h"

namespace {

using Sample = std::array<float, 8>;

// Distinct values per channel; channel 8 would be out of reach.
constexpr Sample IN = {0.11f, -0.23f, 0.37f, 0.41f, -0.53f, 0.67f, 0.71f, -0.83f};

Sample Mix(uint32_t in, uint32_t out, uint8_t plain)
{
    std::array<std::vector<float>, 8> buffers;
    float* ptr[8];
    for (int c = 0; c < 8; ++c) {
        buffers[static_cast<size_t>(c)].assign(3, IN[static_cast<size_t>(c)]);
        ptr[c] = buffers[static_cast<size_t>(c)].data();
    }
    UpDownMix(ptr, in, out, 3, plain);
    Sample s;
    for (size_t c = 0; c < 8; ++c) {
        EXPECT_EQ(buffers[c][0], buffers[c][2]);
        s[c] = buffers[c][1];
    }
    return s;
}

TEST(UpDownMix, FoldsExpansionsAndUnlistedPairs)
{
    const float x0 = IN[0], x1 = IN[1], x2 = IN[2], x3 = IN[3], x4 = IN[4], x5 = IN[5], x6 = IN[6], x7 = IN[7];
    const float b = 0.871f, c = 0.49f, front = 0.707f * (x2 + x3);
    struct Row {
        uint32_t in, out;
        uint8_t plain;
        std::vector<std::pair<int, float>> expected;  // the channels that change
    };
    const float l6m = x0 + front - b * x4 - c * x5, r6m = x1 + front + c * x4 + b * x5;
    const float l8m = x0 + front - (b / 2) * (x4 + x6) - (c / 2) * (x5 + x7);
    const float r8m = x1 + front + (c / 2) * (x4 + x6) + (b / 2) * (x5 + x7);
    const float l8p1 = x0 + front + 0.5f * (x4 + x6), r8p1 = x1 + front + 0.5f * (x5 + x7);
    const std::vector<Row> rows = {
        {2, 1, 1, {{0, 0.5f * (x0 + x1)}}},
        {4, 2, 1, {{0, x0 - x2}, {1, x1 + x3}}},
        {4, 2, 0, {{0, x0 - b * x2 - c * x3}, {1, x1 + c * x2 + b * x3}}},
        {4, 1, 1, {{0, 0.5f * ((x0 - x2) + (x1 + x3))}, {1, x1 + x3}}},
        {6, 4, 1, {{0, x0 + front}, {1, x1 + front}, {2, x4}, {3, x5}}},
        {6, 2, 1, {{0, x0 + 0.707f * x2 + x3 + x4}, {1, x1 + 0.707f * x2 + x3 + x5}}},
        {6, 2, 0, {{0, l6m}, {1, r6m}}},
        {6, 1, 1, {{0, 0.5f * ((x0 + front + x4) + (x1 + front + x5))}, {1, x1 + front + x5}}},
        {6, 1, 0, {{0, 0.5f * (l6m + r6m)}, {1, r6m}}},
        {8, 6, 1, {{4, x6 + x4}, {5, x7 + x5}}},
        {8, 6, 0, {{4, x6 + b * x4 + c * x5}, {5, x7 + c * x4 + b * x5}}},
        {8, 4, 0, {{0, x0 + front}, {1, x1 + front}, {2, x6 + b * x4 + c * x5}, {3, x7 + c * x4 + b * x5}}},
        {8, 2, 1, {{0, x0 + 0.707f * x2 + x3 + x4 + x6}, {1, x1 + 0.707f * x2 + x3 + x5 + x7}}},
        {8, 2, 0, {{0, l8m}, {1, r8m}}},
        {8, 1, 1, {{0, 0.5f * (l8p1 + r8p1)}, {1, r8p1}}},
        {8, 1, 0, {{0, 0.5f * (l8m + r8m)}, {1, r8m}}},
        {2, 8, 1, {{2, 1e-12f}, {3, 1e-12f}, {4, 1e-12f}, {5, 1e-12f}, {6, 1e-12f}, {7, 1e-12f}}},
        {2, 4, 0, {{2, 1e-12f}, {3, 1e-12f}}},
        {4, 6, 1, {{2, 1e-12f}, {3, 1e-12f}, {4, x2}, {5, x3}}},
        {4, 8, 1, {{2, 1e-12f}, {3, 1e-12f}, {4, x2}, {5, x3}, {6, 1e-12f}, {7, 1e-12f}}},
        {6, 8, 1, {{6, 1e-12f}, {7, 1e-12f}}},
        // Nothing: equal counts, folds from or to counts not listed, expansions from odd counts, 4 -> 5.
        {3, 2, 1, {}}, {5, 2, 1, {}}, {7, 2, 1, {}}, {8, 3, 1, {}}, {6, 5, 1, {}}, {2, 2, 1, {}},
        {1, 2, 1, {}}, {3, 8, 1, {}}, {4, 5, 1, {}}, {9, 2, 1, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.in << " -> " << row.out << (row.plain ? " plain" : " matrix"));
        Sample expected = IN;
        for (const auto& [ch, v] : row.expected) expected[static_cast<size_t>(ch)] = v;
        const Sample got = Mix(row.in, row.out, row.plain);
        for (size_t ch = 0; ch < 8; ++ch) EXPECT_NEAR(got[ch], expected[ch], 1e-6) << "channel " << ch;
    }
}

TEST(UpDownMix, ZeroFramesChangeNothing)
{
    std::vector<float> a(4, 1.0f), b(4, 2.0f), c(4, 3.0f), d(4, 4.0f);
    float* ptr[4] = {a.data(), b.data(), c.data(), d.data()};
    UpDownMix(ptr, 4, 2, 0, 1);
    EXPECT_EQ(a[0], 1.0f);
    EXPECT_EQ(b[0], 2.0f);
}

}  // namespace
