#include "primitives/core/ElementAccess.h"
#include "primitives/core/VectorBasics.h"

#include <cstring>

#include "primitives/core/ArgumentChecks.h"

namespace {

// Length in bytes of len floats, in 64 bits: len * 4 overflows 32 bits from len 2^29 on.
inline int64_t FloatBytes(int32_t len)
{
    return static_cast<int64_t>(len) * static_cast<int64_t>(sizeof(float));
}

inline bool RangesOverlap(const void* a, const void* b, int64_t byteCount)
{
    auto pa = reinterpret_cast<uintptr_t>(a);
    auto pb = reinterpret_cast<uintptr_t>(b);
    uintptr_t distance = pa > pb ? pa - pb : pb - pa;
    return distance < static_cast<uintptr_t>(byteCount);
}

}  // namespace

void* ZeroBytes(void* ptr, int64_t byteCount)
{
    if (byteCount > 0) {
        memset(ptr, 0, static_cast<size_t>(byteCount));
    }
    return ptr;
}

void* CopyBytes(const void* src, void* dst, int64_t byteCount)
{
    if (byteCount <= 0) {
        return dst;
    }
    if (!RangesOverlap(src, dst, byteCount)) {
        memcpy(dst, src, static_cast<size_t>(byteCount));
        return dst;
    }
    // Overlapping ranges are a caller error; they are copied one byte at a time in ascending
    // order, so the outcome does not depend on the block strategy.
    auto* s = static_cast<const volatile uint8_t*>(src);
    auto* d = static_cast<volatile uint8_t*>(dst);
    for (int64_t i = 0; i < byteCount; ++i) {
        d[i] = s[i];
    }
    return dst;
}

void* FillKernel32(uint32_t value, void* dst, int32_t count)
{
    auto* words = static_cast<uint32_t*>(dst);
    for (int32_t i = 0; i < count; ++i) {
        words[i] = value;
    }
    return dst;
}

PrimitiveStatus ZeroFloatGeneric(float* dst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, dst); status != StatusOk) {
        return status;
    }
    ZeroBytes(dst, FloatBytes(len));
    return StatusOk;
}

PrimitiveStatus CopyFloatGeneric(const float* src, float* dst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    CopyBytes(src, dst, FloatBytes(len));
    return StatusOk;
}

PrimitiveStatus MoveFloatGeneric(const float* src, float* dst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    if (src != dst) {
        memmove(dst, src, static_cast<size_t>(FloatBytes(len)));
    }
    return StatusOk;
}

PrimitiveStatus FillInt32(int32_t value, int32_t* dst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, dst); status != StatusOk) {
        return status;
    }
    FillKernel32(static_cast<uint32_t>(value), dst, len);
    return StatusOk;
}

PrimitiveStatus AddInPlaceGeneric(const float* src, float* srcDst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, srcDst); status != StatusOk) {
        return status;
    }
    for (int32_t i = 0; i < len; ++i) {
        StoreElement(srcDst, i, LoadElement(src, i) + LoadElement(srcDst, i));
    }
    return StatusOk;
}

PrimitiveStatus AddConstantInPlaceGeneric(float c, float* srcDst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, srcDst); status != StatusOk) {
        return status;
    }
    if (c == 0.0f) {
        return StatusOk;  // keeps -0.0 elements as they are
    }
    for (int32_t i = 0; i < len; ++i) {
        StoreElement(srcDst, i, LoadElement(srcDst, i) + c);
    }
    return StatusOk;
}

PrimitiveStatus MultiplyByConstantGeneric(const float* src, float c, float* dst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    if (c == 1.0f) {
        return CopyFloatGeneric(src, dst, len);
    }
    if (c == 0.0f) {
        return ZeroFloatGeneric(dst, len);
    }
    for (int32_t i = 0; i < len; ++i) {
        StoreElement(dst, i, LoadElement(src, i) * c);
    }
    return StatusOk;
}

PrimitiveStatus MultiplyByConstantInPlaceGeneric(float c, float* srcDst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, srcDst); status != StatusOk) {
        return status;
    }
    if (c == 1.0f) {
        return StatusOk;
    }
    if (c == 0.0f) {
        return ZeroFloatGeneric(srcDst, len);
    }
    for (int32_t i = 0; i < len; ++i) {
        StoreElement(srcDst, i, LoadElement(srcDst, i) * c);
    }
    return StatusOk;
}

PrimitiveStatus DivideByConstant(const float* src, float c, float* dst, int32_t len)
{
    if (PrimitiveStatus status = CheckPointersAndLength(len, src, dst); status != StatusOk) {
        return status;
    }
    if (c == 0.0f) {
        return StatusDivideByZero;
    }
    // One reciprocal, then a multiplication per element: never an element-wise division.
    float reciprocal = 1.0f / c;
    return MultiplyByConstantGeneric(src, reciprocal, dst, len);
}

PrimitiveStatus DivideByConstantInPlaceGeneric(float c, float* srcDst, int32_t len)
{
    return DivideByConstant(srcDst, c, srcDst, len);
}
