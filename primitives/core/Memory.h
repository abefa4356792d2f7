// The library's memory: a constant hook table over the non-paged pool and 32-byte aligned blocks.
// Allocations are not zeroed; each primitive clears what it needs.
#pragma once

#include <cstdint>

#include "platform/nt/NtTypes.h"

// Pool tag of every allocation of the primitive library.
constexpr ULONG PRIMITIVES_POOL_TAG = MakePoolTag("KVX ");

struct AllocatorHookTable {
    void* (*Allocate)(uint32_t size);
    void* (*AllocateArray)(uint32_t count, uint64_t size);
    void* (*Reallocate)(void* pointer, uint32_t size);  // not supported: always null
    void (*Free)(void* pointer);
};

// Set at build time and never written. The library calls only Allocate and Free.
extern const AllocatorHookTable AllocatorHooks;

void* PoolAllocateHook(uint32_t size);
void* PoolAllocateArrayHook(uint32_t count, uint64_t size);
void* PoolReallocateHook(void* pointer, uint32_t size);
void PoolFreeHook(void* pointer);

// Stored in the 8 bytes right below every aligned block: the raw allocation behind it.
struct AlignedBlockHeader {
    void* pRaw;
};

constexpr int32_t ALIGNED_BLOCK_ALIGNMENT = 32;
// Extra bytes asked of Allocate: room for the header and the worst-case alignment step.
constexpr int32_t ALIGNED_BLOCK_OVERHEAD = 40;

// A 32-byte aligned block of at least size bytes, or null (also for size <= 0).
void* AllocateAligned(int32_t size);
// Releases a block of AllocateAligned or AllocateFloatAligned; null is ignored.
void FreeAlignedGeneric(void* pointer);
