// The buffers and limiters an effect entity runs its chunks through: a dry set (A) and an effect
// set (B) of eight 512-float channel buffers each, a limiter on the effect path with the entity's
// make-up gain and one on the dry path at unity. The entity makes them step by step in its own
// order and keeps whatever was made when a step fails; Process may use them only when IsComplete.
//
// Lives zeroed inside its entity. Allocation and Free at PASSIVE_LEVEL; SetFormat, Flush and Reset
// when no chunk is being processed.
#pragma once

#include "adapter/AudioTypes.h"
#include "dsp/PeakLimiter.h"

constexpr ULONG EFFECT_WORK_SET_TAG = MakePoolTag("DoHP");
constexpr ULONG EFFECT_LIMITER_TAG = MakePoolTag("QOLM");
// The largest chunk the stream engine hands a processing node.
constexpr ULONG EFFECT_CHUNK_FRAMES = 512;

class EffectPath {
public:
    // Set A, then set B: each the eight-entry pointer array, then each missing buffer, zeroed.
    // False at the first allocation that fails; what was made stays.
    bool AllocateWorkSets();
    // The effect-path limiter with `effectGain`, then the dry-path limiter with gain 1.0 (mode 0,
    // threshold 1.0). False at the first that cannot be made.
    bool AllocateLimiters(float effectGain);

    bool IsComplete() const;

    // Each existing limiter.
    void SetFormat(const WaveFormatRecord* pFormat);
    void Flush();
    void Reset();
    // The work sets (each buffer, then its array), then the limiters.
    void Free();

    float* const* DrySet() const { return m_ppDry; }
    float* const* EffectSet() const { return m_ppEffect; }
    PeakLimiter* DryLimiter() const { return m_pDryLimiter; }
    PeakLimiter* EffectLimiter() const { return m_pEffectLimiter; }

private:
    static bool AllocateWorkSet(float**& ppSet);
    static bool IsWorkSetComplete(float* const* ppSet);
    static void FreeWorkSet(float**& ppSet);

    float** m_ppDry = nullptr;
    float** m_ppEffect = nullptr;
    PeakLimiter* m_pEffectLimiter = nullptr;
    PeakLimiter* m_pDryLimiter = nullptr;
};
