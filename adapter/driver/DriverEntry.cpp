// Driver entry and AddDevice: PortCls gets the adapter's AddDevice, the driver keeps four dispatch
// routines of its own, and each adapter device registers the two private device interfaces.
#include <cstring>

#include "adapter/driver/Adapter.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Ob.h"
#include "platform/nt/RtlString.h"
#include "topology/TopologyMiniport.h"

UNICODE_STRING AsioReferenceString;
UNICODE_STRING EnumReferenceString;
UNICODE_STRING AsioFileName;

namespace {

void InitializeConstantStrings()
{
    RtlInitUnicodeString(&AsioReferenceString, u"QVASIOPrivateInterface");
    RtlInitUnicodeString(&EnumReferenceString, u"QVEnumPrivateInterface");
    RtlInitUnicodeString(&AsioFileName, u"\\QVASIOPrivateInterface");
}

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName)
{
    if (!RtlIsNtDdiVersionAvailable(ADAPTER_MIN_SYSTEM_VERSION)) {
        return STATUS_UNSUCCESSFUL;
    }
    const NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPathName, AddDevice);
    if (NT_SUCCESS(status)) {
        DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
        DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
        DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
        DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    }
    InitializeConstantStrings();
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT pLowerDevice = IoGetAttachedDeviceReference(PhysicalDeviceObject);
    NTSTATUS status = PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, ADAPTER_MAX_SUBDEVICES,
                                         ADAPTER_DEVICE_EXTENSION_SIZE);
    if (!NT_SUCCESS(status)) {
        // Nothing was attached: the lower device's reference goes back.
        ObDereferenceObject(pLowerDevice);
        return status;
    }
    PDEVICE_OBJECT pFunctionalDevice = IoGetAttachedDeviceReference(PhysicalDeviceObject);
    AdapterExtension* pExtension = GetAdapterExtension(pFunctionalDevice);
    std::memset(pExtension, 0, sizeof(*pExtension));
    pExtension->FunctionalDevice = pFunctionalDevice;
    pExtension->LowerDevice = pLowerDevice;
    pExtension->PhysicalDevice = PhysicalDeviceObject;
    KeInitializeMutex(&pExtension->AdapterMutex, 0);
    ObDereferenceObject(pFunctionalDevice);

    if (NT_SUCCESS(IoRegisterDeviceInterface(PhysicalDeviceObject, &EnumDeviceInterfaceGuid, &EnumReferenceString,
                                             &pExtension->EnumSymbolicLink))) {
        pExtension->EnumInterfaceRegistered = TRUE;
    }
    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &AsioDeviceInterfaceGuid, &AsioReferenceString,
                                       &pExtension->AsioSymbolicLink);
    if (NT_SUCCESS(status)) {
        pExtension->AsioInterfaceRegistered = TRUE;
        return status;
    }
    // The device never joins the stack for good: it leaves it again with everything it took.
    if (pExtension->EnumInterfaceRegistered) {
        RtlFreeUnicodeString(&pExtension->EnumSymbolicLink);
        pExtension->EnumInterfaceRegistered = FALSE;
    }
    IoDetachDevice(pLowerDevice);
    ObDereferenceObject(pLowerDevice);
    IoDeleteDevice(pFunctionalDevice);
    return status;
}
