// Bookkeeping of the I/O manager's IRP checks (platform internal): which IRPs are live, which were
// freed lately, and what every dispatch routine still on the way did with its stack location.
// Kept outside the IRP so that a freed or reused IRP is never read to find out.
#pragma once

#include "platform/io/Io.h"

namespace platform {

// One call of a dispatch routine through IofCallDriver, until its pending rules are settled. It
// lives on IofCallDriver's stack; only a decision left for the completion moves it to the heap.
struct IrpDispatchFrame {
    PIO_STACK_LOCATION Location = nullptr;  // the routine's own stack location
    void* Routine = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    bool Returned = false;    // the routine returned STATUS_PENDING with the location not yet marked
    bool Completed = false;   // the IRP completed past the location while the routine still ran
    bool Marked = false;      // SL_PENDING_RETURNED of the location when it completed
    NTSTATUS CompletedStatus = 0;
    bool OnHeap = false;
};

// A fresh IRP (IoInitializeIrp, IoReuseIrp): live, never sent, earlier calls' bookkeeping dropped.
void IrpVerifierInit(PIRP irp);

enum class IrpUse { Other, Completion, Free };
// False (with "IRP_USED_AFTER_FREE", "IRP_COMPLETED_TWICE", "IRP_FREED_TWICE" or "IRP_NOT_LIVE")
// when the IRP is not live; the caller then must not touch it.
bool IrpVerifierCheckLive(PIRP irp, const char* call, IrpUse use = IrpUse::Other);
// Forgets the IRP before its memory goes (it must be live). `byCompletion`: the I/O manager frees
// it after its last completion.
void IrpVerifierFree(PIRP irp, bool byCompletion);
// The IRP goes down to the frame's routine (Location, Routine and Device filled in).
void IrpVerifierEnterDispatch(PIRP irp, IrpDispatchFrame* frame);
// The routine returned `status`: pending rules are checked now, or when the location completes.
void IrpVerifierLeaveDispatch(PIRP irp, IrpDispatchFrame* frame, NTSTATUS status);
// Start of IofCompleteRequest: false (with the fault) when the IRP is not live; else whether it
// already went all the way back to its sender.
bool IrpVerifierStartCompletion(PIRP irp, bool* fullyCompleted);
// The completion passes `location` (its control bits as they were) with the IRP's status.
void IrpVerifierLocationCompleted(PIRP irp, PIO_STACK_LOCATION location, UCHAR control, NTSTATUS status);
// The IRP went all the way back to its sender.
void IrpVerifierSetFullyCompleted(PIRP irp);

}  // namespace platform
