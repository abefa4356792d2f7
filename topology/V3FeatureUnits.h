// The feature units of the V3 chip variant. Only what they change against the UAC1 feature unit
// lives here: level conversions and ranges, the mute indicator on chip register 1, the entities
// they create and, for unit 11 of the jack-polling device, a master mute with an override.
#pragma once

#include "topology/FeatureUnit.h"

KVX_DEFINE_GUID(IID_IV3MuteOverride, "{6A0F3C52-8E1B-4B7D-9C2E-57D1A4B3E9F0}");

// The override the V3 jack thread sets on unit 11 (only the direct-channel unit answers it).
class IV3MuteOverride : public IUnknown {
public:
    virtual NTSTATUS SetMuteOverride(UCHAR override) = 0;

protected:
    ~IV3MuteOverride() = default;
};

#include "topology/UsbLevelEntities.h"
#include "topology/UsbOnOffEntities.h"
#include "topology/V3ChipRegisters.h"

constexpr ULONG V3_FEATURE_TAG = MakePoolTag("7302");

// The level table of the mute-indicator unit, in 1/256 dB: what KS sees and what the wire carries.
struct VolumeRemapRow {
    SHORT Level;
    SHORT Device;
};
constexpr ULONG VOLUME_REMAP_ROWS = 39;
extern const VolumeRemapRow VolumeRemapTable[VOLUME_REMAP_ROWS];
LONG V3DeviceToLevel(LONG device);
LONG V3LevelToDevice(LONG level);

// ---- entities ----

// What the node entities share: whether a stream is PCM, and the mute rule.
NTSTATUS V3MuteChunk(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames);
bool V3IsPcm(const WaveFormatRecord* pFormat);

// A mute kept only in memory and the registry, applied to every chunk.
class V3SoftwareMuteEntity : public IProcessingNode, public UsbOnOffEntity {
public:
    DECLARE_UNKNOWN_BASE()
    V3SoftwareMuteEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : UsbOnOffEntity(pOuterUnknown, ulId, ENTITY_MUTE) {}
    // Stores and keeps the value; nothing is sent.
    NTSTATUS SetValue(ULONG ulChannel, UCHAR value) override;
    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WaveFormatRecord*) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    NTSTATUS Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames) override;
    NTSTATUS Reset() override { return STATUS_SUCCESS; }
};

// The render unit's mute, applied in software too while the output is S/PDIF.
class V3SpdifMuteEntity : public IProcessingNode, public UsbOnOffEntity {
public:
    DECLARE_UNKNOWN_BASE()
    V3SpdifMuteEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : UsbOnOffEntity(pOuterUnknown, ulId, ENTITY_MUTE) {}
    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WaveFormatRecord*) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    NTSTATUS Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames) override;
    NTSTATUS Reset() override { return STATUS_SUCCESS; }
};

// The render unit's volume, applied in software too (one gain per channel) while the output is
// S/PDIF. The gains follow the stored levels after set-up, SetLevel, SetOutputKind and Refresh.
class V3SpdifVolumeEntity : public IProcessingNode, public UsbVolumeEntity {
public:
    static constexpr ULONG MAX_GAINS = 8;
    DECLARE_UNKNOWN_BASE()
    V3SpdifVolumeEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : UsbVolumeEntity(pOuterUnknown, ulId) {}
    NTSTATUS SetLevel(ULONG ulChannel, LONG level) override;
    NTSTATUS SetOutputKind(ULONG ulKind, PVOID pCallbackObject) override;
    NTSTATUS Refresh() override;
    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WaveFormatRecord*) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    NTSTATUS Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames) override;
    NTSTATUS Reset() override { return STATUS_SUCCESS; }

    float GetGain(ULONG ulChannel) const;
    // 10^(level / 20 dB) of the stored levels, channels [first, first + count).
    VOID ComputeGains(ULONG ulFirst, ULONG ulCount);

private:
    float m_Gains[MAX_GAINS] = {};
};

// The S/PDIF record unit's mute, applied in software too while the selector's input 3 is chosen.
class V3BranchMuteEntity : public IProcessingNode, public UsbBranchMuteEntity {
public:
    V3BranchMuteEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : UsbBranchMuteEntity(pOuterUnknown, ulId) {}
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject) override;
    NTSTATUS QueryInterface(REFIID iid, PVOID* ppvObject) override { return m_pOuterUnknown->QueryInterface(iid, ppvObject); }
    ULONG AddRef() override { return m_pOuterUnknown->AddRef(); }
    ULONG Release() override { return m_pOuterUnknown->Release(); }
    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WaveFormatRecord*) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    NTSTATUS Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames) override;
    NTSTATUS Reset() override { return STATUS_SUCCESS; }
};

// An LED switch carried by chip register 1's bits 4 and 5.
class V3LedEntity : public UsbLedSwitchEntity {
public:
    V3LedEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : UsbLedSwitchEntity(pOuterUnknown, ulId) {}
    NTSTATUS GetValue(ULONG ulChannel, PUCHAR pValue) override;
    // Register write first; its failure keeps the old value.
    NTSTATUS SetValue(ULONG ulChannel, UCHAR value) override;
    VOID SetOwner(IV3ChipRegisters* pChip) { m_pChip = pChip; }

private:
    IV3ChipRegisters* m_pChip = nullptr;
};

// ---- units ----

// Render unit 13: levels through the remap table, a mute indicator on register 1, and the S/PDIF
// mute and volume entities.
class V3MuteLedFeatureUnit : public FeatureUnit {
public:
    V3MuteLedFeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : FeatureUnit(pOuterUnknown, ulProvisionalId) {}
    // Without the vendor block; reads "NeedMuteLED" and "ReverseMuteLED" first.
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal, IV3ChipRegisters* pChip);
    NTSTATUS SetOnOff(ULONG selector, ULONG channel, UCHAR value) override;
    NTSTATUS Init(IAudioHal* hal) override;
    NTSTATUS GetValue(ULONG selector, ULONG channel, PLONG value) override;
    NTSTATUS SetValue(ULONG selector, ULONG channel, LONG value) override;
    NTSTATUS GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution) override;

private:
    NTSTATUS WireChannel(ULONG selector, ULONG channel, PULONG pulWire);

    UCHAR m_NeedMuteLED = 0;
    UCHAR m_ReverseMuteLED = 0;
    IV3ChipRegisters* m_pChip = nullptr;
};

// Record unit 16: only its mute, as a branch mute.
class V3SoftMuteFeatureUnit : public FeatureUnit {
public:
    V3SoftMuteFeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : FeatureUnit(pOuterUnknown, ulProvisionalId) {}
    NTSTATUS InitFromDescriptorWithOwner(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    NTSTATUS Init(IAudioHal* hal) override;
};

// 1.5 dB per device step below 0 dB, 3 dB above.
class V3CoarseVolumeFeatureUnit : public FeatureUnit {
public:
    V3CoarseVolumeFeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
        : FeatureUnit(pOuterUnknown, ulProvisionalId)
    {
    }
    NTSTATUS GetValue(ULONG selector, ULONG channel, PLONG value) override;
    NTSTATUS SetValue(ULONG selector, ULONG channel, LONG value) override;
    NTSTATUS GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution) override;

protected:
    // GET_MAX, GET_MIN, GET_RES (two bytes, or one for the tone selectors) on the range channel.
    NTSTATUS ReadRange(ULONG selector, bool oneByte, LONG (&wire)[3]);
};

// Unit 11 of the jack-polling device: the mute on the master channel only, ORed with the override
// the jack thread sets.
class V3DirectChannelFeatureUnit : public V3CoarseVolumeFeatureUnit, public IV3MuteOverride {
public:
    DECLARE_UNKNOWN_BASE()
    V3DirectChannelFeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
        : V3CoarseVolumeFeatureUnit(pOuterUnknown, ulProvisionalId)
    {
    }
    NTSTATUS GetOnOff(ULONG selector, ULONG channel, PUCHAR value) override;
    NTSTATUS SetOnOff(ULONG selector, ULONG channel, UCHAR value) override;
    NTSTATUS SetMuteOverride(UCHAR override) override;
    UCHAR MuteOverride() const { return __atomic_load_n(&m_MuteOverride, __ATOMIC_RELAXED); }
    UCHAR LastMute() const { return __atomic_load_n(&m_LastMute, __ATOMIC_RELAXED); }

private:
    UCHAR m_MuteOverride = 0;
    UCHAR m_LastMute = 0;
};

// 0.375 dB per device dB below 0 dB, 3 dB above.
class V3FineVolumeFeatureUnit : public V3CoarseVolumeFeatureUnit {
public:
    V3FineVolumeFeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
        : V3CoarseVolumeFeatureUnit(pOuterUnknown, ulProvisionalId)
    {
    }
    NTSTATUS GetValue(ULONG selector, ULONG channel, PLONG value) override;
    NTSTATUS SetValue(ULONG selector, ULONG channel, LONG value) override;
    NTSTATUS GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution) override;
};

// A software mute (never sent) and the plain volume.
class V3SoftMuteVolumeFeatureUnit : public V3FineVolumeFeatureUnit {
public:
    V3SoftMuteVolumeFeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
        : V3FineVolumeFeatureUnit(pOuterUnknown, ulProvisionalId)
    {
    }
    NTSTATUS InitFromDescriptorWithOwner(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    NTSTATUS Init(IAudioHal* hal) override;
};

// The fine unit plus an LED switch on register 1.
class V3LedFeatureUnit : public V3FineVolumeFeatureUnit {
public:
    V3LedFeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
        : V3FineVolumeFeatureUnit(pOuterUnknown, ulProvisionalId)
    {
    }
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal, IV3ChipRegisters* pChip);
};
