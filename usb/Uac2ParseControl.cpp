// The UAC2 AudioControl parser: one unit object per class-specific descriptor (terminals,
// mixer, selector, feature and extension units, clock sources), checked by the descriptor table
// before anything reads it; then the unit graph's checks (every source names a unit, none names a
// clock, no unit is its own upstream) and the translation of source unit ids into entity ids.
#include "platform/nt/Debug.h"
#include "topology/ClockSource.h"
#include "topology/PassThroughUnit.h"
#include "topology/Uac2FeatureUnit.h"
#include "topology/Uac2SelectorUnit.h"
#include "topology/Uac2Terminals.h"
#include "usb/UacDescriptors.h"
#include "usb/Uac1Parse.h"
#include "usb/UacUnitGraph.h"
#include "usb/Uac2Function.h"
#include "usb/Uac2Parse.h"

namespace {

template <typename T>
NTSTATUS BuildUnit(Uac2Function* pFunction, const UCHAR* pDescriptor)
{
    auto* pUnit = new (NonPagedPoolNx, UAC2_FUNCTION_TAG) T(nullptr, pFunction->GetUnitCount());
    if (pUnit == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbAudioUnit* pBase = pUnit;
    pBase->AddRef();
    IAudioHal* pHal = pFunction;
    NTSTATUS status = pUnit->InitFromDescriptor(pDescriptor, pHal, pHal);
    if (NT_SUCCESS(status)) {
        status = pFunction->AddUnit(pBase);
    }
    pBase->Release();
    return status;
}

// The unit of a supported subtype; STATUS_UNSUCCESSFUL for every other subtype (effect and
// processing units, clock selectors and multipliers, sample rate converters, ...).
NTSTATUS BuildUnitOfSubtype(Uac2Function* pFunction, const UCHAR* pDescriptor)
{
    PAGED_CODE();
    switch (pDescriptor[2]) {
    case USB_AUDIO_AC_INPUT_TERMINAL: return BuildUnit<Uac2InputTerminal>(pFunction, pDescriptor);
    case USB_AUDIO_AC_OUTPUT_TERMINAL: return BuildUnit<Uac2OutputTerminal>(pFunction, pDescriptor);
    case USB_AUDIO_AC_MIXER_UNIT:
    case USB_AUDIO2_AC_EXTENSION_UNIT: return BuildUnit<PassThroughUnit>(pFunction, pDescriptor);
    case USB_AUDIO_AC_SELECTOR_UNIT: return BuildUnit<Uac2SelectorUnit>(pFunction, pDescriptor);
    case USB_AUDIO_AC_FEATURE_UNIT: return BuildUnit<Uac2FeatureUnit>(pFunction, pDescriptor);
    case USB_AUDIO2_AC_CLOCK_SOURCE: return BuildUnit<ClockSource>(pFunction, pDescriptor);
    default:
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC2: AudioControl subtype 0x%02x is not supported\n",
                   pDescriptor[2]);
        return STATUS_UNSUCCESSFUL;
    }
}

// Audio flows between units only: a unit whose source is a clock is refused.
NTSTATUS CheckNoClockSources(const UacUnitGraph& graph)
{
    PAGED_CODE();
    for (ULONG id = 0; id < 256; ++id) {
        const UCHAR* pUnit = graph.FindUnit(static_cast<UCHAR>(id));
        if (pUnit == nullptr) {
            continue;
        }
        const UCHAR* pSources = nullptr;
        ULONG count = 0;
        GetUacUnitSources(pUnit, &pSources, &count);
        for (ULONG i = 0; i < count; ++i) {
            const UCHAR* pSource = graph.FindUnit(pSources[i]);
            if (pSource != nullptr && pSource[2] == USB_AUDIO2_AC_CLOCK_SOURCE) {
                DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC2: unit %lu names clock %u as a source\n",
                           id, pSources[i]);
                return STATUS_INVALID_PARAMETER;
            }
        }
    }
    return STATUS_SUCCESS;
}

struct GraphDeleter {
    UacUnitGraph* p;
    ~GraphDeleter() { delete p; }
};

}  // namespace

NTSTATUS ParseAudioControlUac2(Uac2Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    const auto* pBytes = reinterpret_cast<PUCHAR>(pInterface);
    if (pFunction == nullptr || pInterface == nullptr || ulBytes < UAC_INTERFACE_MIN_LENGTH ||
        pBytes[0] < UAC_INTERFACE_MIN_LENGTH || pBytes[5] != USB_DEVICE_CLASS_AUDIO ||
        pBytes[6] != USB_AUDIO_SUBCLASS_AUDIOCONTROL || pBytes[7] != USB_AUDIO_PROTOCOL_UAC2) {
        return STATUS_INVALID_PARAMETER;
    }
    GraphDeleter graph{new (PagedPool, UAC2_FUNCTION_TAG) UacUnitGraph(UAC_VERSION_2)};
    if (graph.p == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    UacDescriptorWalk walk(UAC2_SET_AUDIO_CONTROL, pBytes + UAC_INTERFACE_MIN_LENGTH, ulBytes - UAC_INTERFACE_MIN_LENGTH);
    while (!walk.AtEnd()) {
        const UCHAR* pDescriptor = nullptr;
        NTSTATUS status = walk.Current(&pDescriptor);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (pDescriptor[1] != USB_AUDIO_CS_INTERFACE) {
            break;
        }
        if (pDescriptor[2] != USB_AUDIO_AC_HEADER) {
            status = BuildUnitOfSubtype(pFunction, pDescriptor);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            graph.p->AddUnit(pDescriptor);
        }
        walk.Advance();
    }

    NTSTATUS status = graph.p->Check();
    if (NT_SUCCESS(status)) {
        status = CheckNoClockSources(*graph.p);
    }
    if (NT_SUCCESS(status)) {
        status = ResolveUnitSources(pFunction);
    }
    return status;
}
