// The V3 parsers: the UAC1 walks with the V3 unit classes chosen by unit id and device, V3 render
// endpoints, then the jack node (on the jack-polling device) and the channel-swap node on every
// render endpoint.
#include "stream/V3RenderEndpoint.h"
#include "topology/ChannelSwapNode.h"
#include "topology/MixerUnit.h"
#include "topology/V3FeatureUnits.h"
#include "topology/V3Terminals.h"
#include "usb/UacDescriptors.h"
#include "usb/Uac1FunctionV3.h"
#include "usb/Uac1Parse.h"

namespace {

constexpr USHORT JACK_VENDOR = 0x1E7D;
constexpr USHORT JACK_PRODUCT = 0x3750;
constexpr USHORT LED_VENDOR = 0x28DA;
constexpr USHORT LED_PRODUCT = 0x268E;
constexpr USHORT SOFT_MUTE_VENDOR = 0x0F3B;
constexpr USHORT SOFT_MUTE_PRODUCT = 0x0053;
constexpr UCHAR V3_SWITCHED_TERMINAL = 3;

// One unit of class T, initialised by `init`(unit, function as IAudioHal), added to the function.
template <typename T, typename Init>
NTSTATUS BuildWith(Uac1FunctionV3* pFunction, const UCHAR*, Init init)
{
    auto* pUnit = new (NonPagedPoolNx, V3_FUNCTION_TAG) T(nullptr, pFunction->GetUnitCount());
    if (pUnit == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbAudioUnit* pBase = pUnit;
    pBase->AddRef();
    IAudioHal* pHal = pFunction;
    NTSTATUS status = init(pUnit, pHal);
    if (NT_SUCCESS(status)) {
        status = pFunction->AddUnit(pBase);
    }
    pBase->Release();
    return status;
}

template <typename T>
NTSTATUS BuildStandard(Uac1FunctionV3* pFunction, const UCHAR* pDescriptor)
{
    return BuildWith<T>(pFunction, pDescriptor,
                        [&](T* pUnit, IAudioHal* pHal) { return pUnit->InitFromDescriptor(pDescriptor, pHal, pHal); });
}

template <typename T>
NTSTATUS BuildWithOwner(Uac1FunctionV3* pFunction, const UCHAR* pDescriptor)
{
    return BuildWith<T>(pFunction, pDescriptor, [&](T* pUnit, IAudioHal* pHal) {
        return pUnit->InitFromDescriptorWithOwner(pDescriptor, pHal, pHal);
    });
}

template <typename T>
NTSTATUS BuildWithChip(Uac1FunctionV3* pFunction, const UCHAR* pDescriptor)
{
    return BuildWith<T>(pFunction, pDescriptor, [&](T* pUnit, IAudioHal* pHal) {
        return pUnit->InitFromDescriptor(pDescriptor, pHal, pHal, pFunction);
    });
}

NTSTATUS BuildFeatureUnit(Uac1FunctionV3* f, const UCHAR* d)
{
    PAGED_CODE();
    const UCHAR id = d[3];
    const bool jackDevice = f->VendorId() == JACK_VENDOR && f->ProductId() == JACK_PRODUCT;
    switch (id) {
    case 2:
    case 8:
    case 15:
        if (f->VendorId() == SOFT_MUTE_VENDOR && f->ProductId() == SOFT_MUTE_PRODUCT) {
            return BuildWithOwner<V3SoftMuteVolumeFeatureUnit>(f, d);
        }
        if (f->VendorId() == LED_VENDOR && f->ProductId() == LED_PRODUCT) {
            return BuildWithChip<V3LedFeatureUnit>(f, d);
        }
        return BuildStandard<V3FineVolumeFeatureUnit>(f, d);
    case 9: return BuildStandard<V3CoarseVolumeFeatureUnit>(f, d);
    case 11:
        return jackDevice ? BuildStandard<V3DirectChannelFeatureUnit>(f, d)
                          : BuildStandard<V3CoarseVolumeFeatureUnit>(f, d);
    case 13: return BuildWithChip<V3MuteLedFeatureUnit>(f, d);
    case 16: return BuildWithOwner<V3SoftMuteFeatureUnit>(f, d);
    default: return BuildStandard<FeatureUnit>(f, d);
    }
}

NTSTATUS BuildV3Unit(Uac1Function* pFunction, PUCHAR pDescriptor)
{
    PAGED_CODE();
    auto* f = static_cast<Uac1FunctionV3*>(pFunction);
    switch (pDescriptor[2]) {
    case USB_AUDIO_AC_INPUT_TERMINAL: return BuildStandard<V3InputTerminal>(f, pDescriptor);
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
        if (pDescriptor[3] != V3_SWITCHED_TERMINAL) {
            return BuildStandard<OutputTerminal>(f, pDescriptor);
        }
        return BuildWith<V3OutputTerminal>(f, pDescriptor, [&](V3OutputTerminal* pUnit, IAudioHal* pHal) {
            return pUnit->InitFromDescriptor(pDescriptor, pHal, pHal, f, f->Switch(V3_SUPPORT_SPDIF_OUT) != 0,
                                             f->Switch(V3_SUPPORT_HP_OUT) != 0, f->Switch(V3_DISABLE_8CH_OUT) == 0);
        });
    case USB_AUDIO_AC_MIXER_UNIT: return BuildStandard<MixerUnit>(f, pDescriptor);
    case USB_AUDIO_AC_SELECTOR_UNIT: return BuildStandard<V3SelectorUnit>(f, pDescriptor);
    case USB_AUDIO_AC_FEATURE_UNIT: return BuildFeatureUnit(f, pDescriptor);
    default: return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS NewV3Endpoint(Uac1Function* pFunction, BOOLEAN bCapture, UCHAR bInterfaceNumber, ULONG ulTerminal,
                       UsbStreamEndpoint** ppEndpoint)
{
    PAGED_CODE();
    if (bCapture) {
        return NewUac1Endpoint(pFunction, bCapture, bInterfaceNumber, ulTerminal, ppEndpoint);
    }
    auto* pEndpoint = new (NonPagedPoolNx, V3_FUNCTION_TAG) V3RenderEndpoint(nullptr, bInterfaceNumber, ulTerminal);
    if (pEndpoint == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    StreamEngine* pEngine = pEndpoint;
    pEngine->AddRef();
    IAudioHal* pHal = pFunction;
    NTSTATUS status = pEndpoint->Init(bCapture, pHal, static_cast<Uac1FunctionV3*>(pFunction));
    if (!NT_SUCCESS(status)) {
        pEngine->Release();
        return status;
    }
    *ppEndpoint = pEndpoint;
    return STATUS_SUCCESS;
}

const Uac1ParseRules V3_PARSE_RULES = {BuildV3Unit, NewV3Endpoint, FALSE};

// Places a node of class T on the render endpoint; the endpoint's list keeps its reference.
template <typename T>
NTSTATUS PlaceNode(StreamEngine* pEndpoint, T** ppPlaced)
{
    *ppPlaced = nullptr;
    auto* pNode = new (NonPagedPoolNx, V3_FUNCTION_TAG) T(nullptr);
    if (pNode == nullptr) {
        return STATUS_SUCCESS;  // the endpoint goes without this node
    }
    IProcessingNode* pInterface = pNode;
    pInterface->AddRef();
    const NTSTATUS status = pEndpoint->AddNode(pInterface);
    if (NT_SUCCESS(status)) {
        *ppPlaced = pNode;
    }
    pInterface->Release();
    return status;
}

}  // namespace

NTSTATUS ParseAudioControlV3(Uac1FunctionV3* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioControlUac1With(V3_PARSE_RULES, pFunction, pInterface, ulBytes);
}

NTSTATUS ParseAudioStreamingV3(Uac1FunctionV3* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                               PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    NTSTATUS result = ParseAudioStreamingUac1With(V3_PARSE_RULES, pFunction, pConfiguration, pInterface, ulBytes);
    if (!NT_SUCCESS(result)) {
        return result;
    }
    const ULONG ulCount = pFunction->GetEndpointCount();
    if (pFunction->VendorId() == JACK_VENDOR && pFunction->ProductId() == JACK_PRODUCT) {
        for (ULONG i = 0; i < ulCount; ++i) {
            StreamEngine* pEndpoint = nullptr;
            if (!NT_SUCCESS(pFunction->GetEndpoint(i, &pEndpoint)) || pEndpoint->IsCapture()) {
                continue;
            }
            JackMuteNode* pNode = nullptr;
            result = PlaceNode(pEndpoint, &pNode);
            if (NT_SUCCESS(result) && pNode != nullptr) {
                pNode->Init();
                pFunction->SetJackNode(pNode);
                result = pEndpoint->AllocateProcessingBuffers();
            }
            if (!NT_SUCCESS(result)) {
                return result;
            }
        }
    }
    if (pFunction->VendorId() != LED_VENDOR && pFunction->ProductId() != LED_PRODUCT &&
        pFunction->Switch(V3_DISABLE_8CH_OUT) == 0) {
        for (ULONG i = 0; i < ulCount; ++i) {
            StreamEngine* pEndpoint = nullptr;
            if (!NT_SUCCESS(pFunction->GetEndpoint(i, &pEndpoint)) || pEndpoint->IsCapture()) {
                continue;
            }
            ChannelSwapNode* pNode = nullptr;
            result = PlaceNode(pEndpoint, &pNode);
            if (NT_SUCCESS(result)) {
                result = pEndpoint->AllocateProcessingBuffers();
            }
            if (!NT_SUCCESS(result)) {
                return result;
            }
        }
    }
    return result;
}
