// The driver's own dispatch routines in front of PortCls: create, close and device control on the
// private ASIO file name go to the device's ASIO interface; removal and surprise removal stop the
// device and take its wave filters away around PortCls's own handling. Everything else is
// PortCls's.
#include "adapter/driver/Adapter.h"
#include "asio/AsioInterface.h"
#include "adapter/StreamEngine.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Ob.h"
#include "platform/nt/RtlString.h"

namespace {

bool IsAsioFile(PFILE_OBJECT pFileObject)
{
    return pFileObject != nullptr && RtlEqualUnicodeString(&pFileObject->FileName, &AsioFileName, TRUE);
}

IAsioDevice* QueryAsio(AdapterExtension* pExtension)
{
    if (pExtension->Device == nullptr) {
        return nullptr;
    }
    PVOID pRaw = nullptr;
    if (!NT_SUCCESS(pExtension->Device->QueryInterface(AsioPrivateIid, &pRaw))) {
        return nullptr;
    }
    return static_cast<IAsioDevice*>(pRaw);
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp, bool bCreate)
{
    AdapterExtension* pExtension = GetAdapterExtension(DeviceObject);
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(Irp);
    if (pExtension == nullptr || pStack == nullptr) {
        return PcDispatchIrp(DeviceObject, Irp);
    }
    if (pExtension->Device != nullptr) {
        // An open wakes an idle device.
        pExtension->Device->OnPnpIrp(Irp);
    }
    if (!IsAsioFile(pStack->FileObject)) {
        return PcDispatchIrp(DeviceObject, Irp);
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    IAsioDevice* pAsio = QueryAsio(pExtension);
    if (pAsio != nullptr) {
        status = bCreate ? pAsio->AsioOpenClient(pStack->FileObject) : pAsio->AsioCloseClient(pStack->FileObject);
        if (!NT_SUCCESS(status)) {
            status = STATUS_UNSUCCESSFUL;
        }
        pAsio->Release();
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Takes every endpoint's wave filter away; the first failure ends the walk and is returned.
NTSTATUS UnregisterWaveFilters(IAudioHal* pHal, PDEVICE_OBJECT DeviceObject, PUNKNOWN pDevice, PULONG pulFailed)
{
    const ULONG ulCount = pHal->GetEndpointCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        StreamEngine* pEndpoint = nullptr;
        NTSTATUS status = pHal->GetEndpoint(i, &pEndpoint);
        if (NT_SUCCESS(status)) {
            status = pEndpoint->UnregisterWave(DeviceObject, nullptr, pDevice);
        }
        if (!NT_SUCCESS(status)) {
            *pulFailed = i;
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// Stops the device and takes its wave filters away. Removal stops the device in any case and
// prints a failure; surprise removal does both only for a device that answers IUnknown.
void StopDevice(AdapterExtension* pExtension, PDEVICE_OBJECT DeviceObject, bool bRemoval)
{
    IAudioHal* pHal = pExtension->Device;
    if (bRemoval) {
        pHal->Stop();
    }
    PVOID pRaw = nullptr;
    if (!NT_SUCCESS(pHal->QueryInterface(IID_IUnknown, &pRaw))) {
        return;
    }
    auto* pDevice = static_cast<PUNKNOWN>(pRaw);
    if (!bRemoval) {
        pHal->Stop();
    }
    ULONG ulFailed = 0;
    if (!NT_SUCCESS(UnregisterWaveFilters(pHal, DeviceObject, pDevice, &ulFailed)) && bRemoval) {
        DbgPrint("Remove Miniport Failed StreamEngine ulIdx = %d\n", ulFailed);
    }
    pDevice->Release();
}

void DisableInterface(BOOLEAN* pbEnabled, PUNICODE_STRING pLink)
{
    if (*pbEnabled) {
        IoSetDeviceInterfaceState(pLink, FALSE);
        *pbEnabled = FALSE;
    }
}

void FreeInterface(BOOLEAN* pbRegistered, PUNICODE_STRING pLink)
{
    if (*pbRegistered) {
        RtlFreeUnicodeString(pLink);
        *pbRegistered = FALSE;
    }
}

NTSTATUS RemoveDevice(AdapterExtension* pExtension, PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DisableInterface(&pExtension->AsioInterfaceEnabled, &pExtension->AsioSymbolicLink);
    FreeInterface(&pExtension->AsioInterfaceRegistered, &pExtension->AsioSymbolicLink);
    DisableInterface(&pExtension->EnumInterfaceEnabled, &pExtension->EnumSymbolicLink);
    FreeInterface(&pExtension->EnumInterfaceRegistered, &pExtension->EnumSymbolicLink);
    if (pExtension->Device != nullptr) {
        StopDevice(pExtension, DeviceObject, true);
    }
    // PortCls deletes the device object; the PnP manager's reference keeps the extension readable.
    const NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (pExtension->LowerDevice != nullptr) {
        ObDereferenceObject(pExtension->LowerDevice);
        pExtension->LowerDevice = nullptr;
    }
    if (pExtension->Device != nullptr) {
        IAudioHal* pHal = pExtension->Device;
        pExtension->Device = nullptr;
        pHal->Release();
    }
    return status;
}

NTSTATUS SurpriseRemoveDevice(AdapterExtension* pExtension, PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (pExtension->Device != nullptr) {
        StopDevice(pExtension, DeviceObject, false);
    }
    const NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
    // The link strings stay until removal.
    DisableInterface(&pExtension->AsioInterfaceEnabled, &pExtension->AsioSymbolicLink);
    DisableInterface(&pExtension->EnumInterfaceEnabled, &pExtension->EnumSymbolicLink);
    return status;
}

}  // namespace

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return DispatchCreateClose(DeviceObject, Irp, true); }

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return DispatchCreateClose(DeviceObject, Irp, false); }

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AdapterExtension* pExtension = GetAdapterExtension(DeviceObject);
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(Irp);
    if (pExtension == nullptr || pStack == nullptr) {
        return PcDispatchIrp(DeviceObject, Irp);
    }
    if (pExtension->Device != nullptr) {
        pExtension->Device->OnPnpIrp(Irp);
    }
    if (!IsAsioFile(pStack->FileObject)) {
        return PcDispatchIrp(DeviceObject, Irp);
    }
    Irp->IoStatus.Information = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    IAsioDevice* pAsio = QueryAsio(pExtension);
    if (pAsio != nullptr) {
        status = AsioDispatchControl(pAsio, Irp);
        pAsio->Release();
    }
    if (status == STATUS_PENDING) {
        // The ASIO interface keeps the request and completes it later.
        return status;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AdapterExtension* pExtension = GetAdapterExtension(DeviceObject);
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(Irp);
    if (pExtension == nullptr || pStack == nullptr) {
        return PcDispatchIrp(DeviceObject, Irp);
    }
    const UCHAR minor = pStack->MinorFunction;
    if (minor != IRP_MN_START_DEVICE && pExtension->Device != nullptr) {
        pExtension->Device->OnPnpIrp(Irp);
    }
    switch (minor) {
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(pExtension, DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoveDevice(pExtension, DeviceObject, Irp);
    default:
        return PcDispatchIrp(DeviceObject, Irp);
    }
}
