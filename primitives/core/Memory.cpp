#include "primitives/core/Memory.h"

#include "platform/nt/Pool.h"

void* PoolAllocateHook(uint32_t size)
{
    return ExAllocatePoolWithTag(NonPagedPoolNx, size, PRIMITIVES_POOL_TAG);
}

void* PoolAllocateArrayHook(uint32_t count, uint64_t size)
{
    // Computed in 64 bits so that a large count cannot wrap into a small block.
    return ExAllocatePoolWithTag(NonPagedPoolNx, static_cast<SIZE_T>(count) * size, PRIMITIVES_POOL_TAG);
}

void* PoolReallocateHook(void*, uint32_t)
{
    return nullptr;
}

void PoolFreeHook(void* pointer)
{
    ExFreePool(pointer);
}

const AllocatorHookTable AllocatorHooks = {
    PoolAllocateHook,
    PoolAllocateArrayHook,
    PoolReallocateHook,
    PoolFreeHook,
};

void* AllocateAligned(int32_t size)
{
    if (size <= 0) {
        return nullptr;
    }
    auto* raw = static_cast<uint8_t*>(AllocatorHooks.Allocate(static_cast<uint32_t>(size) + ALIGNED_BLOCK_OVERHEAD));
    if (raw == nullptr) {
        return nullptr;
    }
    // raw + 39 rounded down to 32 leaves 8 to 39 bytes below the block, enough for the header.
    auto address = (reinterpret_cast<uintptr_t>(raw) + (ALIGNED_BLOCK_OVERHEAD - 1)) &
                   ~static_cast<uintptr_t>(ALIGNED_BLOCK_ALIGNMENT - 1);
    auto* block = reinterpret_cast<uint8_t*>(address);
    reinterpret_cast<AlignedBlockHeader*>(block)[-1].pRaw = raw;
    return block;
}

void FreeAlignedGeneric(void* pointer)
{
    if (pointer == nullptr) {
        return;
    }
    AllocatorHooks.Free(static_cast<AlignedBlockHeader*>(pointer)[-1].pRaw);
}
