// Sizes, initialisation, creation and destruction of real and complex FFT specifications; the
// two kinds share everything but the complex order and the recombination tables.
#include "primitives/fft/FftSpec.h"

#include <climits>
#include <cmath>

#include "primitives/core/Memory.h"
#include "primitives/core/VectorBasics.h"
#include "primitives/fft/FftInternal.h"

using namespace kvxfft;

namespace {

constexpr int32_t SMALL_SPEC_BYTES = 168;

bool ValidFlag(int32_t flag) {
    return flag == FftScaleForward || flag == FftScaleInverse || flag == FftScaleSqrt || flag == FftScaleNone;
}

int64_t Up32Size(int64_t x) { return (x + 31) & ~int64_t{31}; }

// The three sizes of a real or complex specification, computed in 64 bits. False when one of
// them does not fit the 32-bit interface (orders 28 to 30): such a specification can be
// neither described to a caller nor allocated, and building it into a block sized by wrapped
// arithmetic would overrun it.
bool ComputeFftSizes(int32_t p, bool complex, int64_t sizes[3]) {
    if (p <= 3) {
        sizes[0] = SMALL_SPEC_BYTES;
        sizes[1] = 0;
        sizes[2] = 0;
        return true;
    }
    const int32_t m = complex ? p : p - 1;
    const int64_t n = int64_t{1} << m;
    const int64_t N = int64_t{1} << p;
    int64_t base[3] = {Up32Size(8 * n + 8), 0, 0};
    if (m > RADIX_MAX_ORDER) GetLargeFftSize(m, base);
    // The recombination tables of a real specification; a complex one has none.
    const int64_t recombination = complex ? 0 : 2 * Up32Size(2 * N);
    sizes[0] = base[0] + Up32Size(n + 4) + recombination + 192;
    sizes[1] = p <= RADIX_MAX_ORDER ? 0 : Up32Size(N + 4) + base[1] + 32;
    sizes[2] = base[2] > 0 ? base[2] + 32 : 0;
    for (int i = 0; i < 3; ++i) {
        if (sizes[i] > INT32_MAX) return false;
    }
    return true;
}

bool BuildableOrder(int32_t p, bool complex) {
    int64_t sizes[3];
    return p >= 0 && p <= FFT_MAX_ORDER && ComputeFftSizes(p, complex, sizes);
}

void ZeroFftSpec(FftSpec* spec) { ZeroBytes(spec, FFT_SPEC_HEADER_BYTES); }

PrimitiveStatus GetSizes(bool complex, int32_t order, int32_t flag, int32_t* specBytes, int32_t* initBytes,
                         int32_t* workBytes) {
    if (!BuildableOrder(order, complex)) return StatusFftOrderError;
    if (specBytes == nullptr || initBytes == nullptr || workBytes == nullptr) return StatusNullPointer;
    if (!ValidFlag(flag)) return StatusFftFlagError;
    int64_t sizes[3];
    ComputeFftSizes(order, complex, sizes);
    *specBytes = static_cast<int32_t>(sizes[0]);
    *initBytes = static_cast<int32_t>(sizes[1]);
    *workBytes = static_cast<int32_t>(sizes[2]);
    return StatusOk;
}

PrimitiveStatus InitSpec(bool complex, FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,
                         uint8_t* specMem, uint8_t* initMem) {
    if (ppSpec == nullptr) return StatusNullPointer;
    if (!BuildableOrder(order, complex)) return StatusFftOrderError;
    if (specMem == nullptr) return StatusNullPointer;

    auto* spec = reinterpret_cast<FftSpec*>(AlignUp32(specMem));
    ZeroFftSpec(spec);
    spec->owned = 0;
    spec->order = order;
    spec->hint = hint;

    // The id is written only at the very end: a stale pointer to this block must never see a
    // valid id over tables that are not built yet.
    const int64_t N = int64_t{1} << order;
    switch (flag) {
    case FftScaleNone:
        break;
    case FftScaleSqrt:
        spec->scaleForward = 1;
        spec->scaleInverse = 1;
        spec->scale = static_cast<float>(1.0 / std::sqrt(static_cast<double>(N)));
        break;
    case FftScaleForward:
        spec->scale = 1.0f / static_cast<float>(N);
        spec->scaleForward = 1;
        break;
    case FftScaleInverse:
        spec->scale = 1.0f / static_cast<float>(N);
        spec->scaleInverse = 1;
        break;
    default:
        return StatusFftFlagError;
    }

    if (order > 3) {
        SineSource sine{QuarterSineTable, RADIX_MAX_ORDER};
        if (order > RADIX_MAX_ORDER) {
            if (initMem == nullptr) return StatusNullPointer;
            auto* table = reinterpret_cast<float*>(AlignUp32(initMem));
            BuildQuarterSineTable(table, order);
            sine = {table, order};
        }
        const int32_t m = complex ? order : order - 1;
        const int64_t n = int64_t{1} << m;
        auto* base = reinterpret_cast<uint8_t*>(spec);
        auto* pairs = reinterpret_cast<int32_t*>(base + FFT_SPEC_HEADER_BYTES);
        spec->bitReverseTable = pairs;
        BuildBitReversePairTable(pairs, m);
        uint8_t* end;
        if (m <= RADIX_MAX_ORDER) {
            uint8_t* twiddles = AlignUp32(base + FFT_SPEC_HEADER_BYTES + n + 4);
            spec->twiddleTable = reinterpret_cast<const float*>(twiddles);
            end = BuildTwiddleTable(twiddles, m, sine);
            spec->workBytes = 0;
        } else {
            uint8_t* large = base + Up32Size(FFT_SPEC_HEADER_BYTES + Up32Size(n + 4));
            end = BuildLargeFftTables(spec, large, m, sine);
        }
        if (!complex) {
            uint8_t* forward = AlignUp32(end);
            spec->forwardRecombination = reinterpret_cast<const float*>(forward);
            uint8_t* inverse = AlignUp32(BuildRealForwardTable(forward, order, sine));
            spec->inverseRecombination = reinterpret_cast<const float*>(inverse);
            BuildRealInverseTable(inverse, order, sine);
        }
    }

    spec->id = complex ? SpecIdComplexFft : SpecIdRealFft;
    *ppSpec = spec;
    return StatusOk;
}

PrimitiveStatus CreateSpec(bool complex, FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint) {
    if (ppSpec == nullptr) return StatusNullPointer;
    int32_t specBytes = 0;
    int32_t initBytes = 0;
    int32_t workBytes = 0;
    PrimitiveStatus status = GetSizes(complex, order, flag, &specBytes, &initBytes, &workBytes);
    if (status != StatusOk) return status;

    auto* specMem = static_cast<uint8_t*>(AllocateAligned(specBytes));
    if (specMem == nullptr) return StatusNoMemory;
    uint8_t* initMem = nullptr;
    if (initBytes > 0) {
        initMem = static_cast<uint8_t*>(AllocateAligned(initBytes));
        if (initMem == nullptr) {
            FreeAlignedGeneric(specMem);
            return StatusNoMemory;
        }
    }
    FftSpec* spec = nullptr;
    status = InitSpec(complex, &spec, order, flag, hint, specMem, initMem);
    FreeAlignedGeneric(initMem);
    if (status != StatusOk) {
        FreeAlignedGeneric(specMem);
        return status;
    }
    spec->owned = 1;
    *ppSpec = spec;
    return StatusOk;
}

PrimitiveStatus DestroySpec(FftSpec* spec, uint32_t id) {
    if (spec == nullptr) return StatusNullPointer;
    if (spec->id != id) return StatusContextMismatch;
    spec->id = SpecIdInvalid;
    if (spec->owned == 1) FreeAlignedGeneric(spec);
    return StatusOk;
}

}  // namespace

PrimitiveStatus GetRealFftSizeGeneric(int32_t order, int32_t flag, int32_t /*hint*/, int32_t* specBytes,
                                      int32_t* initBytes, int32_t* workBytes) {
    return GetSizes(false, order, flag, specBytes, initBytes, workBytes);
}

PrimitiveStatus InitRealFftSpecGeneric(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,
                                       uint8_t* specMem, uint8_t* initMem) {
    return InitSpec(false, ppSpec, order, flag, hint, specMem, initMem);
}

PrimitiveStatus CreateRealFftGeneric(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint) {
    return CreateSpec(false, ppSpec, order, flag, hint);
}

PrimitiveStatus DestroyRealFftGeneric(FftSpec* spec) { return DestroySpec(spec, SpecIdRealFft); }

PrimitiveStatus GetComplexFftSizeGeneric(int32_t order, int32_t flag, int32_t /*hint*/, int32_t* specBytes,
                                         int32_t* initBytes, int32_t* workBytes) {
    return GetSizes(true, order, flag, specBytes, initBytes, workBytes);
}

PrimitiveStatus InitComplexFftSpecGeneric(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,
                                          uint8_t* specMem, uint8_t* initMem) {
    return InitSpec(true, ppSpec, order, flag, hint, specMem, initMem);
}

PrimitiveStatus CreateComplexFftGeneric(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint) {
    return CreateSpec(true, ppSpec, order, flag, hint);
}

PrimitiveStatus DestroyComplexFftGeneric(FftSpec* spec) { return DestroySpec(spec, SpecIdComplexFft); }

PrimitiveStatus GetFftWorkBufferSize(const FftSpec* spec, int32_t* bytes) {
    if (bytes == nullptr || spec == nullptr) return StatusNullPointer;
    if (spec->id != SpecIdRealFft) return StatusContextMismatch;
    *bytes = spec->workBytes > 0 ? spec->workBytes + 32 : 0;
    return StatusOk;
}
