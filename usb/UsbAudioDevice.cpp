#include "usb/UsbAudioDevice.h"
#include "usb/Uac1FunctionV3.h"

#include <cstring>
#include <new>

#include "platform/io/Io.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "platform/nt/Sync.h"
#include "platform/nt/Time.h"
#include "platform/registry/DeviceRegistry.h"
#include "platform/registry/Registry.h"
#include "usb/SettingsFile.h"
#include "usb/Uac1Function.h"
#include "usb/Uac1FunctionVariants.h"
#include "usb/Uac2Function.h"
#include "adapter/SettingsStore.h"

// Published USB-audio identifier schemes of KSCOMPONENTID: a fixed GUID whose first word is
// offset by the vendor or product id.
namespace {

constexpr GUID USBAUDIO_MID_BASE = {0x4E1CECD2, 0x1679, 0x463B, {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA}};
constexpr GUID USBAUDIO_PID_BASE = {0xABCC5A5E, 0xC263, 0x463B, {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA}};
KVX_DEFINE_GUID(KSCOMPONENTID_USBAUDIO, "{8F1275F0-26E9-4264-BA4D-39FFF01D94AA}");

constexpr LONGLONG PORT_RETRY_DELAY = -1000000LL;  // 100 ms
}  // namespace

NTSTATUS NewUsbAudioFunction(UsbFunctionVariant variant, PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown,
                             USHORT idVendor, USHORT idProduct)
{
    PAGED_CODE();
    if (ppFunction == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppFunction = nullptr;
    switch (variant) {
    case UsbFunctionVariant::Uac1:
        return Uac1Function::Create(ppFunction, pOuterUnknown, idVendor, idProduct);
    case UsbFunctionVariant::Uac2:
        return Uac2Function::Create(ppFunction, pOuterUnknown, idVendor, idProduct);
    case UsbFunctionVariant::V3:
        return Uac1FunctionV3::Create(ppFunction, pOuterUnknown, idVendor, idProduct);
    case UsbFunctionVariant::V4:
        return Uac1FunctionV4::Create(ppFunction, pOuterUnknown, idVendor, idProduct);
    case UsbFunctionVariant::V5:
        return Uac1FunctionV5::Create(ppFunction, pOuterUnknown, idVendor, idProduct);
    case UsbFunctionVariant::V6:
        return Uac1FunctionV6::Create(ppFunction, pOuterUnknown, idVendor, idProduct);
    default:
        return STATUS_NOT_IMPLEMENTED;
    }
}

// ---- object ----

NTSTATUS UsbAudioDevice::Create(IAudioHal** ppAudioHal)
{
    PAGED_CODE();
    if (ppAudioHal == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppAudioHal = nullptr;
    auto* device = new (NonPagedPoolNx, USB_AUDIO_DEVICE_TAG) UsbAudioDevice();
    if (device == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    device->AddRef();
    *ppAudioHal = static_cast<IAudioHal*>(device);
    return STATUS_SUCCESS;
}

UsbAudioDevice::UsbAudioDevice() : AudioHal(nullptr) { HoldTimerResolution(); }

UsbAudioDevice::~UsbAudioDevice()
{
    PAGED_CODE();
    // The ASIO clients, their buffers and endpoint registrations go while the endpoints exist.
    AsioTeardown();
    if (m_bIdleStateReady) {
        StopIdleRequests();
    }
    if (m_pObjects != nullptr) {
        while (PUNKNOWN pObject = m_pObjects->PopHead<IUnknown>()) {
            pObject->Release();
        }
        ExFreePoolWithTag(m_pObjects, USB_DEVICE_BUFFER_TAG);
        m_pObjects = nullptr;
    }
    if (m_pFunction != nullptr) {
        m_pFunctionAudioHal = nullptr;
        m_pFunctionPower = nullptr;
        m_pFunctionInterface = nullptr;
        PUNKNOWN pFunction = m_pFunction;
        m_pFunction = nullptr;
        pFunction->Release();
    }
    if (m_ppInterfaces != nullptr) {
        for (ULONG i = 0; i < m_ulInterfaceCount; ++i) {
            if (m_ppInterfaces[i] != nullptr) {
                ExFreePoolWithTag(m_ppInterfaces[i], USB_DEVICE_BUFFER_TAG);
            }
        }
        ExFreePoolWithTag(m_ppInterfaces, USB_DEVICE_BUFFER_TAG);
        m_ppInterfaces = nullptr;
    }
    if (m_pConfiguration != nullptr) {
        ExFreePoolWithTag(m_pConfiguration, USB_DEVICE_BUFFER_TAG);
        m_pConfiguration = nullptr;
    }
    if (m_bIdleStateReady) {
        WaitIdleRequests();
    }
    if (m_BusInterface.InterfaceDereference != nullptr && m_BusInterface.BusContext != nullptr) {
        m_BusInterface.InterfaceDereference(m_BusInterface.BusContext);
    }
    m_BusInterface.BusContext = nullptr;
    m_hConfiguration = nullptr;
    ReleaseTimerResolution();
}

NTSTATUS UsbAudioDevice::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAudioHal)) {
        return ReturnInterface(static_cast<IAudioHal*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IAdapterPowerManagement)) {
        return ReturnInterface(static_cast<IAdapterPowerManagement*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IUsbAudioFunction)) {
        if (m_pFunctionInterface == nullptr) {
            *ppvObject = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        // The function is aggregated: its references are the device's.
        AddRef();
        *ppvObject = m_pFunctionInterface;
        return STATUS_SUCCESS;
    }
    if (IsEqualGUID(iid, IID_IUsbDevice)) {
        return ReturnInterface(static_cast<IUsbDevice*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, AsioPrivateIid)) {
        return ReturnInterface(static_cast<IAsioDevice*>(this), ppvObject);
    }
    *ppvObject = nullptr;
    return STATUS_INVALID_PARAMETER;
}

// ---- IUsbDevice ----

NTSTATUS UsbAudioDevice::SetPresent(UCHAR bPresent)
{
    __atomic_store_n(&m_bPresent, bPresent, __ATOMIC_SEQ_CST);
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDevice::CallLowerDriver(PIRP pIrp) { return IofCallDriver(m_pLowerDevice, pIrp); }

PIRP UsbAudioDevice::AllocateIrp() { return IoAllocateIrp(m_IrpStackSize, FALSE); }

NTSTATUS UsbAudioDevice::FreeIrp(PIRP pIrp)
{
    IoFreeIrp(pIrp);
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDevice::SyncIrpCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    UNREFERENCED_PARAMETER(pIrp);
    KeSetEvent(static_cast<PKEVENT>(pContext), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS UsbAudioDevice::SubmitUrbSync(PURB pUrb)
{
    PAGED_CODE();
    if (!IsPresent()) {
        return STATUS_UNSUCCESSFUL;
    }
    PIRP pIrp = AllocateIrp();
    if (pIrp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetNextIrpStackLocation(pIrp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(pIrp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = pUrb;
    IoSetCompletionRoutine(pIrp, SyncIrpCompletion, &event, TRUE, TRUE, TRUE);
    InterlockedIncrement(&m_lActiveRequests);

    NTSTATUS status = IofCallDriver(m_pLowerDevice, pIrp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = SYNC_REQUEST_TIMEOUT;
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            IoCancelIrp(pIrp);
            // The bus completes a cancelled request; the IRP must not be freed before.
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        status = pIrp->IoStatus.Status;
    }
    if (status == STATUS_DEVICE_NOT_CONNECTED) {
        SetPresent(FALSE);
    }
    IoFreeIrp(pIrp);
    InterlockedDecrement(&m_lActiveRequests);
    return status;
}

NTSTATUS UsbAudioDevice::GetCurrentFrame(PULONG pulFrame)
{
    if (pulFrame == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pulFrame = 0;
    if (m_BusInterface.QueryBusTime == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG frame = 0;
    const NTSTATUS status = m_BusInterface.QueryBusTime(m_BusInterface.BusContext, &frame);
    if (NT_SUCCESS(status)) {
        *pulFrame = frame;
    }
    return status;
}

NTSTATUS UsbAudioDevice::SendPortRequest(ULONG ulCode, PVOID pArgument, PKEVENT pEvent)
{
    PAGED_CODE();
    IO_STATUS_BLOCK ioStatus{};
    PIRP pIrp = IoBuildDeviceIoControlRequest(ulCode, m_pLowerDevice, nullptr, 0, nullptr, 0, TRUE, pEvent, &ioStatus);
    if (pIrp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(pIrp)->Parameters.Others.Argument1 = pArgument;
    NTSTATUS status = IofCallDriver(m_pLowerDevice, pIrp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(pEvent, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

BOOLEAN UsbAudioDevice::CheckPort()
{
    PAGED_CODE();
    if (!IsPresent()) {
        return TRUE;
    }
    m_PortLock.Lock();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ULONG portStatus = 0;
    NTSTATUS status = SendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, &event);
    if (NT_SUCCESS(status)) {
        if ((portStatus & USBD_PORT_CONNECTED) == 0) {
            SetPresent(FALSE);
        }
    } else if (status != STATUS_NO_SUCH_DEVICE) {
        SetPresent(FALSE);
    } else {
        LARGE_INTEGER delay;
        delay.QuadPart = PORT_RETRY_DELAY;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KeClearEvent(&event);
        portStatus = 0;
        status = SendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, &event);
        if (status == STATUS_INSUFFICIENT_RESOURCES) {
            SetPresent(FALSE);
        } else if (!NT_SUCCESS(status)) {
            CyclePort();
        } else if ((portStatus & USBD_PORT_CONNECTED) == 0) {
            SetPresent(FALSE);
        } else {
            KeClearEvent(&event);
            if (SendPortRequest(IOCTL_INTERNAL_USB_RESET_PORT, nullptr, &event) == STATUS_INSUFFICIENT_RESOURCES) {
                SetPresent(FALSE);
            } else if (m_pFunctionPower != nullptr) {
                POWER_STATE state;
                state.DeviceState = PowerDeviceD3;
                m_pFunctionPower->PowerChangeState(state);
                state.DeviceState = PowerDeviceD0;
                m_pFunctionPower->PowerChangeState(state);
            }
        }
    }
    const BOOLEAN gone = IsPresent() ? FALSE : TRUE;
    m_PortLock.Unlock();
    return gone;
}

BOOLEAN UsbAudioDevice::CyclePort()
{
    PAGED_CODE();
    if (InterlockedExchange(&m_lPortCycled, 1) == 1) {
        return IsPresent() ? FALSE : TRUE;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    SendPortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr, &event);
    // The device re-enumerates and this object is removed, whatever the hub said.
    SetPresent(FALSE);
    return TRUE;
}

LONG UsbAudioDevice::AddBusyReference() { return InterlockedIncrement(&m_lBusyCount); }

LONG UsbAudioDevice::ReleaseBusyReference() { return InterlockedDecrement(&m_lBusyCount); }

// ---- IAudioHal ----

NTSTATUS UsbAudioDevice::GetComponentId(KSCOMPONENTID* pComponentId)
{
    if (pComponentId == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memset(pComponentId, 0, sizeof(*pComponentId));
    pComponentId->Manufacturer = USBAUDIO_MID_BASE;
    pComponentId->Manufacturer.Data1 += m_idVendor;
    pComponentId->Product = USBAUDIO_PID_BASE;
    pComponentId->Product.Data1 += m_idProduct;
    pComponentId->Component = KSCOMPONENTID_USBAUDIO;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDevice::Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice,
                              PDEVICE_OBJECT pLowerDevice, PDEVICE_OBJECT pPhysicalDevice)
{
    PAGED_CODE();
    SetPresent(TRUE);
    if (ImportSettingsFile(pFunctionalDevice) == STATUS_INSUFFICIENT_RESOURCES) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    void* pList = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ObjectList), USB_DEVICE_BUFFER_TAG);
    if (pList == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pList, 0, sizeof(ObjectList));
    m_pObjects = static_cast<ObjectList*>(pList)->Init();

    KeInitializeSpinLock(&m_DeviceIdleLock);
    KeInitializeDpc(&m_IdleTimerDpc, IdleTimerDpc, this);
    KeInitializeTimerEx(&m_IdleTimer, NotificationTimer);
    KeInitializeEvent(&m_IdleWorkDone, NotificationEvent, TRUE);
    KeInitializeEvent(&m_IdleRequestDone, NotificationEvent, TRUE);
    KeInitializeEvent(&m_WakeDone, NotificationEvent, TRUE);
    KeInitializeEvent(&m_IdleCallbackDone, NotificationEvent, TRUE);
    m_bIdleStateReady = true;

    const NTSTATUS status = AudioHal::Init(pResourceList, pFunctionalDevice, pLowerDevice, pPhysicalDevice);

    ULONG enabled = 0;
    if (!NT_SUCCESS(ReadDeviceParameter(DEVICE_PARAMETER_SELECTIVE_SUSPEND_ENABLED, sizeof(enabled), &enabled))) {
        enabled = 0;
    }
    m_bSelectiveSuspendEnabled = enabled != 0 ? 1 : 0;
    m_lIdleIrpReferences = 0;
    __atomic_store_n(&m_lActiveRequests, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&m_lBusyCount, 0, __ATOMIC_SEQ_CST);
    if (NT_SUCCESS(status) && m_bSelectiveSuspendEnabled != 0) {
        ArmIdleTimer();
    }
    return status;
}

NTSTATUS UsbAudioDevice::GetEndpointCapabilities(ULONG ulIndex, AudioCapabilities* pCapabilities)
{
    return m_pFunctionAudioHal != nullptr ? m_pFunctionAudioHal->GetEndpointCapabilities(ulIndex, pCapabilities)
                                          : STATUS_UNSUCCESSFUL;
}

ULONG UsbAudioDevice::GetEndpointCount()
{
    return m_pFunctionAudioHal != nullptr ? m_pFunctionAudioHal->GetEndpointCount() : 0;
}

NTSTATUS UsbAudioDevice::GetEndpoint(ULONG ulIndex, StreamEngine** ppEndpoint)
{
    if (m_pFunctionAudioHal == nullptr) {
        if (ppEndpoint != nullptr) {
            *ppEndpoint = nullptr;
        }
        return STATUS_UNSUCCESSFUL;
    }
    return m_pFunctionAudioHal->GetEndpoint(ulIndex, ppEndpoint);
}

ULONG UsbAudioDevice::GetEntityCount()
{
    return m_pFunctionAudioHal != nullptr ? m_pFunctionAudioHal->GetEntityCount() : 0;
}

NTSTATUS UsbAudioDevice::GetEntity(ULONG ulIndex, TopologyNode** ppEntity)
{
    if (m_pFunctionAudioHal == nullptr) {
        if (ppEntity != nullptr) {
            *ppEntity = nullptr;
        }
        return STATUS_UNSUCCESSFUL;
    }
    return m_pFunctionAudioHal->GetEntity(ulIndex, ppEntity);
}

NTSTATUS UsbAudioDevice::Start()
{
    PAGED_CODE();
    return m_pFunctionAudioHal != nullptr ? m_pFunctionAudioHal->Start() : STATUS_UNSUCCESSFUL;
}

NTSTATUS UsbAudioDevice::Stop()
{
    PAGED_CODE();
    return m_pFunctionAudioHal != nullptr ? m_pFunctionAudioHal->Stop() : STATUS_UNSUCCESSFUL;
}

NTSTATUS UsbAudioDevice::RegisterCallback(PCALLBACK_FUNCTION pCallback, PVOID pContext, PVOID* ppRegistration)
{
    PAGED_CODE();
    return m_pFunctionAudioHal != nullptr ? m_pFunctionAudioHal->RegisterCallback(pCallback, pContext, ppRegistration)
                                          : STATUS_UNSUCCESSFUL;
}

NTSTATUS UsbAudioDevice::UnregisterCallback(PVOID pRegistration)
{
    PAGED_CODE();
    return m_pFunctionAudioHal != nullptr ? m_pFunctionAudioHal->UnregisterCallback(pRegistration)
                                          : STATUS_UNSUCCESSFUL;
}
