#include "usb/UsbAudioFunction.h"

#include <cstring>

#include "platform/nt/Callback.h"
#include "platform/nt/Pool.h"

UsbAudioFunction::UsbAudioFunction(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct, ULONG ulUnitListTag,
                                   UacVersion version)
    : AudioHal(pOuterUnknown),
      m_AudioControlInterface(0),
      m_pInterruptInterface(nullptr),
      m_InterruptPipeIndex(NO_INTERRUPT_PIPE),
      m_BulkPipeIndex(NO_INTERRUPT_PIPE),
      m_pStatusThread(nullptr),
      m_idVendor(idVendor),
      m_idProduct(idProduct),
      m_Quirks(LookupDeviceQuirks(idVendor, idProduct)),
      m_pUnits(nullptr),
      m_ulUnitListTag(ulUnitListTag),
      m_Version(version)
{
    KeInitializeEvent(&m_StatusThreadStopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_StatusThreadExitEvent, NotificationEvent, FALSE);
}

UsbAudioFunction::~UsbAudioFunction()
{
    PAGED_CODE();
    if (m_pInterruptInterface != nullptr) {
        ExFreePoolWithTag(m_pInterruptInterface, FUNCTION_URB_TAG);
        m_pInterruptInterface = nullptr;
    }
    ReleaseUnits();
    if (m_pUnits != nullptr) {
        ExFreePoolWithTag(m_pUnits, m_ulUnitListTag);
        m_pUnits = nullptr;
    }
}

NTSTATUS UsbAudioFunction::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject != nullptr && IsEqualGUID(iid, IID_IUsbAudioFunction)) {
        return ReturnInterface(static_cast<IUsbAudioFunction*>(this), ppvObject);
    }
    return AudioHal::NonDelegatingQueryInterface(iid, ppvObject);
}

NTSTATUS UsbAudioFunction::GetCallbackObject(PVOID* ppCallbackObject)
{
    if (ppCallbackObject == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    *ppCallbackObject = m_pCallbackObject;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioFunction::GetEndpointCapabilities(ULONG ulIndex, AudioCapabilities* pCapabilities)
{
    BOOLEAN bCapture = FALSE;
    ULONG ulKind = ENDPOINT_KIND_STREAM;
    const ULONG ulCount = GetEndpointCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        StreamEngine* pEndpoint = nullptr;
        if (!NT_SUCCESS(GetEndpoint(i, &pEndpoint))) {
            break;
        }
        bCapture = pEndpoint->IsCapture();
        ulKind = pEndpoint->GetKind();
        if (i == ulIndex) {
            break;
        }
    }
    const NTSTATUS status = GetCapabilities(bCapture, ulKind, pCapabilities);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS UsbAudioFunction::CreateUnitList()
{
    if (m_pUnits != nullptr) {
        return STATUS_SUCCESS;
    }
    auto* pList = static_cast<ObjectList*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ObjectList), m_ulUnitListTag));
    if (pList == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_pUnits = pList->Init();
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioFunction::InitUnitsAndHal(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice,
                                           PDEVICE_OBJECT pLowerDevice, PDEVICE_OBJECT pPhysicalDevice)
{
    PAGED_CODE();
    if (!NT_SUCCESS(CreateUnitList())) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return AudioHal::Init(pResourceList, pFunctionalDevice, pLowerDevice, pPhysicalDevice);
}

NTSTATUS UsbAudioFunction::AddUnit(UsbAudioUnit* pUnit)
{
    if (pUnit == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pUnits == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    pUnit->AddRef();
    if (m_pUnits->Prepend(pUnit) == nullptr) {
        pUnit->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioFunction::FindUnit(ULONG ulId, UsbAudioUnit** ppUnit)
{
    if (ppUnit == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppUnit = nullptr;
    if (m_pUnits == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    // Newest first: the last match is the unit built first.
    for (UsbAudioUnit* pUnit : m_pUnits->Items<UsbAudioUnit>()) {
        if (pUnit->GetId() == ulId) {
            *ppUnit = pUnit;
        }
    }
    return *ppUnit != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS UsbAudioFunction::GetUnit(ULONG ulIndex, UsbAudioUnit** ppUnit)
{
    if (ppUnit == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppUnit = nullptr;
    if (m_pUnits == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    *ppUnit = m_pUnits->GetAt<UsbAudioUnit>(ulIndex);
    return *ppUnit != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

VOID UsbAudioFunction::ReleaseUnits()
{
    PAGED_CODE();
    if (m_pUnits == nullptr) {
        return;
    }
    while (auto* pUnit = m_pUnits->PopHead<UsbAudioUnit>()) {
        pUnit->Release();
    }
}

BOOLEAN UsbAudioFunction::HasOutputKindChanged(StreamEngine* pEndpoint)
{
    if (pEndpoint == nullptr) {
        return FALSE;
    }
    const ULONG ulCount = pEndpoint->GetEntityCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        TopologyNode* pEntity = nullptr;
        if (!NT_SUCCESS(pEndpoint->GetEntity(i, &pEntity)) || pEntity == nullptr) {
            return FALSE;
        }
        if (pEntity->GetType() != ENTITY_MULTI_OUTPUT_TERMINAL) {
            continue;
        }
        PVOID pRaw = nullptr;
        if (!NT_SUCCESS(pEntity->QueryInterface(IID_IMultiOutputTerminal, &pRaw))) {
            return FALSE;
        }
        auto* pTerminal = static_cast<IMultiOutputTerminal*>(pRaw);
        const BOOLEAN bChanged = pTerminal->GetChangedFlag() != 0 ? TRUE : FALSE;
        if (bChanged) {
            pTerminal->ClearChangedFlag();
        }
        pTerminal->Release();
        return bChanged;
    }
    return FALSE;
}

VOID UsbAudioFunction::NotifyEntityChange(ULONG ulEntityId)
{
    if (m_pCallbackObject == nullptr) {
        return;
    }
    EntityChangeMessage message;
    message.Field1 = 1;
    message.Field2 = 1;
    message.EntityId = ulEntityId;
    message.Reserved = nullptr;
    ExNotifyCallback(m_pCallbackObject, &message, nullptr);
}

namespace {

// The function's first interface of the audio class with the subclass; its IUsbDevice's status
// when the configuration holds none.
NTSTATUS FindAudioInterface(UsbAudioFunction* pFunction, UCHAR subclass, IUsbDevice** ppUsb,
                            PUSB_CONFIGURATION_DESCRIPTOR* ppConfiguration, PUSB_INTERFACE_DESCRIPTOR* ppInterface)
{
    *ppUsb = nullptr;
    *ppConfiguration = nullptr;
    *ppInterface = nullptr;
    if (pFunction == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID pRaw = nullptr;
    const NTSTATUS status = pFunction->QueryInterface(IID_IUsbDevice, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pUsb = static_cast<IUsbDevice*>(pRaw);
    PUSB_CONFIGURATION_DESCRIPTOR pConfiguration = pUsb->GetConfigurationDescriptor();
    if (pConfiguration == nullptr) {
        pUsb->Release();
        return STATUS_UNSUCCESSFUL;
    }
    *ppUsb = pUsb;
    *ppConfiguration = pConfiguration;
    *ppInterface = USBD_ParseConfigurationDescriptorEx(pConfiguration, pConfiguration, -1, -1, USB_DEVICE_CLASS_AUDIO,
                                                      subclass, -1);
    return status;
}

ULONG BytesToEnd(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration, PUSB_INTERFACE_DESCRIPTOR pInterface)
{
    return static_cast<ULONG>(reinterpret_cast<PUCHAR>(pConfiguration) + pConfiguration->wTotalLength -
                              reinterpret_cast<PUCHAR>(pInterface));
}

}  // namespace

NTSTATUS ParseAudioControlForFunction(UsbAudioFunction* pFunction)
{
    PAGED_CODE();
    IUsbDevice* pUsb = nullptr;
    PUSB_CONFIGURATION_DESCRIPTOR pConfiguration = nullptr;
    PUSB_INTERFACE_DESCRIPTOR pInterface = nullptr;
    NTSTATUS status = FindAudioInterface(pFunction, USB_AUDIO_SUBCLASS_AUDIOCONTROL, &pUsb, &pConfiguration,
                                         &pInterface);
    if (pInterface != nullptr) {
        pFunction->SetAudioControlInterfaceNumber(pInterface->bInterfaceNumber);
        status = pFunction->ParseAudioControl(pInterface, BytesToEnd(pConfiguration, pInterface));
    }
    if (pUsb != nullptr) {
        pUsb->Release();
    }
    return status;
}

NTSTATUS ParseAudioStreamingForFunction(UsbAudioFunction* pFunction)
{
    PAGED_CODE();
    IUsbDevice* pUsb = nullptr;
    PUSB_CONFIGURATION_DESCRIPTOR pConfiguration = nullptr;
    PUSB_INTERFACE_DESCRIPTOR pInterface = nullptr;
    NTSTATUS status = FindAudioInterface(pFunction, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, &pUsb, &pConfiguration,
                                         &pInterface);
    if (pInterface != nullptr) {
        status = pFunction->ParseAudioStreaming(pConfiguration, pInterface, BytesToEnd(pConfiguration, pInterface));
    }
    if (pUsb != nullptr) {
        pUsb->Release();
    }
    return status;
}

NTSTATUS UsbAudioFunction::SelectAudioControlInterface(IUsbDevice* pUsb, PUSBD_INTERFACE_INFORMATION* ppCopy,
                                                       PULONG pulHeld)
{
    PAGED_CODE();
    *ppCopy = nullptr;
    *pulHeld = 0;
    PUSB_CONFIGURATION_DESCRIPTOR pConfiguration = pUsb->GetConfigurationDescriptor();
    if (pConfiguration == nullptr) {
        return STATUS_SUCCESS;
    }
    PUSB_INTERFACE_DESCRIPTOR pInterface =
        USBD_ParseConfigurationDescriptorEx(pConfiguration, pConfiguration, m_AudioControlInterface, 0,
                                            USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, -1);
    if (pInterface == nullptr || pInterface->bNumEndpoints == 0) {
        return STATUS_SUCCESS;
    }
    const ULONG ulPipes = pInterface->bNumEndpoints;
    const ULONG ulUrbBytes = GET_SELECT_INTERFACE_REQUEST_SIZE(ulPipes);
    auto* pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, ulUrbBytes, FUNCTION_URB_TAG));
    if (pUrb == nullptr) {
        return STATUS_SUCCESS;
    }
    std::memset(pUrb, 0, ulUrbBytes);
    pUrb->UrbHeader.Length = static_cast<USHORT>(ulUrbBytes);
    pUrb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    auto& select = pUrb->UrbSelectInterface;
    select.ConfigurationHandle = pUsb->GetConfigurationHandle();
    const ULONG ulRoom = ulUrbBytes - offsetof(_URB_SELECT_INTERFACE, Interface);
    select.Interface.Length = static_cast<USHORT>(ulRoom);
    select.Interface.InterfaceNumber = m_AudioControlInterface;
    select.Interface.AlternateSetting = 0;
    for (ULONG i = 0; i < ulPipes; ++i) {
        select.Interface.Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    NTSTATUS status = pUsb->SubmitUrbSync(pUrb);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(pUrb, FUNCTION_URB_TAG);
        return status;
    }
    // The copy holds what the bus described, within the room the URB gave it.
    ULONG ulLength = select.Interface.Length;
    if (ulLength > ulRoom) {
        ulLength = ulRoom;
    }
    if (ulLength < USBD_INTERFACE_INFORMATION_HEADER_SIZE) {
        ExFreePoolWithTag(pUrb, FUNCTION_URB_TAG);
        return STATUS_SUCCESS;
    }
    auto* pCopy = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPoolNx, ulLength, FUNCTION_URB_TAG));
    if (pCopy == nullptr) {
        ExFreePoolWithTag(pUrb, FUNCTION_URB_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(pCopy, &select.Interface, ulLength);
    ExFreePoolWithTag(pUrb, FUNCTION_URB_TAG);
    pCopy->Length = static_cast<USHORT>(ulLength);

    ULONG ulHeld = (ulLength - USBD_INTERFACE_INFORMATION_HEADER_SIZE) / sizeof(USBD_PIPE_INFORMATION);
    if (pCopy->NumberOfPipes < ulHeld) {
        ulHeld = pCopy->NumberOfPipes;
    }
    *ppCopy = pCopy;
    *pulHeld = ulHeld;
    return STATUS_SUCCESS;
}

VOID UsbAudioFunction::SetEndpointsPowerState(DEVICE_POWER_STATE state)
{
    PAGED_CODE();
    m_EndpointLock.Lock();
    const ULONG ulCount = GetEndpointCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        StreamEngine* pEndpoint = nullptr;
        if (!NT_SUCCESS(GetEndpoint(i, &pEndpoint)) || !NT_SUCCESS(pEndpoint->SetPowerState(state))) {
            break;
        }
        if (state == PowerDeviceD0 &&
            !NT_SUCCESS(pEndpoint->RegisterWave(m_pFunctionalDevice, nullptr, static_cast<IAudioHal*>(this)))) {
            break;
        }
    }
    m_EndpointLock.Unlock();
}
