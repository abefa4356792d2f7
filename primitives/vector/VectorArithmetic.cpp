// Generic bodies of the element-wise vector entries. Every body visits the elements in
// ascending order and reads element i of its inputs before it writes element i, so a
// destination equal to an input works and a partly overlapping one sees what was written.
#include "primitives/vector/VectorArithmetic.h"

#include "primitives/core/Memory.h"
#include "primitives/vector/VectorAccess.h"

using namespace kvxvec;

PrimitiveStatus FillFloatGeneric(float value, float* dst, int32_t len)
{
    // Moved as a pattern, so a NaN payload and the sign of -0.0 survive.
    return StoreEach(CheckArguments(len, dst), dst, len, [=](int32_t) { return value; });
}

PrimitiveStatus AbsoluteInPlaceGeneric(float* srcDst, int32_t len)
{
    return StoreEach(CheckArguments(len, srcDst), srcDst, len,
                     [=](int32_t i) { return FromBits(LoadBits(srcDst, i) & 0x7FFFFFFFu); });
}

PrimitiveStatus ReverseCopyGeneric(const float* src, float* dst, int32_t len)
{
    const PrimitiveStatus status = CheckArguments(len, src, dst);
    if (status != StatusOk) {
        return status;
    }
    // Source order, so an in-place call overwrites the second half before reading it.
    for (int32_t i = 0; i < len; ++i) {
        StoreBits(dst, len - 1 - i, LoadBits(src, i));
    }
    return StatusOk;
}

PrimitiveStatus MultiplyInPlaceGeneric(const float* src, float* srcDst, int32_t len)
{
    return StoreEach(CheckArguments(len, src, srcDst), srcDst, len,
                     [=](int32_t i) { return Load(src, i) * Load(srcDst, i); });
}

PrimitiveStatus AddGeneric(const float* a, const float* b, float* dst, int32_t len)
{
    return StoreEach(CheckArguments(len, a, b, dst), dst, len, [=](int32_t i) { return Load(a, i) + Load(b, i); });
}

PrimitiveStatus SubtractGeneric(const float* a, const float* b, float* dst, int32_t len)
{
    return StoreEach(CheckArguments(len, a, b, dst), dst, len, [=](int32_t i) { return Load(b, i) - Load(a, i); });
}

PrimitiveStatus MultiplyGeneric(const float* a, const float* b, float* dst, int32_t len)
{
    return StoreEach(CheckArguments(len, a, b, dst), dst, len, [=](int32_t i) { return Load(a, i) * Load(b, i); });
}

// With an input overlapping srcDst each step sees what the previous one wrote; without, the
// order cannot show and the compiler takes the elements several at a time.
PrimitiveStatus MultiplyAccumulateGeneric(const float* a, const float* b, float* srcDst, int32_t len)
{
    return StoreEach(CheckArguments(len, a, b, srcDst), srcDst, len,
                     [=](int32_t i) { return Load(a, i) * Load(b, i) + Load(srcDst, i); });
}

PrimitiveStatus MultiplyAccumulateByConstantGeneric(const float* src, float c, float* srcDst, int32_t len)
{
    return StoreEach(CheckArguments(len, src, srcDst), srcDst, len,
                     [=](int32_t i) { return Load(src, i) * c + Load(srcDst, i); });
}

PrimitiveStatus SquareGeneric(const float* src, float* dst, int32_t len)
{
    return StoreEach(CheckArguments(len, src, dst), dst, len, [=](int32_t i) {
        const float x = Load(src, i);
        return x * x;
    });
}

PrimitiveStatus DivideGeneric(const float* a, const float* b, float* dst, int32_t len)
{
    bool zeroDivisor = false;
    const PrimitiveStatus status = StoreEach(CheckArguments(len, a, b, dst), dst, len, [&](int32_t i) {
        const float d = Load(a, i);
        const float x = Load(b, i);
        if (d != 0.0f) {
            return x / d;  // a NaN divisor lands here and gives a NaN
        }
        // The sign of the zero divisor does not matter; 0/0 and NaN/0 are invalid.
        zeroDivisor = true;
        return FromBits(x > 0.0f ? POSITIVE_INFINITY_PATTERN : x < 0.0f ? NEGATIVE_INFINITY_PATTERN : NAN_PATTERN);
    });
    return status == StatusOk && zeroDivisor ? WarningDivideByZero : status;
}

// The destination is replaced only when the source is strictly smaller (larger): ties, -0.0
// against +0.0 included, and NaNs on either side keep it.
PrimitiveStatus ElementwiseMinimumInPlaceGeneric(const float* src, float* srcDst, int32_t len)
{
    return StoreEach(CheckArguments(len, src, srcDst), srcDst, len, [=](int32_t i) {
        const float s = Load(src, i);
        const float d = Load(srcDst, i);
        return s < d ? s : d;
    });
}

PrimitiveStatus ElementwiseMaximumInPlaceGeneric(const float* src, float* srcDst, int32_t len)
{
    return StoreEach(CheckArguments(len, src, srcDst), srcDst, len, [=](int32_t i) {
        const float s = Load(src, i);
        const float d = Load(srcDst, i);
        return s > d ? s : d;
    });
}

float* AllocateFloatAlignedGeneric(int32_t len)
{
    if (len <= 0) {
        return nullptr;
    }
    // The Allocate hook takes a 32-bit size: a request that does not fit is refused rather
    // than truncated into a block smaller than len floats.
    const uint64_t bytes = static_cast<uint64_t>(len) * 4u + ALIGNED_BLOCK_OVERHEAD;
    if (bytes > UINT32_MAX) {
        return nullptr;
    }
    auto* raw = static_cast<uint8_t*>(AllocatorHooks.Allocate(static_cast<uint32_t>(bytes)));
    if (raw == nullptr) {
        return nullptr;
    }
    // The layout of AllocateAligned, so that FreeAligned releases either kind of block.
    const uintptr_t address = (reinterpret_cast<uintptr_t>(raw) + (ALIGNED_BLOCK_OVERHEAD - 1)) &
                              ~static_cast<uintptr_t>(ALIGNED_BLOCK_ALIGNMENT - 1);
    auto* block = reinterpret_cast<uint8_t*>(address);
    reinterpret_cast<AlignedBlockHeader*>(block)[-1].pRaw = raw;
    return reinterpret_cast<float*>(block);
}
