#include "topology/EffectEntities.h"

#include <cstring>

#include "platform/nt/Irql.h"
#include "topology/EntityCommon.h"
#include "topology/FeatureUnit.h"
#include "topology/UsbEntityCommon.h"

namespace {

constexpr float SPATIAL_EFFECT_GAIN = 2.8183f;  // about +9 dB
constexpr float HEADPHONE_EFFECT_GAIN = 2.0f;
// The engine's first format, before a stream's.
constexpr WORD ENGINE_FIRST_CHANNELS = 2;
constexpr DWORD ENGINE_FIRST_RATE = 44100;
constexpr LONG ENGINE_ANGLE = 3;
constexpr LONG ENGINE_CTC_ANGLE = 0;
// Construction values of the engine, the parameters' defaults when there is no engine.
constexpr LONG ENGINE_FIRST_ROOM = 1;
constexpr LONG ENGINE_FIRST_ANGLE_VARIANT = 0;

}  // namespace

// ---- shared ----

EffectEntity::EffectEntity(PUNKNOWN pOuterUnknown, ULONG ulId, ULONG ulControl) : UsbDspEntity(pOuterUnknown, ulId)
{
    std::memset(&m_State, 0, sizeof m_State);
    m_State.Control = ulControl;
    m_State.Path = &m_Path;
    m_State.StoredFormat = &m_Format;
    m_State.ParameterChanged = &m_lValueChanged;
    m_State.EnableChanged = &m_lResetPending;
    m_State.RequestedEnable = &m_ulEnable;
    m_State.EffectiveEnable = &m_ulProcessingEnable;
    m_State.FadeState = &m_ulTransitionState;
    m_State.Lock = &m_DspEntityLock;
}

NTSTATUS EffectEntity::BindToUnit(const GUID& guid, UsbAudioUnit* pUnit, ULONG ulSelector, PDEVICE_OBJECT pDevice)
{
    m_NodeGuid = guid;
    // The table stays the one of the set-up for the entity's life.
    m_pHooks = GetEffectHooks();
    return SetupDspEntity(this, pUnit, ulSelector, pDevice);
}

bool EffectEntity::LockProcessing(KLOCK_QUEUE_HANDLE* pHandle)
{
    const bool bAtDispatch = KeGetCurrentIrql() >= DISPATCH_LEVEL;
    if (bAtDispatch) {
        KeAcquireInStackQueuedSpinLockAtDpcLevel(&m_DspEntityLock, pHandle);
    } else {
        KeAcquireInStackQueuedSpinLock(&m_DspEntityLock, pHandle);
    }
    return bAtDispatch;
}

void EffectEntity::UnlockProcessing(KLOCK_QUEUE_HANDLE* pHandle, bool bAtDispatch)
{
    if (bAtDispatch) {
        KeReleaseInStackQueuedSpinLockFromDpcLevel(pHandle);
    } else {
        KeReleaseInStackQueuedSpinLock(pHandle);
    }
}

NTSTATUS EffectEntity::Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames)
{
    if (m_pHooks != nullptr && m_pHooks->ProcessEffectEntity != nullptr && pFormat != nullptr) {
        m_pHooks->ProcessEffectEntity(&m_State, pFormat, pData, static_cast<LONG>(ulFrames));
        return STATUS_SUCCESS;
    }
    // No processing: a change is still taken over, so that the enable the processing would obey
    // follows the device's; the chunk stays as it is.
    if (InterlockedExchange(&m_lValueChanged, 0) != 0) {
        if (HasProcessor()) {
            KLOCK_QUEUE_HANDLE handle;
            const bool bAtDispatch = LockProcessing(&handle);
            if (InterlockedCompareExchange(&m_lResetPending, 0, 1) == 1) {
                StoreRelaxed(&m_ulProcessingEnable, LoadRelaxed(&m_ulEnable) & 0xFF);
            }
            UnlockProcessing(&handle, bAtDispatch);
        }
        StoreRelaxed(&m_ulTransitionState, LoadRelaxed(&m_ulProcessingEnable) != 0 ? 2u : 3u);
    }
    return STATUS_SUCCESS;
}

NTSTATUS EffectEntity::Flush()
{
    m_Path.Flush();
    return STATUS_SUCCESS;
}

NTSTATUS EffectEntity::Reset()
{
    if (m_pHooks != nullptr && m_pHooks->ResetEffectEntity != nullptr) {
        m_pHooks->ResetEffectEntity(&m_State);
        return STATUS_SUCCESS;
    }
    if (m_State.Spatial != nullptr && m_pHooks != nullptr && m_pHooks->SpatialReset != nullptr) {
        m_pHooks->SpatialReset(m_State.Spatial);
    }
    m_Path.Reset();
    return STATUS_SUCCESS;
}

// ---- spatial room effect ----

SpatialEffectEntity::SpatialEffectEntity(PUNKNOWN pOuterUnknown, ULONG ulId)
    : EffectEntity(pOuterUnknown, ulId, UAC1_FU_VENDOR_8B)
{
}

SpatialEffectEntity::~SpatialEffectEntity()
{
    m_Path.Free();
    if (m_State.Spatial != nullptr) {
        m_pHooks->DestroySpatialProcessor(m_State.Spatial);
        m_State.Spatial = nullptr;
    }
}

NTSTATUS SetupSpatialEffectEntity(SpatialEffectEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector,
                                  PDEVICE_OBJECT pDevice)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const NTSTATUS status = pEntity->BindToUnit(SPATIAL_EFFECT_NODE_GUID, pUnit, ulSelector, pDevice);
    if (!NT_SUCCESS(status) || !pEntity->m_Path.AllocateWorkSets()) {
        return status;
    }
    const EffectHooks* pHooks = pEntity->m_pHooks;
    if (pHooks->CreateSpatialProcessor == nullptr || pHooks->DestroySpatialProcessor == nullptr) {
        return status;
    }
    pEntity->m_State.Spatial = pHooks->CreateSpatialProcessor();
    if (pEntity->m_State.Spatial == nullptr) {
        return status;
    }
    pEntity->m_Path.AllocateLimiters(SPATIAL_EFFECT_GAIN);
    return status;
}

NTSTATUS SpatialEffectEntity::SetFormat(const WaveFormatRecord* pFormat)
{
    UsbDspEntity::SetFormat(pFormat);
    if (pFormat == nullptr) {
        return STATUS_SUCCESS;
    }
    if (m_State.Spatial != nullptr && m_pHooks->SpatialSetFormat != nullptr) {
        m_pHooks->SpatialSetFormat(m_State.Spatial, static_cast<LONG>(pFormat->Format.nSamplesPerSec),
                                   static_cast<LONG>(pFormat->Format.nChannels) - 1);
    }
    m_Path.SetFormat(pFormat);
    return STATUS_SUCCESS;
}

// ---- headphone effect ----

HeadphoneEffectEntity::HeadphoneEffectEntity(PUNKNOWN pOuterUnknown, ULONG ulId)
    : EffectEntity(pOuterUnknown, ulId, UAC1_FU_VENDOR_8C)
{
}

HeadphoneEffectEntity::~HeadphoneEffectEntity()
{
    m_Path.Free();
    if (m_State.Engine != nullptr) {
        m_pHooks->DestroyHeadphoneEngine(m_State.Engine);
        m_State.Engine = nullptr;
    }
}

void HeadphoneEffectEntity::ApplyAngleVariant(LONG lValue)
{
    HeadphoneEngine* pEngine = m_State.Engine;
    if (pEngine == nullptr) {
        return;
    }
    if (lValue != m_pHooks->HeadphoneGetAngleVariant(pEngine, HeadphoneParameterSet::Speaker)) {
        m_pHooks->HeadphoneSetAngleVariant(pEngine, HeadphoneParameterSet::Speaker, lValue != 0 ? 1 : 0);
    }
    if (lValue != m_pHooks->HeadphoneGetAngleVariant(pEngine, HeadphoneParameterSet::Headphone)) {
        m_pHooks->HeadphoneSetAngleVariant(pEngine, HeadphoneParameterSet::Headphone, lValue != 0 ? 1 : 0);
    }
}

// The room of the set in use: the speaker set while CTC mode is on, else the headphone set.
void HeadphoneEffectEntity::ApplyRoom(LONG lValue)
{
    HeadphoneEngine* pEngine = m_State.Engine;
    if (pEngine == nullptr) {
        return;
    }
    const HeadphoneParameterSet set = m_pHooks->HeadphoneGetCtcMode(pEngine) != 0 ? HeadphoneParameterSet::Speaker
                                                                                 : HeadphoneParameterSet::Headphone;
    if (lValue != m_pHooks->HeadphoneGetRoom(pEngine, set)) {
        m_pHooks->HeadphoneSetRoom(pEngine, set, lValue);
    }
}

void HeadphoneEffectEntity::KeepParameter(ULONG ulIndex)
{
    WCHAR prefix[USB_ENTITY_PREFIX_CHARS];
    FormatUnitName(prefix, GetId());
    LONG value = m_Parameters[ulIndex];
    AccessIndexedSettingsBinary(m_pDevice, SETTINGS_WRITE, &value, sizeof value, prefix, static_cast<LONG>(ulIndex));
}

namespace {

// Every engine entry the headphone effect calls; the engine is made only when all are there.
bool HasEngineEntries(const EffectHooks* p)
{
    return p->CreateHeadphoneEngine != nullptr && p->DestroyHeadphoneEngine != nullptr &&
           p->HeadphoneSetFormat != nullptr && p->HeadphoneSetEnable != nullptr && p->HeadphoneSetCtcMode != nullptr &&
           p->HeadphoneGetCtcMode != nullptr && p->HeadphoneSetCtcAngle != nullptr &&
           p->HeadphoneSetAngle != nullptr && p->HeadphoneGetRoom != nullptr && p->HeadphoneSetRoom != nullptr &&
           p->HeadphoneGetAngleVariant != nullptr && p->HeadphoneSetAngleVariant != nullptr;
}

}  // namespace

NTSTATUS SetupHeadphoneEffectEntity(HeadphoneEffectEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector,
                                    PDEVICE_OBJECT pDevice)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pEntity->m_ulParameterCount = HEADPHONE_PARAMETER_COUNT;
    const NTSTATUS status = pEntity->BindToUnit(HEADPHONE_EFFECT_NODE_GUID, pUnit, ulSelector, pDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Without an engine the parameters still start from the engine's construction values, and
    // stored ones are read over them.
    pEntity->m_Parameters[HEADPHONE_PARAMETER_ROOM] = ENGINE_FIRST_ROOM;
    pEntity->m_Parameters[HEADPHONE_PARAMETER_ANGLE_VARIANT] = ENGINE_FIRST_ANGLE_VARIANT;
    const EffectHooks* pHooks = pEntity->m_pHooks;
    if (pEntity->m_Path.AllocateWorkSets() && pEntity->m_Path.AllocateLimiters(HEADPHONE_EFFECT_GAIN) &&
        HasEngineEntries(pHooks)) {
        pEntity->m_State.Engine = pHooks->CreateHeadphoneEngine();
    }
    HeadphoneEngine* pEngine = pEntity->m_State.Engine;
    if (pEngine != nullptr) {
        WAVEFORMATEX& format = pEntity->m_EngineFormat;
        format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
        format.nChannels = ENGINE_FIRST_CHANNELS;
        format.nSamplesPerSec = ENGINE_FIRST_RATE;
        format.nBlockAlign = ENGINE_FIRST_CHANNELS * sizeof(float);
        format.nAvgBytesPerSec = ENGINE_FIRST_RATE * format.nBlockAlign;
        format.wBitsPerSample = 16;
        format.cbSize = 0;
        pHooks->HeadphoneSetFormat(pEngine, &format);
        pHooks->HeadphoneSetEnable(pEngine, 1);
        pHooks->HeadphoneSetCtcMode(pEngine, 0);
        pHooks->HeadphoneSetAngle(pEngine, HeadphoneParameterSet::Headphone, ENGINE_ANGLE);
        pHooks->HeadphoneSetAngle(pEngine, HeadphoneParameterSet::Speaker, ENGINE_ANGLE);
        pHooks->HeadphoneSetCtcAngle(pEngine, ENGINE_CTC_ANGLE);
        pEntity->m_Parameters[HEADPHONE_PARAMETER_ROOM] = pHooks->HeadphoneGetRoom(pEngine, HeadphoneParameterSet::Headphone);
        pEntity->m_Parameters[HEADPHONE_PARAMETER_ANGLE_VARIANT] =
            pHooks->HeadphoneGetAngleVariant(pEngine, HeadphoneParameterSet::Headphone);
    }
    WCHAR prefix[USB_ENTITY_PREFIX_CHARS];
    FormatUnitName(prefix, pEntity->GetId());
    for (ULONG i = 0; i < HEADPHONE_PARAMETER_COUNT; ++i) {
        LONG value = pEntity->m_Parameters[i];
        if (NT_SUCCESS(AccessIndexedSettingsBinary(pDevice, SETTINGS_READ, &value, sizeof value, prefix,
                                                   static_cast<LONG>(i)))) {
            pEntity->m_Parameters[i] = value;
        }
    }
    // A stored room reaches the engine as it is.
    pEntity->ApplyAngleVariant(pEntity->m_Parameters[HEADPHONE_PARAMETER_ANGLE_VARIANT]);
    pEntity->ApplyRoom(pEntity->m_Parameters[HEADPHONE_PARAMETER_ROOM]);
    return status;
}

NTSTATUS HeadphoneEffectEntity::GetParameters(ULONG ulFirst, ULONG ulCount, PLONG pValues)
{
    if (pValues == nullptr || ulFirst > HEADPHONE_PARAMETER_COUNT || ulCount > HEADPHONE_PARAMETER_COUNT - ulFirst) {
        return STATUS_INVALID_PARAMETER;
    }
    m_EntityLock.Lock();
    for (ULONG i = 0; i < ulCount; ++i) {
        pValues[i] = m_Parameters[ulFirst + i];
    }
    m_EntityLock.Unlock();
    return STATUS_SUCCESS;
}

NTSTATUS HeadphoneEffectEntity::SetParameters(ULONG ulFirst, ULONG ulCount, const LONG* pValues)
{
    if (pValues == nullptr || ulCount == 0 || ulFirst > HEADPHONE_PARAMETER_COUNT ||
        ulCount > HEADPHONE_PARAMETER_COUNT - ulFirst) {
        return STATUS_INVALID_PARAMETER;
    }
    m_EntityLock.Lock();
    bool accepted[HEADPHONE_PARAMETER_COUNT] = {};
    bool anyAccepted = false;
    bool roomRejected = false;
    // The engine's parameters change only between two chunks.
    KLOCK_QUEUE_HANDLE handle;
    const bool bAtDispatch = LockProcessing(&handle);
    for (ULONG i = 0; i < ulCount; ++i) {
        const ULONG index = ulFirst + i;
        const LONG value = pValues[i];
        if (index == HEADPHONE_PARAMETER_ROOM) {
            if (value == m_Parameters[index]) {
                accepted[index] = true;
            } else if (value > HEADPHONE_ROOM_MAX || value < 0) {
                roomRejected = true;
                continue;
            } else {
                ApplyRoom(value);
                accepted[index] = true;
            }
        } else {
            if (value != m_Parameters[index]) {
                ApplyAngleVariant(value);
            }
            accepted[index] = true;
        }
        anyAccepted = true;
    }
    UnlockProcessing(&handle, bAtDispatch);
    UNREFERENCED_PARAMETER(roomRejected);
    if (!anyAccepted) {
        m_EntityLock.Unlock();
        return STATUS_INVALID_PARAMETER;
    }
    // Only accepted values are kept: a refused room given with a variant is not stored.
    for (ULONG i = 0; i < ulCount; ++i) {
        const ULONG index = ulFirst + i;
        if (accepted[index]) {
            m_Parameters[index] = pValues[i];
            KeepParameter(index);
        }
    }
    m_EntityLock.Unlock();
    return STATUS_SUCCESS;
}

NTSTATUS HeadphoneEffectEntity::SetFormat(const WaveFormatRecord* pFormat)
{
    UsbDspEntity::SetFormat(pFormat);
    if (pFormat == nullptr) {
        return STATUS_SUCCESS;
    }
    m_FloatFormat = *pFormat;
    WAVEFORMATEX& f = m_FloatFormat.Format;
    const bool extensible = f.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    const bool floatSub = extensible && (m_FloatFormat.SubFormat.Data1 & 0xFFFF) == WAVE_FORMAT_IEEE_FLOAT;
    if ((extensible && !floatSub) || (!extensible && f.wFormatTag != WAVE_FORMAT_IEEE_FLOAT)) {
        if (extensible) {
            m_FloatFormat.Samples.wValidBitsPerSample = 32;
            m_FloatFormat.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        } else {
            f.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
        }
        f.wBitsPerSample = 32;
        f.nBlockAlign = static_cast<WORD>(4 * f.nChannels);
        f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
    }
    if (m_State.Engine != nullptr) {
        m_EngineFormat.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
        m_EngineFormat.nChannels = pFormat->Format.nChannels;
        m_EngineFormat.nSamplesPerSec = pFormat->Format.nSamplesPerSec;
        m_EngineFormat.wBitsPerSample = pFormat->Format.wBitsPerSample;
        m_EngineFormat.nBlockAlign =
            static_cast<WORD>(static_cast<ULONG>(m_EngineFormat.wBitsPerSample) * m_EngineFormat.nChannels / 8);
        m_EngineFormat.nAvgBytesPerSec = m_EngineFormat.nSamplesPerSec * m_EngineFormat.nBlockAlign;
        m_EngineFormat.cbSize = 0;
        m_pHooks->HeadphoneSetFormat(m_State.Engine, &m_EngineFormat);
    }
    m_Path.SetFormat(&m_FloatFormat);
    return STATUS_SUCCESS;
}
