// The effect processing of the processing-block entities: each render chunk runs through a dry
// set and a processed set, and the entity's enable chooses which is written back, with a fade
// when it changes.
#include "dsp/EffectProcessing.h"

#include <cstring>

#include "dsp/EffectPath.h"
#include "dsp/UpDownMix.h"
#include "platform/nt/Irql.h"
#include "primitives/Primitives.h"

namespace {

constexpr ULONG SPATIAL_CONTROL = 0x8B;
constexpr float SPATIAL_INPUT_OFFSET = 1e-12f;
constexpr ULONG FADE_ON_PROCESSED = 0x80000000u;

// The state's lock in the form the current IRQL asks for.
class EffectLockGuard {
public:
    explicit EffectLockGuard(PKSPIN_LOCK pLock) : m_bAtDpc(KeGetCurrentIrql() >= DISPATCH_LEVEL)
    {
        if (m_bAtDpc) {
            KeAcquireInStackQueuedSpinLockAtDpcLevel(pLock, &m_Handle);
        } else {
            KeAcquireInStackQueuedSpinLock(pLock, &m_Handle);
        }
    }
    ~EffectLockGuard()
    {
        if (m_bAtDpc) {
            KeReleaseInStackQueuedSpinLockFromDpcLevel(&m_Handle);
        } else {
            KeReleaseInStackQueuedSpinLock(&m_Handle);
        }
    }
    EffectLockGuard(const EffectLockGuard&) = delete;
    EffectLockGuard& operator=(const EffectLockGuard&) = delete;

private:
    KLOCK_QUEUE_HANDLE m_Handle = {};
    bool m_bAtDpc;
};

bool IsPcm(const WaveFormatRecord& format)
{
    if (format.Format.wFormatTag == WAVE_FORMAT_PCM) {
        return true;
    }
    return format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && (format.SubFormat.Data1 & 0xFFFF) == WAVE_FORMAT_PCM;
}

bool IsSpatial(const EffectEntityState* pState) { return pState->Control == SPATIAL_CONTROL; }

// The processor exists and the effect table can run it.
bool CanRun(const EffectHooks* pHooks, const EffectEntityState* pState)
{
    if (pHooks == nullptr) {
        return false;
    }
    if (IsSpatial(pState)) {
        return pState->Spatial != nullptr && pHooks->SpatialProcess != nullptr;
    }
    return pState->Engine != nullptr && pHooks->HeadphoneProcess != nullptr;
}

ULONG FadeWord(ULONG kind, ULONG position, bool onProcessed)
{
    return kind | (position << 8) | (onProcessed ? FADE_ON_PROCESSED : 0);
}

// One piece of at most 512 frames, under the state's lock.
void ProcessPiece(EffectEntityState* pState, const EffectHooks* pHooks, ULONG ulChannels, float* const* ppChannels,
                  ULONG ulFrames, bool bChanged)
{
    EffectPath* pPath = pState->Path;
    const int32_t frames = static_cast<int32_t>(ulFrames);
    float* const* dry = pPath->DrySet();
    float* const* processed = pPath->EffectSet();
    const bool bSpatial = IsSpatial(pState);
    if (frames > 0) {
        if (bSpatial) {
            for (ULONG c = 0; c < ulChannels; ++c) {
                AddConstantInPlace(SPATIAL_INPUT_OFFSET, ppChannels[c], frames);
            }
        }
        for (ULONG c = 0; c < ulChannels; ++c) {
            std::memcpy(dry[c], ppChannels[c], ulFrames * sizeof(float));
            std::memcpy(processed[c], ppChannels[c], ulFrames * sizeof(float));
        }
        UpDownMix(dry, ulChannels, 2, ulFrames, 1);
        pPath->DryLimiter()->Process(dry, frames);
        if (bSpatial) {
            pHooks->SpatialProcess(pState->Spatial, processed, processed, frames);
        } else {
            pHooks->HeadphoneProcess(pState->Engine, processed, frames);
        }
        pPath->EffectLimiter()->Process(processed, frames);
    }

    // The output set. The spatial processor renders only six and eight channels: other counts
    // keep the dry set, which carries their input.
    const ULONG fade = *pState->FadeState;
    const ULONG kind = EffectFadeKind(fade);
    const bool bFading = kind == EFFECT_FADE_IN || kind == EFFECT_FADE_OUT;
    const bool bEnabled = *pState->EffectiveEnable != 0;
    bool bProcessed;
    if (bSpatial && ulChannels != 6 && ulChannels != 8) {
        bProcessed = false;
    } else if (bFading && !bChanged) {
        // A fade begun in an earlier chunk goes on with the set that chunk chose.
        bProcessed = (fade & FADE_ON_PROCESSED) != 0;
    } else if (ulChannels >= 6 || ulChannels == 2) {
        bProcessed = bEnabled || bChanged;
    } else {
        bProcessed = bEnabled;
    }
    float* const* output = bProcessed ? processed : dry;

    if (bFading) {
        const ULONG ulRate = pState->StoredFormat != nullptr ? pState->StoredFormat->Format.nSamplesPerSec : 0;
        const ULONG w = 2 * (ulRate / 1000);  // 2 ms
        // Fades of another length than 2 ms at 1 to 1,000 kHz are not made.
        if (w < 2 || w > 4000) {
            *pState->FadeState = EFFECT_FADE_NONE;
        } else {
            const float d = static_cast<float>(w - 1);
            const ULONG pos = EffectFadePosition(fade);
            const ULONG fadeChannels = ulChannels < 2 ? ulChannels : 2;
            for (ULONG c = 0; c < fadeChannels; ++c) {
                float* out = output[c];
                const float* dr = dry[c];
                for (ULONG i = 0; i < ulFrames; ++i) {
                    const ULONG g = pos + i;
                    if (kind == EFFECT_FADE_IN) {
                        if (g < w) {
                            out[i] = (1.0f - static_cast<float>(g) / d) * dr[i];
                        } else if (g < 2 * w) {
                            out[i] = (static_cast<float>(g - w) / d) * out[i];
                        }
                    } else {
                        if (g < w) {
                            out[i] = (1.0f - static_cast<float>(g) / d) * out[i];
                        } else if (g < 2 * w) {
                            out[i] = (static_cast<float>(g - w) / d) * dr[i];
                        } else {
                            out[i] = dr[i];
                        }
                    }
                }
            }
            const ULONG done = pos + ulFrames;
            *pState->FadeState = done >= 2 * w ? EFFECT_FADE_NONE : FadeWord(kind, done, bProcessed);
        }
    }
    if (frames > 0) {
        for (ULONG c = 0; c < ulChannels; ++c) {
            if (output[c] != ppChannels[c]) {
                std::memcpy(ppChannels[c], output[c], ulFrames * sizeof(float));
            }
        }
    }
}

}  // namespace

BOOLEAN ApplyPendingEffectEnable(EffectEntityState* pState)
{
    EffectLockGuard guard(pState->Lock);
    // The requested enable is stored before either flag rises, so the value read here is current
    // whichever flag the caller took; the enable-change flag is cleared when it is up.
    if (__atomic_load_n(pState->EnableChanged, __ATOMIC_SEQ_CST) != 0) {
        InterlockedCompareExchange(pState->EnableChanged, 0, 1);
    }
    const ULONG requested = __atomic_load_n(pState->RequestedEnable, __ATOMIC_SEQ_CST) & 0xFF;
    const BOOLEAN changed = requested != *pState->EffectiveEnable ? TRUE : FALSE;
    *pState->EffectiveEnable = requested;
    return changed;
}

void ProcessEffectEntityChunk(EffectEntityState* pState, const WaveFormatRecord* pFormat, PVOID pData, LONG lFrames)
{
    if (pState == nullptr) {
        return;
    }
    const EffectHooks* pHooks = GetEffectHooks();
    const bool bRunnable = CanRun(pHooks, pState);
    bool bChanged = false;
    if (InterlockedExchange(pState->ParameterChanged, 0) != 0 && bRunnable) {
        // Only a change of the enable the processing obeys fades; a repeated value does not.
        if (ApplyPendingEffectEnable(pState)) {
            EffectLockGuard guard(pState->Lock);
            *pState->FadeState = *pState->EffectiveEnable != 0 ? EFFECT_FADE_IN : EFFECT_FADE_OUT;
            bChanged = true;
        }
    }
    EffectPath* pPath = pState->Path;
    if (!bRunnable || pPath == nullptr || !pPath->IsComplete() || pFormat == nullptr || pData == nullptr ||
        lFrames < 0 || !IsPcm(*pFormat)) {
        return;
    }
    const ULONG ulChannels = pFormat->Format.nChannels;
    if (ulChannels == 0 || ulChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) {
        return;
    }
    const auto ulFrames = static_cast<ULONG>(lFrames);
    auto* const* ppChannels = static_cast<float* const*>(pData);
    EffectLockGuard guard(pState->Lock);
    ULONG ulDone = 0;
    do {
        const ULONG ulPiece = ulFrames - ulDone < EFFECT_CHUNK_FRAMES ? ulFrames - ulDone : EFFECT_CHUNK_FRAMES;
        float* pieces[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
        for (ULONG c = 0; c < ulChannels; ++c) {
            pieces[c] = ppChannels[c] + ulDone;
        }
        ProcessPiece(pState, pHooks, ulChannels, pieces, ulPiece, bChanged && ulDone == 0);
        ulDone += ulPiece;
    } while (ulDone < ulFrames);
}

void ResetEffectEntityState(EffectEntityState* pState)
{
    if (pState == nullptr) {
        return;
    }
    const EffectHooks* pHooks = GetEffectHooks();
    if (IsSpatial(pState) && pState->Spatial != nullptr && pHooks != nullptr && pHooks->SpatialReset != nullptr) {
        pHooks->SpatialReset(pState->Spatial);
    }
    if (pState->Path != nullptr) {
        pState->Path->Reset();
    }
}
