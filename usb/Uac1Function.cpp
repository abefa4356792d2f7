// The UAC1 function object: creation, capabilities, start and stop with the status thread, status
// dispatch, re-registration of renamed endpoints and power changes.
#include "usb/Uac1Function.h"

#include <cstring>

#include "adapter/AdapterExtension.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "usb/Uac1Parse.h"

namespace {

constexpr USHORT CAPTURE_MIC_VENDOR = 0x0F3B;
constexpr USHORT CAPTURE_MIC_PRODUCT = 0x0058;
constexpr ULONG CAPTURE_MIC_MASK_BIT = 0x00800000;
// Renamed endpoints take the smallest number no other endpoint carries, below this.
constexpr ULONG ENDPOINT_NUMBER_LIMIT = 100;

bool SameName(PCWSTR a, PCWSTR b)
{
    for (; *a != 0 && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

}  // namespace

NTSTATUS Uac1Function::Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
{
    if (ppFunction == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppFunction = nullptr;
    auto* pFunction = new (NonPagedPoolNx, UAC1_FUNCTION_TAG) Uac1Function(pOuterUnknown, idVendor, idProduct);
    if (pFunction == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUNKNOWN pUnknown = pFunction->GetNonDelegatingUnknown();
    pUnknown->AddRef();
    *ppFunction = pUnknown;
    return STATUS_SUCCESS;
}

Uac1Function::Uac1Function(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
    : UsbAudioFunction(pOuterUnknown, idVendor, idProduct, UAC1_FUNCTION_TAG)
{
}

Uac1Function::~Uac1Function() { Uac1Function::Stop(); }

NTSTATUS Uac1Function::Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                            PDEVICE_OBJECT pPhysicalDevice)
{
    if (!NT_SUCCESS(CreateUnitList())) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return AudioHal::Init(pResourceList, pFunctionalDevice, pLowerDevice, pPhysicalDevice);
}

NTSTATUS Uac1Function::ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    return ParseAudioControlUac1(this, pInterface, ulBytes);
}

NTSTATUS Uac1Function::ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                           PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    return ParseAudioStreamingUac1(this, pConfiguration, pInterface, ulBytes);
}

NTSTATUS Uac1Function::GetCapabilities(BOOLEAN bCapture, ULONG ulKind, AudioCapabilities* pCapabilities)
{
    if (pCapabilities == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    std::memset(pCapabilities, 0, sizeof(*pCapabilities));
    if (m_idVendor == CAPTURE_MIC_VENDOR && m_idProduct == CAPTURE_MIC_PRODUCT) {
        pCapabilities->ControlMask = m_Capabilities.ControlMask;
        if (bCapture == TRUE && ulKind == ENDPOINT_KIND_MICROPHONE) {
            pCapabilities->ControlMask |= CAPTURE_MIC_MASK_BIT;
        }
        pCapabilities->Flags = m_Capabilities.Flags;
    } else if (ulKind != ENDPOINT_KIND_SPDIF) {
        pCapabilities->ControlMask = m_Capabilities.ControlMask;
        pCapabilities->Value = m_Capabilities.Value;
        pCapabilities->Flags = m_Capabilities.Flags;
    }
    return STATUS_SUCCESS;
}

// ---- start and stop ----

NTSTATUS Uac1Function::Start()
{
    PVOID pRaw = nullptr;
    NTSTATUS status = QueryInterface(IID_IUsbDevice, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pUsb = static_cast<IUsbDevice*>(pRaw);
    // A thread that runs already keeps its pipe: a second one would read the same pipe.
    if (InterruptPipeIndex() == NO_INTERRUPT_PIPE) {
        status = StartStatusThread(pUsb);
    }
    pUsb->Release();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return AudioHal::Start();
}

NTSTATUS Uac1Function::StartStatusThread(IUsbDevice* pUsb)
{
    PUSBD_INTERFACE_INFORMATION pCopy = nullptr;
    ULONG ulHeld = 0;
    const NTSTATUS selected = SelectAudioControlInterface(pUsb, &pCopy, &ulHeld);
    if (pCopy == nullptr) {
        return selected;
    }
    UCHAR index = NO_INTERRUPT_PIPE;
    for (ULONG i = 0; i < ulHeld && i < NO_INTERRUPT_PIPE; ++i) {
        const USBD_PIPE_INFORMATION& pipe = pCopy->Pipes[i];
        if (USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress) && pipe.PipeType == UsbdPipeTypeInterrupt &&
            pipe.MaximumPacketSize == 2) {
            index = static_cast<UCHAR>(i);
            break;
        }
    }
    if (index == NO_INTERRUPT_PIPE) {
        ExFreePoolWithTag(pCopy, FUNCTION_URB_TAG);
        return STATUS_SUCCESS;
    }
    m_pInterruptInterface = pCopy;
    __atomic_store_n(&m_InterruptPipeIndex, index, __ATOMIC_SEQ_CST);

    HANDLE hThread = nullptr;
    const NTSTATUS status =
        PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, StatusThread, this);
    if (!NT_SUCCESS(status)) {
        // Without a thread there is nothing for Stop to wait for.
        __atomic_store_n(&m_InterruptPipeIndex, NO_INTERRUPT_PIPE, __ATOMIC_SEQ_CST);
        m_pInterruptInterface = nullptr;
        ExFreePoolWithTag(pCopy, FUNCTION_URB_TAG);
        return status;
    }
    PVOID pThread = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &pThread,
                                             nullptr))) {
        m_pStatusThread = static_cast<PETHREAD>(pThread);
        KeSetPriorityThread(m_pStatusThread, UAC1_STATUS_THREAD_PRIORITY);
    }
    ZwClose(hThread);
    return STATUS_SUCCESS;
}

NTSTATUS Uac1Function::Stop()
{
    const NTSTATUS status = AudioHal::Stop();
    if (InterruptPipeIndex() != NO_INTERRUPT_PIPE && NT_SUCCESS(status)) {
        EndStatusThread();
    }
    return STATUS_SUCCESS;
}

VOID Uac1Function::EndStatusThread()
{
    // The thread's last reference on the device may end the function on the thread itself: it
    // is leaving already and cannot wait for itself.
    const bool bOnThread = m_pStatusThread != nullptr && m_pStatusThread == PsGetCurrentThread();
    KeSetEvent(&m_StatusThreadStopEvent, IO_NO_INCREMENT, FALSE);
    if (!bOnThread) {
        KeWaitForSingleObject(&m_StatusThreadExitEvent, Executive, KernelMode, FALSE, nullptr);
    }
    if (m_pStatusThread != nullptr) {
        // The exit event comes just before the thread ends; the function must outlive it.
        if (!bOnThread) {
            KeWaitForSingleObject(m_pStatusThread, Executive, KernelMode, FALSE, nullptr);
        }
        ObDereferenceObject(m_pStatusThread);
        m_pStatusThread = nullptr;
    }
    if (m_pInterruptInterface != nullptr) {
        ExFreePoolWithTag(m_pInterruptInterface, FUNCTION_URB_TAG);
        m_pInterruptInterface = nullptr;
    }
    __atomic_store_n(&m_InterruptPipeIndex, NO_INTERRUPT_PIPE, __ATOMIC_SEQ_CST);
    KeClearEvent(&m_StatusThreadStopEvent);
    KeClearEvent(&m_StatusThreadExitEvent);
}

// ---- status dispatch ----

NTSTATUS Uac1Function::OnStatusChange(ULONG ulUnitId)
{
    UsbAudioUnit* pUnit = nullptr;
    NTSTATUS status = FindUnit(ulUnitId, &pUnit);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const LONG lType = pUnit->GetType();
    ULONG ulEntityId = 0;
    status = pUnit->HandleStatusChange(0, 0, &ulEntityId);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (lType == USB_AUDIO_AC_INPUT_TERMINAL || lType == USB_AUDIO_AC_OUTPUT_TERMINAL) {
        // A jack changed: every endpoint's wave subdevice follows its presence.
        m_EndpointLock.Lock();
        const ULONG ulCount = GetEndpointCount();
        for (ULONG i = 0; i < ulCount && NT_SUCCESS(status); ++i) {
            StreamEngine* pEndpoint = nullptr;
            status = GetEndpoint(i, &pEndpoint);
            if (NT_SUCCESS(status)) {
                status = pEndpoint->RegisterWave(m_pFunctionalDevice, nullptr, static_cast<IAudioHal*>(this));
            }
        }
        m_EndpointLock.Unlock();
        return status;
    }
    ULONG ulEntities = 0;
    pUnit->GetEntityCount(&ulEntities);
    for (ULONG i = 0; i < ulEntities; ++i) {
        TopologyNode* pEntity = nullptr;
        if (!NT_SUCCESS(pUnit->GetEntity(i, &pEntity)) || pEntity == nullptr) {
            continue;
        }
        if (NT_SUCCESS(pEntity->Refresh())) {
            NotifyEntityChange(pEntity->GetId());
        }
    }
    return STATUS_SUCCESS;
}

// ---- renamed endpoints ----

NTSTATUS UsbAudioFunction::FormatEndpointName(StreamEngine* pEndpoint, PWSTR pName)
{
    ULONG ulKind = pEndpoint->GetKind();
    if (ulKind >= ENDPOINT_KIND_COUNT) {
        ulKind = ENDPOINT_KIND_STREAM;
    }
    const BOOLEAN bCapture = pEndpoint->IsCapture();
    PCWSTR pFormat = bCapture ? u"%sIn%02d" : u"%sOut%02d";
    ULONG ulNumber = 0;
    if (AdapterExtension* pExtension = GetAdapterExtension(m_pFunctionalDevice)) {
        const UCHAR counter = bCapture ? pExtension->CaptureNameCounters[ulKind] : pExtension->RenderNameCounters[ulKind];
        ulNumber = counter > 0 ? counter - 1u : 0u;
    }
    // The number the start-up counter suggests, unless another endpoint carries that name: then
    // the smallest free one (two subdevices of one name cannot both be registered).
    const ULONG ulCount = GetEndpointCount();
    for (ULONG ulTry = 0; ulTry <= ENDPOINT_NUMBER_LIMIT; ++ulTry) {
        const NTSTATUS status =
            RtlStringCbPrintfW(pName, STREAM_ENGINE_MAX_NAME_BYTES, pFormat, EndpointKindPrefix[ulKind], ulNumber);
        if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) {
            return status;
        }
        bool bTaken = false;
        for (ULONG i = 0; i < ulCount && !bTaken; ++i) {
            StreamEngine* pOther = nullptr;
            WCHAR other[STREAM_ENGINE_MAX_NAME_BYTES / sizeof(WCHAR)] = {};
            if (NT_SUCCESS(GetEndpoint(i, &pOther)) && pOther != pEndpoint && NT_SUCCESS(pOther->GetName(other))) {
                bTaken = SameName(other, pName);
            }
        }
        if (!bTaken) {
            return STATUS_SUCCESS;
        }
        ulNumber = ulTry;
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS Uac1Function::ReRegisterEndpoints(ULONG ulEntityId)
{
    UNREFERENCED_PARAMETER(ulEntityId);
    const ULONG ulCount = GetEndpointCount();
    if (ulCount == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = STATUS_SUCCESS;
    m_EndpointLock.Lock();
    for (ULONG i = 0; i < ulCount; ++i) {
        StreamEngine* pEndpoint = nullptr;
        status = GetEndpoint(i, &pEndpoint);
        if (!NT_SUCCESS(status)) {
            break;
        }
        if (!HasOutputKindChanged(pEndpoint)) {
            continue;
        }
        auto* pName = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, CALLBACK_NAME_BUFFER_BYTES, TEMP_NAME_TAG));
        if (pName == nullptr) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        std::memset(pName, 0, CALLBACK_NAME_BUFFER_BYTES);
        status = pEndpoint->UnregisterWave(m_pFunctionalDevice, nullptr, static_cast<IAudioHal*>(this));
        if (NT_SUCCESS(status)) {
            status = FormatEndpointName(pEndpoint, pName);
        }
        if (NT_SUCCESS(status)) {
            status = pEndpoint->SetName(pName);
        }
        ExFreePoolWithTag(pName, TEMP_NAME_TAG);
        if (NT_SUCCESS(status)) {
            status = pEndpoint->RegisterWave(m_pFunctionalDevice, nullptr, static_cast<IAudioHal*>(this));
        }
        if (!NT_SUCCESS(status)) {
            break;
        }
    }
    m_EndpointLock.Unlock();
    return status;
}

// ---- power ----

VOID Uac1Function::PowerChangeState(POWER_STATE NewState)
{
    const DEVICE_POWER_STATE state = NewState.DeviceState;
    if (state == m_PowerState) {
        return;
    }
    if (state == PowerDeviceD0) {
        RestoreRegisters();
        // Every stored value goes back to the device, past a control it refuses (logged there).
        RestoreEntities(TRUE);
    } else if (state != PowerDeviceD1 && state != PowerDeviceD2 && state != PowerDeviceD3) {
        return;
    }
    m_PowerState = state;
    SetEndpointsPowerState(state);
    if (state == PowerDeviceD0) {
        Start();
    } else {
        Stop();
    }
}
