// Test-only helpers of the FFT slot tests: each slot's bodies by name, a scoped forced slot and
// a specification created through the forced slot's entry points.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/fft/ComplexFft.h"
#include "primitives/fft/FftSlotBodies.h"
#include "primitives/fft/FftSpec.h"
#include "primitives/fft/RealFft.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace fftslot {

inline constexpr int32_t kFlags[] = {FftScaleForward, FftScaleInverse, FftScaleSqrt, FftScaleNone};

using TransformFn = PrimitiveStatus (*)(const float*, float*, const FftSpec*, uint8_t*);
using SizeFn = PrimitiveStatus (*)(int32_t, int32_t, int32_t, int32_t*, int32_t*, int32_t*);
using InitFn = PrimitiveStatus (*)(FftSpec**, int32_t, int32_t, int32_t, uint8_t*, uint8_t*);

// Each slot's bodies by name, for what no entry point reaches (the out-of-place real transforms).
inline const TransformFn kForwardReal[4] = {ForwardRealFft, Sse3Variant::ForwardRealFftSse3,
                                            Ssse3Variant::ForwardRealFftSsse3, Sse41Variant::ForwardRealFftSse41};
inline const TransformFn kInverseReal[4] = {InverseRealFft, Sse3Variant::InverseRealFftSse3,
                                            Ssse3Variant::InverseRealFftSsse3, Sse41Variant::InverseRealFftSse41};
inline const SizeFn kRealSize[4] = {GetRealFftSizeGeneric, Sse3Variant::GetRealFftSizeSse3,
                                    Ssse3Variant::GetRealFftSizeSsse3, Sse41Variant::GetRealFftSizeSse41};
inline const InitFn kRealInit[4] = {InitRealFftSpecGeneric, Sse3Variant::InitRealFftSpecSse3,
                                    Ssse3Variant::InitRealFftSpecSsse3, Sse41Variant::InitRealFftSpecSse41};
inline const SizeFn kComplexSize[4] = {GetComplexFftSizeGeneric, Sse3Variant::GetComplexFftSizeSse3,
                                       Ssse3Variant::GetComplexFftSizeSsse3, Sse41Variant::GetComplexFftSizeSse41};
inline const InitFn kComplexInit[4] = {InitComplexFftSpecGeneric, Sse3Variant::InitComplexFftSpecSse3,
                                       Ssse3Variant::InitComplexFftSpecSsse3, Sse41Variant::InitComplexFftSpecSse41};

// Forces one slot for its scope and gives the index back; a slot this processor cannot run is
// not entered.
class ScopedSlot {
public:
    explicit ScopedSlot(int32_t slot) : m_saved(DispatchIndex)
    {
        m_entered = coretest::ProcessorRunsSlot(slot) && ForceDispatchIndex(coretest::kSlotCodes[slot]) == StatusOk;
    }
    ~ScopedSlot() { DispatchIndex = m_saved; }
    ScopedSlot(const ScopedSlot&) = delete;
    ScopedSlot& operator=(const ScopedSlot&) = delete;
    bool entered() const { return m_entered; }

private:
    int32_t m_saved;
    bool m_entered = false;
};

// A specification created through the entry point of the forced slot, destroyed at scope end.
class SlotSpec {
public:
    SlotSpec(bool complex, int32_t order, int32_t flag) : m_complex(complex)
    {
        m_status = complex ? CreateComplexFft(&m_pSpec, order, flag, 0) : CreateRealFft(&m_pSpec, order, flag, 0);
    }
    ~SlotSpec()
    {
        if (m_pSpec != nullptr) (m_complex ? DestroyComplexFft : DestroyRealFft)(m_pSpec);
    }
    SlotSpec(const SlotSpec&) = delete;
    SlotSpec& operator=(const SlotSpec&) = delete;
    FftSpec* get() const { return m_pSpec; }
    PrimitiveStatus status() const { return m_status; }

private:
    bool m_complex;
    FftSpec* m_pSpec = nullptr;
    PrimitiveStatus m_status;
};

inline double Factor(int32_t flag, bool forward, size_t N)
{
    const double n = static_cast<double>(N);
    switch (flag) {
    case FftScaleForward:
        return forward ? 1.0 / n : 1.0;
    case FftScaleInverse:
        return forward ? 1.0 : 1.0 / n;
    case FftScaleSqrt:
        return 1.0 / std::sqrt(n);
    default:
        return 1.0;
    }
}

// The bound of the generic tests: float rounding grows with the stages, a wrong twiddle or index
// lands far above it.
inline double Tolerance(int32_t order) { return 1e-7 * (order + 4); }

inline bool SameBits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// Complex orders whose stage plans agree in slot 1 and slots 2-3 (or that run no plan at all).
inline bool PlansAgree(int32_t m)
{
    return m <= 6 || m == 11 || m == 14 || m == 16;
}

}  // namespace fftslot
