// Single-rate FIR states: in caller memory (size query and builder) and in a block of their own
// (create and destroy).
#include "primitives/filter/FirState.h"

#include <climits>

#include "primitives/core/Memory.h"
#include "primitives/core/VectorBasics.h"
#include "primitives/fft/RealFft.h"

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

// The FFT of an in-buffer state: order, length and the three sizes; all zero without FFT (also
// when the size query refuses the order).
struct FirFftSizes {
    int32_t order = 0;
    int64_t fftLen = 0;
    int32_t specBytes = 0;
    int32_t initBytes = 0;
    int32_t workBytes = 0;
};

FirFftSizes QueryFftSizes(int32_t tapsLen) {
    FirFftSizes sizes;
    if (tapsLen < FirFftThresholdTaps) return sizes;
    const int32_t order = FirFftOrder(tapsLen);
    int32_t spec = 0;
    int32_t init = 0;
    int32_t work = 0;
    if (GetRealFftSizeGeneric(order, FftScaleInverse, 0, &spec, &init, &work) != StatusOk) return sizes;
    sizes.order = order;
    sizes.fftLen = int64_t{1} << order;
    sizes.specBytes = spec;
    sizes.initBytes = init;
    sizes.workBytes = work;
    return sizes;
}

int64_t InBufferSize(int32_t tapsLen, const FirFftSizes& fft) {
    return 16576 + TapsBytes(tapsLen) + DelayBytes(tapsLen) + fft.specBytes + fft.initBytes + fft.workBytes +
           2 * SpectrumBytes(fft.fftLen);
}

// The taps reversed and the history (given most recent first) stored oldest first.
void FillTapsAndHistory(FirState* state, const float* taps, int32_t tapsLen, const float* delay) {
    for (int32_t i = 0; i < tapsLen; ++i) state->reversedTaps[i] = taps[tapsLen - 1 - i];
    if (delay != nullptr) {
        for (int32_t i = 0; i < tapsLen; ++i) state->delayLine[i] = delay[tapsLen - 1 - i];
    } else {
        ZeroBytes(state->delayLine, 4 * int64_t{tapsLen});
    }
}

// The taps zero-padded to fftLen and transformed in place: the spectrum overlap-save multiplies by.
PrimitiveStatus TransformTaps(FirState* state, const float* taps, int32_t tapsLen) {
    CopyBytes(taps, state->tapsSpectrum, 4 * int64_t{tapsLen});
    ZeroBytes(state->tapsSpectrum + tapsLen, 4 * (int64_t{state->fftLen} - tapsLen));
    return ForwardRealFft(state->tapsSpectrum, state->tapsSpectrum, state->fftSpec, state->fftWork);
}

// The header fields both single-rate layouts set the same way.
void SetCommonHeader(FirState* state, int32_t tapsLen, uint32_t tag) {
    state->tag = tag;
    state->tapsLen = tapsLen;
    state->delayLen = tapsLen;
    state->delayInputCount = ((tapsLen + 3) & ~3) | 1;
    state->delayIndex = 0;
    state->fftSpec = nullptr;
    state->tapsSpectrum = nullptr;
    state->fftLen = -1;
    state->fftWork = nullptr;
    state->phaseTable = nullptr;
    state->laneTaps = nullptr;
}

}  // namespace

int32_t FirFftOrder(int32_t tapsLen) {
    int32_t e = 1;
    while (e < 31 && (int64_t{1} << e) <= tapsLen) ++e;
    return e + 1;
}

bool ComputeFirStateSize64(int32_t tapsLen, int64_t* pSize) {
    *pSize = InBufferSize(tapsLen, QueryFftSizes(tapsLen));
    return *pSize <= INT32_MAX;
}

PrimitiveStatus ComputeFirStateSize(int32_t tapsLen, int32_t* pSize) {
    int64_t size = 0;
    if (!ComputeFirStateSize64(tapsLen, &size)) return StatusFirLengthError;
    *pSize = static_cast<int32_t>(size);
    return StatusOk;
}

PrimitiveStatus BuildFirState(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay,
                              uint8_t* buffer, uint32_t tag) {
    const FirFftSizes fft = QueryFftSizes(tapsLen);
    if (InBufferSize(tapsLen, fft) > INT32_MAX) return StatusFirLengthError;

    auto* base = AlignUp16(buffer);
    auto* state = reinterpret_cast<FirState*>(base);
    uint8_t* p = base + FIR_HEADER_BYTES;
    state->reversedTaps = reinterpret_cast<float*>(p);
    p += TapsBytes(tapsLen);
    state->delayLine = reinterpret_cast<float*>(p);
    p += DelayBytes(tapsLen);
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

    SetCommonHeader(state, tapsLen, tag);
    state->fftWorkSize = fft.workBytes;
    state->owned = 0;
    FillTapsAndHistory(state, taps, tapsLen, delay);

    FftSpec* spec = nullptr;
    if (fft.fftLen > 0 && InitRealFftSpecGeneric(&spec, fft.order, FftScaleInverse, 0, specMem, initMem) == StatusOk) {
        state->fftSpec = spec;
        state->fftLen = static_cast<int32_t>(fft.fftLen);
        state->tapsSpectrum = spectrum;
        state->fftWork = fft.workBytes > 0 ? work : nullptr;
        // A failed transform leaves a complete direct-form state.
        if (TransformTaps(state, taps, tapsLen) != StatusOk) state->fftLen = -1;
    }
    *ppState = state;
    return StatusOk;
}

PrimitiveStatus InitFirStateGeneric(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay,
                                    uint8_t* buffer) {
    if (ppState == nullptr || taps == nullptr || buffer == nullptr) return StatusNullPointer;
    if (tapsLen <= 0) return StatusFirLengthError;
    return BuildFirState(ppState, taps, tapsLen, delay, buffer, StateIdFir);
}

PrimitiveStatus GetFirStateSizeGeneric(int32_t tapsLen, int32_t* pSize) {
    if (pSize == nullptr) return StatusNullPointer;
    if (tapsLen <= 0) return StatusFirLengthError;
    return ComputeFirStateSize(tapsLen, pSize);
}

PrimitiveStatus AllocateFirState(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay,
                                 uint32_t tag) {
    const int64_t fixedBytes = TapsBytes(tapsLen) + DelayBytes(tapsLen) + 16560;
    if (fixedBytes > INT32_MAX) return StatusNoMemory;

    // The FFT specification is the one allocation besides the block; without it the state still
    // works, in direct form.
    FftSpec* spec = nullptr;
    int64_t fftLen = 0;
    int32_t workBytes = 0;
    if (tapsLen >= FirFftThresholdTaps) {
        const int32_t order = FirFftOrder(tapsLen);
        if (CreateRealFftGeneric(&spec, order, FftScaleInverse, 0) == StatusOk) {
            fftLen = int64_t{1} << order;
            const PrimitiveStatus status = GetFftWorkBufferSize(spec, &workBytes);
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
    auto* spectrum = reinterpret_cast<float*>(p);
    p += SpectrumBytes(fftLen);
    uint8_t* work = p;
    p += workBytes;
    state->fftBlock = reinterpret_cast<float*>(p);
    p += SpectrumBytes(fftLen);
    state->workArea = p;

    SetCommonHeader(state, tapsLen, tag);
    state->fftWorkSize = workBytes;
    state->owned = 1;
    FillTapsAndHistory(state, taps, tapsLen, delay);

    if (spec != nullptr) {
        state->fftSpec = spec;
        state->fftLen = static_cast<int32_t>(fftLen);
        state->tapsSpectrum = spectrum;
        state->fftWork = workBytes > 0 ? work : nullptr;
        const PrimitiveStatus status = TransformTaps(state, taps, tapsLen);
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

PrimitiveStatus CreateFirStateGeneric(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay) {
    if (ppState == nullptr || taps == nullptr) return StatusNullPointer;
    if (tapsLen <= 0) return StatusFirLengthError;
    return AllocateFirState(ppState, taps, tapsLen, delay, StateIdFir);
}

PrimitiveStatus DestroyFirStateGeneric(FirState* state) {
    if (state == nullptr) return StatusNullPointer;
    if (state->tag != StateIdFir && state->tag != StateIdMultiRateFir) return StatusContextMismatch;
    if (state->owned == 0) return StatusOk;
    if (state->fftSpec != nullptr) DestroyRealFftGeneric(state->fftSpec);
    FreeAlignedGeneric(state);
    return StatusOk;
}
