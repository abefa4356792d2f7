// Non-paged lookaside lists. The stand-in keeps no cache (as with depth 0): every entry is a pool
// block with the list's tag, so the leak report and failure injection see each one.
#pragma once

#include "platform/nt/NtTypes.h"
#include "platform/nt/Pool.h"

using PALLOCATE_FUNCTION = PVOID (*)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
using PFREE_FUNCTION = VOID (*)(PVOID Buffer);

struct NPAGED_LOOKASIDE_LIST {
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    POOL_TYPE Type;
    SIZE_T Size;
    ULONG Tag;
    USHORT Depth;
    LONG Outstanding;  // entries handed out and not yet returned
    ULONG Signature;   // set while the list is initialised
};
using PNPAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST*;

// Null routines select the pool; entries come from NonPagedPoolNx.
VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth);
// Deleting a list with entries still out is a verifier fault.
VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
