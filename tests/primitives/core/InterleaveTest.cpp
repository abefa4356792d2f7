#include <gtest/gtest.h>

#include <vector>

#include "primitives/Primitives.h"
#include "primitives/core/VectorBasics.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace {

// Run once per dispatch slot, through the public entry points.
class InterleaveEverySlot : public coretest::ForcedSlotTest {};
KVX_INSTANTIATE_FOR_EVERY_SLOT(InterleaveEverySlot);

using coretest::Bits;
using coretest::FromBits;
using coretest::GuardedWords;

// Channel buffers and an interleaved buffer, each guarded and placed at a chosen offset.
struct Layout {
    Layout(int32_t channels, int32_t frames, size_t interleavedOffset = 0, size_t channelOffset = 0)
        : interleaved(static_cast<size_t>(channels) * static_cast<size_t>(frames), interleavedOffset)
    {
        for (int32_t c = 0; c < channels; ++c) {
            buffers.emplace_back(static_cast<size_t>(frames), channelOffset);
        }
        for (auto& b : buffers) {
            pointers.push_back(b.Floats());
            constPointers.push_back(b.Floats());
        }
    }
    GuardedWords interleaved;
    std::vector<GuardedWords> buffers;
    std::vector<float*> pointers;
    std::vector<const float*> constPointers;

    bool GuardsIntact() const
    {
        for (const auto& b : buffers) {
            if (!b.GuardsIntact()) {
                return false;
            }
        }
        return interleaved.GuardsIntact();
    }
};

// Bit patterns that must survive unchanged: a signalling NaN, NaN payloads, -0.0, subnormals.
uint32_t Pattern(int32_t channel, int32_t frame)
{
    static const uint32_t specials[] = {0xFF800001u, 0x7F800123u, 0x80000000u, 0x00000001u, 0x7FC00000u};
    if ((channel + frame) % 7 == 3) {
        return specials[static_cast<size_t>(channel + frame) % 5];
    }
    return 0x3F800000u + static_cast<uint32_t>(channel * 1000 + frame);
}

TEST_P(InterleaveEverySlot, BothDirectionsAreExactAndRestoreEachOther)
{
    for (int32_t channels = 1; channels <= 9; ++channels) {
        for (int32_t frames : {1, 2, 3, 4, 5, 8, 9, 17, 64}) {
            Layout layout(channels, frames);
            for (int32_t c = 0; c < channels; ++c) {
                for (int32_t j = 0; j < frames; ++j) {
                    layout.pointers[static_cast<size_t>(c)][j] = FromBits(Pattern(c, j));
                }
            }
            ASSERT_EQ(InterleaveChannels(layout.constPointers.data(), channels, frames, layout.interleaved.Floats()),
                      StatusOk);
            for (int32_t c = 0; c < channels; ++c) {
                for (int32_t j = 0; j < frames; ++j) {
                    ASSERT_EQ(Bits(layout.interleaved.Floats()[j * channels + c]), Pattern(c, j))
                        << channels << "x" << frames;
                }
            }
            Layout back(channels, frames);
            ASSERT_EQ(DeinterleaveChannels(layout.interleaved.Floats(), channels, frames, back.pointers.data()),
                      StatusOk);
            for (int32_t c = 0; c < channels; ++c) {
                ASSERT_EQ(0, memcmp(back.pointers[static_cast<size_t>(c)], layout.pointers[static_cast<size_t>(c)],
                                    static_cast<size_t>(frames) * 4))
                    << channels << "x" << frames;
            }
            // And the interleaved buffer is rebuilt exactly from the de-interleaved channels.
            GuardedWords again(static_cast<size_t>(channels * frames));
            ASSERT_EQ(InterleaveChannels(back.constPointers.data(), channels, frames, again.Floats()), StatusOk);
            ASSERT_EQ(0, memcmp(again.Floats(), layout.interleaved.Floats(), static_cast<size_t>(channels * frames) * 4));
            ASSERT_TRUE(layout.GuardsIntact() && back.GuardsIntact() && again.GuardsIntact()) << channels << "x" << frames;
        }
    }
}

TEST_P(InterleaveEverySlot, MisalignmentIsOnlyAWarning)
{
    struct Case {
        size_t interleavedOffset;
        size_t channelOffset;
        PrimitiveStatus expected;
    };
    const Case cases[] = {{0, 0, StatusOk}, {4, 0, WarningMisalignedBuffer}, {0, 8, WarningMisalignedBuffer},
                          {12, 4, WarningMisalignedBuffer}, {16, 32, StatusOk}};
    for (const Case& c : cases) {
        Layout layout(2, 7, c.interleavedOffset, c.channelOffset);
        for (int32_t j = 0; j < 14; ++j) {
            layout.interleaved.Floats()[j] = static_cast<float>(j);
        }
        EXPECT_EQ(DeinterleaveChannels(layout.interleaved.Floats(), 2, 7, layout.pointers.data()), c.expected);
        for (int32_t j = 0; j < 7; ++j) {
            EXPECT_EQ(layout.pointers[0][j], static_cast<float>(2 * j));
            EXPECT_EQ(layout.pointers[1][j], static_cast<float>(2 * j + 1));
        }
        ZeroFloat(layout.interleaved.Floats(), 14);
        EXPECT_EQ(InterleaveChannels(layout.constPointers.data(), 2, 7, layout.interleaved.Floats()), c.expected);
        for (int32_t j = 0; j < 14; ++j) {
            EXPECT_EQ(layout.interleaved.Floats()[j], static_cast<float>(j));
        }
        EXPECT_TRUE(layout.GuardsIntact());
    }
}

TEST_P(InterleaveEverySlot, StatusOrderAndNothingWrittenOnAnError)
{
    Layout layout(3, 4, 4, 0);  // interleaved buffer misaligned: would warn
    for (auto& b : layout.buffers) {
        FillInt32(0x11111111, reinterpret_cast<int32_t*>(b.Floats()), 4);
    }
    FillInt32(0x22222222, layout.interleaved.Ints(), 12);
    float* interleaved = layout.interleaved.Floats();

    std::vector<float*> lastNull = layout.pointers;
    lastNull[2] = nullptr;
    std::vector<const float*> lastNullConst(lastNull.begin(), lastNull.end());
    GuardedWords misaligned(4, 4);
    std::vector<float*> misalignedThenNull = {misaligned.Floats(), nullptr, layout.pointers[2]};
    std::vector<const float*> misalignedThenNullConst(misalignedThenNull.begin(), misalignedThenNull.end());

    struct Case {
        const char* what;
        PrimitiveStatus deinterleave;
        PrimitiveStatus interleave;
    };
    const Case cases[] = {
        {"null arrays before the count", DeinterleaveChannels(interleaved, 0, 0, nullptr),
         InterleaveChannels(nullptr, 0, 0, interleaved)},
        {"null buffer before the count", DeinterleaveChannels(nullptr, -1, 4, layout.pointers.data()),
         InterleaveChannels(layout.constPointers.data(), -1, 4, nullptr)},
        {"count before length", DeinterleaveChannels(interleaved, 0, 0, layout.pointers.data()),
         InterleaveChannels(layout.constPointers.data(), -3, -1, interleaved)},
        {"length", DeinterleaveChannels(interleaved, 3, 0, layout.pointers.data()),
         InterleaveChannels(layout.constPointers.data(), 3, -2, interleaved)},
        {"null last channel", DeinterleaveChannels(interleaved, 3, 4, lastNull.data()),
         InterleaveChannels(lastNullConst.data(), 3, 4, interleaved)},
        {"misaligned then null channel", DeinterleaveChannels(interleaved, 3, 4, misalignedThenNull.data()),
         InterleaveChannels(misalignedThenNullConst.data(), 3, 4, interleaved)},
    };
    const PrimitiveStatus expected[] = {StatusNullPointer, StatusNullPointer, StatusChannelCountError,
                                        StatusSizeError,   StatusNullPointer, StatusNullPointer};
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].deinterleave, expected[i]) << cases[i].what;
        EXPECT_EQ(cases[i].interleave, expected[i]) << cases[i].what;
    }
    for (auto& b : layout.buffers) {
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(Bits(b.Floats()[j]), 0x11111111u);
        }
    }
    for (int j = 0; j < 12; ++j) {
        EXPECT_EQ(Bits(interleaved[j]), 0x22222222u);
    }
}

}  // namespace
