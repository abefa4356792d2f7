// FORMAT_TYPE descriptors: field checks, the record template, channel masks and sample rates.
#include <gtest/gtest.h>

#include <vector>

#include "platform/nt/PoolHost.h"
#include "usb/FormatTables.h"
#include "usb/UacDescriptors.h"

namespace {

using Bytes = std::vector<UCHAR>;

Bytes Format(UCHAR type, UCHAR channels, UCHAR subframe, UCHAR bits, std::vector<ULONG> rates)
{
    Bytes d = {0, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE, type, channels, subframe, bits,
               static_cast<UCHAR>(rates.size())};
    for (ULONG r : rates) {
        d.insert(d.end(), {static_cast<UCHAR>(r), static_cast<UCHAR>(r >> 8), static_cast<UCHAR>(r >> 16)});
    }
    d[0] = static_cast<UCHAR>(d.size());
    return d;
}

Bytes Range(ULONG lower, ULONG upper)
{
    Bytes d = Format(USB_AUDIO_FORMAT_TYPE_I, 2, 2, 16, {lower, upper});
    d[7] = 0;
    return d;
}

TEST(Uac1FormatType, FieldsOutsideWhatASampleCanHoldAreRefused)
{
    struct Row {
        const char* Name;
        Bytes D;
        NTSTATUS Expected;
    } rows[] = {
        {"16-bit stereo", Format(1, 2, 2, 16, {48000}), STATUS_SUCCESS},
        {"20 bits in 3 bytes", Format(1, 2, 3, 20, {48000}), STATUS_SUCCESS},
        {"type III", Format(3, 2, 2, 16, {48000}), STATUS_SUCCESS},
        {"type II", Format(2, 2, 2, 16, {48000}), STATUS_INVALID_PARAMETER},
        {"no channels", Format(1, 0, 2, 16, {48000}), STATUS_INVALID_PARAMETER},
        {"subframe 0", Format(1, 2, 0, 16, {48000}), STATUS_INVALID_PARAMETER},
        {"subframe 5", Format(1, 2, 5, 16, {48000}), STATUS_INVALID_PARAMETER},
        {"resolution 0", Format(1, 2, 2, 0, {48000}), STATUS_INVALID_PARAMETER},
        {"resolution past the subframe", Format(1, 2, 2, 17, {48000}), STATUS_INVALID_PARAMETER},
        {"32 bits in 4 bytes", Format(1, 8, 4, 32, {48000}), STATUS_SUCCESS},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CheckUac1FormatType(row.D.data()), row.Expected) << row.Name;
    }
}

TEST(Uac1FormatType, TemplateAndChannelMaskFollowTheDescriptorAndDirection)
{
    WaveFormatRecord r;
    BuildUac1FormatTemplate(Format(1, 2, 3, 24, {48000}).data(), FALSE, &r);
    EXPECT_EQ(r.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(r.Format.nChannels, 2);
    EXPECT_EQ(r.Format.nSamplesPerSec, 0u);
    EXPECT_EQ(r.Format.nBlockAlign, 6);
    EXPECT_EQ(r.Format.wBitsPerSample, 24);
    EXPECT_EQ(r.Format.cbSize, 22);
    EXPECT_EQ(r.Samples.wValidBitsPerSample, 24);
    EXPECT_EQ(r.dwChannelMask, 0x3u);
    EXPECT_TRUE(IsEqualGUID(r.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));

    struct Mask {
        ULONG Channels, Render, Capture;
    } masks[] = {{1, 0x4, 0x4}, {2, 0x3, 0x3}, {3, 0, 0}, {4, 0x33, 0}, {6, 0x3F, 0}, {8, 0x63F, 0}, {255, 0, 0}};
    for (const Mask& m : masks) {
        EXPECT_EQ(Uac1ChannelMask(m.Channels, FALSE), m.Render) << m.Channels;
        EXPECT_EQ(Uac1ChannelMask(m.Channels, TRUE), m.Capture) << m.Channels;
    }
    BuildUac1FormatTemplate(Format(1, 6, 2, 16, {48000}).data(), TRUE, &r);
    EXPECT_EQ(r.dwChannelMask, 0u);
}

TEST(Uac1FormatType, RatesAreTheDiscreteListOrTheStandardRatesInsideTheRange)
{
    struct Row {
        const char* Name;
        Bytes D;
        NTSTATUS Expected;
        std::vector<ULONG> Rates;
    } rows[] = {
        {"discrete, as listed", Format(1, 2, 2, 16, {48000, 44100, 12345}), STATUS_SUCCESS, {48000, 44100, 12345}},
        {"discrete, one of 0 Hz", Format(1, 2, 2, 16, {48000, 0}), STATUS_INVALID_PARAMETER, {}},
        {"8000 to 48000", Range(8000, 48000), STATUS_SUCCESS, {8000, 11025, 16000, 22050, 32000, 44100, 48000}},
        {"44100 to 50000: nothing above the range", Range(44100, 50000), STATUS_SUCCESS, {44100, 48000}},
        {"reversed bounds", Range(50000, 44100), STATUS_SUCCESS, {44100, 48000}},
        {"one rate, both bounds", Range(48000, 48000), STATUS_SUCCESS, {48000}},
        {"up to 96000", Range(90000, 96000), STATUS_SUCCESS, {96000}},
        {"no standard rate inside", Range(45000, 47000), STATUS_INVALID_PARAMETER, {}},
        {"a bound above 96000", Range(44100, 192000), STATUS_INVALID_PARAMETER, {}},
        {"reversed, above 96000", Range(192000, 8000), STATUS_INVALID_PARAMETER, {}},
        {"below the table", Range(1000, 7999), STATUS_INVALID_PARAMETER, {}},
    };
    for (const Row& row : rows) {
        PULONG rates = nullptr;
        ULONG count = 0;
        EXPECT_EQ(ExpandUac1SampleRates(row.D.data(), &rates, &count), row.Expected) << row.Name;
        EXPECT_EQ(std::vector<ULONG>(rates, rates + count), row.Rates) << row.Name;
        EXPECT_EQ(rates == nullptr, row.Rates.empty()) << row.Name;
        FreeUac1SampleRates(rates);
    }
}

TEST(Uac1FormatType, RateArrayThatCannotBeAllocatedFails)
{
    platform::PoolFailNextWithTag(UAC_PARSE_TAG);
    PULONG rates = nullptr;
    ULONG count = 7;
    EXPECT_EQ(ExpandUac1SampleRates(Range(8000, 48000).data(), &rates, &count), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(rates, nullptr);
    EXPECT_EQ(count, 0u);
}

}  // namespace
