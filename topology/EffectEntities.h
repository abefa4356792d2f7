// The two effect entities of the effects variant's feature unit: a vendor on/off control of the
// device (its enable byte) that is at the same time a processing node on the render stream. The
// spatial room effect (control 0x8B) runs the 8-channel room processor, the headphone effect
// (0x8C) the headphone engine, each between a limiter on the effect path and one on the dry path.
// The processors come from the effect hook table; one that cannot be made leaves the entity
// without it: its enable switch and parameters still work, its chunks pass untouched.
#pragma once

#include "dsp/EffectHooks.h"
#include "dsp/EffectPath.h"
#include "topology/UsbClockDspEntities.h"

constexpr ULONG UAC1_V6_ENTITY_TAG = MakePoolTag("7304");

KVX_DEFINE_GUID(SPATIAL_EFFECT_NODE_GUID, "{AC02E636-CB62-42EF-A97C-5F4C1CDFEC13}");
KVX_DEFINE_GUID(HEADPHONE_EFFECT_NODE_GUID, "{C7600B33-1AA6-4383-918D-30D848BBAD3E}");

// The headphone effect's parameters.
constexpr ULONG HEADPHONE_PARAMETER_ROOM = 0;
constexpr ULONG HEADPHONE_PARAMETER_ANGLE_VARIANT = 1;
constexpr ULONG HEADPHONE_PARAMETER_COUNT = 2;
constexpr LONG HEADPHONE_ROOM_MAX = 2;

class EffectEntity : public UsbDspEntity {
public:
    // IProcessingNode: the format is kept; Flush and Reset reach the limiters (Reset through the
    // processing's own body when the hook table has one).
    NTSTATUS Flush() override;
    NTSTATUS Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames) override;
    NTSTATUS Reset() override;

    bool HasProcessor() const { return m_State.Spatial != nullptr || m_State.Engine != nullptr; }

protected:
    EffectEntity(PUNKNOWN pOuterUnknown, ULONG ulId, ULONG ulControl);

    // The common start of both set-ups: the node GUID, the binding to the unit and the hook table.
    NTSTATUS BindToUnit(const GUID& guid, UsbAudioUnit* pUnit, ULONG ulSelector, PDEVICE_OBJECT pDevice);
    // The queued spin lock in the form for the caller's IRQL; true when taken at DISPATCH_LEVEL.
    bool LockProcessing(KLOCK_QUEUE_HANDLE* pHandle);
    void UnlockProcessing(KLOCK_QUEUE_HANDLE* pHandle, bool bAtDispatch);

    const EffectHooks* m_pHooks = nullptr;
    EffectPath m_Path;
    EffectEntityState m_State;
};

class SpatialEffectEntity : public EffectEntity {
public:
    SpatialEffectEntity(PUNKNOWN pOuterUnknown, ULONG ulId);
    ~SpatialEffectEntity() override;

    // The room processor takes the rate and the channel code (count - 1).
    NTSTATUS SetFormat(const WaveFormatRecord* pFormat) override;

    friend NTSTATUS SetupSpatialEffectEntity(SpatialEffectEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector,
                                             PDEVICE_OBJECT pDevice);
};

class HeadphoneEffectEntity : public EffectEntity {
public:
    HeadphoneEffectEntity(PUNKNOWN pOuterUnknown, ULONG ulId);
    ~HeadphoneEffectEntity() override;

    // Parameter 0: the room of the set in use (0 to 2); parameter 1: the angle variant of both
    // sets. Stored under "Unit%02d_" + index.
    NTSTATUS GetParameters(ULONG ulFirst, ULONG ulCount, PLONG pValues) override;
    NTSTATUS SetParameters(ULONG ulFirst, ULONG ulCount, const LONG* pValues) override;

    // The limiters take the stream as 32-bit float; the engine the stream's channels and rate.
    NTSTATUS SetFormat(const WaveFormatRecord* pFormat) override;

    const WaveFormatRecord& FloatFormat() const { return m_FloatFormat; }
    const WAVEFORMATEX& EngineFormat() const { return m_EngineFormat; }

    friend NTSTATUS SetupHeadphoneEffectEntity(HeadphoneEffectEntity* pEntity, UsbAudioUnit* pUnit,
                                               ULONG ulSelector, PDEVICE_OBJECT pDevice);

private:
    void ApplyAngleVariant(LONG lValue);
    void ApplyRoom(LONG lValue);
    void KeepParameter(ULONG ulIndex);

    WaveFormatRecord m_FloatFormat = {};
    WAVEFORMATEX m_EngineFormat = {};
    LONG m_Parameters[HEADPHONE_PARAMETER_COUNT] = {};
};

// Set-ups run by the effects variant's feature unit. A failed binding fails the entity; a member
// that cannot be made from the work sets on ends the set-up with the binding's success.
NTSTATUS SetupSpatialEffectEntity(SpatialEffectEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector,
                                  PDEVICE_OBJECT pDevice);
NTSTATUS SetupHeadphoneEffectEntity(HeadphoneEffectEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector,
                                    PDEVICE_OBJECT pDevice);
