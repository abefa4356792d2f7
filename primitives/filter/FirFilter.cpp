// Single-rate FIR filtering: direct form and FFT overlap-save, both leaving the delay line in the
// same form, and the one-sample filter on a caller's doubled delay line.
#include "primitives/core/VectorBasics.h"
#include "primitives/fft/RealFft.h"
#include "primitives/filter/FilterSlot.h"
#include "primitives/filter/FirDirect.h"
#include "primitives/filter/FirState.h"

const FirSlotOps GenericFirSlot = {
    0,
    ZeroFloatGeneric,
    CopyFloatGeneric,
    MoveFloatGeneric,
    GetRealFftSizeGeneric,
    InitRealFftSpecGeneric,
    CreateRealFftGeneric,
    GetFftWorkBufferSize,
    ForwardRealFft,
    InverseRealFft,
    MultiplyPackedSpectrumInPlace,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

namespace {

// The zeros after a block's last input; none when the inputs fill the block.
void ZeroTail(const FirSlotOps& ops, float* from, int64_t count) {
    if (count > 0) ops.zeroFloat(from, static_cast<int32_t>(count));
}

// One block through the filter in place: forward transform, product with the taps spectrum,
// scaled inverse. Reads block from src (which may be block itself).
PrimitiveStatus ConvolveBlock(const FirSlotOps& ops, const FirState* state, const float* src) {
    PrimitiveStatus status = ops.forwardRealFft(src, state->fftBlock, state->fftSpec, state->fftWork);
    if (status != StatusOk) return status;
    ops.multiplyPackedSpectrumInPlace(state->tapsSpectrum, state->fftBlock, state->fftLen);
    return ops.inverseRealFft(state->fftBlock, state->fftBlock, state->fftSpec, state->fftWork);
}

PrimitiveStatus OverlapSave(const FirSlotOps& ops, const float* src, float* dst, int32_t N, FirState* state,
                            int32_t idx) {
    const int32_t L = state->tapsLen;
    const int32_t F = state->fftLen;
    const int32_t H = L - 1;
    const int32_t B = F - H;
    float* block = state->fftBlock;
    float* D = state->delayLine;

    ops.copyFloat(D + idx + 1, block, H);
    if (N <= B) {
        ops.copyFloat(src, block + H, N);
        ops.copyFloat(block + N - 1, D, L);
        ZeroTail(ops, block + H + N, F - H - N);
        const PrimitiveStatus status = ConvolveBlock(ops, state, block);
        if (status != StatusOk) return status;
        ops.copyFloat(block + H, dst, N);
        return StatusOk;
    }

    ops.copyFloat(src, block + H, B);
    PrimitiveStatus status = ConvolveBlock(ops, state, block);
    if (status != StatusOk) return status;
    ops.copyFloat(block + H, dst, B);
    ops.copyFloat(src + N - L, D, L);
    // Positions in 64 bits: o + B may pass INT32_MAX on the last step of a long call.
    for (int64_t o = B; o < N; o += B) {
        const int64_t r = N - o;
        if (r >= F) {
            status = ConvolveBlock(ops, state, src + (o - H));
            if (status != StatusOk) return status;
            ops.copyFloat(block + H, dst + o, B);
        } else {
            const int64_t c = r + H < F ? r + H : F;
            ops.copyFloat(src + (o - H), block, static_cast<int32_t>(c));
            ZeroTail(ops, block + c, F - c);
            status = ConvolveBlock(ops, state, block);
            if (status != StatusOk) return status;
            ops.copyFloat(block + H, dst + o, static_cast<int32_t>(r < B ? r : B));
        }
    }
    return StatusOk;
}

// count outputs from window on: the generic loops on the reversed taps in slot 0, the slot's
// kernel on the replicated taps in slots 1 to 3.
void DirectOutputs(const FirSlotOps& ops, const FirState* state, const float* window, float* dst, int64_t count) {
    if (ops.directKernel != nullptr) {
        ops.directKernel(state->laneTaps, window, dst, static_cast<uint64_t>(count), state->tapsLen);
    } else {
        FirDirect(state->reversedTaps, state->tapsLen, window, dst, static_cast<int32_t>(count));
    }
}

void DirectForm(const FirSlotOps& ops, const float* src, float* dst, int32_t N, FirState* state, int32_t idx) {
    const int32_t L = state->tapsLen;
    const int32_t R = state->delayInputCount;
    const int32_t T4 = R - 1;
    float* D = state->delayLine;
    if (N > R) {
        ops.copyFloat(src, D + idx + L, R);
        DirectOutputs(ops, state, D + idx + 1, dst, T4);
        ops.copyFloat(src + N - L, D, L);
        DirectOutputs(ops, state, src + T4 - L + 1, dst + T4, N - T4);
    } else {
        ops.copyFloat(src, D + idx + L, N);
        DirectOutputs(ops, state, D + idx + 1, dst, N);
        ops.moveFloat(D + idx + N, D, L);
    }
}

}  // namespace

PrimitiveStatus FilterFirFor(const FirSlotOps& ops, const float* src, float* dst, int32_t numIters, FirState* state) {
    if (state == nullptr || src == nullptr || dst == nullptr) return StatusNullPointer;
    if (numIters <= 0) return StatusSizeError;
    if (state->tag != StateIdFir && state->tag != StateIdMultiRateFir) return StatusContextMismatch;
    // Another slot's layout: its builder never wrote the pointers this slot would read.
    if (state->builderSlot != static_cast<uint32_t>(ops.slot)) return StatusContextMismatch;
    if (state->tag == StateIdMultiRateFir) {
        return ops.slot == 0 ? FilterMultiRateFir(state, src, dst, numIters)
                             : FilterMultiRateFirLanes(ops, state, src, dst, numIters);
    }

    const int32_t idx = state->delayIndex;
    state->delayIndex = 0;
    if (numIters >= FirOverlapSaveMinBlock && state->fftLen > 0) {
        return OverlapSave(ops, src, dst, numIters, state, idx);
    }
    DirectForm(ops, src, dst, numIters, state, idx);
    return StatusOk;
}

PrimitiveStatus FilterFirGeneric(const float* src, float* dst, int32_t numIters, FirState* state) {
    return FilterFirFor(GenericFirSlot, src, dst, numIters, state);
}

PrimitiveStatus CheckFirOneSample(const float* pY, const float* taps, int32_t tapsLen, const float* delay,
                                  const int32_t* pIndex) {
    if (pY == nullptr || taps == nullptr) return StatusNullPointer;
    if (tapsLen < 1) return StatusFirLengthError;
    if (delay == nullptr || pIndex == nullptr) return StatusNullPointer;
    // An index outside the line would store the sample outside the caller's 2 * tapsLen floats.
    if (*pIndex < 0 || *pIndex >= tapsLen) return StatusSamplePhaseError;
    return StatusOk;
}

PrimitiveStatus FilterFirOneSampleGeneric(float x, float* pY, const float* taps, int32_t tapsLen, float* delay,
                                          int32_t* pIndex) {
    const PrimitiveStatus status = CheckFirOneSample(pY, taps, tapsLen, delay, pIndex);
    if (status != StatusOk) return status;
    const int32_t i = *pIndex;

    delay[int64_t{i} + tapsLen] = x;
    delay[i] = x;
    const int32_t next = i + 1 >= tapsLen ? 0 : i + 1;
    *pIndex = next;
    const float* line = delay + next;
    const float* tap = taps + (tapsLen - 1);
    // The additions form one chain in a fixed order. Long filters take four products per step,
    // which keeps the loop's own work off that chain; short ones run faster as the plain loop.
    double sum = 0.0;
    int32_t k = 0;
    if (tapsLen >= 64) {
        for (; k + 4 <= tapsLen; k += 4) {
            const double p0 = static_cast<double>(tap[-k] * line[k]);
            const double p1 = static_cast<double>(tap[-k - 1] * line[k + 1]);
            const double p2 = static_cast<double>(tap[-k - 2] * line[k + 2]);
            const double p3 = static_cast<double>(tap[-k - 3] * line[k + 3]);
            sum += p0;
            sum += p1;
            sum += p2;
            sum += p3;
        }
    }
    for (; k < tapsLen; ++k) sum += static_cast<double>(taps[tapsLen - 1 - k] * line[k]);
    *pY = static_cast<float>(sum);
    return StatusOk;
}
