#include "usb/FormatTables.h"

#include <cstring>

#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "usb/UacDescriptors.h"

const ULONG StandardRateTable[STANDARD_RATE_COUNT] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};

namespace {

ULONG Le24(const UCHAR* p)
{
    return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16);
}

}  // namespace

ULONG Uac1ChannelMask(ULONG ulChannels, BOOLEAN bCapture)
{
    switch (ulChannels) {
    case 1: return 0x4;
    case 2: return 0x3;
    case 4: return bCapture ? 0 : 0x33;
    case 6: return bCapture ? 0 : 0x3F;
    case 8: return bCapture ? 0 : 0x63F;
    default: return 0;
    }
}

NTSTATUS CheckUac1FormatType(const UCHAR* pFormatType)
{
    PAGED_CODE();
    const UCHAR formatType = pFormatType[3];
    const ULONG channels = pFormatType[4];
    const ULONG subframe = pFormatType[5];
    const ULONG bits = pFormatType[6];
    if ((formatType != USB_AUDIO_FORMAT_TYPE_I && formatType != USB_AUDIO_FORMAT_TYPE_III) || channels == 0 || subframe == 0 ||
        subframe > 4 || bits == 0 || bits > 8 * subframe) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

void BuildUac1FormatTemplate(const UCHAR* pFormatType, BOOLEAN bCapture, WaveFormatRecord* pRecord)
{
    PAGED_CODE();
    const USHORT channels = pFormatType[4];
    const USHORT subframe = pFormatType[5];
    std::memset(pRecord, 0, sizeof(*pRecord));
    pRecord->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    pRecord->Format.nChannels = channels;
    pRecord->Format.nBlockAlign = static_cast<WORD>(subframe * channels);
    pRecord->Format.wBitsPerSample = static_cast<WORD>(8 * subframe);
    pRecord->Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
    pRecord->Samples.wValidBitsPerSample = pFormatType[6];
    pRecord->dwChannelMask = Uac1ChannelMask(channels, bCapture);
    pRecord->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
}

NTSTATUS ExpandUac1SampleRates(const UCHAR* pFormatType, PULONG* ppRates, PULONG pulCount)
{
    PAGED_CODE();
    *ppRates = nullptr;
    *pulCount = 0;
    const ULONG discrete = pFormatType[7];
    ULONG first = 0;
    ULONG count = discrete;
    if (discrete == 0) {
        ULONG lower = Le24(pFormatType + 8);
        ULONG upper = Le24(pFormatType + 11);
        if (lower > upper) {
            const ULONG t = lower;
            lower = upper;
            upper = t;
        }
        if (upper > StandardRateTable[STANDARD_RATE_COUNT - 1]) {
            return STATUS_INVALID_PARAMETER;
        }
        // Only standard rates inside the range: a rate past the upper bound is one the device
        // never said it runs.
        while (first < STANDARD_RATE_COUNT && StandardRateTable[first] < lower) {
            ++first;
        }
        ULONG last = first;
        while (last < STANDARD_RATE_COUNT && StandardRateTable[last] <= upper) {
            ++last;
        }
        count = last - first;
        if (count == 0) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    auto* pRates = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), UAC_PARSE_TAG));
    if (pRates == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < count; ++i) {
        pRates[i] = discrete != 0 ? Le24(pFormatType + 8 + 3 * i) : StandardRateTable[first + i];
        if (pRates[i] == 0) {
            // A 0 Hz rate would later divide the packet and buffer sizes: the format is unusable.
            ExFreePoolWithTag(pRates, UAC_PARSE_TAG);
            return STATUS_INVALID_PARAMETER;
        }
    }
    *ppRates = pRates;
    *pulCount = count;
    return STATUS_SUCCESS;
}

void FreeUac1SampleRates(PULONG pRates)
{
    PAGED_CODE();
    if (pRates != nullptr) {
        ExFreePoolWithTag(pRates, UAC_PARSE_TAG);
    }
}
