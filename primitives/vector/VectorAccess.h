// Element access for the vector bodies. Callers may pass arrays at any byte address, so every
// load and store goes through memcpy; at -O2 these become plain moves and the loops vectorise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "primitives/core/FloatBits.h"

namespace kvxvec {

inline float Load(const float* p, int64_t i)
{
    float v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(p) + i * 4, 4);
    return v;
}

inline void Store(float* p, int64_t i, float v)
{
    std::memcpy(reinterpret_cast<unsigned char*>(p) + i * 4, &v, 4);
}

using ::Bits;

inline float FromBits(uint32_t b)
{
    return FloatFromBits(b);
}

inline uint32_t LoadBits(const float* p, int64_t i)
{
    return Bits(Load(p, i));
}

inline void StoreBits(float* p, int64_t i, uint32_t bits)
{
    Store(p, i, FromBits(bits));
}

// The invalid-result pattern: sign set, quiet bit set, no payload.
constexpr uint32_t NAN_PATTERN = 0xFFC00000u;
constexpr uint32_t POSITIVE_INFINITY_PATTERN = 0x7F800000u;
constexpr uint32_t NEGATIVE_INFINITY_PATTERN = 0xFF800000u;

// Bits 22 to 30 all set, whatever the sign and payload.
constexpr bool IsQuietNanPattern(uint32_t bits)
{
    return (bits & 0x7FC00000u) == 0x7FC00000u;
}

// Elements from p to its next 16-byte boundary (0 to 3); meaningful for 4-byte aligned p.
inline int32_t PeelToSixteen(const void* p)
{
    return static_cast<int32_t>(((16 - (reinterpret_cast<uintptr_t>(p) & 15)) & 15) / 4);
}

inline bool IsFourByteAligned(const void* p)
{
    return (reinterpret_cast<uintptr_t>(p) & 3) == 0;
}

}  // namespace kvxvec

#include "primitives/core/ArgumentChecks.h"
#include "primitives/core/PrimitiveStatus.h"

namespace kvxvec {

// The argument tests every vector body makes, in their observable order: the pointers in
// argument order, then the length -- the same tests as the rest of the library.
template <typename... P>
inline PrimitiveStatus CheckArguments(int32_t len, const P*... pointers)
{
    return CheckPointersAndLength(len, pointers...);
}

// The shared frame of the element-wise bodies: after the argument tests, dst[i] = element(i)
// for ascending i, each element computed (its inputs read) right before it is stored, so a
// destination equal to an input works and a partly overlapping one sees what was written.
template <typename Element>
PrimitiveStatus StoreEach(PrimitiveStatus checked, float* dst, int32_t len, Element element)
{
    if (checked != StatusOk) {
        return checked;
    }
    for (int32_t i = 0; i < len; ++i) {
        Store(dst, i, element(i));
    }
    return StatusOk;
}

}  // namespace kvxvec
