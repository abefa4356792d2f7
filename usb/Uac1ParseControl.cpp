// The UAC1 AudioControl parser: one unit object per class-specific descriptor, checked by the
// descriptor table before anything reads it; then the unit graph's checks (every source names a
// unit, no unit is its own upstream) and the translation of source unit ids into entity ids.
#include "platform/nt/Debug.h"
#include "topology/FeatureUnit.h"
#include "topology/MixerUnit.h"
#include "topology/SelectorUnit.h"
#include "topology/Terminals.h"
#include "usb/UacDescriptors.h"
#include "usb/Uac1Function.h"
#include "usb/Uac1Parse.h"
#include "usb/UacUnitGraph.h"

namespace {

// The terminal a device's quirks may retype from speaker to headphones, and the second output
// terminal a two-output device must carry beside it.
constexpr UCHAR REWRITTEN_TERMINAL_ID = 0x10;
constexpr UCHAR SECOND_OUTPUT_TERMINAL_ID = 0x40;
// The resolution pass wires at most this many sources.
constexpr ULONG MAX_RESOLVED_SOURCES = 9;

USHORT Le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

}  // namespace

NTSTATUS BuildUac1UnitOfSubtype(Uac1Function* pFunction, PUCHAR pDescriptor)
{
    PAGED_CODE();
    switch (pDescriptor[2]) {
    case USB_AUDIO_AC_INPUT_TERMINAL: return BuildUac1Unit<InputTerminal>(pFunction, pDescriptor, UAC1_FUNCTION_TAG);
    case USB_AUDIO_AC_OUTPUT_TERMINAL: return BuildUac1Unit<OutputTerminal>(pFunction, pDescriptor, UAC1_FUNCTION_TAG);
    case USB_AUDIO_AC_MIXER_UNIT: return BuildUac1Unit<MixerUnit>(pFunction, pDescriptor, UAC1_FUNCTION_TAG);
    case USB_AUDIO_AC_SELECTOR_UNIT: return BuildUac1Unit<SelectorUnit>(pFunction, pDescriptor, UAC1_FUNCTION_TAG);
    case USB_AUDIO_AC_FEATURE_UNIT: return BuildUac1Unit<FeatureUnit>(pFunction, pDescriptor, UAC1_FUNCTION_TAG);
    default: return STATUS_UNSUCCESSFUL;
    }
}

namespace {

// Each unit's source unit ids become the ids of those units' first entities; a source unit
// without entities leaves its unit id. A source naming no unit was refused by the graph check, so
// a lookup failing here is refused the same way.
NTSTATUS ResolveSources(UsbAudioFunction* pFunction, ObjectList* pUnits)
{
    PAGED_CODE();
    if (pUnits == nullptr) {
        return STATUS_SUCCESS;
    }
    for (UsbAudioUnit* pUnit : pUnits->Items<UsbAudioUnit>()) {
        ULONG ulFirst = 0;
        if (!NT_SUCCESS(pUnit->GetFirstEntityId(&ulFirst))) {
            continue;
        }
        ULONG count = pUnit->GetSourceCount();
        if (count == 0 || count > MAX_RESOLVED_SOURCES) {
            continue;
        }
        ULONG ids[MAX_RESOLVED_SOURCES] = {};
        if (!NT_SUCCESS(pUnit->GetSources(&count, ids)) || count > MAX_RESOLVED_SOURCES) {
            continue;
        }
        for (ULONG i = 0; i < count; ++i) {
            UsbAudioUnit* pSource = nullptr;
            if (!NT_SUCCESS(pFunction->FindUnit(ids[i], &pSource))) {
                return STATUS_UNSUCCESSFUL;
            }
            ULONG ulEntity = 0;
            if (NT_SUCCESS(pSource->GetFirstEntityId(&ulEntity))) {
                ids[i] = ulEntity;
            }
        }
        pUnit->SetInputIds(count, ids);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CheckTwoOutputDevice(Uac1Function* pFunction)
{
    PAGED_CODE();
    const ULONG ids[] = {REWRITTEN_TERMINAL_ID, SECOND_OUTPUT_TERMINAL_ID};
    for (ULONG id : ids) {
        UsbAudioUnit* pUnit = nullptr;
        NTSTATUS status = pFunction->FindUnit(id, &pUnit);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (pUnit->GetType() != USB_AUDIO_AC_OUTPUT_TERMINAL) {
            return STATUS_UNSUCCESSFUL;
        }
    }
    return STATUS_SUCCESS;
}

struct GraphDeleter {
    UacUnitGraph* p;
    ~GraphDeleter() { delete p; }
};

}  // namespace

NTSTATUS ResolveUnitSources(UsbAudioFunction* pFunction)
{
    PAGED_CODE();
    return ResolveSources(pFunction, pFunction->Units());
}

NTSTATUS ParseAudioControlUac1(Uac1Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioControlUac1With(UAC1_PARSE_RULES, pFunction, pInterface, ulBytes);
}

NTSTATUS ParseAudioControlUac1With(const Uac1ParseRules& rules, Uac1Function* pFunction,
                                   PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    const auto* pBytes = reinterpret_cast<PUCHAR>(pInterface);
    if (pFunction == nullptr || pInterface == nullptr || ulBytes < UAC_INTERFACE_MIN_LENGTH ||
        pBytes[0] < UAC_INTERFACE_MIN_LENGTH || pBytes[5] != USB_DEVICE_CLASS_AUDIO ||
        pBytes[6] != USB_AUDIO_SUBCLASS_AUDIOCONTROL || pBytes[7] != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    GraphDeleter graph{new (PagedPool, UAC_PARSE_TAG) UacUnitGraph(UAC_VERSION_1)};
    if (graph.p == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    UacDescriptorWalk walk(UAC1_SET_AUDIO_CONTROL, pBytes + UAC_INTERFACE_MIN_LENGTH, ulBytes - UAC_INTERFACE_MIN_LENGTH);
    while (!walk.AtEnd()) {
        const UCHAR* pConst = nullptr;
        NTSTATUS status = walk.Current(&pConst);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // The walk hands out the device's own bytes, which one rewrite below changes in place.
        auto* pDescriptor = const_cast<PUCHAR>(pConst);
        if (pDescriptor[1] != USB_AUDIO_CS_INTERFACE) {
            break;
        }
        const UCHAR subtype = pDescriptor[2];
        if (rules.bDeviceFixups && subtype == USB_AUDIO_AC_OUTPUT_TERMINAL &&
            pFunction->Quirks().Has(DEVICE_QUIRK_SPEAKER_IS_HEADPHONES) &&
            pDescriptor[3] == REWRITTEN_TERMINAL_ID && Le16(pDescriptor + 4) == USB_AUDIO_TERMINAL_SPEAKER) {
            pDescriptor[4] = static_cast<UCHAR>(USB_AUDIO_TERMINAL_HEADPHONES);
            pDescriptor[5] = static_cast<UCHAR>(USB_AUDIO_TERMINAL_HEADPHONES >> 8);
        }
        if (subtype >= USB_AUDIO_AC_INPUT_TERMINAL && subtype <= USB_AUDIO_AC_FEATURE_UNIT) {
            status = rules.BuildUnit(pFunction, pDescriptor);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            graph.p->AddUnit(pDescriptor);
        } else if (subtype != USB_AUDIO_AC_HEADER) {
            DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC1: AudioControl subtype 0x%02x is not supported\n",
                       subtype);
            return STATUS_UNSUCCESSFUL;
        }
        walk.Advance();
    }

    NTSTATUS status = graph.p->Check();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ResolveSources(pFunction, pFunction->Units());
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (rules.bDeviceFixups && pFunction->Quirks().Has(DEVICE_QUIRK_TWO_OUTPUT_TERMINALS)) {
        return CheckTwoOutputDevice(pFunction);
    }
    return STATUS_SUCCESS;
}
