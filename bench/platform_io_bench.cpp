// Real time of one IRP trip through a filter (skipping its location) to a lower device that
// completes at once, back to a sender that keeps the IRP: the path every USB request of the driver
// takes. Once with the IRP reused, once allocated and freed per request.
#include <benchmark/benchmark.h>

#include "platform/io/Io.h"
#include "platform/nt/Kernel.h"
#include "platform/nt/Machine.h"
#include "platform/io/IoHost.h"

namespace {

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(*static_cast<PDEVICE_OBJECT*>(device->DeviceExtension), irp);
}

// Both devices belong to one driver; the lower one is told apart by its missing extension.
NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    return device->DeviceExtension != nullptr ? FilterDispatch(device, irp) : LowerDispatch(device, irp);
}

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

struct Stack {
    PDRIVER_OBJECT Driver;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Filter;

    Stack()
    {
        platform::MachineReset();
        Driver = platform::IoCreateDriverObject(u"\\Driver\\Bench");
        IoCreateDevice(Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Lower);
        IoCreateDevice(Driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Filter);
        *static_cast<PDEVICE_OBJECT*>(Filter->DeviceExtension) = IoAttachDeviceToDeviceStack(Filter, Lower);
        Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    }
    ~Stack()
    {
        IoDetachDevice(Lower);
        IoDeleteDevice(Filter);
        IoDeleteDevice(Lower);
        platform::IoDeleteDriverObject(Driver);
    }
    void Send(PIRP irp)
    {
        platform::IoPrepareNextStackLocation(irp, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
        IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(Filter, irp);
    }
};

void BM_IrpReusedThroughTwoDevices(benchmark::State& state)
{
    Stack stack;
    PIRP irp = IoAllocateIrp(stack.Filter->StackSize, FALSE);
    for (auto _ : state) {
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        stack.Send(irp);
    }
    IoFreeIrp(irp);
}
BENCHMARK(BM_IrpReusedThroughTwoDevices);

void BM_IrpAllocatedThroughTwoDevices(benchmark::State& state)
{
    Stack stack;
    for (auto _ : state) {
        PIRP irp = IoAllocateIrp(stack.Filter->StackSize, FALSE);
        stack.Send(irp);
        IoFreeIrp(irp);
    }
}
BENCHMARK(BM_IrpAllocatedThroughTwoDevices);

}  // namespace

BENCHMARK_MAIN();
