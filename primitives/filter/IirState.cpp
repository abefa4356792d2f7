// Sizes, layout, creation and destruction of IIR filter states.
#include "primitives/filter/IirState.h"

#include <climits>

#include "primitives/core/Memory.h"
#include "primitives/core/VectorBasics.h"
#include "primitives/filter/FilterSlot.h"

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
void LayOutHeader(IirState* state, int32_t order, int64_t tapsBytes, int32_t slot) {
    state->tag = 0;
    state->builderSlot = static_cast<uint32_t>(slot);
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
void LoadDelays(const IirSlotOps& ops, float* delayLine, int32_t count, const float* dly, bool spare) {
    if (dly != nullptr)
        ops.copyFloat(dly, delayLine, count);
    else
        ops.zeroFloat(delayLine, count);
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
    LayOutHeader(state, order, TapsAreaBytes(order), 0);
    LoadDelays(GenericIirSlot, state->delayLine, order, dly, true);
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
    LayOutHeader(state, 2 * sectionCount, BiquadTapsBytes(sectionCount), 0);
    state->sectionCount = sectionCount;
    LoadDelays(GenericIirSlot, state->delayLine, 2 * sectionCount, dly, false);
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

// ---- the layout of slots 1 to 3 ---------------------------------------------------------------
//
// After the delay area: the four-lane numerator (16N + 16 bytes), the feedback matrix (16N + 48),
// the block work area (4096) and, for any tag but StateIdIir, a second one (4096). The size the
// slots report keeps 40 bytes more than that layout needs.

namespace {

int64_t SseExtraBytes(int64_t order, int32_t tag) { return 32 * order + 104 + (tag == StateIdIir ? 4096 : 8192); }

// Biquad cascade, slots 1 to 3: per section 12 numerator floats, a 20-float matrix and 8 row floats.
int64_t BiquadSseBytes(int64_t sections) {
    return FIXED_BYTES + BiquadTapsBytes(sections) + BiquadDelayBytes(sections) + 160 * sections + 2 * 4096;
}

}  // namespace

bool ComputeIirStateSizeSse64(int32_t order, int32_t tag, int64_t* pSize) {
    *pSize = FIXED_BYTES + TapsAreaBytes(order) + DelayAreaBytes(order) + SseExtraBytes(order, tag);
    return *pSize <= INT32_MAX;
}

void BuildIirFeedbackRows(float* rows, int32_t order) {
    const int64_t n = order;
    // Lane 0 of row c holds d[c + 1]; the coefficients beyond the order count as 0.
    auto d = [rows, n](int64_t k) { return k <= n ? rows[4 * (k - 1)] : 0.0f; };
    const float d1 = d(1);
    const float d2 = d(2);
    const float d3 = d(3);
    // Lane by lane over all rows: each lane reads the finished lanes before it.
    for (int64_t c = 0; c < n; ++c) {
        float* r = rows + 4 * c;
        r[1] = d1 * r[0];
        if (c + 2 <= n) r[1] = r[1] + d(c + 2);
    }
    for (int64_t c = 0; c < n; ++c) {
        float* r = rows + 4 * c;
        r[2] = (r[1] * d1) + (d2 * r[0]);
        if (c + 3 <= n) r[2] = r[2] + d(c + 3);
    }
    for (int64_t c = 0; c < n; ++c) {
        float* r = rows + 4 * c;
        r[3] = ((r[2] * d1) + (d2 * r[1])) + (d3 * r[0]);
        if (c + 4 <= n) r[3] = r[3] + d(c + 4);
    }
    // The feed-forward values w[n], w[n+1], w[n+2] enter through the impulse response of 1/A(z).
    const float h1 = rows[0], h2 = rows[1], h3 = rows[2];
    float* w = rows + 4 * n;
    const float ff[12] = {1.0f, h1, h2, h3, 0.0f, 1.0f, h1, h2, 0.0f, 0.0f, 1.0f, h1};
    for (int32_t i = 0; i < 12; ++i) w[i] = ff[i];
}

PrimitiveStatus SetupIirTapsSse(const float* taps, IirState* state) {
    const PrimitiveStatus status = SetupIirTaps(taps, state);
    if (status != StatusOk) return status;
    const int64_t n = state->order;
    const float r = 1.0f / taps[n + 1];
    for (int64_t i = 0; i <= n; ++i) {
        for (int64_t k = 0; k < 4; ++k) state->replicatedNumerator[4 * i + k] = state->taps[i];
    }
    // The negated normalised denominator, in lane 0 of the rows.
    for (int64_t c = 0; c < n; ++c) state->feedbackMatrix[4 * c] = taps[n + 2 + c] * (0.0f - r);
    BuildIirFeedbackRows(state->feedbackMatrix, state->order);
    return StatusOk;
}

PrimitiveStatus BuildIirStateFor(const IirSlotOps& ops, IirState** ppState, const float* taps, int32_t order,
                                 const float* dly, uint8_t* buffer, int32_t tag) {
    if (ops.slot == 0) return BuildIirState(ppState, taps, order, dly, buffer, tag);
    IirState* state = PlaceState(buffer);
    *ppState = state;
    LayOutHeader(state, order, TapsAreaBytes(order), ops.slot);
    auto* extra = reinterpret_cast<uint8_t*>(state->delayLine) + DelayAreaBytes(order);
    state->replicatedNumerator = reinterpret_cast<float*>(extra);
    state->feedbackMatrix = reinterpret_cast<float*>(extra + 16 * int64_t{order} + 16);
    state->blockWork = reinterpret_cast<float*>(extra + 32 * int64_t{order} + 64);
    state->secondBlockWork = tag == StateIdIir ? nullptr : state->blockWork + IirBlockLimit;
    LoadDelays(ops, state->delayLine, order, dly, true);
    const PrimitiveStatus status = SetupIirTapsSse(taps, state);
    if (status == StatusOk) state->tag = tag;
    return status;
}

PrimitiveStatus AllocateIirStateFor(const IirSlotOps& ops, IirState** ppState, const float* taps, int32_t order,
                                    const float* dly, int32_t tag) {
    if (ops.slot == 0) return AllocateIirState(ppState, taps, order, dly, tag);
    int64_t size = 0;
    if (!ComputeIirStateSizeSse64(order, tag, &size)) return StatusNoMemory;
    auto* block = static_cast<uint8_t*>(AllocateAligned(static_cast<int32_t>(size)));
    if (block == nullptr) return StatusNoMemory;
    IirState* state = nullptr;
    const PrimitiveStatus status = BuildIirStateFor(ops, &state, taps, order, dly, block, tag);
    if (status < 0) {
        FreeAlignedGeneric(block);
        return status;
    }
    state->owned = 1;
    *ppState = state;
    return status;
}

PrimitiveStatus CreateIirStateFor(const IirSlotOps& ops, IirState** ppState, const float* taps, int32_t order,
                                  const float* dly) {
    if (taps == nullptr || ppState == nullptr) return StatusNullPointer;
    if (order <= 0) return StatusIirOrderError;
    return AllocateIirStateFor(ops, ppState, taps, order, dly, StateIdIir);
}

PrimitiveStatus GetIirStateSizeFor(const IirSlotOps& ops, int32_t order, int32_t* pSize) {
    if (ops.slot == 0) return GetIirStateSizeGeneric(order, pSize);
    if (pSize == nullptr) return StatusNullPointer;
    if (order < 1) return StatusIirOrderError;
    int64_t size = 0;
    if (!ComputeIirStateSizeSse64(order, StateIdIir, &size)) return StatusIirOrderError;
    *pSize = static_cast<int32_t>(size);
    return StatusOk;
}

PrimitiveStatus InitIirStateFor(const IirSlotOps& ops, IirState** ppState, const float* taps, int32_t order,
                                const float* dly, uint8_t* buffer) {
    if (ops.slot == 0) return InitIirStateGeneric(ppState, taps, order, dly, buffer);
    if (taps == nullptr || ppState == nullptr || buffer == nullptr) return StatusNullPointer;
    if (order < 1) return StatusIirOrderError;
    int64_t size = 0;
    if (!ComputeIirStateSizeSse64(order, StateIdIir, &size)) return StatusIirOrderError;
    return BuildIirStateFor(ops, ppState, taps, order, dly, buffer, StateIdIir);
}

PrimitiveStatus GetIirBiquadStateSizeSse(int32_t sectionCount, int32_t* pSize) {
    if (pSize == nullptr) return StatusNullPointer;
    if (sectionCount < 1) return StatusIirOrderError;
    int32_t size = 0;
    if (!FitsSize(BiquadSseBytes(sectionCount), &size)) return StatusIirOrderError;
    *pSize = size;
    return StatusOk;
}

PrimitiveStatus InitIirBiquadStateFor(const IirSlotOps& ops, IirState** ppState, const float* sections,
                                      int32_t sectionCount, const float* dly, uint8_t* buffer) {
    if (ops.slot == 0) return InitIirBiquadState(ppState, sections, sectionCount, dly, buffer);
    if (sections == nullptr || ppState == nullptr || buffer == nullptr) return StatusNullPointer;
    if (sectionCount < 1) return StatusIirOrderError;
    int32_t size = 0;
    if (!FitsSize(BiquadSseBytes(sectionCount), &size)) return StatusIirOrderError;
    IirState* state = PlaceState(buffer);
    *ppState = state;
    const int64_t k = sectionCount;
    LayOutHeader(state, 2 * sectionCount, BiquadTapsBytes(k), ops.slot);
    state->sectionCount = sectionCount;
    auto* extra = reinterpret_cast<uint8_t*>(state->delayLine) + BiquadDelayBytes(k);
    state->replicatedNumerator = reinterpret_cast<float*>(extra);
    state->feedbackMatrix = reinterpret_cast<float*>(extra + 48 * k);
    state->sectionRows = reinterpret_cast<float*>(extra + 128 * k);
    state->blockWork = reinterpret_cast<float*>(extra + 160 * k);
    state->secondBlockWork = state->blockWork + IirBlockLimit;
    LoadDelays(ops, state->delayLine, 2 * sectionCount, dly, false);
    auto* stored = const_cast<float*>(state->taps);
    for (int64_t s = 0; s < k; ++s) {
        const float* c = sections + 6 * s;
        if (c[3] == 0.0f) return StatusDivideByZero;
        const float r = 1.0f / c[3];
        float* t = stored + 5 * s;
        t[0] = c[0] * r;
        t[1] = c[1] * r;
        t[2] = c[2] * r;
        t[3] = c[4] * r;
        t[4] = c[5] * r;
        float* num = state->replicatedNumerator + 12 * s;
        for (int32_t i = 0; i < 4; ++i) {
            num[i] = t[0];
            num[4 + i] = t[1];
            num[8 + i] = t[2];
        }
        // -a1 and -a2 exactly as the generic cascade forms them.
        const float e1 = -t[3];
        const float e2 = 0.0f - t[4];
        float* rows = state->feedbackMatrix + 20 * s;
        rows[0] = e1;
        rows[4] = e2;
        BuildIirFeedbackRows(rows, 2);
        float* row = state->sectionRows + 8 * s;
        const float values[8] = {t[0], t[1], t[2], 0.0f, e1, e2, 0.0f, 0.0f};
        for (int32_t i = 0; i < 8; ++i) row[i] = values[i];
    }
    state->tag = StateIdIirBiquad;
    return StatusOk;
}
