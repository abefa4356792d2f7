#include "platform/nt/Lookaside.h"

#include "platform/nt/Irql.h"
#include "platform/nt/Sync.h"
#include "platform/nt/Verifier.h"
#include "platform/nt/PoolHost.h"

namespace {

constexpr ULONG LOOKASIDE_SIGNATURE = MakePoolTag("LkAs");

bool CheckInitialised(PNPAGED_LOOKASIDE_LIST list, const char* operation)
{
    if (list == nullptr || list->Signature != LOOKASIDE_SIGNATURE) {
        platform::VerifierFault("LOOKASIDE", "%s on a lookaside list that is not initialised", operation);
        return false;
    }
    return true;
}

}  // namespace

VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth)
{
    UNREFERENCED_PARAMETER(Flags);
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList");
    Lookaside->Allocate = Allocate;
    Lookaside->Free = Free;
    Lookaside->Type = NonPagedPoolNx;
    Lookaside->Size = Size;
    Lookaside->Tag = Tag;
    Lookaside->Depth = Depth;
    Lookaside->Outstanding = 0;
    Lookaside->Signature = LOOKASIDE_SIGNATURE;
}

VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    if (!CheckInitialised(Lookaside, "ExDeleteNPagedLookasideList")) {
        return;
    }
    if (Lookaside->Outstanding != 0) {
        platform::VerifierFault("LOOKASIDE", "lookaside list '%s' deleted with %d entries still out",
                                platform::PoolTagToString(Lookaside->Tag).c_str(), Lookaside->Outstanding);
    }
    Lookaside->Signature = 0;
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList");
    if (!CheckInitialised(Lookaside, "ExAllocateFromNPagedLookasideList")) {
        return nullptr;
    }
    PVOID entry = Lookaside->Allocate != nullptr ? Lookaside->Allocate(Lookaside->Type, Lookaside->Size, Lookaside->Tag)
                                                 : ExAllocatePoolWithTag(Lookaside->Type, Lookaside->Size, Lookaside->Tag);
    if (entry != nullptr) {
        InterlockedIncrement(&Lookaside->Outstanding);
    }
    return entry;
}

VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList");
    if (!CheckInitialised(Lookaside, "ExFreeToNPagedLookasideList")) {
        return;
    }
    InterlockedDecrement(&Lookaside->Outstanding);
    if (Lookaside->Free != nullptr) {
        Lookaside->Free(Entry);
    } else {
        ExFreePoolWithTag(Entry, Lookaside->Tag);
    }
}
