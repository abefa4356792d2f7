#include "usb/UacDescriptors.h"

#include "platform/nt/Debug.h"
#include "platform/nt/Irql.h"
#include "usb/FormatTables.h"

const UacDescriptorRule* FindUacDescriptorRule(UacDescriptorSet set, const UCHAR* pDescriptor)
{
    if (pDescriptor == nullptr || pDescriptor[0] < 2) {
        return nullptr;
    }
    const UCHAR type = pDescriptor[1];
    // The subtype is only there to compare when bLength holds it; a shorter descriptor falls under
    // its type's catch-all row, which refuses it.
    const bool hasSubtype = pDescriptor[0] >= 3;
    for (const UacDescriptorRule& rule : UAC_DESCRIPTOR_RULES) {
        if ((rule.Set == set || rule.Set == UAC_SET_ANY) && rule.DescriptorType == type &&
            (rule.Subtype == UAC_ANY_SUBTYPE || (hasSubtype && rule.Subtype == pDescriptor[2]))) {
            return &rule;
        }
    }
    return nullptr;
}

namespace {

// CheckUacDescriptor, logging under `version`.
NTSTATUS CheckDescriptor(UacDescriptorSet set, UacVersion version, const UCHAR* pDescriptor, ULONG cbRemaining)
{
    if (pDescriptor == nullptr || cbRemaining < 2) {
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG cbLength = pDescriptor[0];
    if (cbLength < 2 || cbLength > cbRemaining) {
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL,
                   "UAC%lu: descriptor type 0x%02x has bLength %lu with %lu bytes left\n", static_cast<ULONG>(version),
                   pDescriptor[1], cbLength, cbRemaining);
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
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC%lu: %s of %lu bytes is shorter than its %lu\n",
                   static_cast<ULONG>(version), pRule->Name, cbLength, cbRequired);
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CheckUacDescriptor(UacDescriptorSet set, const UCHAR* pDescriptor, ULONG cbRemaining)
{
    PAGED_CODE();
    return CheckDescriptor(set, UacVersionOf(set), pDescriptor, cbRemaining);
}

void GetUacUnitSources(const UCHAR* pDescriptor, const UCHAR** ppSources, PULONG pulCount)
{
    *ppSources = nullptr;
    *pulCount = 0;
    switch (pDescriptor[2]) {
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
        *ppSources = pDescriptor + 7;
        *pulCount = 1;
        break;
    case USB_AUDIO_AC_FEATURE_UNIT:
        *ppSources = pDescriptor + 4;
        *pulCount = 1;
        break;
    case USB_AUDIO_AC_MIXER_UNIT:
    case USB_AUDIO_AC_SELECTOR_UNIT:
        *ppSources = pDescriptor + 5;
        *pulCount = pDescriptor[4];
        break;
    case USB_AUDIO2_AC_EXTENSION_UNIT:
        *ppSources = pDescriptor + 7;
        *pulCount = pDescriptor[6];
        break;
    default: break;
    }
}

NTSTATUS UacDescriptorWalk::Current(const UCHAR** ppDescriptor) const
{
    PAGED_CODE();
    *ppDescriptor = nullptr;
    NTSTATUS status = CheckUacDescriptor(m_set, m_pCursor, m_cbRemaining);
    if (NT_SUCCESS(status)) {
        *ppDescriptor = m_pCursor;
    }
    return status;
}

void UacDescriptorWalk::Advance()
{
    PAGED_CODE();
    // Current accepted bLength: at least 2 and within the bytes left, so the walk always moves on.
    const ULONG cbLength = m_pCursor[0];
    m_pCursor += cbLength;
    m_cbRemaining -= cbLength;
}

namespace {

// The rows an interface's descriptors fall under: its class, subclass and protocol.
UacDescriptorSet InterfaceSet(const UCHAR* pInterface)
{
    if (pInterface[5] != USB_DEVICE_CLASS_AUDIO) {
        return UAC_SET_OTHER;
    }
    const UCHAR subclass = pInterface[6];
    const UCHAR protocol = pInterface[7];
    if (protocol == USB_AUDIO_PROTOCOL_UAC1) {
        return subclass == USB_AUDIO_SUBCLASS_AUDIOCONTROL     ? UAC1_SET_AUDIO_CONTROL
               : subclass == USB_AUDIO_SUBCLASS_AUDIOSTREAMING ? UAC1_SET_AUDIO_STREAMING
                                                               : UAC_SET_OTHER;
    }
    if (protocol == USB_AUDIO_PROTOCOL_UAC2) {
        return subclass == USB_AUDIO_SUBCLASS_AUDIOCONTROL     ? UAC2_SET_AUDIO_CONTROL
               : subclass == USB_AUDIO_SUBCLASS_AUDIOSTREAMING ? UAC2_SET_AUDIO_STREAMING
                                                               : UAC_SET_OTHER;
    }
    return UAC_SET_OTHER;
}

// The version of a configuration: the protocol of its first audio interface (UAC 1.0 when it has
// none). Reads only within each descriptor's bLength and the bytes given.
UacVersion ConfigurationVersion(const UCHAR* pDescriptors, ULONG cbRemaining)
{
    while (cbRemaining >= 2 && pDescriptors[0] >= 2 && pDescriptors[0] <= cbRemaining) {
        if (pDescriptors[1] == USB_INTERFACE_DESCRIPTOR_TYPE && pDescriptors[0] >= UAC_INTERFACE_MIN_LENGTH &&
            pDescriptors[5] == USB_DEVICE_CLASS_AUDIO) {
            return pDescriptors[7] == USB_AUDIO_PROTOCOL_UAC2 ? UAC_VERSION_2 : UAC_VERSION_1;
        }
        cbRemaining -= pDescriptors[0];
        pDescriptors += pDescriptors[0];
    }
    return UAC_VERSION_1;
}

}  // namespace

ULONG UacConfigurationLength(const UCHAR* pConfiguration, ULONG cbReceived)
{
    PAGED_CODE();
    if (pConfiguration == nullptr || cbReceived < UAC_CONFIGURATION_MIN_LENGTH) {
        return 0;
    }
    const ULONG cbTotal = static_cast<ULONG>(pConfiguration[2]) | (static_cast<ULONG>(pConfiguration[3]) << 8);
    return cbTotal < cbReceived ? cbTotal : cbReceived;
}

NTSTATUS ValidateUacConfiguration(const UCHAR* pConfiguration, ULONG cbReceived)
{
    PAGED_CODE();
    const ULONG cbTotal = UacConfigurationLength(pConfiguration, cbReceived);
    if (cbTotal < UAC_CONFIGURATION_MIN_LENGTH || pConfiguration[0] < UAC_CONFIGURATION_MIN_LENGTH ||
        pConfiguration[0] > cbTotal) {
        return STATUS_INVALID_PARAMETER;
    }
    const UacVersion version = ConfigurationVersion(pConfiguration + pConfiguration[0], cbTotal - pConfiguration[0]);
    UacDescriptorSet set = UAC_SET_OTHER;
    UacDescriptorWalk walk(UAC_SET_OTHER, pConfiguration + pConfiguration[0], cbTotal - pConfiguration[0]);
    while (!walk.AtEnd()) {
        const UCHAR* pDescriptor = nullptr;
        // The type decides the set before the check, so peek at it through a generic check first.
        NTSTATUS status = CheckDescriptor(UAC_SET_OTHER, version, walk.Cursor(), walk.Remaining());
        if (!NT_SUCCESS(status)) {
            return status;
        }
        const UCHAR type = walk.Cursor()[1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            set = InterfaceSet(walk.Cursor());
        } else if ((set == UAC1_SET_AUDIO_CONTROL || set == UAC2_SET_AUDIO_CONTROL) && type != USB_AUDIO_CS_INTERFACE) {
            // The AudioControl walk ends at the first descriptor that is not class-specific.
            set = UAC_SET_OTHER;
        }
        status = CheckDescriptor(set, version, walk.Cursor(), walk.Remaining());
        pDescriptor = NT_SUCCESS(status) ? walk.Cursor() : nullptr;
        if (NT_SUCCESS(status) && set == UAC1_SET_AUDIO_STREAMING && type == USB_AUDIO_CS_INTERFACE &&
            pDescriptor[2] == USB_AUDIO_AS_FORMAT_TYPE) {
            status = CheckUac1FormatType(pDescriptor);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        walk.Advance();
    }
    return STATUS_SUCCESS;
}
