// Single-rate FIR filtering: direct form and FFT overlap-save, both leaving the delay line in the
// same form, and the one-sample filter on a caller's doubled delay line.
#include "primitives/core/VectorBasics.h"
#include "primitives/fft/RealFft.h"
#include "primitives/filter/FirDirect.h"
#include "primitives/filter/FirState.h"

namespace {

// One block through the filter in place: forward transform, product with the taps spectrum,
// scaled inverse. Reads block from src (which may be block itself).
PrimitiveStatus ConvolveBlock(const FirState* state, const float* src) {
    PrimitiveStatus status = ForwardRealFft(src, state->fftBlock, state->fftSpec, state->fftWork);
    if (status != StatusOk) return status;
    MultiplyPackedSpectrumInPlace(state->tapsSpectrum, state->fftBlock, state->fftLen);
    return InverseRealFft(state->fftBlock, state->fftBlock, state->fftSpec, state->fftWork);
}

PrimitiveStatus OverlapSave(const float* src, float* dst, int32_t N, FirState* state, int32_t idx) {
    const int32_t L = state->tapsLen;
    const int32_t F = state->fftLen;
    const int32_t H = L - 1;
    const int32_t B = F - H;
    float* block = state->fftBlock;
    float* D = state->delayLine;

    CopyBytes(D + idx + 1, block, 4 * int64_t{H});
    if (N <= B) {
        CopyBytes(src, block + H, 4 * int64_t{N});
        CopyBytes(block + N - 1, D, 4 * int64_t{L});
        ZeroBytes(block + H + N, 4 * int64_t{F - H - N});
        const PrimitiveStatus status = ConvolveBlock(state, block);
        if (status != StatusOk) return status;
        CopyBytes(block + H, dst, 4 * int64_t{N});
        return StatusOk;
    }

    CopyBytes(src, block + H, 4 * int64_t{B});
    PrimitiveStatus status = ConvolveBlock(state, block);
    if (status != StatusOk) return status;
    CopyBytes(block + H, dst, 4 * int64_t{B});
    CopyBytes(src + N - L, D, 4 * int64_t{L});
    // Positions in 64 bits: o + B may pass INT32_MAX on the last step of a long call.
    for (int64_t o = B; o < N; o += B) {
        const int64_t r = N - o;
        if (r >= F) {
            status = ConvolveBlock(state, src + (o - H));
            if (status != StatusOk) return status;
            CopyBytes(block + H, dst + o, 4 * int64_t{B});
        } else {
            const int64_t c = r + H < F ? r + H : F;
            CopyBytes(src + (o - H), block, 4 * c);
            ZeroBytes(block + c, 4 * (F - c));
            status = ConvolveBlock(state, block);
            if (status != StatusOk) return status;
            CopyBytes(block + H, dst + o, 4 * (r < B ? r : B));
        }
    }
    return StatusOk;
}

void DirectForm(const float* src, float* dst, int32_t N, FirState* state, int32_t idx) {
    const int32_t L = state->tapsLen;
    const int32_t R = state->delayInputCount;
    const int32_t T4 = R - 1;
    const float* T = state->reversedTaps;
    float* D = state->delayLine;
    if (N > R) {
        CopyBytes(src, D + idx + L, 4 * int64_t{R});
        FirDirect(T, L, D + idx + 1, dst, T4);
        CopyBytes(src + N - L, D, 4 * int64_t{L});
        FirDirect(T, L, src + T4 - L + 1, dst + T4, N - T4);
    } else {
        CopyBytes(src, D + idx + L, 4 * int64_t{N});
        FirDirect(T, L, D + idx + 1, dst, N);
        MoveFloatGeneric(D + idx + N, D, L);
    }
}

}  // namespace

PrimitiveStatus FilterFirGeneric(const float* src, float* dst, int32_t numIters, FirState* state) {
    if (state == nullptr || src == nullptr || dst == nullptr) return StatusNullPointer;
    if (numIters <= 0) return StatusSizeError;
    if (state->tag == StateIdMultiRateFir) return FilterMultiRateFir(state, src, dst, numIters);
    if (state->tag != StateIdFir) return StatusContextMismatch;

    const int32_t idx = state->delayIndex;
    state->delayIndex = 0;
    if (numIters >= FirOverlapSaveMinBlock && state->fftLen > 0) {
        return OverlapSave(src, dst, numIters, state, idx);
    }
    DirectForm(src, dst, numIters, state, idx);
    return StatusOk;
}

PrimitiveStatus FilterFirOneSampleGeneric(float x, float* pY, const float* taps, int32_t tapsLen, float* delay,
                                          int32_t* pIndex) {
    if (pY == nullptr || taps == nullptr) return StatusNullPointer;
    if (tapsLen < 1) return StatusFirLengthError;
    if (delay == nullptr || pIndex == nullptr) return StatusNullPointer;
    const int32_t i = *pIndex;
    // An index outside the line would store the sample outside the caller's 2 * tapsLen floats.
    if (i < 0 || i >= tapsLen) return StatusSamplePhaseError;

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
