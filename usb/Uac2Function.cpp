// The UAC2 function object: creation, capabilities, start and stop of the status thread, status
// dispatch, re-registration of renamed endpoints and power changes.
#include "usb/Uac2Function.h"

#include <cstring>

#include "adapter/SettingsStore.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "usb/Uac2Parse.h"

namespace {

// The device whose capability rows are fixed by its identity, and the one whose capture
// endpoints are not ASIO-capable.
constexpr USHORT FIXED_CAPS_VENDOR = 0x0B05;
constexpr USHORT FIXED_CAPS_PRODUCT = 0x17B1;
constexpr USHORT PLAIN_CAPTURE_PRODUCT = 0x180F;
constexpr ULONG FIXED_HEADPHONE_MASK = 0x603F;
constexpr ULONG FIXED_HEADPHONE_FLAGS = 3;
constexpr ULONG FIXED_MIC_MASK = 0x29000;
constexpr ULONG CAPTURE_MASK = 0x28000;
constexpr ULONG RENDER_MASK = 0x3FE0FF;
constexpr ULONG CAPTURE_FLAGS = 18;
constexpr ULONG PLAIN_CAPTURE_FLAGS = 16;

constexpr UCHAR INTERRUPT_PACKET_SIZE = static_cast<UCHAR>(UAC2_STATUS_MESSAGE_BYTES);

// Selector of a terminal's Connectors control.
constexpr ULONG CONNECTOR_CONTROL = 0x02;
// No entity named by the unit's handler.
constexpr ULONG NO_ENTITY = 0xFFFFFFFF;

}  // namespace

NTSTATUS Uac2Function::Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
{
    if (ppFunction == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppFunction = nullptr;
    auto* pFunction = new (NonPagedPoolNx, UAC2_FUNCTION_TAG) Uac2Function(pOuterUnknown, idVendor, idProduct);
    if (pFunction == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUNKNOWN pUnknown = pFunction->GetNonDelegatingUnknown();
    pUnknown->AddRef();
    *ppFunction = pUnknown;
    return STATUS_SUCCESS;
}

Uac2Function::Uac2Function(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
    : UsbAudioFunction(pOuterUnknown, idVendor, idProduct, UAC2_FUNCTION_TAG), m_BulkPipeIndex(NO_INTERRUPT_PIPE)
{
}

Uac2Function::~Uac2Function()
{
    if (InterruptPipeIndex() != NO_INTERRUPT_PIPE) {
        EndStatusThread();
    }
    // The base frees the interface copy and the unit list.
}

NTSTATUS Uac2Function::Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                            PDEVICE_OBJECT pPhysicalDevice)
{
    if (!NT_SUCCESS(CreateUnitList())) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return AudioHal::Init(pResourceList, pFunctionalDevice, pLowerDevice, pPhysicalDevice);
}

NTSTATUS Uac2Function::Configure()
{
    // No identity rule sets the stored block: it stays zero.
    std::memset(&m_Capabilities, 0, sizeof(m_Capabilities));
    NTSTATUS status = ParseAudioControlForFunction(this);
    if (NT_SUCCESS(status)) {
        status = ParseAudioStreamingForFunction(this);
    }
    return status;
}

NTSTATUS Uac2Function::ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    return ParseAudioControlUac2(this, pInterface, ulBytes);
}

NTSTATUS Uac2Function::ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                           PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    return ParseAudioStreamingUac2(this, pConfiguration, pInterface, ulBytes);
}

NTSTATUS Uac2Function::GetCapabilities(BOOLEAN bCapture, ULONG ulKind, AudioCapabilities* pCapabilities)
{
    if (pCapabilities == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    std::memset(pCapabilities, 0, sizeof(*pCapabilities));
    ULONG mask = 0;
    ULONG flags = 0;
    const ULONG captureFlags =
        m_idVendor == FIXED_CAPS_VENDOR && m_idProduct == PLAIN_CAPTURE_PRODUCT ? PLAIN_CAPTURE_FLAGS : CAPTURE_FLAGS;
    if (m_idVendor == FIXED_CAPS_VENDOR && m_idProduct == FIXED_CAPS_PRODUCT) {
        if (ulKind == ENDPOINT_KIND_HEADPHONES) {
            mask = FIXED_HEADPHONE_MASK;
            flags = FIXED_HEADPHONE_FLAGS;
        } else if (ulKind == ENDPOINT_KIND_MICROPHONE) {
            mask = FIXED_MIC_MASK;
        }
    } else if (bCapture == TRUE) {
        if (ulKind == ENDPOINT_KIND_SPDIF) {
            // nothing
        } else if (ulKind == ENDPOINT_KIND_MICROPHONE || ulKind == ENDPOINT_KIND_FRONT_MICROPHONE ||
                   ulKind == ENDPOINT_KIND_RECORDING) {
            mask = m_Capabilities.ControlMask & CAPTURE_MASK;
            flags = captureFlags;
        } else {
            flags = captureFlags;
        }
    } else if (ulKind == ENDPOINT_KIND_SPDIF) {
        flags = GetEndpointCount() == 1 ? m_Capabilities.Flags : 0;
    } else {
        mask = m_Capabilities.ControlMask & RENDER_MASK;
        flags = m_Capabilities.Flags;
    }
    pCapabilities->ControlMask = mask;
    pCapabilities->Flags = flags;
    return STATUS_SUCCESS;
}

// ---- start and stop ----

NTSTATUS Uac2Function::Start()
{
    PVOID pRaw = nullptr;
    NTSTATUS status = QueryInterface(IID_IUsbDevice, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pUsb = static_cast<IUsbDevice*>(pRaw);
    // A thread that runs already keeps its pipes: a second one would read the same pipes.
    if (InterruptPipeIndex() == NO_INTERRUPT_PIPE) {
        status = StartStatusThread(pUsb);
    }
    pUsb->Release();
    return status;
}

NTSTATUS Uac2Function::StartStatusThread(IUsbDevice* pUsb)
{
    PUSBD_INTERFACE_INFORMATION pCopy = nullptr;
    ULONG ulHeld = 0;
    const NTSTATUS selected = SelectAudioControlInterface(pUsb, &pCopy, &ulHeld);
    if (pCopy == nullptr) {
        return selected;
    }
    // The first pipe of each kind; a second pipe of a kind already found ends the scan.
    UCHAR interruptIndex = NO_INTERRUPT_PIPE;
    UCHAR bulkIndex = NO_INTERRUPT_PIPE;
    for (ULONG i = 0; i < ulHeld && i < NO_INTERRUPT_PIPE; ++i) {
        const USBD_PIPE_INFORMATION& pipe = pCopy->Pipes[i];
        if (!USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress)) {
            continue;
        }
        UCHAR* pSlot = nullptr;
        if (pipe.PipeType == UsbdPipeTypeInterrupt && pipe.MaximumPacketSize == INTERRUPT_PACKET_SIZE) {
            pSlot = &interruptIndex;
        } else if (pipe.PipeType == UsbdPipeTypeBulk) {
            pSlot = &bulkIndex;
        } else {
            continue;
        }
        if (*pSlot != NO_INTERRUPT_PIPE) {
            break;
        }
        *pSlot = static_cast<UCHAR>(i);
    }
    if (interruptIndex == NO_INTERRUPT_PIPE) {
        ExFreePoolWithTag(pCopy, FUNCTION_URB_TAG);
        return STATUS_SUCCESS;
    }
    m_pInterruptInterface = pCopy;
    __atomic_store_n(&m_BulkPipeIndex, bulkIndex, __ATOMIC_SEQ_CST);
    __atomic_store_n(&m_InterruptPipeIndex, interruptIndex, __ATOMIC_SEQ_CST);

    HANDLE hThread = nullptr;
    const NTSTATUS status =
        PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, StatusThread, this);
    if (!NT_SUCCESS(status)) {
        // Without a thread there is nothing for Stop or the destructor to wait for.
        __atomic_store_n(&m_InterruptPipeIndex, NO_INTERRUPT_PIPE, __ATOMIC_SEQ_CST);
        __atomic_store_n(&m_BulkPipeIndex, NO_INTERRUPT_PIPE, __ATOMIC_SEQ_CST);
        m_pInterruptInterface = nullptr;
        ExFreePoolWithTag(pCopy, FUNCTION_URB_TAG);
        return status;
    }
    PVOID pThread = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &pThread,
                                             nullptr))) {
        m_pStatusThread = static_cast<PETHREAD>(pThread);
        KeSetPriorityThread(m_pStatusThread, UAC2_STATUS_THREAD_PRIORITY);
    }
    ZwClose(hThread);
    return STATUS_SUCCESS;
}

NTSTATUS Uac2Function::Stop()
{
    if (InterruptPipeIndex() != NO_INTERRUPT_PIPE) {
        EndStatusThread();
    }
    return STATUS_SUCCESS;
}

VOID Uac2Function::EndStatusThread()
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
    __atomic_store_n(&m_BulkPipeIndex, NO_INTERRUPT_PIPE, __ATOMIC_SEQ_CST);
    KeClearEvent(&m_StatusThreadStopEvent);
    KeClearEvent(&m_StatusThreadExitEvent);
}

// ---- status dispatch ----

NTSTATUS Uac2Function::OnStatusChange(ULONG ulEntityId, ULONG ulSelector, ULONG ulChannel)
{
    UsbAudioUnit* pUnit = nullptr;
    NTSTATUS status = FindUnit(ulEntityId, &pUnit);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const LONG lType = pUnit->GetType();
    ULONG ulChanged = NO_ENTITY;
    status = pUnit->HandleStatusChange(ulSelector, ulChannel, &ulChanged);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (lType != USB_AUDIO_AC_INPUT_TERMINAL && lType != USB_AUDIO_AC_OUTPUT_TERMINAL) {
        // A unit that refreshed nothing has nothing to announce.
        if (ulChanged != NO_ENTITY) {
            NotifyEntityChange(ulChanged);
        }
        return STATUS_SUCCESS;
    }
    if (ulSelector != CONNECTOR_CONTROL) {
        return STATUS_SUCCESS;
    }
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

// ---- renamed endpoints ----

NTSTATUS Uac2Function::ReRegisterEndpoints(ULONG ulEntityId)
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
            if (NT_SUCCESS(status)) {
                status = pEndpoint->SetName(pName);
            }
            // The miniport gets time to let go of the old subdevice, whatever the renaming gave.
            // The delay is held to its limit and computed in 64 bits.
            ULONG ulDelay = 0;
            if (NT_SUCCESS(AccessSettingsBinary(m_pFunctionalDevice, SETTINGS_READ, &ulDelay, sizeof(ulDelay),
                                                u"UpdateMiniportDelay"))) {
                ULONGLONG ullMs = ulDelay;
                if (ullMs > UAC2_MINIPORT_DELAY_LIMIT_MS) {
                    ullMs = UAC2_MINIPORT_DELAY_LIMIT_MS;
                }
                LARGE_INTEGER interval;
                interval.QuadPart = -10000LL * static_cast<LONGLONG>(ullMs);
                KeDelayExecutionThread(KernelMode, FALSE, &interval);
            }
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

VOID Uac2Function::PowerChangeState(POWER_STATE NewState)
{
    const DEVICE_POWER_STATE state = NewState.DeviceState;
    if (state == m_PowerState) {
        return;
    }
    if (state == PowerDeviceD0) {
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
