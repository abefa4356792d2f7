// Level entities bound to the unit that created them: every change goes to the device through the
// unit's IValueControl (in 1/65536 dB) and is kept under "Settings", four bytes per channel and
// output kind. The stored level is the clamped one; the device gets it rounded to the step.
#pragma once

#include "topology/LevelEntity.h"
#include "topology/UsbAudioUnit.h"
#include "topology/UsbOnOffEntities.h"

constexpr LONG LEVEL_SILENCE = static_cast<LONG>(0x80000000);

// What the level classes share: the device fields, GetLevel, SetOutputKind, Restore and the one
// SetLevel sequence, whose stored and sent values each class chooses.
class UsbLevelEntity : public LevelEntity {
public:
    UsbLevelEntity(PUNKNOWN pOuterUnknown, ULONG ulId, LONG lType) : LevelEntity(pOuterUnknown, ulId, lType) {}

    // Sends, then stores and keeps the level only when the device took it; 0 either way.
    NTSTATUS SetLevel(ULONG ulChannel, LONG level) override;
    NTSTATUS SetOutputKind(ULONG ulKind, PVOID pCallbackObject) override;
    NTSTATUS Restore() override;
    // Reads every channel back from the device, keeping each value.
    NTSTATUS Refresh() override;

    // Toward zero to a multiple of the step; a step of 0 (or a negative one) leaves the level.
    LONG RoundToStep(LONG level) const;

    friend NTSTATUS SetupLevelEntity(UsbLevelEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector,
                                     PDEVICE_OBJECT pDevice);

protected:
    // The level kept and the level sent for a requested one (silence is 0x80000000).
    virtual void ChooseLevels(LONG level, PLONG pStored, PLONG pSent) const;
    LONG Clamp(LONG level) const;
    void StoreAndKeep(ULONG ulChannel, LONG level);
    // Runs the reload of SetOutputKind over `count` channels of the current kind.
    void ReloadChannels(ULONG ulCount);

    PDEVICE_OBJECT m_pDevice = nullptr;
    UsbAudioUnit* m_pUnit = nullptr;
    ULONG m_ulSelector = 0;
};

class UsbVolumeEntity : public UsbLevelEntity {
public:
    UsbVolumeEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : UsbLevelEntity(pOuterUnknown, ulId, ENTITY_VOLUME) {}

    // Keeps only what changed; succeeds when any channel changed (else nothing to announce).
    NTSTATUS Refresh() override;
};

// Bass, mid or treble (the type given). Silence sends the minimum and keeps 0x80000000.
class UsbToneEntity : public UsbLevelEntity {
public:
    UsbToneEntity(PUNKNOWN pOuterUnknown, ULONG ulId, LONG lType = ENTITY_BASS)
        : UsbLevelEntity(pOuterUnknown, ulId, lType)
    {
    }

protected:
    void ChooseLevels(LONG level, PLONG pStored, PLONG pSent) const override;
};

// Silence means the minimum. Channel 0xFFFFFFFF means every channel.
class UsbGainPadEntity : public UsbLevelEntity {
public:
    static constexpr ULONG ALL_CHANNELS = 0xFFFFFFFF;

    UsbGainPadEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : UsbLevelEntity(pOuterUnknown, ulId, ENTITY_GAIN_PAD) {}

    // Every channel reads as channel 0.
    NTSTATUS GetLevel(ULONG ulChannel, PLONG pLevel) override;
    NTSTATUS SetLevel(ULONG ulChannel, LONG level) override;

protected:
    void ChooseLevels(LONG level, PLONG pStored, PLONG pSent) const override;
};

// A volume that is also applied in software on the endpoint's stream, one linear gain per channel,
// while its selector branch is selected.
class UsbGainVolumeEntity : public IProcessingNode, public UsbVolumeEntity, public UsbBranchControl {
public:
    DECLARE_UNKNOWN_BASE()

    UsbGainVolumeEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : UsbVolumeEntity(pOuterUnknown, ulId) {}
    ~UsbGainVolumeEntity() override;

    // The device request's result is not used; the gain follows the request.
    NTSTATUS SetLevel(ULONG ulChannel, LONG level) override;
    // As the level entities, then every channel once more (not limited by the channel-count rule),
    // notifying again.
    NTSTATUS SetOutputKind(ULONG ulKind, PVOID pCallbackObject) override;
    // Reads each channel and sends it back, so that the gain follows the device.
    NTSTATUS Refresh() override;

    // IProcessingNode
    NTSTATUS Reserved1() override { return STATUS_SUCCESS; }
    NTSTATUS Reserved2() override { return STATUS_SUCCESS; }
    NTSTATUS SetFormat(const WaveFormatRecord*) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    // Multiplies each PCM channel by its gain. DISPATCH_LEVEL, no lock, no allocation.
    NTSTATUS Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames) override;
    NTSTATUS Reset() override { return STATUS_SUCCESS; }

    float GetGain(ULONG ulChannel) const;

    friend NTSTATUS SetupGainVolumeEntity(UsbGainVolumeEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector,
                                          PDEVICE_OBJECT pDevice);

private:
    void SetGain(ULONG ulChannel, LONG level);

    float* m_pGains = nullptr;  // channel count + 1, non-paged
};

// Set-up right after construction: range and channel count from the unit, each channel's value
// from the device unless one is kept. Sends nothing: Restore does.
NTSTATUS SetupLevelEntity(UsbLevelEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector, PDEVICE_OBJECT pDevice);
NTSTATUS SetupGainVolumeEntity(UsbGainVolumeEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector,
                               PDEVICE_OBJECT pDevice);
