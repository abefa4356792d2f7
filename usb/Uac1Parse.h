// The UAC1 descriptor parsers of the function: the AudioControl parser builds the unit objects
// and their entities, the AudioStreaming parser the endpoints and their formats.
#pragma once

#include "platform/nt/Pool.h"
#include "platform/usb/Usb.h"
#include "usb/Uac1Function.h"

class UsbAudioFunction;
class UsbStreamEndpoint;

// What a chip variant changes in the UAC1 walks: the unit class of each class-specific
// AudioControl descriptor, the endpoint class of each streaming interface, and whether the plain
// function's device fix-ups (the headphone terminal rewrite, the two-output check) apply.
struct Uac1ParseRules {
    // Builds, initialises and adds the unit of one checked unit or terminal descriptor (subtypes
    // INPUT_TERMINAL to FEATURE_UNIT); the descriptor lies in the device's configuration copy.
    // PASSIVE_LEVEL (the units' Init sends synchronous requests).
    NTSTATUS (*BuildUnit)(Uac1Function* pFunction, PUCHAR pDescriptor);
    // Constructs and initialises the endpoint of one streaming interface, returned with one
    // reference. PASSIVE_LEVEL.
    NTSTATUS (*NewEndpoint)(Uac1Function* pFunction, BOOLEAN bCapture, UCHAR bInterfaceNumber, ULONG ulTerminalId,
                            UsbStreamEndpoint** ppEndpoint);
    BOOLEAN bDeviceFixups;
};

// The plain function's rules and their two routines, which the variants fall back on.
// PASSIVE_LEVEL.
extern const Uac1ParseRules UAC1_PARSE_RULES;
NTSTATUS BuildUac1UnitOfSubtype(Uac1Function* pFunction, PUCHAR pDescriptor);
NTSTATUS NewUac1Endpoint(Uac1Function* pFunction, BOOLEAN bCapture, UCHAR bInterfaceNumber, ULONG ulTerminal,
                         UsbStreamEndpoint** ppEndpoint);

// Builds one unit of class T (constructed with the function's unit count as provisional id, from
// `poolType`/`ulTag`), runs its InitFromDescriptor with the function as owner and registry, and
// adds it to the function's unit list. PASSIVE_LEVEL.
template <typename T>
NTSTATUS BuildUac1Unit(Uac1Function* pFunction, const UCHAR* pDescriptor, ULONG ulTag)
{
    auto* pUnit = new (NonPagedPoolNx, ulTag) T(nullptr, pFunction->GetUnitCount());
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

// The walks under the rules of a variant. PASSIVE_LEVEL.
NTSTATUS ParseAudioControlUac1With(const Uac1ParseRules& rules, Uac1Function* pFunction,
                                   PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);
NTSTATUS ParseAudioStreamingUac1With(const Uac1ParseRules& rules, Uac1Function* pFunction,
                                     PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                     PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);

// The AudioControl interface descriptor and the bytes from it to the end of the configuration.
// PASSIVE_LEVEL.
NTSTATUS ParseAudioControlUac1(Uac1Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);
// The configuration, its first AudioStreaming interface descriptor and the bytes from that
// interface to the end of the configuration. PASSIVE_LEVEL.
NTSTATUS ParseAudioStreamingUac1(Uac1Function* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                 PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);

// The source-resolution pass both classes' AudioControl parsers end with: each unit's source unit
// ids become the ids of those units' first entities (a source unit without entities keeps its
// unit id); a source naming no unit is STATUS_UNSUCCESSFUL. PASSIVE_LEVEL.
NTSTATUS ResolveUnitSources(UsbAudioFunction* pFunction);
