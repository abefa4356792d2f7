// The class-specific descriptors of a USB Audio Class 1.0 or 2.0 function as the device sends
// them, and the one table that says how long each must be. Every walk over AudioControl and
// AudioStreaming descriptors checks a descriptor here when it first meets it; code after the check
// reads the fields its row covers without checks of its own. Every byte comes from the device.
#pragma once

#include "platform/nt/NtTypes.h"

// Pool tag of everything the descriptor parsers allocate.
constexpr ULONG UAC_PARSE_TAG = MakePoolTag("UAC1");

// Descriptor types the walks meet.
constexpr UCHAR UAC1_INTERFACE_DESCRIPTOR = 0x04;
constexpr UCHAR UAC1_ENDPOINT_DESCRIPTOR = 0x05;
constexpr UCHAR UAC1_CS_INTERFACE = 0x24;
constexpr UCHAR UAC1_CS_ENDPOINT = 0x25;

// AudioControl subtypes.
constexpr UCHAR UAC1_AC_HEADER = 0x01;
constexpr UCHAR UAC1_AC_INPUT_TERMINAL = 0x02;
constexpr UCHAR UAC1_AC_OUTPUT_TERMINAL = 0x03;
constexpr UCHAR UAC1_AC_MIXER_UNIT = 0x04;
constexpr UCHAR UAC1_AC_SELECTOR_UNIT = 0x05;
constexpr UCHAR UAC1_AC_FEATURE_UNIT = 0x06;
constexpr UCHAR UAC1_AC_PROCESSING_UNIT = 0x07;
constexpr UCHAR UAC1_AC_EXTENSION_UNIT = 0x08;

// AudioControl subtypes of UAC 2.0 beyond those above (7 is EFFECT_UNIT, 8 PROCESSING_UNIT there).
constexpr UCHAR UAC2_AC_EXTENSION_UNIT = 0x09;
constexpr UCHAR UAC2_AC_CLOCK_SOURCE = 0x0A;
constexpr UCHAR UAC2_AC_CLOCK_SELECTOR = 0x0B;
constexpr UCHAR UAC2_AC_CLOCK_MULTIPLIER = 0x0C;
constexpr UCHAR UAC2_INTERFACE_PROTOCOL = 0x20;

// AudioStreaming subtypes.
constexpr UCHAR UAC1_AS_GENERAL = 0x01;
constexpr UCHAR UAC1_AS_FORMAT_TYPE = 0x02;

// The standard interface descriptor, and the audio interfaces' class and subclasses.
constexpr ULONG UAC1_INTERFACE_LENGTH = 9;
constexpr UCHAR UAC1_AUDIO_CLASS = 0x01;
constexpr UCHAR UAC1_AUDIOCONTROL_SUBCLASS = 0x01;
constexpr UCHAR UAC1_AUDIOSTREAMING_SUBCLASS = 0x02;

// Which rows apply: the same subtype means different descriptors in the two interfaces, and
// outside the audio interfaces only the rows for every set do.
enum UacDescriptorSet : ULONG {
    UAC1_SET_AUDIO_CONTROL = 0,
    UAC1_SET_AUDIO_STREAMING = 1,
    UAC_SET_OTHER = 2,
    // The USB Audio Class 2.0 interfaces (bInterfaceProtocol 0x20): their own layouts.
    UAC2_SET_AUDIO_CONTROL = 3,
    UAC2_SET_AUDIO_STREAMING = 4,
    UAC_SET_ANY = 0xFF,  // rows only: the row applies in every set
};

constexpr UCHAR UAC_ANY_SUBTYPE = 0xFF;

// One row of the table: the fixed bytes a descriptor of this kind must hold, and for layouts that
// counts inside them size, a function giving the length those counts call for. The function is
// called only once MinimumLength bytes are known to be there.
struct UacDescriptorRule {
    UacDescriptorSet Set;
    UCHAR DescriptorType;
    UCHAR Subtype;  // UAC_ANY_SUBTYPE: every subtype of the type
    UCHAR MinimumLength;
    ULONG (*RequiredLength)(const UCHAR* pDescriptor);
    PCSTR Name;
};

// The row the descriptor falls under, null when only the generic bounds apply. The descriptor
// must hold its bLength bytes (at least 2).
const UacDescriptorRule* FindUacDescriptorRule(UacDescriptorSet set, const UCHAR* pDescriptor);

// Checks the descriptor at `pDescriptor`, `cbRemaining` bytes before the end of what was received:
// - fewer than 2 bytes left, bLength below 2 or bLength beyond the bytes left: STATUS_UNSUCCESSFUL;
// - shorter than its row asks: STATUS_INVALID_PARAMETER (logged with the row's name);
// - otherwise STATUS_SUCCESS: the bytes its row covers may be read.
NTSTATUS CheckUacDescriptor(UacDescriptorSet set, const UCHAR* pDescriptor, ULONG cbRemaining);

// The source ids of an AudioControl unit (subtypes 2 to 6) whose descriptor passed its check:
// none for an input terminal, one for an output terminal and a feature unit, bNrInPins for a mixer
// and a selector, and for a UAC 2.0 extension unit (subtype 9, which UAC 1.0 does not use). Other
// subtypes, a UAC 2.0 clock source among them, have none.
void GetUacUnitSources(const UCHAR* pDescriptor, const UCHAR** ppSources, PULONG pulCount);

// A cursor over the descriptors of one interface; nothing is read past the bytes it was given.
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
// 0 when not even the 9-byte header is there.
ULONG UacConfigurationLength(const UCHAR* pConfiguration, ULONG cbReceived);

// Checks every descriptor of a configuration: the AudioControl interfaces' class-specific
// descriptors up to the first that is not class-specific (as the AudioControl walk reads them),
// the AudioStreaming interfaces' descriptors up to the next interface (their FORMAT_TYPE fields
// included), and the generic bounds of everything else. The first failure is the result.
NTSTATUS ValidateUacConfiguration(const UCHAR* pConfiguration, ULONG cbReceived);
