// The IIR filter state: normalised coefficients and the transposed-direct-form delay line of a
// recursive filter, kept from one filtering call to the next. One record serves two forms, told
// apart by the tag: an arbitrary-order filter and a cascade of second-order sections.
#pragma once

#include <cstddef>
#include <cstdint>

#include "primitives/core/PrimitiveStatus.h"
#include "primitives/core/PrimitiveTypes.h"

enum : int32_t {
    StateIdIir = 0x49493031,
    StateIdIirBiquad = 0x49493032,
};

constexpr int32_t IIR_STATE_HEADER_BYTES = 96;
constexpr int32_t IIR_STATE_ALIGNMENT = 16;
// The processor-specific bodies work in blocks of at most this many samples.
constexpr int32_t IirBlockLimit = 1024;

struct IirState {
    int32_t tag;
    uint32_t builderSlot;      // the dispatch slot whose builder laid the state out (header padding)
    const float* taps;         // b0..bN, then a1..aN, all divided by a0 (biquad: b0 b1 b2 a1 a2 per section)
    float* delayLine;          // z0..z(N-1), then zN = 0, never written by filtering
    int32_t order;             // N (biquad: twice the section count)
    float* replicatedNumerator;  // processor-specific layout only
    float* feedbackMatrix;       // processor-specific layout only
    int32_t sectionCount;        // biquad form: sections; 0 otherwise
    float* sectionRows;          // set by no builder
    float* blockWork;            // processor-specific layout only
    float* secondBlockWork;      // processor-specific layout only
    int32_t owned;               // 1 when CreateIirState allocated the state
};
static_assert(sizeof(IirState) <= IIR_STATE_HEADER_BYTES, "the header fits its 96 bytes");
static_assert(offsetof(IirState, taps) == 8 && offsetof(IirState, delayLine) == 16, "the header layout is fixed");
static_assert(offsetof(IirState, order) == 24 && offsetof(IirState, sectionCount) == 48, "the header layout is fixed");
static_assert(offsetof(IirState, owned) == 80, "the header layout is fixed");

// Bytes a state of order N needs in the generic layout, 16 bytes of alignment slack included.
// False when that exceeds INT32_MAX: such a state can be neither described nor built.
bool ComputeIirStateSize(int32_t order, int32_t* size, int32_t tag);
// Lays the state out at the first 16-byte boundary at or after buffer and stores its address
// through ppState. The tag is written last, and only on success: after -10 (a zero a0) the
// record carries tag 0, so every operation refuses it.
PrimitiveStatus BuildIirState(IirState** ppState, const float* taps, int32_t order, const float* dly,
                              uint8_t* buffer, int32_t tag);
// Normalises the caller's 2N+2 coefficients by a0 into the state: 0, or -10 for a zero a0.
PrimitiveStatus SetupIirTaps(const float* taps, IirState* state);
// Sizes, allocates and builds an owned state; *ppState is written only on success.
PrimitiveStatus AllocateIirState(IirState** ppState, const float* taps, int32_t order, const float* dly,
                                 int32_t tag);

PrimitiveStatus CreateIirStateGeneric(IirState** ppState, const float* taps, int32_t order, const float* dly);
PrimitiveStatus DestroyIirStateGeneric(IirState* state);
PrimitiveStatus GetIirStateSizeGeneric(int32_t order, int32_t* pSize);
PrimitiveStatus InitIirStateGeneric(IirState** ppState, const float* taps, int32_t order, const float* dly,
                                    uint8_t* buffer);

// A cascade of K second-order sections in a caller's buffer, for the library's own tests and
// benchmarks (not an entry point). sections holds K groups of (b0, b1, b2, a0, a1, a2), each
// normalised by its own a0; dly is null or holds 2K values (z0, z1 of each section).
// Errors: -8 null pointers, -25 K <= 0 or a size beyond INT32_MAX, -10 a zero a0 (tag 0).
PrimitiveStatus GetIirBiquadStateSize(int32_t sectionCount, int32_t* pSize);
PrimitiveStatus InitIirBiquadState(IirState** ppState, const float* sections, int32_t sectionCount,
                                   const float* dly, uint8_t* buffer);
