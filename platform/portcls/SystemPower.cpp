// PortCls as the power policy owner of its adapter device: a system power request becomes a
// device power request of the state the stack's capabilities give for that system state, asked
// of the power manager for the whole stack and waited for.
#include <cstring>

#include "platform/io/Io.h"
#include "platform/nt/Dispatcher.h"
#include "platform/portcls/PortClsInternal.h"

namespace platform {
namespace {

struct DevicePowerWait {
    KEVENT Done;
    NTSTATUS Status;
};

VOID DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus)
{
    auto* wait = static_cast<DevicePowerWait*>(context);
    wait->Status = ioStatus->Status;
    KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS SignalCapabilities(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS PcRequestDevicePower(PDEVICE_OBJECT pdo, UCHAR minorFunction, DEVICE_POWER_STATE state)
{
    DevicePowerWait wait;
    KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
    wait.Status = STATUS_UNSUCCESSFUL;
    POWER_STATE s;
    s.DeviceState = state;
    const NTSTATUS status = PoRequestPowerIrp(pdo, minorFunction, s, DevicePowerDone, &wait, nullptr);
    if (status != STATUS_PENDING) {
        return status;
    }
    // The stack's drivers always complete power requests.
    KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, nullptr);
    return wait.Status;
}

NTSTATUS PcQueryLowerCapabilities(PDEVICE_OBJECT lower, DEVICE_CAPABILITIES* capabilities)
{
    std::memset(capabilities, 0, sizeof *capabilities);
    capabilities->Size = sizeof *capabilities;
    capabilities->Version = 1;
    capabilities->Address = 0xFFFFFFFF;
    capabilities->UINumber = 0xFFFFFFFF;
    PIRP irp = IoAllocateIrp(static_cast<CHAR>(lower->StackSize), FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = capabilities;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalCapabilities, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

DEVICE_POWER_STATE PcDeviceStateFor(const DEVICE_CAPABILITIES* capabilities, SYSTEM_POWER_STATE state)
{
    if (state == PowerSystemWorking) {
        return PowerDeviceD0;
    }
    DEVICE_POWER_STATE device = PowerDeviceUnspecified;
    if (capabilities != nullptr && state > PowerSystemUnspecified && state < PowerSystemMaximum) {
        device = capabilities->DeviceState[state];
    }
    // A sleeping system without a mapping takes the device all the way down.
    return (device > PowerDeviceD0 && device < PowerDeviceMaximum) ? device : PowerDeviceD3;
}

}  // namespace platform
