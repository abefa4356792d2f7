// Single-rate FIR states: in caller memory (size query and builder) and in a block of their own
// (create and destroy).
#include "primitives/filter/FirState.h"

#include <climits>

#include "primitives/core/Memory.h"
#include "primitives/core/VectorBasics.h"
#include "primitives/fft/RealFft.h"
#include "primitives/filter/FilterSlot.h"

namespace {

int64_t Up16(int64_t bytes) { return (bytes + 15) & ~int64_t{15}; }

uint8_t* AlignUp16(uint8_t* p) {
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 15) & ~uintptr_t{15});
}

// Byte counts of the areas every single-rate layout shares, in 64 bits: 12 * tapsLen wraps a
// 32-bit int long before the tap count itself does.
int64_t TapsBytes(int32_t tapsLen) { return Up16(4 * int64_t{tapsLen}); }
int64_t DelayBytes(int32_t tapsLen) { return (12 * int64_t{tapsLen} + 31) & ~int64_t{15}; }
int64_t SpectrumBytes(int64_t fftLen) { return Up16(4 * fftLen); }

// The FFT of an in-buffer state: order, length and the three sizes of the slot's specification;
// all zero without FFT (also when the size query refuses the order).
struct FirFftSizes {
    int32_t order = 0;
    int64_t fftLen = 0;
    int32_t specBytes = 0;
    int32_t initBytes = 0;
    int32_t workBytes = 0;
};

FirFftSizes QueryFftSizes(const FirSlotOps& ops, int32_t tapsLen) {
    FirFftSizes sizes;
    if (tapsLen < FirFftThresholdTaps) return sizes;
    const int32_t order = FirFftOrder(tapsLen);
    int32_t spec = 0;
    int32_t init = 0;
    int32_t work = 0;
    if (ops.getRealFftSize(order, FftScaleInverse, 0, &spec, &init, &work) != StatusOk) return sizes;
    sizes.order = order;
    sizes.fftLen = int64_t{1} << order;
    sizes.specBytes = spec;
    sizes.initBytes = init;
    sizes.workBytes = work;
    return sizes;
}

// Slots 1 to 3 keep every tap four times over for their direct-form kernel.
int64_t ReplicatedBytes(const FirSlotOps& ops, int32_t tapsLen) { return ops.slot == 0 ? 0 : 4 * TapsBytes(tapsLen); }

int64_t InBufferSize(const FirSlotOps& ops, int32_t tapsLen, const FirFftSizes& fft) {
    return 16576 + TapsBytes(tapsLen) + DelayBytes(tapsLen) + ReplicatedBytes(ops, tapsLen) + fft.specBytes +
           fft.initBytes + fft.workBytes + 2 * SpectrumBytes(fft.fftLen);
}

// The taps reversed (and, in slots 1 to 3, replicated in their given order) and the history
// (given most recent first) stored oldest first.
void FillTapsAndHistory(const FirSlotOps& ops, FirState* state, const float* taps, int32_t tapsLen,
                        const float* delay) {
    for (int32_t i = 0; i < tapsLen; ++i) state->reversedTaps[i] = taps[tapsLen - 1 - i];
    if (state->laneTaps != nullptr) {
        for (int64_t i = 0; i < tapsLen; ++i) {
            for (int64_t k = 0; k < 4; ++k) state->laneTaps[4 * i + k] = taps[i];
        }
    }
    if (delay != nullptr) {
        for (int32_t i = 0; i < tapsLen; ++i) state->delayLine[i] = delay[tapsLen - 1 - i];
    } else {
        ops.zeroFloat(state->delayLine, tapsLen);
    }
}

// The taps zero-padded to fftLen and transformed in place: the spectrum overlap-save multiplies by.
// fftLen is more than twice the taps, so the padding is never empty.
PrimitiveStatus TransformTaps(const FirSlotOps& ops, FirState* state, const float* taps, int32_t tapsLen) {
    ops.copyFloat(taps, state->tapsSpectrum, tapsLen);
    ops.zeroFloat(state->tapsSpectrum + tapsLen, state->fftLen - tapsLen);
    return ops.forwardRealFft(state->tapsSpectrum, state->tapsSpectrum, state->fftSpec, state->fftWork);
}

// The header fields both single-rate layouts set the same way.
void SetCommonHeader(const FirSlotOps& ops, FirState* state, int32_t tapsLen, uint32_t tag) {
    state->tag = tag;
    state->builderSlot = static_cast<uint32_t>(ops.slot);
    state->tapsLen = tapsLen;
    state->delayLen = tapsLen;
    state->delayInputCount = ((tapsLen + 3) & ~3) | 1;
    state->delayIndex = 0;
    state->fftSpec = nullptr;
    state->tapsSpectrum = nullptr;
    state->fftLen = -1;
    state->fftWork = nullptr;
    state->phaseTable = nullptr;
}

}  // namespace

int32_t FirFftOrder(int32_t tapsLen) {
    int32_t e = 1;
    while (e < 31 && (int64_t{1} << e) <= tapsLen) ++e;
    return e + 1;
}

bool ComputeFirStateSize64(int32_t tapsLen, int64_t* pSize) {
    *pSize = InBufferSize(GenericFirSlot, tapsLen, QueryFftSizes(GenericFirSlot, tapsLen));
    return *pSize <= INT32_MAX;
}

PrimitiveStatus ComputeFirStateSizeFor(const FirSlotOps& ops, int32_t tapsLen, int32_t* pSize) {
    const int64_t size = InBufferSize(ops, tapsLen, QueryFftSizes(ops, tapsLen));
    if (size > INT32_MAX) return StatusFirLengthError;
    *pSize = static_cast<int32_t>(size);
    return StatusOk;
}

PrimitiveStatus ComputeFirStateSize(int32_t tapsLen, int32_t* pSize) {
    return ComputeFirStateSizeFor(GenericFirSlot, tapsLen, pSize);
}

PrimitiveStatus BuildFirStateFor(const FirSlotOps& ops, FirState** ppState, const float* taps, int32_t tapsLen,
                                 const float* delay, uint8_t* buffer, uint32_t tag) {
    const FirFftSizes fft = QueryFftSizes(ops, tapsLen);
    if (InBufferSize(ops, tapsLen, fft) > INT32_MAX) return StatusFirLengthError;

    auto* base = AlignUp16(buffer);
    auto* state = reinterpret_cast<FirState*>(base);
    uint8_t* p = base + FIR_HEADER_BYTES;
    state->reversedTaps = reinterpret_cast<float*>(p);
    p += TapsBytes(tapsLen);
    state->delayLine = reinterpret_cast<float*>(p);
    p += DelayBytes(tapsLen);
    state->laneTaps = ops.slot == 0 ? nullptr : reinterpret_cast<float*>(p);
    p += ReplicatedBytes(ops, tapsLen);
    state->delayEnd = p;
    p += 16;
    uint8_t* specMem = p;
    p += fft.specBytes;
    uint8_t* initMem = p;
    p += fft.initBytes;
    auto* spectrum = reinterpret_cast<float*>(p);
    p += SpectrumBytes(fft.fftLen);
    uint8_t* work = p;
    p += fft.workBytes;
    state->fftBlock = reinterpret_cast<float*>(p);
    p += SpectrumBytes(fft.fftLen);
    state->workArea = p;

    SetCommonHeader(ops, state, tapsLen, tag);
    state->fftWorkSize = fft.workBytes;
    state->owned = 0;
    FillTapsAndHistory(ops, state, taps, tapsLen, delay);

    FftSpec* spec = nullptr;
    if (fft.fftLen > 0 &&
        ops.initRealFftSpec(&spec, fft.order, FftScaleInverse, 0, specMem, initMem) == StatusOk) {
        state->fftSpec = spec;
        state->fftLen = static_cast<int32_t>(fft.fftLen);
        state->tapsSpectrum = spectrum;
        state->fftWork = fft.workBytes > 0 ? work : nullptr;
        // A failed transform leaves a complete direct-form state.
        if (TransformTaps(ops, state, taps, tapsLen) != StatusOk) state->fftLen = -1;
    }
    *ppState = state;
    return StatusOk;
}

PrimitiveStatus BuildFirState(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay,
                              uint8_t* buffer, uint32_t tag) {
    return BuildFirStateFor(GenericFirSlot, ppState, taps, tapsLen, delay, buffer, tag);
}

PrimitiveStatus InitFirStateFor(const FirSlotOps& ops, FirState** ppState, const float* taps, int32_t tapsLen,
                                const float* delay, uint8_t* buffer) {
    if (ppState == nullptr || taps == nullptr || buffer == nullptr) return StatusNullPointer;
    if (tapsLen <= 0) return StatusFirLengthError;
    return BuildFirStateFor(ops, ppState, taps, tapsLen, delay, buffer, StateIdFir);
}

PrimitiveStatus InitFirStateGeneric(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay,
                                    uint8_t* buffer) {
    return InitFirStateFor(GenericFirSlot, ppState, taps, tapsLen, delay, buffer);
}

PrimitiveStatus GetFirStateSizeFor(const FirSlotOps& ops, int32_t tapsLen, int32_t* pSize) {
    if (pSize == nullptr) return StatusNullPointer;
    if (tapsLen <= 0) return StatusFirLengthError;
    return ComputeFirStateSizeFor(ops, tapsLen, pSize);
}

PrimitiveStatus GetFirStateSizeGeneric(int32_t tapsLen, int32_t* pSize) {
    return GetFirStateSizeFor(GenericFirSlot, tapsLen, pSize);
}

PrimitiveStatus AllocateFirStateFor(const FirSlotOps& ops, FirState** ppState, const float* taps, int32_t tapsLen,
                                    const float* delay, uint32_t tag) {
    const int64_t fixedBytes = TapsBytes(tapsLen) + DelayBytes(tapsLen) + ReplicatedBytes(ops, tapsLen) + 16560;
    if (fixedBytes > INT32_MAX) return StatusNoMemory;

    // The FFT specification is the one allocation besides the block; without it the state still
    // works, in direct form.
    FftSpec* spec = nullptr;
    int64_t fftLen = 0;
    int32_t workBytes = 0;
    if (tapsLen >= FirFftThresholdTaps) {
        const int32_t order = FirFftOrder(tapsLen);
        if (ops.createRealFft(&spec, order, FftScaleInverse, 0) == StatusOk) {
            fftLen = int64_t{1} << order;
            const PrimitiveStatus status = ops.getFftWorkBufferSize(spec, &workBytes);
            if (status != StatusOk) {
                DestroyRealFftGeneric(spec);
                return status;
            }
        } else {
            spec = nullptr;
        }
    }
    const int64_t size = fixedBytes + 2 * SpectrumBytes(fftLen) + workBytes;
    void* block = size <= INT32_MAX ? AllocateAligned(static_cast<int32_t>(size)) : nullptr;
    if (block == nullptr) {
        if (spec != nullptr) DestroyRealFftGeneric(spec);
        return StatusNoMemory;
    }

    auto* state = static_cast<FirState*>(block);
    auto* p = static_cast<uint8_t*>(block) + FIR_HEADER_BYTES;
    state->reversedTaps = reinterpret_cast<float*>(p);
    p += TapsBytes(tapsLen);
    state->delayLine = reinterpret_cast<float*>(p);
    p += DelayBytes(tapsLen);
    state->delayEnd = p;
    p += 16;
    state->laneTaps = ops.slot == 0 ? nullptr : reinterpret_cast<float*>(p);
    p += ReplicatedBytes(ops, tapsLen);
    auto* spectrum = reinterpret_cast<float*>(p);
    p += SpectrumBytes(fftLen);
    uint8_t* work = p;
    p += workBytes;
    state->fftBlock = reinterpret_cast<float*>(p);
    p += SpectrumBytes(fftLen);
    state->workArea = p;

    SetCommonHeader(ops, state, tapsLen, tag);
    state->fftWorkSize = workBytes;
    state->owned = 1;
    FillTapsAndHistory(ops, state, taps, tapsLen, delay);

    if (spec != nullptr) {
        state->fftSpec = spec;
        state->fftLen = static_cast<int32_t>(fftLen);
        state->tapsSpectrum = spectrum;
        state->fftWork = workBytes > 0 ? work : nullptr;
        const PrimitiveStatus status = TransformTaps(ops, state, taps, tapsLen);
        if (status != StatusOk) {
            // The caller's pointer stays as it was: it never sees the released block.
            DestroyRealFftGeneric(spec);
            FreeAlignedGeneric(block);
            return status;
        }
    }
    *ppState = state;
    return StatusOk;
}

PrimitiveStatus AllocateFirState(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay,
                                 uint32_t tag) {
    return AllocateFirStateFor(GenericFirSlot, ppState, taps, tapsLen, delay, tag);
}

PrimitiveStatus CreateFirStateFor(const FirSlotOps& ops, FirState** ppState, const float* taps, int32_t tapsLen,
                                  const float* delay) {
    if (ppState == nullptr || taps == nullptr) return StatusNullPointer;
    if (tapsLen <= 0) return StatusFirLengthError;
    return AllocateFirStateFor(ops, ppState, taps, tapsLen, delay, StateIdFir);
}

PrimitiveStatus CreateFirStateGeneric(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay) {
    return CreateFirStateFor(GenericFirSlot, ppState, taps, tapsLen, delay);
}

// Every slot's states: the owned flag, the FFT specification and the block sit where they sit in
// every layout.
PrimitiveStatus DestroyFirStateGeneric(FirState* state) {
    if (state == nullptr) return StatusNullPointer;
    if (state->tag != StateIdFir && state->tag != StateIdMultiRateFir) return StatusContextMismatch;
    if (state->owned == 0) return StatusOk;
    if (state->fftSpec != nullptr) DestroyRealFftGeneric(state->fftSpec);
    FreeAlignedGeneric(state);
    return StatusOk;
}
