// The effect processing of the processing-block entities: each render chunk runs through a dry
// set and a processed set, and the entity's enable chooses which is written back, with a fade
// when it changes.
#include <cstring>

#include "dsp/EffectHooks.h"
#include "dsp/UpDownMix.h"
#include "platform/nt/Irql.h"
#include "primitives/Primitives.h"
#include "topology/EntityCommon.h"
#include "topology/UsbClockDspEntities.h"

namespace {

constexpr float SPATIAL_INPUT_OFFSET = 1e-12f;
constexpr ULONG FADE_IN = 2;   // switched on: the processed signal fades in
constexpr ULONG FADE_OUT = 3;  // switched off: back to the dry signal
constexpr ULONG FADE_NONE = 1;

// DspEntityLock in the form the current IRQL asks for.
class DspLockGuard {
public:
    explicit DspLockGuard(PKSPIN_LOCK pLock) : m_bAtDpc(KeGetCurrentIrql() >= DISPATCH_LEVEL)
    {
        if (m_bAtDpc) {
            KeAcquireInStackQueuedSpinLockAtDpcLevel(pLock, &m_Handle);
        } else {
            KeAcquireInStackQueuedSpinLock(pLock, &m_Handle);
        }
    }
    ~DspLockGuard()
    {
        if (m_bAtDpc) {
            KeReleaseInStackQueuedSpinLockFromDpcLevel(&m_Handle);
        } else {
            KeReleaseInStackQueuedSpinLock(&m_Handle);
        }
    }
    DspLockGuard(const DspLockGuard&) = delete;
    DspLockGuard& operator=(const DspLockGuard&) = delete;

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

// The processor can run: it exists and the effect table has its entries.
bool CanRun(const EffectHooks* pHooks, DspEffectKind kind, PVOID pProcessor)
{
    if (pProcessor == nullptr || pHooks == nullptr) {
        return false;
    }
    return kind == DspEffectKind::Spatial ? pHooks->SpatialProcess != nullptr : pHooks->HeadphoneProcess != nullptr;
}

}  // namespace

BOOLEAN UsbDspEntity::ApplyPendingEnable()
{
    DspLockGuard guard(&m_DspEntityLock);
    if (__atomic_load_n(&m_lValueChanged, __ATOMIC_SEQ_CST) == 0 ||
        InterlockedCompareExchange(&m_lValueChanged, 0, 1) != 1) {
        return FALSE;
    }
    const ULONG requested = LoadRelaxed(&m_ulEnable) & 0xFF;
    const BOOLEAN changed = requested != m_ulProcessingEnable ? TRUE : FALSE;
    m_ulProcessingEnable = requested;
    return changed;
}

NTSTATUS UsbDspEntity::ProcessEffect(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames, EffectPath* pPath,
                                     DspEffectKind kind, PVOID pProcessor)
{
    const EffectHooks* pHooks = GetEffectHooks();
    const bool bRunnable = CanRun(pHooks, kind, pProcessor);
    bool bChanged = false;
    if (InterlockedExchange(&m_lResetPending, 0) != 0 && bRunnable) {
        // Only a change of the enable the processing obeys fades; a repeated value does not.
        if (ApplyPendingEnable()) {
            DspLockGuard guard(&m_DspEntityLock);
            m_ulTransitionState = m_ulProcessingEnable != 0 ? FADE_IN : FADE_OUT;
            m_ulFadePosition = 0;
            bChanged = true;
        }
    }
    if (!bRunnable || pPath == nullptr || !pPath->IsComplete() || pFormat == nullptr || pData == nullptr ||
        !IsPcm(*pFormat)) {
        return STATUS_SUCCESS;
    }
    const ULONG ulChannels = pFormat->Format.nChannels;
    if (ulChannels == 0 || ulChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) {
        return STATUS_SUCCESS;
    }
    auto* const* ppChannels = static_cast<float* const*>(pData);
    DspLockGuard guard(&m_DspEntityLock);
    ULONG ulDone = 0;
    do {
        const ULONG ulPiece = ulFrames - ulDone < EFFECT_CHUNK_FRAMES ? ulFrames - ulDone : EFFECT_CHUNK_FRAMES;
        float* pieces[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
        for (ULONG c = 0; c < ulChannels; ++c) {
            pieces[c] = ppChannels[c] + ulDone;
        }
        ProcessEffectPiece(ulChannels, pieces, ulPiece, pPath, kind, pProcessor, bChanged && ulDone == 0);
        ulDone += ulPiece;
    } while (ulDone < ulFrames);
    return STATUS_SUCCESS;
}

void UsbDspEntity::ProcessEffectPiece(ULONG ulChannels, float* const* ppChannels, ULONG ulFrames, EffectPath* pPath,
                                      DspEffectKind kind, PVOID pProcessor, bool bChanged)
{
    const EffectHooks* pHooks = GetEffectHooks();
    const int32_t frames = static_cast<int32_t>(ulFrames);
    float* const* dry = pPath->DrySet();
    float* const* processed = pPath->EffectSet();
    if (frames > 0) {
        if (kind == DspEffectKind::Spatial) {
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
        if (kind == DspEffectKind::Spatial) {
            pHooks->SpatialProcess(static_cast<SpatialProcessor8*>(pProcessor), processed, processed, frames);
        } else {
            pHooks->HeadphoneProcess(static_cast<HeadphoneEngine*>(pProcessor), processed, frames);
        }
        pPath->EffectLimiter()->Process(processed, frames);
    }

    // The output set. The spatial processor renders only six and eight channels: other counts
    // keep the dry set, which carries their input.
    const bool bEnabled = m_ulProcessingEnable != 0;
    const bool bFading = m_ulTransitionState == FADE_IN || m_ulTransitionState == FADE_OUT;
    bool bProcessed;
    if (kind == DspEffectKind::Spatial && ulChannels != 6 && ulChannels != 8) {
        bProcessed = false;
    } else if (bFading && !bChanged) {
        // A fade begun in an earlier chunk goes on with the set that chunk chose.
        bProcessed = m_bFadeOnProcessed != FALSE;
    } else if (ulChannels >= 6 || ulChannels == 2) {
        bProcessed = bEnabled || bChanged;
    } else {
        bProcessed = bEnabled;
    }
    if (bChanged) {
        m_bFadeOnProcessed = bProcessed ? TRUE : FALSE;
    }
    float* const* output = bProcessed ? processed : dry;

    if (bFading) {
        const ULONG ulRate = m_Format.Format.nSamplesPerSec;
        const ULONG w = 2 * (ulRate / 1000);  // 2 ms
        if (w < 2) {
            m_ulTransitionState = FADE_NONE;
        } else {
            const float d = static_cast<float>(w - 1);
            const ULONG pos = m_ulFadePosition;
            const ULONG fadeChannels = ulChannels < 2 ? ulChannels : 2;
            for (ULONG c = 0; c < fadeChannels; ++c) {
                float* out = output[c];
                const float* dr = dry[c];
                for (ULONG i = 0; i < ulFrames; ++i) {
                    const ULONG g = pos + i;
                    if (m_ulTransitionState == FADE_IN) {
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
            m_ulFadePosition = pos + ulFrames;
            if (m_ulFadePosition >= 2 * w) {
                m_ulTransitionState = FADE_NONE;
            }
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

NTSTATUS UsbDspEntity::ResetEffect(EffectPath* pPath, DspEffectKind kind, PVOID pProcessor)
{
    const EffectHooks* pHooks = GetEffectHooks();
    if (kind == DspEffectKind::Spatial && pProcessor != nullptr && pHooks != nullptr && pHooks->SpatialReset != nullptr) {
        pHooks->SpatialReset(static_cast<SpatialProcessor8*>(pProcessor));
    }
    if (pPath != nullptr) {
        pPath->Reset();
    }
    return STATUS_SUCCESS;
}
