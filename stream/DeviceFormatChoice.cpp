#include "stream/DeviceFormatChoice.h"

#include <cstring>

#include "dsp/ChannelConversion.h"

namespace {

constexpr ULONG kAdapterRates[6] = {44100, 48000, 88200, 96000, 176400, 192000};

bool IsAdapterRate(ULONG rate)
{
    for (ULONG r : kAdapterRates) {
        if (r == rate) return true;
    }
    return false;
}

bool SameFamily(ULONG a, ULONG b) { return (a % 44100 == 0) == (b % 44100 == 0); }

// Whether rate a is a better choice than rate b for a stream at rate s: same family first, then
// the smaller ratio to s, then the higher rate.
bool BetterRate(ULONG a, ULONG b, ULONG s)
{
    const bool familyA = SameFamily(a, s), familyB = SameFamily(b, s);
    if (familyA != familyB) return familyA;
    // Ratios max/min compared by cross-multiplication.
    const ULONGLONG hiA = a > s ? a : s, loA = a > s ? s : a;
    const ULONGLONG hiB = b > s ? b : s, loB = b > s ? s : b;
    if (hiA * loB != hiB * loA) return hiA * loB < hiB * loA;
    return a > b;
}

}  // namespace

bool AdapterTakesPcmFormat(const WaveFormatRecord& format)
{
    const USHORT bits = format.Format.wBitsPerSample;
    return WaveFormatEffectiveTag(&format) == WAVE_FORMAT_PCM && IsAdapterRate(format.Format.nSamplesPerSec) &&
           format.Format.nChannels >= 1 && format.Format.nChannels <= MAX_SOFTWARE_DSP_PROCESS_CHANNELS &&
           (bits == 16 || bits == 24 || bits == 32);
}

ULONG DefaultChannelMask(ULONG ulChannels)
{
    // Front left, front right, centre, LFE, back left, back right, side left, side right.
    constexpr ULONG masks[9] = {0, 0x4, 0x3, 0x7, 0x33, 0x1F, 0x3F, 0x23F, 0x63F};
    return ulChannels < 9 ? masks[ulChannels] : 0;
}

NTSTATUS ChooseConvertedFormat(const WaveFormatRecord* pStreamFormat, ULONG ulCount, FORMAT_AT_FUNCTION pFormatAt,
                               PVOID pContext, WaveFormatRecord* pDeviceFormat)
{
    if (pStreamFormat == nullptr || pFormatAt == nullptr || pDeviceFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!AdapterTakesPcmFormat(*pStreamFormat)) {
        return STATUS_NO_MATCH;
    }
    const ULONG ulStreamRate = pStreamFormat->Format.nSamplesPerSec;
    // Three passes over the list: the rate, then the channel count at that rate, then the width.
    ULONG ulRate = 0;
    for (ULONG i = 0; i < ulCount; ++i) {
        WaveFormatRecord f;
        if (!NT_SUCCESS(pFormatAt(pContext, i, &f)) || !AdapterTakesPcmFormat(f)) continue;
        const ULONG r = f.Format.nSamplesPerSec;
        if (ulRate == 0 || r == ulStreamRate || (ulRate != ulStreamRate && BetterRate(r, ulRate, ulStreamRate))) {
            ulRate = r;
        }
    }
    if (ulRate == 0) {
        return STATUS_NO_MATCH;
    }
    USHORT usChannels = 0;
    for (ULONG i = 0; i < ulCount; ++i) {
        WaveFormatRecord f;
        if (!NT_SUCCESS(pFormatAt(pContext, i, &f)) || !AdapterTakesPcmFormat(f) || f.Format.nSamplesPerSec != ulRate) {
            continue;
        }
        const USHORT c = f.Format.nChannels;
        if (usChannels != pStreamFormat->Format.nChannels &&
            (c == pStreamFormat->Format.nChannels || c > usChannels)) {
            usChannels = c;
        }
    }
    bool bFound = false;
    for (ULONG i = 0; i < ulCount; ++i) {
        WaveFormatRecord f;
        if (!NT_SUCCESS(pFormatAt(pContext, i, &f)) || !AdapterTakesPcmFormat(f) || f.Format.nSamplesPerSec != ulRate ||
            f.Format.nChannels != usChannels) {
            continue;
        }
        const USHORT bits = f.Format.wBitsPerSample;
        const USHORT chosen = pDeviceFormat->Format.wBitsPerSample;
        if (!bFound || (chosen != pStreamFormat->Format.wBitsPerSample &&
                        (bits == pStreamFormat->Format.wBitsPerSample || bits > chosen))) {
            *pDeviceFormat = f;
            bFound = true;
        }
    }
    return bFound ? STATUS_SUCCESS : STATUS_NO_MATCH;
}

namespace {

NTSTATUS EndpointFormatAt(PVOID pContext, ULONG ulIndex, WaveFormatRecord* pFormat)
{
    return static_cast<StreamEngine*>(pContext)->GetFormat(ulIndex, pFormat);
}

}  // namespace

NTSTATUS ChooseDeviceFormat(const WaveFormatRecord* pStreamFormat, StreamEngine* pEndpoint,
                            WaveFormatRecord* pDeviceFormat)
{
    PAGED_CODE();
    if (pStreamFormat == nullptr || pEndpoint == nullptr || pDeviceFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    WaveFormatRecord own = *pStreamFormat;
    if (NT_SUCCESS(pEndpoint->FindFormat(&own))) {
        *pDeviceFormat = *pStreamFormat;
        return STATUS_SUCCESS;
    }
    return ChooseConvertedFormat(pStreamFormat, pEndpoint->GetFormatCount(), EndpointFormatAt, pEndpoint,
                                 pDeviceFormat);
}
