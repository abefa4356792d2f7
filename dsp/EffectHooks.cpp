#include "dsp/EffectHooks.h"

#include <cstring>
#include <new>

#include "dsp/EffectPath.h"
#include "dsp/EffectProcessing.h"
#include "dsp/SpatialProcessor8.h"
#include "globaltopo/common/JQZ/HeadphoneEngine.h"

namespace {

// The spatial room processor's entries.
SpatialProcessor8* SpatialCreate()
{
    void* pBlock = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(SpatialProcessor8), EFFECT_WORK_SET_TAG);
    if (pBlock == nullptr) {
        return nullptr;
    }
    std::memset(pBlock, 0, sizeof(SpatialProcessor8));
    auto* pProcessor = new (pBlock) SpatialProcessor8;
    pProcessor->Init();
    return pProcessor;
}
void SpatialDestroy(SpatialProcessor8* pProcessor)
{
    if (pProcessor != nullptr) {
        pProcessor->~SpatialProcessor8();
        ExFreePoolWithTag(pProcessor, EFFECT_WORK_SET_TAG);
    }
}
void SpatialSetFormat(SpatialProcessor8* pProcessor, LONG lRate, LONG lChannelCode)
{
    pProcessor->SetFormat(lRate, lChannelCode);
}
void SpatialProcess(SpatialProcessor8* pProcessor, float* const* ppIn, float* const* ppOut, LONG lFrames)
{
    pProcessor->Process(ppIn, ppOut, lFrames);
}
void SpatialReset(SpatialProcessor8* pProcessor) { pProcessor->Clear(); }

// The headphone engine's entries.
HeadphoneEngine* HeadphoneCreate() { return CreateHeadphoneEngine(); }
void HeadphoneDestroy(HeadphoneEngine* pEngine) { DestroyHeadphoneEngine(pEngine); }
LONG HeadphoneSetFormat(HeadphoneEngine* pEngine, const WAVEFORMATEX* pFormat) { return pEngine->SetFormat(pFormat); }
void HeadphoneSetEnable(HeadphoneEngine* pEngine, LONG lEnable) { pEngine->SetEnable(lEnable); }
void HeadphoneSetCtcMode(HeadphoneEngine* pEngine, LONG lMode) { pEngine->SetCtcMode(lMode); }
LONG HeadphoneGetCtcMode(HeadphoneEngine* pEngine) { return pEngine->GetCtcMode(); }
void HeadphoneSetCtcAngle(HeadphoneEngine* pEngine, LONG lIndex) { pEngine->SetCtcAngle(lIndex); }
void HeadphoneSetAngle(HeadphoneEngine* pEngine, HeadphoneParameterSet set, LONG lAngle)
{
    if (set == HeadphoneParameterSet::Speaker) {
        pEngine->SetSpeakerAngle(lAngle);
    } else {
        pEngine->SetHeadphoneAngle(lAngle);
    }
}
LONG HeadphoneGetRoom(HeadphoneEngine* pEngine, HeadphoneParameterSet set)
{
    return set == HeadphoneParameterSet::Speaker ? pEngine->GetSpeakerRoom() : pEngine->GetHeadphoneRoom();
}
void HeadphoneSetRoom(HeadphoneEngine* pEngine, HeadphoneParameterSet set, LONG lRoom)
{
    if (set == HeadphoneParameterSet::Speaker) {
        pEngine->SetSpeakerRoom(lRoom);
    } else {
        pEngine->SetHeadphoneRoom(lRoom);
    }
}
LONG HeadphoneGetAngleVariant(HeadphoneEngine* pEngine, HeadphoneParameterSet set)
{
    return set == HeadphoneParameterSet::Speaker ? pEngine->GetSpeakerAngleVariant()
                                                 : pEngine->GetHeadphoneAngleVariant();
}
void HeadphoneSetAngleVariant(HeadphoneEngine* pEngine, HeadphoneParameterSet set, LONG lVariant)
{
    if (set == HeadphoneParameterSet::Speaker) {
        pEngine->SetSpeakerAngleVariant(lVariant);
    } else {
        pEngine->SetHeadphoneAngleVariant(lVariant);
    }
}
void HeadphoneProcess(HeadphoneEngine* pEngine, float* const* ppChannels, LONG lFrames)
{
    pEngine->Process(ppChannels, lFrames);
}

// The effect processors fill their entries here as they come; an empty entry leaves its
// processor unmade.
constexpr EffectHooks DRIVER_EFFECT_HOOKS = {
    .CreateSpatialProcessor = SpatialCreate,
    .DestroySpatialProcessor = SpatialDestroy,
    .SpatialSetFormat = SpatialSetFormat,
    .SpatialProcess = SpatialProcess,
    .SpatialReset = SpatialReset,
    .CreateHeadphoneEngine = HeadphoneCreate,
    .DestroyHeadphoneEngine = HeadphoneDestroy,
    .HeadphoneSetFormat = HeadphoneSetFormat,
    .HeadphoneSetEnable = HeadphoneSetEnable,
    .HeadphoneSetCtcMode = HeadphoneSetCtcMode,
    .HeadphoneGetCtcMode = HeadphoneGetCtcMode,
    .HeadphoneSetCtcAngle = HeadphoneSetCtcAngle,
    .HeadphoneSetAngle = HeadphoneSetAngle,
    .HeadphoneGetRoom = HeadphoneGetRoom,
    .HeadphoneSetRoom = HeadphoneSetRoom,
    .HeadphoneGetAngleVariant = HeadphoneGetAngleVariant,
    .HeadphoneSetAngleVariant = HeadphoneSetAngleVariant,
    .HeadphoneProcess = HeadphoneProcess,
    .ProcessEffectEntity = ProcessEffectEntityChunk,
    .ResetEffectEntity = ResetEffectEntityState,
};

const EffectHooks* g_pEffectHooks = &DRIVER_EFFECT_HOOKS;

}  // namespace

const EffectHooks* GetEffectHooks() { return __atomic_load_n(&g_pEffectHooks, __ATOMIC_ACQUIRE); }

// Declared for tests in dsp/EffectHooksHost.h.
const EffectHooks* InstallEffectHooks(const EffectHooks* pHooks)
{
    const EffectHooks* pTable = pHooks != nullptr ? pHooks : &DRIVER_EFFECT_HOOKS;
    return __atomic_exchange_n(&g_pEffectHooks, pTable, __ATOMIC_ACQ_REL);
}
