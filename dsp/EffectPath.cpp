#include "dsp/EffectPath.h"

#include <cstring>

namespace {

constexpr SIZE_T WORK_SET_ARRAY_BYTES = MAX_SOFTWARE_DSP_PROCESS_CHANNELS * sizeof(float*);
constexpr SIZE_T WORK_BUFFER_BYTES = EFFECT_CHUNK_FRAMES * sizeof(float);

}  // namespace

bool EffectPath::AllocateWorkSet(float**& ppSet)
{
    if (ppSet == nullptr) {
        ppSet = static_cast<float**>(ExAllocatePoolWithTag(NonPagedPoolNx, WORK_SET_ARRAY_BYTES, EFFECT_WORK_SET_TAG));
        if (ppSet == nullptr) {
            return false;
        }
        std::memset(ppSet, 0, WORK_SET_ARRAY_BYTES);
    }
    for (int32_t c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        if (ppSet[c] != nullptr) {
            continue;
        }
        ppSet[c] = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPoolNx, WORK_BUFFER_BYTES, EFFECT_WORK_SET_TAG));
        if (ppSet[c] == nullptr) {
            return false;
        }
        std::memset(ppSet[c], 0, WORK_BUFFER_BYTES);
    }
    return true;
}

bool EffectPath::IsWorkSetComplete(float* const* ppSet)
{
    if (ppSet == nullptr) {
        return false;
    }
    for (int32_t c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        if (ppSet[c] == nullptr) {
            return false;
        }
    }
    return true;
}

void EffectPath::FreeWorkSet(float**& ppSet)
{
    if (ppSet == nullptr) {
        return;
    }
    for (int32_t c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        if (ppSet[c] != nullptr) {
            ExFreePoolWithTag(ppSet[c], EFFECT_WORK_SET_TAG);
        }
    }
    ExFreePoolWithTag(ppSet, EFFECT_WORK_SET_TAG);
    ppSet = nullptr;
}

bool EffectPath::AllocateWorkSets() { return AllocateWorkSet(m_ppDry) && AllocateWorkSet(m_ppEffect); }

bool EffectPath::AllocateLimiters(float effectGain)
{
    if (m_pEffectLimiter == nullptr) {
        m_pEffectLimiter = CreatePeakLimiter(EFFECT_LIMITER_TAG, effectGain);
        if (m_pEffectLimiter == nullptr) {
            return false;
        }
    }
    if (m_pDryLimiter == nullptr) {
        m_pDryLimiter = CreatePeakLimiter(EFFECT_LIMITER_TAG, 1.0f);
    }
    return m_pDryLimiter != nullptr;
}

bool EffectPath::IsComplete() const
{
    return IsWorkSetComplete(m_ppDry) && IsWorkSetComplete(m_ppEffect) && m_pEffectLimiter != nullptr &&
           m_pDryLimiter != nullptr;
}

void EffectPath::SetFormat(const WaveFormatRecord* pFormat)
{
    if (m_pEffectLimiter != nullptr) {
        m_pEffectLimiter->SetFormat(pFormat);
    }
    if (m_pDryLimiter != nullptr) {
        m_pDryLimiter->SetFormat(pFormat);
    }
}

void EffectPath::Flush()
{
    if (m_pEffectLimiter != nullptr) {
        m_pEffectLimiter->Flush();
    }
    if (m_pDryLimiter != nullptr) {
        m_pDryLimiter->Flush();
    }
}

void EffectPath::Reset()
{
    if (m_pEffectLimiter != nullptr) {
        m_pEffectLimiter->Reset();
    }
    if (m_pDryLimiter != nullptr) {
        m_pDryLimiter->Reset();
    }
}

void EffectPath::Free()
{
    FreeWorkSet(m_ppDry);
    FreeWorkSet(m_ppEffect);
    DestroyPeakLimiter(m_pEffectLimiter, EFFECT_LIMITER_TAG);
    m_pEffectLimiter = nullptr;
    DestroyPeakLimiter(m_pDryLimiter, EFFECT_LIMITER_TAG);
    m_pDryLimiter = nullptr;
}
