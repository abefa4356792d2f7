// The FFT specification record and the operations that produce it. A specification is one block
// holding the header and every table the transforms read; its pointers are absolute, so it must
// never be moved or copied once built.
#pragma once

#include <cstddef>
#include <cstdint>

#include "primitives/core/PrimitiveStatus.h"
#include "primitives/core/PrimitiveTypes.h"

// Normalisation flags.
enum : int32_t {
    FftScaleForward = 1,
    FftScaleInverse = 2,
    FftScaleSqrt = 4,
    FftScaleNone = 8,
};

// Record ids; 0 marks a block that is not (or no longer) a valid specification.
enum : uint32_t {
    SpecIdInvalid = 0,
    SpecIdComplexFft = 4,
    SpecIdRealFft = 6,
};

constexpr int32_t FFT_MAX_ORDER = 30;
constexpr int32_t FFT_SPEC_HEADER_BYTES = 136;
constexpr int32_t FFT_LARGE_DEPTHS = 3;

struct FftComplex {
    float re;
    float im;
};

struct FftSpec {
    uint32_t id;
    int32_t order;
    int32_t scaleForward;
    int32_t scaleInverse;
    float scale;
    int32_t hint;
    int32_t workBytes;
    int32_t owned;
    // The dispatch slot whose initialisation laid out the tables (0 in slot 0's records, so the
    // word stays zero there). The slots' layouts differ in their tables even where they have the
    // same size, so every transform refuses a record another slot built.
    uint32_t builderSlot;
    uint32_t reserved0;
    const int32_t* bitReverseTable;
    const float* twiddleTable;
    const FftComplex* combineTable;
    const void* reserved1;
    const float* forwardRecombination;
    const float* inverseRecombination;
    const float* levelTwiddles[FFT_LARGE_DEPTHS];
    const FftComplex* columnTwiddles[FFT_LARGE_DEPTHS];
};
static_assert(sizeof(FftSpec) == FFT_SPEC_HEADER_BYTES, "the header layout is fixed");
static_assert(offsetof(FftSpec, builderSlot) == 32, "the header layout is fixed");
static_assert(offsetof(FftSpec, bitReverseTable) == 40, "the header layout is fixed");
static_assert(offsetof(FftSpec, levelTwiddles) == 88, "the header layout is fixed");

// 257 floats: entry k is sin(2*pi*k/1024) rounded to the nearest float.
extern const float QuarterSineTable[257];
// Indexed by complex order m (used for 11..30): log2 of the rows a level splits into; 0 is a leaf.
extern const int32_t LargeFftSplitTable[31];

// Sizes and initialisation into caller memory have C linkage and follow the dispatch slot: each is a
// stub over a four-slot table like the entry points, since a specification fits only the transforms
// of the slot that built it. Library code that always runs slot 0 calls the Generic copies by name.
extern "C" {
PrimitiveStatus GetRealFftSize(int32_t order, int32_t flag, int32_t hint, int32_t* specBytes,
                               int32_t* initBytes, int32_t* workBytes);
PrimitiveStatus InitRealFftSpec(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,
                                uint8_t* specMem, uint8_t* initMem);
// The complex specification (id SpecIdComplexFft): the same record with the complex order equal
// to the order and no recombination tables.
PrimitiveStatus GetComplexFftSize(int32_t order, int32_t flag, int32_t hint, int32_t* specBytes,
                                  int32_t* initBytes, int32_t* workBytes);
PrimitiveStatus InitComplexFftSpec(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,
                                   uint8_t* specMem, uint8_t* initMem);
}
PrimitiveStatus GetRealFftSizeGeneric(int32_t order, int32_t flag, int32_t hint, int32_t* specBytes,
                                      int32_t* initBytes, int32_t* workBytes);
PrimitiveStatus InitRealFftSpecGeneric(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,
                                       uint8_t* specMem, uint8_t* initMem);
PrimitiveStatus GetComplexFftSizeGeneric(int32_t order, int32_t flag, int32_t hint, int32_t* specBytes,
                                         int32_t* initBytes, int32_t* workBytes);
PrimitiveStatus InitComplexFftSpecGeneric(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,
                                          uint8_t* specMem, uint8_t* initMem);
PrimitiveStatus CreateRealFftGeneric(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);
PrimitiveStatus DestroyRealFftGeneric(FftSpec* spec);
PrimitiveStatus CreateComplexFftGeneric(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);
PrimitiveStatus DestroyComplexFftGeneric(FftSpec* spec);
PrimitiveStatus GetFftWorkBufferSize(const FftSpec* spec, int32_t* bytes);
