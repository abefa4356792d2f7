// Executive pool of the stand-in: tagged, tracked, poisoned, and able to fail on demand.
#pragma once

#include "platform/nt/NtTypes.h"

enum POOL_TYPE : int {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolCacheAligned = 4,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
};

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);
// The untagged allocation: its blocks carry the tag "None".
inline PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, MakePoolTag("None"));
}

// New blocks are filled with this byte so that a missing zeroing shows.
constexpr UCHAR POOL_POISON_BYTE = 0xCD;
// Every block is followed (and, when front guards are on, preceded) by guard bytes of this value;
// a changed guard is an overrun, reported at free and at the end of a test.
constexpr UCHAR POOL_GUARD_BYTE = 0xA7;
// A freed block is filled with this byte and held in a bounded quarantine before its memory is
// reused: a changed byte when it leaves is a write after free by the block's owner.
constexpr UCHAR POOL_FREED_BYTE = 0xDD;
