// Element reads and writes through pointers that need not be aligned to their element size: every
// primitive accepts such pointers, so the element loops go through these instead of subscripts.
#pragma once

#include <cstdint>
#include <cstring>

template <typename T>
inline T LoadElement(const T* p, int64_t i)
{
    T v;
    memcpy(&v, reinterpret_cast<const uint8_t*>(p) + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
    return v;
}

template <typename T>
inline void StoreElement(T* p, int64_t i, T v)
{
    memcpy(reinterpret_cast<uint8_t*>(p) + i * static_cast<int64_t>(sizeof(T)), &v, sizeof(T));
}
