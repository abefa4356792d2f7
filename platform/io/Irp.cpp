// IRPs: allocation, stack locations, sending, completion, cancellation and built requests.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/io/IoInternal.h"
#include "platform/io/IrpVerifier.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Sync.h"
#include "platform/nt/Thread.h"
#include "platform/nt/Verifier.h"
#include "platform/io/IoHost.h"
#include "platform/io/ProcessHost.h"

namespace {

constexpr SHORT IO_TYPE_IRP = 6;

KSPIN_LOCK g_cancelSpinLock{};

PIO_STACK_LOCATION FirstStackLocation(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

bool InvokesRoutine(UCHAR control, NTSTATUS status, bool cancelled)
{
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
           (cancelled && (control & SL_INVOKE_ON_CANCEL) != 0);
}

// After a driver routine: it must leave at the IRQL it was called at and hold no spin lock it did
// not hold then. A lock still held is the one fault reported (the raised IRQL follows from it);
// otherwise a changed IRQL is reported and put back so that the caller goes on as it expects.
void CheckRoutineExit(const char* kind, const char* rulePrefix, void* routine, PIRP irp, KIRQL entryIrql,
                      int entrySpinLocks)
{
    char rule[40];
    const int extra = platform::IrqlHeldSpinLocks() - entrySpinLocks;
    if (extra > 0) {
        std::snprintf(rule, sizeof rule, "%s_SPINLOCK", rulePrefix);
        platform::VerifierFault(rule, "%s routine %p returned for IRP %p holding %d spin lock(s)%s", kind, routine,
                                static_cast<void*>(irp), extra,
                                KeTestSpinLock(&g_cancelSpinLock) ? "" : " (the cancel spin lock is held)");
        return;
    }
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != entryIrql) {
        std::snprintf(rule, sizeof rule, "%s_IRQL", rulePrefix);
        platform::VerifierFault(rule, "%s routine %p returned for IRP %p at IRQL %u, called at %u", kind, routine,
                                static_cast<void*>(irp), irql, entryIrql);
        platform::IrqlSetRaw(entryIrql);
    }
}

NTSTATUS CallCompletionRoutine(PIO_COMPLETION_ROUTINE routine, PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    // Completion routines always run at DISPATCH_LEVEL here, whoever completes the IRP, so that
    // a routine that would wait or touch pageable state shows at once.
    KIRQL old = KeGetCurrentIrql();
    const bool raise = old < DISPATCH_LEVEL;
    if (raise) {
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
    const int spinLocks = platform::IrqlHeldSpinLocks();
    const NTSTATUS status = routine(device, irp, context);
    CheckRoutineExit("completion", "IRP_COMPLETION", reinterpret_cast<void*>(routine), irp, DISPATCH_LEVEL,
                     spinLocks);
    if (raise && platform::IrqlHeldSpinLocks() <= spinLocks) {
        KeLowerIrql(old);
    }
    return status;
}

// Frees the IRP's memory; the bookkeeping forgets it first so that a later use is caught, not read.
void FreeIrpMemory(PIRP irp, bool byCompletion)
{
    platform::IrpVerifierFree(irp, byCompletion);
    ExFreePoolWithTag(irp, platform::IO_IRP_TAG);
}

// The IRP has left its last driver: hand the result to its sender.
void FinishIrp(PIRP irp)
{
    if (irp->Platform.Built) {
        const ULONG code = irp->Platform.ControlCode;
        const NTSTATUS status = irp->IoStatus.Status;
        // A warning with no output buffer is a size query: Information is the size asked for and
        // nothing is copied. Otherwise the copy back would run past the caller's buffer: the driver
        // claims bytes it was never given room for.
        const bool sizeQuery = irp->Platform.OutputLength == 0 && !NT_SUCCESS(status);
        if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && !NT_ERROR(status) && !sizeQuery &&
            irp->IoStatus.Information > irp->Platform.OutputLength) {
            platform::VerifierFault("IRP_INFORMATION_PAST_OUTPUT",
                                    "request 0x%08X completed with Information %llu, past its %u-byte output buffer",
                                    static_cast<unsigned>(code),
                                    static_cast<unsigned long long>(irp->IoStatus.Information),
                                    static_cast<unsigned>(irp->Platform.OutputLength));
        }
        if ((irp->Flags & IRP_INPUT_OPERATION) != 0 && !NT_ERROR(irp->IoStatus.Status) &&
            irp->UserBuffer != nullptr && irp->AssociatedIrp.SystemBuffer != nullptr) {
            size_t bytes = irp->IoStatus.Information;
            if (bytes > irp->Platform.OutputLength) {
                bytes = irp->Platform.OutputLength;
            }
            std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0 && irp->AssociatedIrp.SystemBuffer != nullptr) {
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, platform::IO_BUFFER_TAG);
            irp->AssociatedIrp.SystemBuffer = nullptr;
        }
        while (irp->MdlAddress != nullptr) {
            PMDL next = irp->MdlAddress->Next;
            IoFreeMdl(irp->MdlAddress);
            irp->MdlAddress = next;
        }
        PIO_STATUS_BLOCK iosb = irp->UserIosb;
        PKEVENT event = irp->UserEvent;
        const IO_STATUS_BLOCK result = irp->IoStatus;
        if (irp->Platform.UserFile == nullptr || platform::IoUserIrpFinished(irp)) {
            FreeIrpMemory(irp, true);
        }
        if (iosb != nullptr) {
            *iosb = result;
        }
        if (event != nullptr) {
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        }
        return;
    }
    if (irp->UserIosb == nullptr && irp->UserEvent == nullptr) {
        platform::VerifierFault("IRP_COMPLETED_TO_NOBODY",
                                "IRP %p completed past its last stack location with status 0x%08X, but its "
                                "allocator kept no completion routine that returns "
                                "STATUS_MORE_PROCESSING_REQUIRED",
                                static_cast<void*>(irp), static_cast<unsigned>(irp->IoStatus.Status));
        return;
    }
    if (irp->UserIosb != nullptr) {
        *irp->UserIosb = irp->IoStatus;
    }
    if (irp->UserEvent != nullptr) {
        KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    }
}

}  // namespace

USHORT IoSizeOfIrp(CHAR StackSize)
{
    return static_cast<USHORT>(sizeof(IRP) + static_cast<size_t>(StackSize) * sizeof(IO_STACK_LOCATION));
}

PIRP IoAllocateIrp(CHAR StackSize, BOOLEAN ChargeQuota)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (StackSize < 1) {
        platform::VerifierFault("IRP_STACK_SIZE", "IoAllocateIrp with a stack size of %d", StackSize);
        return nullptr;
    }
    const USHORT size = IoSizeOfIrp(StackSize);
    auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPoolNx, size, platform::IO_IRP_TAG));
    if (irp == nullptr) {
        return nullptr;
    }
    IoInitializeIrp(irp, size, StackSize);
    return irp;
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CHAR StackSize)
{
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = FirstStackLocation(Irp) + StackSize;
    Irp->Platform.Process = platform::CurrentProcess();
    platform::IrpVerifierInit(Irp);
}

VOID IoFreeIrp(PIRP Irp)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    if (!platform::IrpVerifierCheckLive(Irp, "IoFreeIrp", platform::IrpUse::Free)) {
        return;
    }
    if (Irp->Platform.InDriver) {
        // Freeing it would leave the lower driver with a dangling IRP; keep it (the fault fails the test).
        platform::VerifierFault("IRP_FREE_IN_DRIVER", "IRP %p freed while a driver still holds it",
                                static_cast<void*>(Irp));
        return;
    }
    FreeIrpMemory(Irp, false);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    if (!platform::IrpVerifierCheckLive(Irp, "IoReuseIrp")) {
        return;
    }
    if (Irp->Platform.InDriver) {
        platform::VerifierFault("IRP_REUSE_IN_DRIVER", "IRP %p reused while a driver still holds it",
                                static_cast<void*>(Irp));
        return;
    }
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->IoStatus.Status = Status;
}

VOID IoSetNextIrpStackLocation(PIRP Irp)
{
    if (Irp->CurrentLocation <= 1) {
        platform::VerifierFault("IRP_NO_MORE_STACK_LOCATIONS", "IRP %p has no stack location left",
                                static_cast<void*>(Irp));
        return;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}

VOID IoSkipCurrentIrpStackLocation(PIRP Irp)
{
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
{
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    std::memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
}

VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) {
        next->Control |= SL_INVOKE_ON_SUCCESS;
    }
    if (InvokeOnError) {
        next->Control |= SL_INVOKE_ON_ERROR;
    }
    if (InvokeOnCancel) {
        next->Control |= SL_INVOKE_ON_CANCEL;
    }
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "IofCallDriver");
    if (!platform::IrpVerifierCheckLive(Irp, "IofCallDriver")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
        platform::VerifierFault("IRP_NO_MORE_STACK_LOCATIONS", "IRP %p sent to device %p without a stack location",
                                static_cast<void*>(Irp), static_cast<void*>(DeviceObject));
        return STATUS_INVALID_PARAMETER;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    Irp->Platform.InDriver = TRUE;
    if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        platform::VerifierFault("IRP_MAJOR_FUNCTION", "IRP %p sent with major function 0x%02X",
                                static_cast<void*>(Irp), stack->MajorFunction);
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    auto* routine = reinterpret_cast<void*>(dispatch);
    const KIRQL irql = KeGetCurrentIrql();
    const int spinLocks = platform::IrqlHeldSpinLocks();
    platform::IrpDispatchFrame frame;
    frame.Location = stack;
    frame.Routine = routine;
    frame.Device = DeviceObject;
    platform::IrpVerifierEnterDispatch(Irp, &frame);
    const NTSTATUS status = dispatch(DeviceObject, Irp);
    // The IRP may be completed and freed by now: the checks use the frame, never the IRP itself.
    CheckRoutineExit("dispatch", "IRP_DISPATCH", routine, Irp, irql, spinLocks);
    platform::IrpVerifierLeaveDispatch(Irp, &frame, status);
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    bool fullyCompleted = false;
    if (!platform::IrpVerifierStartCompletion(Irp, &fullyCompleted)) {
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount && fullyCompleted) {
        platform::VerifierFault("IRP_COMPLETED_TWICE", "IRP %p completed again after it went back to its sender",
                                static_cast<void*>(Irp));
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        platform::VerifierFault("IRP_COMPLETE_NOT_OWNED",
                                "IRP %p completed by a caller that holds no stack location of it",
                                static_cast<void*>(Irp));
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        platform::VerifierFault("IRP_COMPLETE_PENDING", "IRP %p completed with STATUS_PENDING",
                                static_cast<void*>(Irp));
    }
    if (Irp->CancelRoutine != nullptr) {
        platform::VerifierFault("IRP_COMPLETE_CANCEL_ROUTINE", "IRP %p completed with its cancel routine still set",
                                static_cast<void*>(Irp));
    }
    Irp->Platform.InDriver = FALSE;
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        // Another thread's completion routine may be marking this location right now.
        const UCHAR control = __atomic_load_n(&stack->Control, __ATOMIC_ACQUIRE);
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0 ? TRUE : FALSE;
        platform::IrpVerifierLocationCompleted(Irp, stack, control, Irp->IoStatus.Status);
        __atomic_store_n(&stack->Control, 0, __ATOMIC_RELEASE);
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        const bool owned = Irp->CurrentLocation <= Irp->StackCount;
        // A canceller may set the flag while the IRP completes (a cancel racing a completion).
        const bool cancelled = __atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) != FALSE;
        if (routine != nullptr && InvokesRoutine(control, Irp->IoStatus.Status, cancelled)) {
            PDEVICE_OBJECT device = owned ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
            if (CallCompletionRoutine(routine, device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                if (!owned) {
                    // Back with its sender (who may have freed it: only the bookkeeping is touched).
                    platform::IrpVerifierSetFullyCompleted(Irp);
                }
                return;
            }
            // Anything but STATUS_MORE_PROCESSING_REQUIRED hands the IRP on: it must still be live.
            if (!platform::IrpVerifierCheckLive(Irp, "completion routine returning")) {
                return;
            }
            PIO_STACK_LOCATION mine = Irp->Tail.Overlay.CurrentStackLocation;
            if (Irp->PendingReturned && owned &&
                (__atomic_load_n(&mine->Control, __ATOMIC_ACQUIRE) & SL_PENDING_RETURNED) == 0) {
                platform::VerifierFault("IRP_PENDING_NOT_PROPAGATED",
                                        "completion routine %p of device %p saw PendingReturned on IRP %p but did "
                                        "not mark its own location pending",
                                        reinterpret_cast<void*>(routine), static_cast<void*>(device),
                                        static_cast<void*>(Irp));
                // Marked here so that its dispatch routine's return is judged on its own merits.
                __atomic_fetch_or(&mine->Control, SL_PENDING_RETURNED, __ATOMIC_ACQ_REL);
            }
        } else if (Irp->PendingReturned && owned) {
            // Without a routine to do it, the pending mark moves up by itself.
            IoMarkIrpPending(Irp);
        }
    }
    platform::IrpVerifierSetFullyCompleted(Irp);
    FinishIrp(Irp);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g_cancelSpinLock, Irql); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelSpinLock, Irql); }

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

BOOLEAN IoCancelIrp(PIRP Irp)
{
    if (!platform::IrpVerifierCheckLive(Irp, "IoCancelIrp")) {
        return FALSE;
    }
    const int spinLocks = platform::IrqlHeldSpinLocks();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
    routine(device, Irp);
    // The routine releases the cancel spin lock, which brings the IRQL back to where it was.
    CheckRoutineExit("cancel", "IRP_CANCEL", reinterpret_cast<void*>(routine), Irp, irql, spinLocks);
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    irp->Platform.Built = TRUE;
    irp->Platform.OutputLength = OutputBufferLength;
    irp->Platform.ControlCode = IoControlCode;

    const ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    const ULONG systemLength =
        method == METHOD_BUFFERED ? (InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength)
        : method == METHOD_NEITHER ? 0
                                   : InputBufferLength;
    if (systemLength != 0) {
        void* buffer = ExAllocatePoolWithTag(NonPagedPoolNx, systemLength, platform::IO_BUFFER_TAG);
        if (buffer == nullptr) {
            IoFreeIrp(irp);
            return nullptr;
        }
        std::memset(buffer, 0, systemLength);
        if (InputBuffer != nullptr && InputBufferLength != 0) {
            std::memcpy(buffer, InputBuffer, InputBufferLength);
        }
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    switch (method) {
    case METHOD_BUFFERED:
        if (OutputBufferLength != 0) {
            irp->Flags |= IRP_INPUT_OPERATION;
        }
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (OutputBuffer != nullptr && OutputBufferLength != 0) {
            PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
            if (mdl == nullptr) {
                if (irp->AssociatedIrp.SystemBuffer != nullptr) {
                    ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, platform::IO_BUFFER_TAG);
                }
                IoFreeIrp(irp);
                return nullptr;
            }
            MmBuildMdlForNonPagedPool(mdl);
        }
        break;
    default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        break;
    }
    irp->UserBuffer = OutputBuffer;
    return irp;
}

BOOLEAN IoIs32bitProcess(PIRP Irp)
{
    // The process the request came from; without a request, the caller's own.
    const platform::ProcessId process = Irp != nullptr ? Irp->Platform.Process : platform::CurrentProcess();
    return platform::ProcessIs32bit(process) ? TRUE : FALSE;
}

namespace platform {

PIO_STACK_LOCATION IoPrepareNextStackLocation(PIRP irp, UCHAR majorFunction, UCHAR minorFunction, PFILE_OBJECT file)
{
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    std::memset(stack, 0, sizeof(IO_STACK_LOCATION));
    stack->MajorFunction = majorFunction;
    stack->MinorFunction = minorFunction;
    stack->FileObject = file;
    return stack;
}

void IoFreeFinishedIrp(PIRP irp) { FreeIrpMemory(irp, true); }

}  // namespace platform

VOID IoMarkIrpPending(PIRP Irp)
{
    if (Irp->CurrentLocation > Irp->StackCount) {
        // The allocator's own completion routine has no location to mark; writing one would land
        // past the end of the IRP.
        platform::VerifierFault("IRP_MARK_NO_LOCATION", "IoMarkIrpPending on IRP %p, which has no current location",
                                static_cast<void*>(Irp));
        return;
    }
    // Atomic: the dispatch routine's return is judged from another thread's view of it.
    __atomic_fetch_or(&IoGetCurrentIrpStackLocation(Irp)->Control, SL_PENDING_RETURNED, __ATOMIC_ACQ_REL);
}
