#include "usb/Uac1FunctionVariants.h"

#include <cstring>

#include "topology/FeatureUnit.h"
#include "topology/FixedRangeFeatureUnits.h"
#include "topology/MixerUnit.h"
#include "topology/SelectorUnit.h"
#include "topology/Terminals.h"
#include "topology/V6EffectFeatureUnit.h"
#include "stream/V6RenderEndpoint.h"
#include "topology/VariantTerminals.h"
#include "usb/UacDescriptors.h"
#include "usb/Uac1Parse.h"

namespace {

constexpr ULONG V4_CONTROL_MASK = 0x3FE02F;
constexpr ULONG V4_CAPABILITY_VALUE = 12;
constexpr USHORT V5_HEADSET_VENDOR = 0x1B1C;
constexpr USHORT V5_HEADSET_PRODUCT = 0x0A06;
constexpr ULONG V5_HEADSET_MASK = 0x24;
constexpr ULONG V5_CONTROL_MASK = 0x0F;
// The V5 headset's speaker terminal 6 is its headphones.
constexpr UCHAR V5_REWRITTEN_TERMINAL_ID = 6;

USHORT Le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

NTSTATUS BuildV4Unit(Uac1Function* pFunction, PUCHAR pDescriptor)
{
    PAGED_CODE();
    switch (pDescriptor[2]) {
    case USB_AUDIO_AC_INPUT_TERMINAL: return BuildUac1Unit<V4InputTerminal>(pFunction, pDescriptor, UAC1_V4_TAG);
    case USB_AUDIO_AC_OUTPUT_TERMINAL: return BuildUac1Unit<V4OutputTerminal>(pFunction, pDescriptor, UAC1_V4_TAG);
    case USB_AUDIO_AC_MIXER_UNIT: return BuildUac1Unit<MixerUnit>(pFunction, pDescriptor, UAC1_V4_TAG);
    case USB_AUDIO_AC_SELECTOR_UNIT: return BuildUac1Unit<SelectorUnit>(pFunction, pDescriptor, UAC1_V4_TAG);
    case USB_AUDIO_AC_FEATURE_UNIT:
        switch (pDescriptor[3]) {
        case 9: return BuildUac1Unit<V4FeatureUnit9>(pFunction, pDescriptor, UAC1_V4_TAG);
        case 10:
        case 11:
        case 12: return BuildUac1Unit<V4FeatureUnit10>(pFunction, pDescriptor, UAC1_V4_TAG);
        case 13:
        case 14: return BuildUac1Unit<V4FeatureUnit13>(pFunction, pDescriptor, UAC1_V4_TAG);
        default: return BuildUac1Unit<FeatureUnit>(pFunction, pDescriptor, UAC1_V4_TAG);
        }
    default: return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS BuildV5Unit(Uac1Function* pFunction, PUCHAR pDescriptor)
{
    PAGED_CODE();
    switch (pDescriptor[2]) {
    case USB_AUDIO_AC_INPUT_TERMINAL: return BuildUac1Unit<V5InputTerminal>(pFunction, pDescriptor, UAC1_V5_TAG);
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
        if (pFunction->VendorId() == V5_HEADSET_VENDOR && pDescriptor[3] == V5_REWRITTEN_TERMINAL_ID &&
            Le16(pDescriptor + 4) == USB_AUDIO_TERMINAL_SPEAKER) {
            pDescriptor[4] = static_cast<UCHAR>(USB_AUDIO_TERMINAL_HEADPHONES);
            pDescriptor[5] = static_cast<UCHAR>(USB_AUDIO_TERMINAL_HEADPHONES >> 8);
        }
        return BuildUac1Unit<V5OutputTerminal>(pFunction, pDescriptor, UAC1_V5_TAG);
    case USB_AUDIO_AC_MIXER_UNIT: return BuildUac1Unit<MixerUnit>(pFunction, pDescriptor, UAC1_V5_TAG);
    case USB_AUDIO_AC_SELECTOR_UNIT: return BuildUac1Unit<SelectorUnit>(pFunction, pDescriptor, UAC1_V5_TAG);
    case USB_AUDIO_AC_FEATURE_UNIT:
        switch (pDescriptor[3]) {
        case 9: return BuildUac1Unit<V5FeatureUnit9>(pFunction, pDescriptor, UAC1_V5_TAG);
        case 10: return BuildUac1Unit<V5FeatureUnit10>(pFunction, pDescriptor, UAC1_V5_TAG);
        case 13: return BuildUac1Unit<V5FeatureUnit13>(pFunction, pDescriptor, UAC1_V5_TAG);
        default: return BuildUac1Unit<FeatureUnit>(pFunction, pDescriptor, UAC1_V5_TAG);
        }
    default: return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS BuildV6Unit(Uac1Function* pFunction, PUCHAR pDescriptor)
{
    PAGED_CODE();
    switch (pDescriptor[2]) {
    case USB_AUDIO_AC_INPUT_TERMINAL: return BuildUac1Unit<InputTerminal>(pFunction, pDescriptor, UAC1_FUNCTION_TAG);
    case USB_AUDIO_AC_OUTPUT_TERMINAL: return BuildUac1Unit<OutputTerminal>(pFunction, pDescriptor, UAC1_FUNCTION_TAG);
    case USB_AUDIO_AC_MIXER_UNIT: return BuildUac1Unit<MixerUnit>(pFunction, pDescriptor, UAC1_FUNCTION_TAG);
    case USB_AUDIO_AC_SELECTOR_UNIT: return BuildUac1Unit<SelectorUnit>(pFunction, pDescriptor, UAC1_FUNCTION_TAG);
    case USB_AUDIO_AC_FEATURE_UNIT:
        return BuildUac1Unit<V6EffectFeatureUnit>(pFunction, pDescriptor, UAC1_FUNCTION_TAG);
    default: return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS NewV6Endpoint(Uac1Function* pFunction, BOOLEAN bCapture, UCHAR bInterfaceNumber, ULONG ulTerminal,
                       UsbStreamEndpoint** ppEndpoint)
{
    PAGED_CODE();
    if (bCapture) {
        return NewUac1Endpoint(pFunction, bCapture, bInterfaceNumber, ulTerminal, ppEndpoint);
    }
    auto* pEndpoint = new (NonPagedPoolNx, UAC1_FUNCTION_TAG) V6RenderEndpoint(nullptr, bInterfaceNumber, ulTerminal);
    if (pEndpoint == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    StreamEngine* pEngine = pEndpoint;
    pEngine->AddRef();
    IAudioHal* pHal = pFunction;
    const NTSTATUS status = pEndpoint->Init(FALSE, pHal);
    if (!NT_SUCCESS(status)) {
        pEngine->Release();
        return status;
    }
    *ppEndpoint = pEndpoint;
    return STATUS_SUCCESS;
}

// The render formats of the effects variant: 8 channels of the interface's subframe size.
constexpr WORD V6_RENDER_CHANNELS = 8;
constexpr DWORD V6_RENDER_CHANNEL_MASK = 0x63F;

// No device fix-ups of the class function: V5 has its own terminal rule.
constexpr Uac1ParseRules V4_PARSE_RULES = {BuildV4Unit, NewUac1Endpoint, FALSE};
constexpr Uac1ParseRules V5_PARSE_RULES = {BuildV5Unit, NewUac1Endpoint, FALSE};
constexpr Uac1ParseRules V6_PARSE_RULES = {BuildV6Unit, NewV6Endpoint, FALSE};

}  // namespace

// ---- shared ----

NTSTATUS Uac1FunctionChipVariant::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    // Not IUsbAudioFunction: these functions are reached through IAudioHal alone.
    return AudioHal::NonDelegatingQueryInterface(iid, ppvObject);
}

NTSTATUS Uac1FunctionChipVariant::Configure()
{
    PAGED_CODE();
    PVOID pRaw = nullptr;
    NTSTATUS status = QueryInterface(IID_IUsbDevice, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pUsb = static_cast<IUsbDevice*>(pRaw);
    std::memset(&m_Capabilities, 0, sizeof(m_Capabilities));
    SetStoredCapabilities();
    status = ParseAudioControlForFunction(this);
    if (NT_SUCCESS(status)) {
        status = ParseAudioStreamingForFunction(this);
    }
    if (NT_SUCCESS(status)) {
        status = RestoreRegisters();
    }
    pUsb->Release();
    return status;
}

// ---- V4 ----

NTSTATUS Uac1FunctionV4::Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
{
    PAGED_CODE();
    return CreateFunction<Uac1FunctionV4>(ppFunction, pOuterUnknown, idVendor, idProduct, UAC1_V4_TAG);
}

VOID Uac1FunctionV4::SetStoredCapabilities()
{
    m_Capabilities.ControlMask = V4_CONTROL_MASK;
    m_Capabilities.Value = V4_CAPABILITY_VALUE;
}

NTSTATUS Uac1FunctionV4::ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioControlV4(this, pInterface, ulBytes);
}

NTSTATUS ParseAudioControlV4(Uac1Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioControlUac1With(V4_PARSE_RULES, pFunction, pInterface, ulBytes);
}

// ---- V5 ----

NTSTATUS Uac1FunctionV5::Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
{
    PAGED_CODE();
    return CreateFunction<Uac1FunctionV5>(ppFunction, pOuterUnknown, idVendor, idProduct, UAC1_V5_TAG);
}

VOID Uac1FunctionV5::SetStoredCapabilities()
{
    m_Capabilities.ControlMask = m_idVendor == V5_HEADSET_VENDOR && m_idProduct == V5_HEADSET_PRODUCT
                                     ? V5_HEADSET_MASK
                                     : V5_CONTROL_MASK;
}

NTSTATUS Uac1FunctionV5::ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioControlV5(this, pInterface, ulBytes);
}

NTSTATUS ParseAudioControlV5(Uac1Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioControlUac1With(V5_PARSE_RULES, pFunction, pInterface, ulBytes);
}

// ---- V6 ----

NTSTATUS Uac1FunctionV6::Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
{
    PAGED_CODE();
    return CreateFunction<Uac1FunctionV6>(ppFunction, pOuterUnknown, idVendor, idProduct, UAC1_V6_TAG);
}

NTSTATUS Uac1FunctionV6::ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioControlV6(this, pInterface, ulBytes);
}

NTSTATUS Uac1FunctionV6::ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                             PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioStreamingEffects(this, pConfiguration, pInterface, ulBytes);
}

VOID Uac1FunctionV6::ShapeFormatTemplate(UsbStreamEndpoint* pEndpoint, WaveFormatRecord* pRecord)
{
    if (pEndpoint == nullptr || pEndpoint->IsCapture()) {
        return;
    }
    const WORD subframe = static_cast<WORD>(pRecord->Format.wBitsPerSample / 8);
    pRecord->Format.nChannels = V6_RENDER_CHANNELS;
    pRecord->Format.nBlockAlign = static_cast<WORD>(V6_RENDER_CHANNELS * subframe);
    pRecord->dwChannelMask = V6_RENDER_CHANNEL_MASK;
}

NTSTATUS ParseAudioControlV6(Uac1Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioControlUac1With(V6_PARSE_RULES, pFunction, pInterface, ulBytes);
}

NTSTATUS ParseAudioStreamingEffects(Uac1Function* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                    PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioStreamingUac1With(V6_PARSE_RULES, pFunction, pConfiguration, pInterface, ulBytes);
}
