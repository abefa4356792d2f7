// The device format a wave stream runs for a format the endpoint lacks: rate by family and
// ratio (the higher rate first at equal ratio), then channel count, then width; and the streams
// the adapter does not convert.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stream/DeviceFormatChoice.h"

namespace kvxtest {
namespace {

struct Shape {
    ULONG Rate;
    USHORT Channels, Bits;
};

WaveFormatRecord Pcm(const Shape& s)
{
    WaveFormatRecord f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = s.Channels;
    f.Format.nSamplesPerSec = s.Rate;
    f.Format.wBitsPerSample = s.Bits;
    f.Format.nBlockAlign = static_cast<WORD>(s.Channels * s.Bits / 8);
    f.Format.nAvgBytesPerSec = s.Rate * f.Format.nBlockAlign;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = s.Bits;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

NTSTATUS At(PVOID context, ULONG index, WaveFormatRecord* format)
{
    const auto* list = static_cast<const std::vector<WaveFormatRecord>*>(context);
    if (index >= list->size()) return STATUS_INVALID_PARAMETER;
    *format = (*list)[index];
    return STATUS_SUCCESS;
}

TEST(DeviceFormatChoice, RateThenChannelsThenWidth)
{
    const struct {
        const char* What;
        Shape Stream;
        std::vector<Shape> Listed;
        Shape Expected;  // Rate 0: no format
    } cases[] = {
        {"the stream's family", {96000, 2, 16}, {{44100, 2, 16}, {48000, 2, 16}}, {48000, 2, 16}},
        {"the higher at an equal ratio", {96000, 2, 16}, {{48000, 2, 16}, {192000, 2, 16}}, {192000, 2, 16}},
        {"the nearer of the family", {192000, 2, 16}, {{48000, 2, 16}, {96000, 2, 16}}, {96000, 2, 16}},
        {"the other family by ratio", {88200, 2, 16}, {{48000, 2, 16}, {96000, 2, 16}}, {96000, 2, 16}},
        {"the stream's rate, another shape", {48000, 6, 16}, {{44100, 6, 16}, {48000, 2, 16}}, {48000, 2, 16}},
        {"the stream's channel count", {96000, 1, 16}, {{48000, 2, 16}, {48000, 1, 16}}, {48000, 1, 16}},
        {"else the largest", {96000, 6, 16}, {{48000, 1, 16}, {48000, 2, 16}}, {48000, 2, 16}},
        {"the stream's width", {96000, 2, 16}, {{48000, 2, 24}, {48000, 2, 16}}, {48000, 2, 16}},
        {"else the widest", {96000, 2, 32}, {{48000, 2, 16}, {48000, 2, 24}}, {48000, 2, 24}},
        {"listed formats the adapter cannot take", {96000, 2, 16}, {{32000, 2, 16}, {48000, 2, 8}}, {0, 0, 0}},
        {"a rate the adapter does not know", {32000, 2, 16}, {{48000, 2, 16}}, {0, 0, 0}},
        {"nine channels", {48000, 9, 16}, {{48000, 2, 16}}, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        std::vector<WaveFormatRecord> list;
        for (const Shape& s : c.Listed) list.push_back(Pcm(s));
        const WaveFormatRecord stream = Pcm(c.Stream);
        WaveFormatRecord device{};
        const NTSTATUS status = ChooseConvertedFormat(&stream, static_cast<ULONG>(list.size()), At, &list, &device);
        if (c.Expected.Rate == 0) {
            EXPECT_EQ(status, STATUS_NO_MATCH);
            continue;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(device.Format.nSamplesPerSec, c.Expected.Rate);
        EXPECT_EQ(device.Format.nChannels, c.Expected.Channels);
        EXPECT_EQ(device.Format.wBitsPerSample, c.Expected.Bits);
    }
}

}  // namespace
}  // namespace kvxtest
