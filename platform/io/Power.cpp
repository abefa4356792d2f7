// Device properties and power requests of physical devices.
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/io/IoInternal.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/nt/WorkItem.h"
#include "platform/io/IoHost.h"

namespace {

using PropertyTable = std::map<PDEVICE_OBJECT, std::map<int, std::vector<UCHAR>>>;

PropertyTable& Properties()
{
    static PropertyTable table;
    return table;
}

constexpr ULONG POWER_REQUEST_TAG = MakePoolTag("IoPw");

struct PowerRequest {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT Target;
    UCHAR MinorFunction;
    POWER_STATE PowerState;
    PREQUEST_POWER_COMPLETE CompletionFunction;
    PVOID Context;
    PIRP Irp;
    PIO_WORKITEM WorkItem;  // delivery at PASSIVE_LEVEL of a request made above it, or of one that waited
    PDEVICE_OBJECT Stack;   // the bottom of the stack of a device set-power request; null otherwise
};

// Device set-power requests of one stack go one at a time: a later one waits until the one in
// flight completes, so that states reach the stack in the order they were asked for.
VOID PowerRequestSend(PDEVICE_OBJECT, PVOID context);

struct StackPowerQueue {
    std::deque<PowerRequest*> Waiting;
};

std::mutex& PowerQueueLock()
{
    static std::mutex lock;
    return lock;
}

// An entry exists while a request of that stack is in flight.
std::map<PDEVICE_OBJECT, StackPowerQueue>& PowerQueues()
{
    static std::map<PDEVICE_OBJECT, StackPowerQueue> queues;
    return queues;
}

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
    while (device->DeviceObjectExtension->AttachedTo != nullptr) {
        device = device->DeviceObjectExtension->AttachedTo;
    }
    return device;
}

// Called when a set-power request of `stack` completed: the next waiting one goes, from a worker.
void StartNextPowerRequest(PDEVICE_OBJECT stack)
{
    PowerRequest* next = nullptr;
    {
        std::lock_guard<std::mutex> guard(PowerQueueLock());
        auto it = PowerQueues().find(stack);
        if (it == PowerQueues().end()) {
            return;
        }
        if (it->second.Waiting.empty()) {
            PowerQueues().erase(it);
            return;
        }
        next = it->second.Waiting.front();
        it->second.Waiting.pop_front();
    }
    IoQueueWorkItem(next->WorkItem, PowerRequestSend, CriticalWorkQueue, next);
}

// The power manager sends a request made at DISPATCH_LEVEL from a worker thread, at PASSIVE_LEVEL,
// where the drivers of a pageable stack expect their power IRPs.
VOID PowerRequestSend(PDEVICE_OBJECT, PVOID context)
{
    auto* request = static_cast<PowerRequest*>(context);
    PIO_WORKITEM item = request->WorkItem;
    PDEVICE_OBJECT target = request->Target;
    PIRP irp = request->Irp;
    request->WorkItem = nullptr;
    IoFreeWorkItem(item);
    PoCallDriver(target, irp);  // the request may be gone once this returns
}

NTSTATUS PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* request = static_cast<PowerRequest*>(context);
    if (request->CompletionFunction != nullptr) {
        request->CompletionFunction(request->DeviceObject, request->MinorFunction, request->PowerState,
                                    request->Context, &irp->IoStatus);
    }
    PDEVICE_OBJECT stack = request->Stack;
    ObDereferenceObject(request->Target);
    ExFreePoolWithTag(request, POWER_REQUEST_TAG);
    IoFreeIrp(irp);
    if (stack != nullptr) {
        StartNextPowerRequest(stack);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IoGetDeviceProperty");
    *ResultLength = 0;
    std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
    if (DeviceObject->DeviceObjectExtension->AttachedTo != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // properties belong to physical devices
    }
    auto device = Properties().find(DeviceObject);
    if (device == Properties().end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto property = device->second.find(DeviceProperty);
    if (property == device->second.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const std::vector<UCHAR>& data = property->second;
    *ResultLength = static_cast<ULONG>(data.size());
    if (data.size() > BufferLength || (PropertyBuffer == nullptr && !data.empty())) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!data.empty()) {
        std::memcpy(PropertyBuffer, data.data(), data.size());
    }
    return STATUS_SUCCESS;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* request =
        static_cast<PowerRequest*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PowerRequest), POWER_REQUEST_TAG));
    if (request == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT target = IoGetAttachedDeviceReference(DeviceObject);
    // One location of our own above the stack carries the completion back to the requester.
    PIRP irp = IoAllocateIrp(static_cast<CHAR>(target->StackSize + 1), FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(target);
        ExFreePoolWithTag(request, POWER_REQUEST_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A set-power request may have to wait for the one in flight, and then goes from a worker.
    const bool serialized = MinorFunction == IRP_MN_SET_POWER;
    PIO_WORKITEM item = nullptr;
    if (KeGetCurrentIrql() > PASSIVE_LEVEL || serialized) {
        item = IoAllocateWorkItem(target);
        if (item == nullptr) {
            IoFreeIrp(irp);
            ObDereferenceObject(target);
            ExFreePoolWithTag(request, POWER_REQUEST_TAG);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    *request = PowerRequest{DeviceObject, target, MinorFunction, PowerState, CompletionFunction, Context, irp, item,
                            serialized ? BottomOfStack(DeviceObject) : nullptr};
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = DeviceObject;
    PIO_STACK_LOCATION stack = platform::IoPrepareNextStackLocation(irp, IRP_MJ_POWER, MinorFunction);
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = PowerState;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    if (Irp != nullptr) {
        *Irp = irp;
    }
    if (serialized) {
        std::lock_guard<std::mutex> guard(PowerQueueLock());
        auto it = PowerQueues().find(request->Stack);
        if (it != PowerQueues().end()) {
            it->second.Waiting.push_back(request);
            return STATUS_PENDING;
        }
        PowerQueues()[request->Stack];
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        IoQueueWorkItem(item, PowerRequestSend, CriticalWorkQueue, request);
    } else {
        if (item != nullptr) {
            request->WorkItem = nullptr;
            IoFreeWorkItem(item);
        }
        PoCallDriver(target, irp);
    }
    return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    POWER_STATE previous{};
    if (Type == DevicePowerState) {
        std::lock_guard<std::mutex> guard(platform::IoDatabaseLock());
        previous.DeviceState = DeviceObject->DeviceObjectExtension->PowerState;
        DeviceObject->DeviceObjectExtension->PowerState = State.DeviceState;
    }
    return previous;
}

namespace platform {

void IoForgetPropertiesOf(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(IoDatabaseLock());
    Properties().erase(device);
}

void IoForgetAllProperties()
{
    std::lock_guard<std::mutex> guard(IoDatabaseLock());
    Properties().clear();
}

void IoSetDeviceProperty(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, const void* data, size_t bytes)
{
    std::lock_guard<std::mutex> guard(IoDatabaseLock());
    const auto* p = static_cast<const UCHAR*>(data);
    Properties()[device][property] = std::vector<UCHAR>(p, p + bytes);
}

void IoSetDevicePropertyStrings(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property,
                                const std::vector<std::u16string>& strings)
{
    std::u16string multi;
    for (const auto& s : strings) {
        multi += s;
        multi.push_back(0);
    }
    multi.push_back(0);
    IoSetDeviceProperty(device, property, multi.data(), multi.size() * sizeof(char16_t));
}

DEVICE_POWER_STATE IoDevicePowerState(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(IoDatabaseLock());
    return device->DeviceObjectExtension->PowerState;
}

}  // namespace platform
