// Sizes, layout, creation and destruction of IIR filter states.
#include "primitives/filter/IirState.h"

#include <climits>

#include "primitives/core/Memory.h"
#include "primitives/core/VectorBasics.h"

namespace {

int64_t Up16(int64_t x) { return (x + 15) & ~int64_t{15}; }

// Taps area (2N+1 floats) and delay area (N+1 floats), each rounded up to 16 bytes.
int64_t TapsAreaBytes(int64_t order) { return Up16(4 * (2 * order + 1)); }
int64_t DelayAreaBytes(int64_t order) { return Up16(4 * (order + 1)); }

// Biquad cascade: five coefficients and two delays per section.
int64_t BiquadTapsBytes(int64_t sections) { return Up16(20 * sections); }
int64_t BiquadDelayBytes(int64_t sections) { return Up16(8 * sections); }

// Header plus the slack that rounding the buffer address up to 16 bytes may take.
constexpr int64_t FIXED_BYTES = IIR_STATE_HEADER_BYTES + IIR_STATE_ALIGNMENT;

bool FitsSize(int64_t bytes, int32_t* size) {
    if (bytes > INT32_MAX) return false;
    *size = static_cast<int32_t>(bytes);
    return true;
}

IirState* PlaceState(uint8_t* buffer) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(buffer);
    const uintptr_t aligned = (address + (IIR_STATE_ALIGNMENT - 1)) & ~uintptr_t{IIR_STATE_ALIGNMENT - 1};
    return reinterpret_cast<IirState*>(aligned);
}

// Everything but the tag, which stays 0 until the coefficients are in place: the buffer may hold
// an older state, which must not look valid over half-written fields.
void LayOutHeader(IirState* state, int32_t order, int64_t tapsBytes) {
    state->tag = 0;
    auto* base = reinterpret_cast<uint8_t*>(state);
    state->taps = reinterpret_cast<const float*>(base + IIR_STATE_HEADER_BYTES);
    state->delayLine = reinterpret_cast<float*>(base + IIR_STATE_HEADER_BYTES + tapsBytes);
    state->order = order;
    state->replicatedNumerator = nullptr;
    state->feedbackMatrix = nullptr;
    state->sectionCount = 0;
    state->sectionRows = nullptr;
    state->blockWork = nullptr;
    state->secondBlockWork = nullptr;
    state->owned = 0;
}

// Delay values as given, or zeros, then the spare entry that is always 0.
void LoadDelays(float* delayLine, int32_t count, const float* dly, bool spare) {
    if (dly != nullptr)
        CopyFloatGeneric(dly, delayLine, count);
    else
        ZeroFloatGeneric(delayLine, count);
    if (spare) delayLine[count] = 0.0f;
}

}  // namespace

bool ComputeIirStateSize(int32_t order, int32_t* size, int32_t /*tag*/) {
    return FitsSize(FIXED_BYTES + TapsAreaBytes(order) + DelayAreaBytes(order), size);
}

PrimitiveStatus SetupIirTaps(const float* taps, IirState* state) {
    const int32_t n = state->order;
    const float a0 = taps[n + 1];
    if (a0 == 0.0f) return StatusDivideByZero;
    const float r = 1.0f / a0;
    auto* stored = const_cast<float*>(state->taps);
    stored[0] = taps[0] * r;
    for (int32_t i = 1; i <= n; ++i) {
        stored[i] = taps[i] * r;
        stored[n + i] = taps[n + 1 + i] * r;
    }
    return StatusOk;
}

PrimitiveStatus BuildIirState(IirState** ppState, const float* taps, int32_t order, const float* dly,
                              uint8_t* buffer, int32_t tag) {
    IirState* state = PlaceState(buffer);
    *ppState = state;
    LayOutHeader(state, order, TapsAreaBytes(order));
    LoadDelays(state->delayLine, order, dly, true);
    const PrimitiveStatus status = SetupIirTaps(taps, state);
    if (status == StatusOk) state->tag = tag;
    return status;
}

PrimitiveStatus AllocateIirState(IirState** ppState, const float* taps, int32_t order, const float* dly,
                                 int32_t tag) {
    int32_t size = 0;
    if (!ComputeIirStateSize(order, &size, tag)) return StatusNoMemory;
    auto* block = static_cast<uint8_t*>(AllocateAligned(size));
    if (block == nullptr) return StatusNoMemory;
    IirState* state = nullptr;
    const PrimitiveStatus status = BuildIirState(&state, taps, order, dly, block, tag);
    if (status < 0) {
        FreeAlignedGeneric(block);
        return status;
    }
    state->owned = 1;
    *ppState = state;
    return status;
}

PrimitiveStatus CreateIirStateGeneric(IirState** ppState, const float* taps, int32_t order, const float* dly) {
    if (taps == nullptr || ppState == nullptr) return StatusNullPointer;
    if (order <= 0) return StatusIirOrderError;
    return AllocateIirState(ppState, taps, order, dly, StateIdIir);
}

PrimitiveStatus DestroyIirStateGeneric(IirState* state) {
    if (state == nullptr) return StatusNullPointer;
    if (state->tag != StateIdIir && state->tag != StateIdIirBiquad) return StatusContextMismatch;
    if (state->owned != 0) FreeAlignedGeneric(state);
    return StatusOk;
}

PrimitiveStatus GetIirStateSizeGeneric(int32_t order, int32_t* pSize) {
    if (pSize == nullptr) return StatusNullPointer;
    if (order < 1) return StatusIirOrderError;
    int32_t size = 0;
    if (!ComputeIirStateSize(order, &size, StateIdIir)) return StatusIirOrderError;
    *pSize = size;
    return StatusOk;
}

PrimitiveStatus InitIirStateGeneric(IirState** ppState, const float* taps, int32_t order, const float* dly,
                                    uint8_t* buffer) {
    if (taps == nullptr || ppState == nullptr || buffer == nullptr) return StatusNullPointer;
    if (order < 1) return StatusIirOrderError;
    int32_t size = 0;
    if (!ComputeIirStateSize(order, &size, StateIdIir)) return StatusIirOrderError;
    return BuildIirState(ppState, taps, order, dly, buffer, StateIdIir);
}

namespace {

bool ComputeBiquadSize(int32_t sections, int32_t* size) {
    return FitsSize(FIXED_BYTES + BiquadTapsBytes(sections) + BiquadDelayBytes(sections), size);
}

}  // namespace

PrimitiveStatus GetIirBiquadStateSize(int32_t sectionCount, int32_t* pSize) {
    if (pSize == nullptr) return StatusNullPointer;
    if (sectionCount < 1) return StatusIirOrderError;
    int32_t size = 0;
    if (!ComputeBiquadSize(sectionCount, &size)) return StatusIirOrderError;
    *pSize = size;
    return StatusOk;
}

PrimitiveStatus InitIirBiquadState(IirState** ppState, const float* sections, int32_t sectionCount,
                                   const float* dly, uint8_t* buffer) {
    if (sections == nullptr || ppState == nullptr || buffer == nullptr) return StatusNullPointer;
    if (sectionCount < 1) return StatusIirOrderError;
    int32_t size = 0;
    if (!ComputeBiquadSize(sectionCount, &size)) return StatusIirOrderError;
    // The order field counts delay values; sectionCount * 2 fits, as the size did.
    IirState* state = PlaceState(buffer);
    *ppState = state;
    LayOutHeader(state, 2 * sectionCount, BiquadTapsBytes(sectionCount));
    state->sectionCount = sectionCount;
    LoadDelays(state->delayLine, 2 * sectionCount, dly, false);
    auto* stored = const_cast<float*>(state->taps);
    for (int32_t s = 0; s < sectionCount; ++s) {
        const float* c = sections + 6 * static_cast<int64_t>(s);
        if (c[3] == 0.0f) return StatusDivideByZero;
        const float r = 1.0f / c[3];
        float* t = stored + 5 * static_cast<int64_t>(s);
        t[0] = c[0] * r;
        t[1] = c[1] * r;
        t[2] = c[2] * r;
        t[3] = c[4] * r;
        t[4] = c[5] * r;
    }
    state->tag = StateIdIirBiquad;
    return StatusOk;
}
