// The formats a UAC1 FORMAT_TYPE descriptor offers: the checks of its fields, the format record it
// makes, the channel masks, the subformats and the sample rates, discrete or as a continuous range
// expanded over the standard rates.
#pragma once

#include "adapter/AudioTypes.h"
#include "platform/portcls/Unknown.h"

// The rates a continuous range can offer, ascending.
constexpr ULONG STANDARD_RATE_COUNT = 9;
extern const ULONG StandardRateTable[STANDARD_RATE_COUNT];

KVX_DEFINE_GUID(KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL, "{00000092-0000-0010-8000-00AA00389B71}");
KVX_DEFINE_GUID(KSDATAFORMAT_SUBTYPE_IEC61937_WMA_PRO, "{00000164-0000-0010-8000-00AA00389B71}");

// wFormatTag bits of a FORMAT_TYPE_III stream that carries IEC 61937 frames.
constexpr USHORT UAC1_IEC61937_FORMAT_TAGS = 0x2001;

// dwChannelMask for a channel count: the speaker sets of 1, 2, 4, 6 and 8 channels on render; on
// capture only mono and stereo have one. 0 for every other count. Any IRQL.
ULONG Uac1ChannelMask(ULONG ulChannels, BOOLEAN bCapture);

// The fields of a FORMAT_TYPE descriptor that passed its length check: bFormatType I or III, at
// least one channel, a subframe of 1 to 4 bytes and a resolution of 1 to 8 × bSubframeSize bits;
// anything else STATUS_INVALID_PARAMETER. IRQL <= APC_LEVEL: pageable, as the parsers.
NTSTATUS CheckUac1FormatType(const UCHAR* pFormatType);

// The record template of a checked FORMAT_TYPE descriptor: everything but the rate (0) and the
// subformat (PCM), with the channel mask of the endpoint's direction. IRQL <= APC_LEVEL.
void BuildUac1FormatTemplate(const UCHAR* pFormatType, BOOLEAN bCapture, WaveFormatRecord* pRecord);

// The sample rates of a checked FORMAT_TYPE descriptor, in a PagedPool array (UAC_PARSE_TAG) that
// the caller frees with FreeUac1SampleRates:
// - bSamFreqType n > 0: the n discrete rates as listed;
// - 0 (continuous): the standard rates between the two bounds, both included, in table order
//   (either bound may be the larger); a bound above the last standard rate, or a range that holds
//   no standard rate, is STATUS_INVALID_PARAMETER.
// STATUS_INSUFFICIENT_RESOURCES when the array cannot be allocated. Both PASSIVE_LEVEL (paged pool).
NTSTATUS ExpandUac1SampleRates(const UCHAR* pFormatType, PULONG* ppRates, PULONG pulCount);
void FreeUac1SampleRates(PULONG pRates);
