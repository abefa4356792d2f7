// What one dispatch slot hands the filter algorithms that every slot shares: its number, which
// each builder records in the state it lays out, its own copies of the vector and FFT bodies, and
// its kernels. Slot 0's descriptors hold the generic bodies and no kernels; the descriptors of
// slots 1 to 3 live in their variant sources, beside the kernels they name.
//
// A state carries the layout of the slot that built it (slots 1 to 3 add replicated taps, lanes
// kept apart and block areas), so every filter body refuses a state another slot built: the
// dispatch index can be forced by a program, and another slot's state holds pointers its body
// would read but its builder never wrote.
#pragma once

#include <cstdint>

#include "primitives/core/PrimitiveStatus.h"
#include "primitives/filter/FirState.h"
#include "primitives/filter/IirState.h"

struct FirSlotOps {
    int32_t slot;
    PrimitiveStatus (*zeroFloat)(float* dst, int32_t len);
    PrimitiveStatus (*copyFloat)(const float* src, float* dst, int32_t len);
    PrimitiveStatus (*moveFloat)(const float* src, float* dst, int32_t len);
    PrimitiveStatus (*getRealFftSize)(int32_t order, int32_t flag, int32_t hint, int32_t* specBytes,
                                      int32_t* initBytes, int32_t* workBytes);
    PrimitiveStatus (*initRealFftSpec)(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,
                                       uint8_t* specMem, uint8_t* initMem);
    PrimitiveStatus (*createRealFft)(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);
    PrimitiveStatus (*getFftWorkBufferSize)(const FftSpec* spec, int32_t* bytes);
    PrimitiveStatus (*forwardRealFft)(const float* src, float* dst, const FftSpec* spec, uint8_t* work);
    PrimitiveStatus (*inverseRealFft)(const float* src, float* dst, const FftSpec* spec, uint8_t* work);
    PrimitiveStatus (*multiplyPackedSpectrumInPlace)(const float* src, float* srcDst, int32_t len);
    // Slots 1 to 3: the direct-form kernel on the replicated taps and the three multi-rate group
    // kernels on the slot's tap layouts. Null in slot 0, whose loops are its own.
    void (*directKernel)(const float* replicatedTaps, const float* window, float* dst, uint64_t count,
                         int32_t tapsLen);
    int32_t (*multiRateMode1)(const float* taps, const float* samples, float* dst, int32_t count,
                              const int32_t* stepTable, const int32_t* stepTableEnd, int32_t offset,
                              int32_t tapsPerPhase);
    int32_t (*multiRateMode2)(const float* taps, const float* samples, float* dst, int32_t count, int32_t offset,
                              int32_t tapsPerOutput, int32_t stride);
    int32_t (*multiRateMode3)(const float* taps, const float* samples, float* dst, int32_t count,
                              const int32_t* offsetTable, const int32_t* offsetTableEnd, int32_t offset,
                              int32_t tapsPerOutput);
};

extern const FirSlotOps GenericFirSlot;

// The FIR algorithms of every slot. They test no argument unless their entry counterpart does.
PrimitiveStatus ComputeFirStateSizeFor(const FirSlotOps& ops, int32_t tapsLen, int32_t* pSize);
PrimitiveStatus BuildFirStateFor(const FirSlotOps& ops, FirState** ppState, const float* taps, int32_t tapsLen,
                                 const float* delay, uint8_t* buffer, uint32_t tag);
PrimitiveStatus InitFirStateFor(const FirSlotOps& ops, FirState** ppState, const float* taps, int32_t tapsLen,
                                const float* delay, uint8_t* buffer);
PrimitiveStatus GetFirStateSizeFor(const FirSlotOps& ops, int32_t tapsLen, int32_t* pSize);
PrimitiveStatus AllocateFirStateFor(const FirSlotOps& ops, FirState** ppState, const float* taps, int32_t tapsLen,
                                    const float* delay, uint32_t tag);
PrimitiveStatus CreateFirStateFor(const FirSlotOps& ops, FirState** ppState, const float* taps, int32_t tapsLen,
                                  const float* delay);
PrimitiveStatus FilterFirFor(const FirSlotOps& ops, const float* src, float* dst, int32_t numIters, FirState* state);
PrimitiveStatus InitMultiRateFirStateFor(const FirSlotOps& ops, MultiRateFirState** ppState, const float* taps,
                                         int32_t tapsLen, int32_t up, int32_t upPhase, int32_t down,
                                         int32_t downPhase, const float* delay, uint8_t* buffer);
PrimitiveStatus GetMultiRateFirStateSizeFor(const FirSlotOps& ops, int32_t tapsLen, int32_t up, int32_t down,
                                            int32_t* pSize);
// Slot 0 interleaves the four lanes of the mode 2 and 3 taps; slots 1 to 3 keep them apart.
MultiRateFirState* BuildMultiRateFirStateMode1For(const FirSlotOps& ops, const float* taps, int32_t tapsLen,
                                                  int32_t up, int32_t upPhase, int32_t down, int32_t downPhase,
                                                  const float* delay, PrimitiveStatus* pStatus, uint8_t* buffer,
                                                  uint32_t tag);
MultiRateFirState* BuildMultiRateFirStateMode23For(const FirSlotOps& ops, const float* taps, int32_t tapsLen,
                                                   int32_t up, int32_t upPhase, int32_t down, int32_t downPhase,
                                                   const float* delay, PrimitiveStatus* pStatus, uint8_t* buffer,
                                                   uint32_t tag);
// The multi-rate filter of slots 1 to 3: the groups through the slot's kernels, the tail inline.
PrimitiveStatus FilterMultiRateFirLanes(const FirSlotOps& ops, FirState* state, const float* src, float* dst,
                                        int32_t numIters);
// The single-rate checks and index update of the one-sample filter, shared by every slot: -8, -26,
// -8, then -30 for an index outside [0, tapsLen), before the kernel writes anything.
PrimitiveStatus CheckFirOneSample(const float* pY, const float* taps, int32_t tapsLen, const float* delay,
                                  const int32_t* pIndex);

struct IirSlotOps {
    int32_t slot;
    PrimitiveStatus (*zeroFloat)(float* dst, int32_t len);
    PrimitiveStatus (*copyFloat)(const float* src, float* dst, int32_t len);
    void (*arSampleStep)(const float* x, float* y, IirState* state);
    void (*arBlockFeedForward)(const float* src, float* w, int32_t count, const float* replicatedNumerator,
                               int32_t order);
    void (*arBlockFeedback)(const float* w, float* y, int32_t count, const float* feedbackMatrix, int32_t order);
    void (*biquadSampleStep)(const float* x, float* y, IirState* state);
    void (*biquadBlockFeedForward)(const float* src, float* w, int32_t count, const float* sectionNumerator);
    void (*biquadBlockFeedback)(const float* w, float* y, int32_t count, const float* sectionMatrix);
};

extern const IirSlotOps GenericIirSlot;

// Sizes in 64 bits; false when the size does not fit the 32-bit interface.
bool ComputeIirStateSizeSse64(int32_t order, int32_t tag, int64_t* pSize);
PrimitiveStatus BuildIirStateFor(const IirSlotOps& ops, IirState** ppState, const float* taps, int32_t order,
                                 const float* dly, uint8_t* buffer, int32_t tag);
PrimitiveStatus AllocateIirStateFor(const IirSlotOps& ops, IirState** ppState, const float* taps, int32_t order,
                                    const float* dly, int32_t tag);
PrimitiveStatus CreateIirStateFor(const IirSlotOps& ops, IirState** ppState, const float* taps, int32_t order,
                                  const float* dly);
PrimitiveStatus GetIirStateSizeFor(const IirSlotOps& ops, int32_t order, int32_t* pSize);
PrimitiveStatus InitIirStateFor(const IirSlotOps& ops, IirState** ppState, const float* taps, int32_t order,
                                const float* dly, uint8_t* buffer);
PrimitiveStatus FilterIirFor(const IirSlotOps& ops, const float* src, float* dst, int32_t len, IirState* state);
// The normalised taps of slots 1 to 3 with their four-lane numerator and feedback matrix.
PrimitiveStatus SetupIirTapsSse(const float* taps, IirState* state);
// The weights of the past outputs and feed-forward values in four consecutive outputs of the
// recursion y[n] = w[n] + sum of d[k] y[n-k], k = 1..order (d[0] unused): order + 3 rows of four.
void BuildIirFeedbackRows(const float* d, int32_t order, float* rows);
// A biquad cascade in the layout of slots 1 to 3: sections as (b0, b1, b2, a0, a1, a2) groups,
// each normalised by its own a0, with the per-section numerator, matrix and rows the block and
// sample kernels read. Errors: -8, -25 (K <= 0 or a size beyond INT32_MAX), -10 (tag stays 0).
PrimitiveStatus GetIirBiquadStateSizeSse(int32_t sectionCount, int32_t* pSize);
PrimitiveStatus InitIirBiquadStateFor(const IirSlotOps& ops, IirState** ppState, const float* sections,
                                      int32_t sectionCount, const float* dly, uint8_t* buffer);
