// The FIR state record shared by the single-rate and the multi-rate filters, and the builders,
// size queries and filters behind the FIR entry points. A state is one block whose header holds
// absolute pointers into the block: once built it must not be moved.
#pragma once

#include <cstddef>
#include <cstdint>

#include "primitives/core/PrimitiveStatus.h"
#include "primitives/core/PrimitiveTypes.h"
#include "primitives/fft/FftSpec.h"

// Tags: the first four bytes of every FIR state ("10IF" and "30IF" in memory).
enum : uint32_t {
    StateIdFir = 0x46493031u,
    StateIdMultiRateFir = 0x46493033u,
};

// Filters of at least this many taps carry an FFT for overlap-save.
constexpr int32_t FirFftThresholdTaps = 64;
// Single-rate calls of at least this many samples take the overlap-save path when there is an FFT.
constexpr int32_t FirOverlapSaveMinBlock = 512;
// Bytes of the reserve at the end of a single-rate block (the workArea).
constexpr int32_t FIR_RESERVE_BYTES = 16384;
constexpr int32_t FIR_HEADER_BYTES = 160;

struct FirState {
    uint32_t tag;
    uint32_t builderSlot;     // the dispatch slot whose builder laid the state out (header padding)
    float* reversedTaps;      // element i = h[tapsLen-1-i]
    float* delayLine;         // history, oldest first, from delayIndex
    int32_t tapsLen;
    int32_t upFactor;         // multi-rate only
    int32_t delayInputCount;  // single-rate: the direct form's split count; multi-rate: g
    int32_t downFactor;       // multi-rate only
    int32_t delayOutputCount; // multi-rate only: Lx
    FftSpec* fftSpec;
    float* tapsSpectrum;
    int32_t fftLen;           // -1 without FFT
    int32_t delayIndex;
    int32_t* phaseTable;      // multi-rate only
    float* laneTaps;          // multi-rate polyphase taps; single-rate: replicated taps (slots 1 to 3)
    int32_t groupTaps;        // multi-rate mode 1: q
    int32_t mode;             // multi-rate: 1, 2 or 3
    int32_t delayLen;
    float* fftBlock;
    uint8_t* fftWork;
    int32_t fftWorkSize;
    void* workArea;
    void* delayEnd;
    int32_t owned;
    int32_t upPhase;
    int32_t downPhase;
};
static_assert(sizeof(FirState) == FIR_HEADER_BYTES, "the header is 160 bytes");
static_assert(offsetof(FirState, reversedTaps) == 8, "the slot sits in the padding after the tag");
static_assert(offsetof(FirState, tapsLen) == 24, "the header layout is fixed");
static_assert(offsetof(FirState, fftSpec) == 48, "the header layout is fixed");
static_assert(offsetof(FirState, fftLen) == 64, "the header layout is fixed");
static_assert(offsetof(FirState, phaseTable) == 72, "the header layout is fixed");
static_assert(offsetof(FirState, delayLen) == 96, "the header layout is fixed");
static_assert(offsetof(FirState, fftBlock) == 104, "the header layout is fixed");
static_assert(offsetof(FirState, fftWorkSize) == 120, "the header layout is fixed");
static_assert(offsetof(FirState, workArea) == 128, "the header layout is fixed");
static_assert(offsetof(FirState, owned) == 144, "the header layout is fixed");
static_assert(offsetof(FirState, downPhase) == 152, "the header layout is fixed");

// The multi-rate state is the same header told apart by its tag.
struct MultiRateFirState : FirState {};
static_assert(sizeof(MultiRateFirState) == FIR_HEADER_BYTES, "one header for both kinds");

// The FFT order of a filter with an FFT (tapsLen >= FirFftThresholdTaps): e + 1, with e the
// smallest e >= 1 such that tapsLen < 2^e, so the transform is longer than twice the taps.
int32_t FirFftOrder(int32_t tapsLen);

// Single-rate state in caller memory. The size is formed in 64 bits; false when it does not fit
// the 32-bit interface.
bool ComputeFirStateSize64(int32_t tapsLen, int64_t* pSize);
PrimitiveStatus ComputeFirStateSize(int32_t tapsLen, int32_t* pSize);
PrimitiveStatus BuildFirState(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay,
                              uint8_t* buffer, uint32_t tag);
PrimitiveStatus InitFirStateGeneric(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay,
                                    uint8_t* buffer);
PrimitiveStatus GetFirStateSizeGeneric(int32_t tapsLen, int32_t* pSize);

// Single-rate state in a block of its own.
PrimitiveStatus AllocateFirState(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay,
                                 uint32_t tag);
PrimitiveStatus CreateFirStateGeneric(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay);
PrimitiveStatus DestroyFirStateGeneric(FirState* state);

// Filtering.
PrimitiveStatus FilterFirGeneric(const float* src, float* dst, int32_t numIters, FirState* state);
PrimitiveStatus FilterFirOneSampleGeneric(float x, float* pY, const float* taps, int32_t tapsLen, float* delay,
                                          int32_t* pIndex);

// Multi-rate state in caller memory and its filter.
PrimitiveStatus InitMultiRateFirStateGeneric(MultiRateFirState** ppState, const float* taps, int32_t tapsLen,
                                             int32_t up, int32_t upPhase, int32_t down, int32_t downPhase,
                                             const float* delay, uint8_t* buffer);
PrimitiveStatus GetMultiRateFirStateSizeGeneric(int32_t tapsLen, int32_t up, int32_t down, int32_t* pSize);
// The layout that InitMultiRateFirState picks for up and down not both 1: 1, 2 or 3.
int32_t MultiRateFirMode(int32_t tapsLen, int32_t up, int32_t down);
PrimitiveStatus ComputeMultiRateFirStateSizeMode1(int32_t tapsLen, int32_t up, int32_t down, int32_t* pSize);
PrimitiveStatus ComputeMultiRateFirStateSizeMode23(int32_t tapsLen, int32_t up, int32_t down, int32_t* pSize);
MultiRateFirState* BuildMultiRateFirStateMode1(const float* taps, int32_t tapsLen, int32_t up, int32_t upPhase,
                                               int32_t down, int32_t downPhase, const float* delay,
                                               PrimitiveStatus* pStatus, uint8_t* buffer, uint32_t tag);
MultiRateFirState* BuildMultiRateFirStateMode23(const float* taps, int32_t tapsLen, int32_t up, int32_t upPhase,
                                                int32_t down, int32_t downPhase, const float* delay,
                                                PrimitiveStatus* pStatus, uint8_t* buffer, uint32_t tag);
PrimitiveStatus FilterMultiRateFir(FirState* state, const float* src, float* dst, int32_t numIters);
