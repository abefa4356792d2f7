// The length table of the class-specific descriptors of a USB Audio Class 1.0 or 2.0 function:
// for each kind the fixed bytes its reader takes, and for layouts that size themselves by counts
// inside them the length those counts call for. The descriptor walks check every descriptor
// against its row (usb/UacDescriptors.h); the units that read a descriptor take their minimum
// lengths from the same rows (UacMinimumLength), so each length is written down once.
#pragma once

#include "platform/usb/Usb.h"

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

// The class version a function speaks. Code both versions share names it in the log ("UAC1:",
// "UAC2:") from the rows it checks against or from what its caller passes.
enum UacVersion : ULONG {
    UAC_VERSION_1 = 1,
    UAC_VERSION_2 = 2,
};

// The version of a set's rows; the rows for every set and those outside the audio interfaces
// count as UAC 1.0.
constexpr UacVersion UacVersionOf(UacDescriptorSet set)
{
    return set == UAC2_SET_AUDIO_CONTROL || set == UAC2_SET_AUDIO_STREAMING ? UAC_VERSION_2 : UAC_VERSION_1;
}

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

namespace uac_rules {

// Mixer and selector: bUnitID, bNrInPins, then one source id per pin.
inline ULONG PinUnitLength(const UCHAR* p) { return 5 + static_cast<ULONG>(p[4]); }

// UAC 2.0 extension unit: bUnitID, wExtensionCode, bNrInPins, then one source id per pin.
inline ULONG Uac2ExtensionLength(const UCHAR* p) { return 7 + static_cast<ULONG>(p[6]); }

// FORMAT_TYPE: the fixed fields, then three bytes per discrete rate or the two bounds of a range.
inline ULONG FormatTypeLength(const UCHAR* p) { return 8 + 3 * static_cast<ULONG>(p[7] != 0 ? p[7] : 2); }

// Reached only when a constant asks for a row the table does not have: it stops the build.
void NoSuchRow();

}  // namespace uac_rules

// What each reader takes from a descriptor, and so the least it must hold. A class-specific
// descriptor of a subtype no row names must still hold its subtype byte.
inline constexpr UacDescriptorRule UAC_DESCRIPTOR_RULES[] = {
    {UAC_SET_ANY, USB_CONFIGURATION_DESCRIPTOR_TYPE, UAC_ANY_SUBTYPE, 9, nullptr, "CONFIGURATION"},
    {UAC_SET_ANY, USB_INTERFACE_DESCRIPTOR_TYPE, UAC_ANY_SUBTYPE, 9, nullptr, "INTERFACE"},
    {UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL, 12, nullptr, "INPUT_TERMINAL"},
    {UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_OUTPUT_TERMINAL, 9, nullptr, "OUTPUT_TERMINAL"},
    {UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_MIXER_UNIT, 5, uac_rules::PinUnitLength,
     "MIXER_UNIT"},
    {UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_SELECTOR_UNIT, 5, uac_rules::PinUnitLength,
     "SELECTOR_UNIT"},
    // Fixed fields up to bControlSize, and the byte after the bitmaps (iFeature).
    {UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_FEATURE_UNIT, 7, nullptr, "FEATURE_UNIT"},
    {UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, UAC_ANY_SUBTYPE, 3, nullptr, "AudioControl descriptor"},
    {UAC1_SET_AUDIO_STREAMING, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_GENERAL, 7, nullptr, "AS_GENERAL"},
    {UAC1_SET_AUDIO_STREAMING, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE, 8, uac_rules::FormatTypeLength,
     "FORMAT_TYPE"},
    {UAC1_SET_AUDIO_STREAMING, USB_AUDIO_CS_INTERFACE, UAC_ANY_SUBTYPE, 3, nullptr, "AudioStreaming descriptor"},
    // UAC 2.0: each unit through the fields its class reads (terminals through bmControls, the
    // feature unit through bSourceID, its master entry and iFeature, the clock through bClockID).
    {UAC2_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL, 16, nullptr, "UAC2 INPUT_TERMINAL"},
    {UAC2_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_OUTPUT_TERMINAL, 11, nullptr,
     "UAC2 OUTPUT_TERMINAL"},
    {UAC2_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_MIXER_UNIT, 5, uac_rules::PinUnitLength,
     "UAC2 MIXER_UNIT"},
    {UAC2_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_SELECTOR_UNIT, 5, uac_rules::PinUnitLength,
     "UAC2 SELECTOR_UNIT"},
    {UAC2_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_FEATURE_UNIT, 10, nullptr, "UAC2 FEATURE_UNIT"},
    {UAC2_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_EXTENSION_UNIT, 7, uac_rules::Uac2ExtensionLength,
     "UAC2 EXTENSION_UNIT"},
    {UAC2_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_CLOCK_SOURCE, 4, nullptr, "UAC2 CLOCK_SOURCE"},
    {UAC2_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, UAC_ANY_SUBTYPE, 3, nullptr, "UAC2 AudioControl descriptor"},
    {UAC2_SET_AUDIO_STREAMING, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_GENERAL, 15, nullptr, "UAC2 AS_GENERAL"},
    {UAC2_SET_AUDIO_STREAMING, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE, 6, nullptr, "UAC2 FORMAT_TYPE"},
    {UAC2_SET_AUDIO_STREAMING, USB_AUDIO_CS_INTERFACE, UAC_ANY_SUBTYPE, 3, nullptr, "UAC2 AudioStreaming descriptor"},
};

// The MinimumLength of the row written for exactly this set, type and subtype (a catch-all row
// answers only for UAC_ANY_SUBTYPE). For constants only: a row that is not there stops the build.
consteval ULONG UacMinimumLength(UacDescriptorSet set, UCHAR descriptorType, UCHAR subtype)
{
    for (const UacDescriptorRule& rule : UAC_DESCRIPTOR_RULES) {
        if (rule.Set == set && rule.DescriptorType == descriptorType && rule.Subtype == subtype) {
            return rule.MinimumLength;
        }
    }
    uac_rules::NoSuchRow();
    return 0;
}

// The standard configuration and interface descriptors: 9 bytes each.
constexpr ULONG UAC_CONFIGURATION_MIN_LENGTH =
    UacMinimumLength(UAC_SET_ANY, USB_CONFIGURATION_DESCRIPTOR_TYPE, UAC_ANY_SUBTYPE);
constexpr ULONG UAC_INTERFACE_MIN_LENGTH = UacMinimumLength(UAC_SET_ANY, USB_INTERFACE_DESCRIPTOR_TYPE, UAC_ANY_SUBTYPE);
