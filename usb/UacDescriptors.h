// The class-specific descriptors of a USB Audio Class 1.0 or 2.0 function as the device sends
// them, and the one table that says how long each must be. Every walk over AudioControl and
// AudioStreaming descriptors checks a descriptor here when it first meets it; code after the check
// reads the fields its row covers without checks of its own. Every byte comes from the device.
#pragma once

#include "adapter/UacDescriptorRules.h"
#include "platform/nt/NtTypes.h"

// Pool tag of everything the descriptor parsers allocate.
constexpr ULONG UAC_PARSE_TAG = MakePoolTag("UAC1");

// The row the descriptor falls under, null when only the generic bounds apply. The descriptor
// must hold its bLength bytes (at least 2). Any IRQL at which the descriptor may be read.
const UacDescriptorRule* FindUacDescriptorRule(UacDescriptorSet set, const UCHAR* pDescriptor);

// Checks the descriptor at `pDescriptor`, `cbRemaining` bytes before the end of what was received:
// - fewer than 2 bytes left, bLength below 2 or bLength beyond the bytes left: STATUS_UNSUCCESSFUL;
// - shorter than its row asks: STATUS_INVALID_PARAMETER (logged with the row's name);
// - otherwise STATUS_SUCCESS: the bytes its row covers may be read.
// IRQL <= APC_LEVEL: pageable, as the parsers that walk with it.
NTSTATUS CheckUacDescriptor(UacDescriptorSet set, const UCHAR* pDescriptor, ULONG cbRemaining);

// The source ids of an AudioControl unit (subtypes 2 to 6) whose descriptor passed its check:
// none for an input terminal, one for an output terminal and a feature unit, bNrInPins for a mixer
// and a selector, and for a UAC 2.0 extension unit (subtype 9, which UAC 1.0 does not use). Other
// subtypes, a UAC 2.0 clock source among them, have none. Any IRQL at which the descriptor may be
// read.
void GetUacUnitSources(const UCHAR* pDescriptor, const UCHAR** ppSources, PULONG pulCount);

// A cursor over the descriptors of one interface; nothing is read past the bytes it was given.
// IRQL <= APC_LEVEL, as CheckUacDescriptor.
class UacDescriptorWalk {
public:
    UacDescriptorWalk(UacDescriptorSet set, const UCHAR* pStart, ULONG cbRemaining)
        : m_set(set), m_pCursor(pStart), m_cbRemaining(pStart != nullptr ? cbRemaining : 0)
    {
    }

    BOOLEAN AtEnd() const { return m_cbRemaining == 0; }
    const UCHAR* Cursor() const { return m_pCursor; }
    ULONG Remaining() const { return m_cbRemaining; }

    // Checks the descriptor at the cursor (CheckUacDescriptor); on success it is *ppDescriptor.
    NTSTATUS Current(const UCHAR** ppDescriptor) const;
    // Moves past the descriptor at the cursor, which Current accepted.
    void Advance();

private:
    UacDescriptorSet m_set;
    const UCHAR* m_pCursor;
    ULONG m_cbRemaining;
};

// The bytes of a configuration that may be walked: wTotalLength, held to the bytes received;
// 0 when not even the 9-byte header is there. IRQL <= APC_LEVEL.
ULONG UacConfigurationLength(const UCHAR* pConfiguration, ULONG cbReceived);

// Checks every descriptor of a configuration: the AudioControl interfaces' class-specific
// descriptors up to the first that is not class-specific (as the AudioControl walk reads them),
// the AudioStreaming interfaces' descriptors up to the next interface (their FORMAT_TYPE fields
// included), and the generic bounds of everything else. The first failure is the result.
// IRQL <= APC_LEVEL.
NTSTATUS ValidateUacConfiguration(const UCHAR* pConfiguration, ULONG cbReceived);
