#include "primitives/core/ElementAccess.h"
#include "primitives/core/Interleave.h"

#include <cstring>

namespace {

inline bool Misaligned16(const void* p)
{
    return (reinterpret_cast<uintptr_t>(p) & 15u) != 0;
}

// Tests shared by both directions after the two top-level pointers: the count, the length, the
// alignment of every buffer and a null channel pointer, which fails before anything is written.
template <typename ChannelPointer>
PrimitiveStatus CheckLayout(const void* interleaved, const ChannelPointer* channels, int32_t numChannels, int32_t len)
{
    if (numChannels < 1) {
        return StatusChannelCountError;
    }
    if (len <= 0) {
        return StatusSizeError;
    }
    PrimitiveStatus pending = Misaligned16(interleaved) ? WarningMisalignedBuffer : StatusOk;
    for (int32_t c = 0; c < numChannels; ++c) {
        if (channels[c] == nullptr) {
            return StatusNullPointer;
        }
        if (Misaligned16(channels[c])) {
            pending = WarningMisalignedBuffer;
        }
    }
    return pending;
}

// Samples are moved as 32-bit words so that every bit pattern, NaN payloads included, survives.
inline uint32_t* Words(float* p)
{
    return reinterpret_cast<uint32_t*>(p);
}
inline const uint32_t* Words(const float* p)
{
    return reinterpret_cast<const uint32_t*>(p);
}

}  // namespace

PrimitiveStatus InterleaveChannelsGeneric(const float* const* srcChannels, int32_t numChannels, int32_t len,
                                          float* dst)
{
    if (srcChannels == nullptr || dst == nullptr) {
        return StatusNullPointer;
    }
    PrimitiveStatus status = CheckLayout(dst, srcChannels, numChannels, len);
    if (status < 0) {
        return status;
    }
    uint32_t* out = Words(dst);
    size_t stride = static_cast<size_t>(numChannels);
    if (numChannels == 1) {
        memcpy(out, srcChannels[0], static_cast<size_t>(len) * sizeof(uint32_t));
    } else if (numChannels == 2) {
        const uint32_t* left = Words(srcChannels[0]);
        const uint32_t* right = Words(srcChannels[1]);
        for (size_t j = 0; j < static_cast<size_t>(len); ++j) {
            StoreElement(out, 2 * j, LoadElement(left, j));
            StoreElement(out, 2 * j + 1, LoadElement(right, j));
        }
    } else {
        for (int32_t c = 0; c < numChannels; ++c) {
            const uint32_t* in = Words(srcChannels[c]);
            uint32_t* column = out + c;
            for (size_t j = 0; j < static_cast<size_t>(len); ++j) {
                StoreElement(column, j * stride, LoadElement(in, j));
            }
        }
    }
    return status;
}

PrimitiveStatus DeinterleaveChannelsGeneric(const float* src, int32_t numChannels, int32_t len,
                                            float* const* dstChannels)
{
    if (dstChannels == nullptr || src == nullptr) {
        return StatusNullPointer;
    }
    PrimitiveStatus status = CheckLayout(src, dstChannels, numChannels, len);
    if (status < 0) {
        return status;
    }
    const uint32_t* in = Words(src);
    size_t stride = static_cast<size_t>(numChannels);
    if (numChannels == 1) {
        memcpy(dstChannels[0], in, static_cast<size_t>(len) * sizeof(uint32_t));
    } else if (numChannels == 2) {
        uint32_t* left = Words(dstChannels[0]);
        uint32_t* right = Words(dstChannels[1]);
        for (size_t j = 0; j < static_cast<size_t>(len); ++j) {
            StoreElement(left, j, LoadElement(in, 2 * j));
            StoreElement(right, j, LoadElement(in, 2 * j + 1));
        }
    } else {
        for (int32_t c = 0; c < numChannels; ++c) {
            uint32_t* out = Words(dstChannels[c]);
            const uint32_t* column = in + c;
            for (size_t j = 0; j < static_cast<size_t>(len); ++j) {
                StoreElement(out, j, LoadElement(column, j * stride));
            }
        }
    }
    return status;
}
