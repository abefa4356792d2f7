// Blocks of the headphone engine: non-paged, no-execute pool, tag "JQZP", zeroed.
#pragma once

#include <cstring>
#include <new>

#include "platform/nt/Pool.h"

constexpr ULONG JQZ_POOL_TAG = MakePoolTag("JQZP");

// A zeroed block, or null.
inline void* AllocateJqzBlock(SIZE_T bytes)
{
    void* pBlock = ExAllocatePoolWithTag(NonPagedPoolNx, bytes, JQZ_POOL_TAG);
    if (pBlock != nullptr) {
        std::memset(pBlock, 0, bytes);
    }
    return pBlock;
}

inline void FreeJqzBlock(void* pBlock)
{
    if (pBlock != nullptr) {
        ExFreePoolWithTag(pBlock, JQZ_POOL_TAG);
    }
}

// An object of class T made in a zeroed block and constructed with args; null when the block
// cannot be had.
template <typename T, typename... Args>
T* NewJqzObject(Args... args)
{
    void* pBlock = AllocateJqzBlock(sizeof(T));
    return pBlock != nullptr ? new (pBlock) T(args...) : nullptr;
}

// Runs T's Release (which frees what the object obtained), then the destructor, then frees the
// block; clears the pointer.
template <typename T>
void DeleteJqzObject(T*& pObject)
{
    if (pObject != nullptr) {
        pObject->Release();
        pObject->~T();
        FreeJqzBlock(pObject);
        pObject = nullptr;
    }
}
