// The render endpoint of the V3 chip: its format list follows the output the chip plays on
// (S/PDIF adds AC-3 pass-through and 96 kHz, headphones 96 kHz, speakers neither), and preparing a
// format tells the chip its rate and whether the stream is PCM.
#pragma once

#include "stream/Uac1RenderEndpoint.h"
#include "topology/V3ChipRegisters.h"

constexpr ULONG V3_ENDPOINT_TAG = MakePoolTag("7302");
constexpr ULONG V3_TRANSFER_MS = 10;

class V3RenderEndpoint : public Uac1RenderEndpoint {
public:
    // PASSIVE_LEVEL, as the base's.
    V3RenderEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink);

    // The endpoint's own Init, then the chip (no reference). PASSIVE_LEVEL.
    NTSTATUS Init(BOOLEAN bCapture, PUNKNOWN pOwner, IV3ChipRegisters* pChip);
    // Names the endpoint, then edits its format lists by its kind. PASSIVE_LEVEL.
    NTSTATUS SetName(PCWSTR pName) override;
    // The class's preparation, then the rate and PCM bits of chip register 0 (results not used).
    // PASSIVE_LEVEL.
    NTSTATUS PrepareFormat(EndpointClient* pClient, PULONG pulFrame) override;

    // The format-list edits take the transport lock (a mutex) and edit paged entries: PASSIVE_LEVEL.
    VOID RemoveAc3Formats();
    VOID Remove96kPcmFormats();
    NTSTATUS AddAc3Formats();
    NTSTATUS Add96kPcmFormat();

private:
    // Unlinks every format the predicate picks from the three lists under their locks, then frees
    // them. PASSIVE_LEVEL.
    template <typename Pick>
    VOID RemoveFormats(Pick pick);
    // PASSIVE_LEVEL.
    NTSTATUS AddFormatLocked(const WaveFormatRecord* pFormat, UCHAR bAlternateSetting);

    IV3ChipRegisters* m_pChip;
};

// The tag of a format: wFormatTag, or the subformat's first 16 bits under WAVE_FORMAT_EXTENSIBLE.
// Any IRQL.
USHORT V3FormatTag(const WaveFormatRecord* pFormat);
