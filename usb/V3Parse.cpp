// The V3 parsers: the UAC1 walks with the V3 unit classes chosen by unit id and device, V3 render
// endpoints, then the jack node (on the jack-polling device) and the channel-swap node on every
// render endpoint.
#include "stream/Uac1CaptureEndpoint.h"
#include "stream/Uac1RenderEndpoint.h"
#include "topology/ChannelSwapNode.h"
#include "usb/Uac1Descriptors.h"
#include "usb/Uac1FunctionV3.h"
#include "usb/Uac1Parse.h"

namespace {

constexpr USHORT JACK_VENDOR = 0x1E7D;
constexpr USHORT JACK_PRODUCT = 0x3750;
constexpr USHORT LED_VENDOR = 0x28DA;
constexpr USHORT LED_PRODUCT = 0x268E;

NTSTATUS BuildV3Unit(Uac1Function* pFunction, PUCHAR pDescriptor)
{
    return BuildUac1UnitOfSubtype(pFunction, pDescriptor);
}

NTSTATUS NewV3Endpoint(Uac1Function* pFunction, BOOLEAN bCapture, UCHAR bInterfaceNumber, ULONG ulTerminal,
                       UsbStreamEndpoint** ppEndpoint)
{
    UsbStreamEndpoint* pEndpoint = nullptr;
    if (bCapture) {
        pEndpoint = new (NonPagedPoolNx, V3_FUNCTION_TAG) Uac1CaptureEndpoint(nullptr, bInterfaceNumber, ulTerminal);
    } else {
        pEndpoint = new (NonPagedPoolNx, V3_FUNCTION_TAG) Uac1RenderEndpoint(nullptr, bInterfaceNumber, ulTerminal);
    }
    if (pEndpoint == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    StreamEngine* pEngine = pEndpoint;
    pEngine->AddRef();
    IAudioHal* pHal = pFunction;
    NTSTATUS status = pEndpoint->Init(bCapture, pHal);
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
    return ParseAudioControlUac1With(V3_PARSE_RULES, pFunction, pInterface, ulBytes);
}

NTSTATUS ParseAudioStreamingV3(Uac1FunctionV3* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                               PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
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
