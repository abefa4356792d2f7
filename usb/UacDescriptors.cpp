#include "usb/UacDescriptors.h"

#include "platform/nt/Debug.h"
#include "usb/FormatTables.h"

namespace {

// Mixer and selector: bUnitID, bNrInPins, then one source id per pin.
ULONG PinUnitLength(const UCHAR* p) { return 5 + static_cast<ULONG>(p[4]); }

// UAC 2.0 extension unit: bUnitID, wExtensionCode, bNrInPins, then one source id per pin.
ULONG Uac2ExtensionLength(const UCHAR* p) { return 7 + static_cast<ULONG>(p[6]); }

// FORMAT_TYPE: the fixed fields, then three bytes per discrete rate or the two bounds of a range.
ULONG FormatTypeLength(const UCHAR* p) { return 8 + 3 * static_cast<ULONG>(p[7] != 0 ? p[7] : 2); }

// What each reader takes from a descriptor, and so the least it must hold. A class-specific
// descriptor of a subtype no row names must still hold its subtype byte.
const UacDescriptorRule g_rules[] = {
    {UAC_SET_ANY, UAC1_INTERFACE_DESCRIPTOR, UAC_ANY_SUBTYPE, 9, nullptr, "INTERFACE"},
    {UAC1_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC1_AC_INPUT_TERMINAL, 12, nullptr, "INPUT_TERMINAL"},
    {UAC1_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC1_AC_OUTPUT_TERMINAL, 9, nullptr, "OUTPUT_TERMINAL"},
    {UAC1_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC1_AC_MIXER_UNIT, 5, PinUnitLength, "MIXER_UNIT"},
    {UAC1_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC1_AC_SELECTOR_UNIT, 5, PinUnitLength, "SELECTOR_UNIT"},
    {UAC1_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC1_AC_FEATURE_UNIT, 7, nullptr, "FEATURE_UNIT"},
    {UAC1_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC_ANY_SUBTYPE, 3, nullptr, "AudioControl descriptor"},
    {UAC1_SET_AUDIO_STREAMING, UAC1_CS_INTERFACE, UAC1_AS_GENERAL, 7, nullptr, "AS_GENERAL"},
    {UAC1_SET_AUDIO_STREAMING, UAC1_CS_INTERFACE, UAC1_AS_FORMAT_TYPE, 8, FormatTypeLength, "FORMAT_TYPE"},
    {UAC1_SET_AUDIO_STREAMING, UAC1_CS_INTERFACE, UAC_ANY_SUBTYPE, 3, nullptr, "AudioStreaming descriptor"},
    // UAC 2.0: each unit through the fields its class reads (terminals through bmControls, the
    // feature unit through its master entry, the clock through bClockID).
    {UAC2_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC1_AC_INPUT_TERMINAL, 16, nullptr, "UAC2 INPUT_TERMINAL"},
    {UAC2_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC1_AC_OUTPUT_TERMINAL, 11, nullptr, "UAC2 OUTPUT_TERMINAL"},
    {UAC2_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC1_AC_MIXER_UNIT, 5, PinUnitLength, "UAC2 MIXER_UNIT"},
    {UAC2_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC1_AC_SELECTOR_UNIT, 5, PinUnitLength, "UAC2 SELECTOR_UNIT"},
    {UAC2_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC1_AC_FEATURE_UNIT, 10, nullptr, "UAC2 FEATURE_UNIT"},
    {UAC2_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC2_AC_EXTENSION_UNIT, 7, Uac2ExtensionLength, "UAC2 EXTENSION_UNIT"},
    {UAC2_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC2_AC_CLOCK_SOURCE, 4, nullptr, "UAC2 CLOCK_SOURCE"},
    {UAC2_SET_AUDIO_CONTROL, UAC1_CS_INTERFACE, UAC_ANY_SUBTYPE, 3, nullptr, "UAC2 AudioControl descriptor"},
    {UAC2_SET_AUDIO_STREAMING, UAC1_CS_INTERFACE, UAC1_AS_GENERAL, 15, nullptr, "UAC2 AS_GENERAL"},
    {UAC2_SET_AUDIO_STREAMING, UAC1_CS_INTERFACE, UAC1_AS_FORMAT_TYPE, 6, nullptr, "UAC2 FORMAT_TYPE"},
    {UAC2_SET_AUDIO_STREAMING, UAC1_CS_INTERFACE, UAC_ANY_SUBTYPE, 3, nullptr, "UAC2 AudioStreaming descriptor"},
};

}  // namespace

const UacDescriptorRule* FindUacDescriptorRule(UacDescriptorSet set, const UCHAR* pDescriptor)
{
    if (pDescriptor == nullptr || pDescriptor[0] < 2) {
        return nullptr;
    }
    const UCHAR type = pDescriptor[1];
    // The subtype is only there to compare when bLength holds it; a shorter descriptor falls under
    // its type's catch-all row, which refuses it.
    const bool hasSubtype = pDescriptor[0] >= 3;
    for (const UacDescriptorRule& rule : g_rules) {
        if ((rule.Set == set || rule.Set == UAC_SET_ANY) && rule.DescriptorType == type &&
            (rule.Subtype == UAC_ANY_SUBTYPE || (hasSubtype && rule.Subtype == pDescriptor[2]))) {
            return &rule;
        }
    }
    return nullptr;
}

NTSTATUS CheckUacDescriptor(UacDescriptorSet set, const UCHAR* pDescriptor, ULONG cbRemaining)
{
    if (pDescriptor == nullptr || cbRemaining < 2) {
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG cbLength = pDescriptor[0];
    if (cbLength < 2 || cbLength > cbRemaining) {
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL,
                   "UAC1: descriptor type 0x%02x has bLength %lu with %lu bytes left\n", pDescriptor[1], cbLength,
                   cbRemaining);
        return STATUS_UNSUCCESSFUL;
    }
    const UacDescriptorRule* pRule = FindUacDescriptorRule(set, pDescriptor);
    if (pRule == nullptr) {
        return STATUS_SUCCESS;
    }
    ULONG cbRequired = pRule->MinimumLength;
    if (cbLength >= cbRequired && pRule->RequiredLength != nullptr) {
        cbRequired = pRule->RequiredLength(pDescriptor);
    }
    if (cbLength < cbRequired) {
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC1: %s of %lu bytes is shorter than its %lu\n",
                   pRule->Name, cbLength, cbRequired);
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

void GetUacUnitSources(const UCHAR* pDescriptor, const UCHAR** ppSources, PULONG pulCount)
{
    *ppSources = nullptr;
    *pulCount = 0;
    switch (pDescriptor[2]) {
    case UAC1_AC_OUTPUT_TERMINAL:
        *ppSources = pDescriptor + 7;
        *pulCount = 1;
        break;
    case UAC1_AC_FEATURE_UNIT:
        *ppSources = pDescriptor + 4;
        *pulCount = 1;
        break;
    case UAC1_AC_MIXER_UNIT:
    case UAC1_AC_SELECTOR_UNIT:
        *ppSources = pDescriptor + 5;
        *pulCount = pDescriptor[4];
        break;
    case UAC2_AC_EXTENSION_UNIT:
        *ppSources = pDescriptor + 7;
        *pulCount = pDescriptor[6];
        break;
    default: break;
    }
}

NTSTATUS UacDescriptorWalk::Current(const UCHAR** ppDescriptor) const
{
    *ppDescriptor = nullptr;
    NTSTATUS status = CheckUacDescriptor(m_set, m_pCursor, m_cbRemaining);
    if (NT_SUCCESS(status)) {
        *ppDescriptor = m_pCursor;
    }
    return status;
}

void UacDescriptorWalk::Advance()
{
    // Current accepted bLength: at least 2 and within the bytes left, so the walk always moves on.
    const ULONG cbLength = m_pCursor[0];
    m_pCursor += cbLength;
    m_cbRemaining -= cbLength;
}

ULONG UacConfigurationLength(const UCHAR* pConfiguration, ULONG cbReceived)
{
    if (pConfiguration == nullptr || cbReceived < UAC1_INTERFACE_LENGTH) {
        return 0;
    }
    const ULONG cbTotal = static_cast<ULONG>(pConfiguration[2]) | (static_cast<ULONG>(pConfiguration[3]) << 8);
    return cbTotal < cbReceived ? cbTotal : cbReceived;
}

NTSTATUS ValidateUacConfiguration(const UCHAR* pConfiguration, ULONG cbReceived)
{
    const ULONG cbTotal = UacConfigurationLength(pConfiguration, cbReceived);
    if (cbTotal < UAC1_INTERFACE_LENGTH || pConfiguration[0] < UAC1_INTERFACE_LENGTH ||
        pConfiguration[0] > cbTotal) {
        return STATUS_INVALID_PARAMETER;
    }
    UacDescriptorSet set = UAC_SET_OTHER;
    UacDescriptorWalk walk(UAC_SET_OTHER, pConfiguration + pConfiguration[0], cbTotal - pConfiguration[0]);
    while (!walk.AtEnd()) {
        const UCHAR* pDescriptor = nullptr;
        // The type decides the set before the check, so peek at it through a generic check first.
        NTSTATUS status = CheckUacDescriptor(UAC_SET_OTHER, walk.Cursor(), walk.Remaining());
        if (!NT_SUCCESS(status)) {
            return status;
        }
        const UCHAR type = walk.Cursor()[1];
        if (type == UAC1_INTERFACE_DESCRIPTOR) {
            const UCHAR* p = walk.Cursor();
            set = p[5] == UAC1_AUDIO_CLASS && p[7] == 0 && p[6] == UAC1_AUDIOCONTROL_SUBCLASS     ? UAC1_SET_AUDIO_CONTROL
                  : p[5] == UAC1_AUDIO_CLASS && p[7] == 0 && p[6] == UAC1_AUDIOSTREAMING_SUBCLASS ? UAC1_SET_AUDIO_STREAMING
                  : p[5] == UAC1_AUDIO_CLASS && p[7] == UAC2_INTERFACE_PROTOCOL && p[6] == UAC1_AUDIOCONTROL_SUBCLASS
                      ? UAC2_SET_AUDIO_CONTROL
                  : p[5] == UAC1_AUDIO_CLASS && p[7] == UAC2_INTERFACE_PROTOCOL && p[6] == UAC1_AUDIOSTREAMING_SUBCLASS
                      ? UAC2_SET_AUDIO_STREAMING
                      : UAC_SET_OTHER;
        } else if ((set == UAC1_SET_AUDIO_CONTROL || set == UAC2_SET_AUDIO_CONTROL) && type != UAC1_CS_INTERFACE) {
            // The AudioControl walk ends at the first descriptor that is not class-specific.
            set = UAC_SET_OTHER;
        }
        status = UacDescriptorWalk(set, walk.Cursor(), walk.Remaining()).Current(&pDescriptor);
        if (NT_SUCCESS(status) && set == UAC1_SET_AUDIO_STREAMING && type == UAC1_CS_INTERFACE &&
            pDescriptor[2] == UAC1_AS_FORMAT_TYPE) {
            status = CheckUac1FormatType(pDescriptor);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        walk.Advance();
    }
    return STATUS_SUCCESS;
}
