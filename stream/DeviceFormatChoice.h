// Which of an endpoint's formats a wave stream runs the device in. A stream format the endpoint
// lists runs as it is; another is converted by the stream's format adapter to a listed PCM format
// the adapter takes: the stream's rate, else the nearest of the six rates in the stream rate's
// family (44.1, 88.2, 176.4 kHz or 48, 96, 192 kHz; the higher one first at equal distance), else
// the nearest in the other family; then the stream's channel count, else the largest; then the
// stream's sample width, else the widest.
#pragma once

#include "adapter/StreamEngine.h"

// A PCM record the format adapter converts: one of the six rates, 1 to 8 channels, 16-, 24- or
// 32-bit samples. Any IRQL.
bool AdapterTakesPcmFormat(const WaveFormatRecord& format);

// The speaker positions of an n-channel record in the adapter's channel order (mono is the
// centre, four channels the front and back pairs). Any IRQL.
ULONG DefaultChannelMask(ULONG ulChannels);

// The listed format the adapter converts a stream format to, by the rule above, from a list read
// through pFormatAt (index, record); STATUS_NO_MATCH when the stream format is none the adapter
// takes or the list has none. Pure: also what a host computes to know the wire's format. At the
// IRQL pFormatAt allows.
typedef NTSTATUS (*FORMAT_AT_FUNCTION)(PVOID pContext, ULONG ulIndex, WaveFormatRecord* pFormat);
NTSTATUS ChooseConvertedFormat(const WaveFormatRecord* pStreamFormat, ULONG ulCount, FORMAT_AT_FUNCTION pFormatAt,
                               PVOID pContext, WaveFormatRecord* pDeviceFormat);

// The device format for a stream format: the stream's own when listed, else the listed format
// chosen as above (the stream format must then be one the adapter takes). STATUS_NO_MATCH when
// there is none. PASSIVE_LEVEL (the wave miniport's and the wave stream's set-up paths, which read
// the endpoint's format lists without their lock).
NTSTATUS ChooseDeviceFormat(const WaveFormatRecord* pStreamFormat, StreamEngine* pEndpoint,
                            WaveFormatRecord* pDeviceFormat);
