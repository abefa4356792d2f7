// The clock source and processing-block entities bound to their unit: the clock sets the device's
// rate; the processing block switches a device effect on and off and hands its changes to the
// software effect that runs on the stream.
#pragma once

#include "dsp/EffectHooks.h"
#include "dsp/EffectPath.h"
#include "platform/nt/Sync.h"
#include "topology/ClockEntity.h"
#include "topology/ProcessingEntity.h"
#include "topology/UsbAudioUnit.h"

class UsbClockEntity : public ClockEntity {
public:
    UsbClockEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : ClockEntity(pOuterUnknown, ulId) {}

    // The device first; the current rate follows only when it took the rate.
    NTSTATUS SetRate(ULONG ulRate) override;
    NTSTATUS IsClockValid(PBOOLEAN pValid) override;

    friend NTSTATUS SetupClockEntity(UsbClockEntity* pEntity, UsbAudioUnit* pUnit);

protected:
    UsbAudioUnit* m_pUnit = nullptr;
};

// Which effect processor an entity runs on its chunks.
enum class DspEffectKind : ULONG {
    Spatial = 0,    // SpatialProcessor8: 1e-12 added to the input; needs the whole path
    Headphone = 1,  // HeadphoneEngine
};

class UsbDspEntity : public IProcessingNode, public ProcessingEntity {
public:
    DECLARE_UNKNOWN_BASE()

    UsbDspEntity(PUNKNOWN pOuterUnknown, ULONG ulId);

    // Under the entity lock. The device request's status is the result; the change flags are
    // raised whatever it was.
    NTSTATUS SetEnable(UCHAR enable) override;
    NTSTATUS GetEnable(PUCHAR pEnable) override;
    NTSTATUS Restore() override;
    NTSTATUS Refresh() override;

    // IProcessingNode: the stream's format is kept; the effect classes do the processing.
    NTSTATUS Reserved1() override { return STATUS_SUCCESS; }
    NTSTATUS Reserved2() override { return STATUS_SUCCESS; }
    NTSTATUS SetFormat(const WaveFormatRecord* pFormat) override;
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    NTSTATUS Process(const WaveFormatRecord*, PVOID, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS Reset() override { return STATUS_SUCCESS; }

    LONG ResetPending() const { return __atomic_load_n(&m_lResetPending, __ATOMIC_SEQ_CST); }
    LONG ValueChanged() const { return __atomic_load_n(&m_lValueChanged, __ATOMIC_SEQ_CST); }
    const WaveFormatRecord& Format() const { return m_Format; }

    // Takes a pending enable change over into the processing's copy, under DspEntityLock (the
    // at-DPC-level form at DISPATCH_LEVEL or above). TRUE when that copy changed.
    BOOLEAN ApplyPendingEnable();

    // The effect processing of one render chunk (the effect table's ProcessEffectEntity body on
    // this entity's state), in place (any IRQL up to DISPATCH_LEVEL; never called while
    // DspEntityLock is held). data: one float buffer per channel for PCM, else the
    // raw chunk, which is left alone. A dry set (folded to stereo, limited) and a processed set
    // (the effect, limited with make-up gain) are made; the enable chooses which is written back,
    // and an enable change fades channels 0 and 1 over 2 ms out and 2 ms in, carried on across
    // chunks. Chunks pass untouched while the processor (a null pProcessor, or one the effect
    // table cannot run) or a member of the path is missing, and for more than 8 channels. Longer
    // chunks are taken 512 frames at a time. Returns STATUS_SUCCESS.
    NTSTATUS ProcessEffect(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames, EffectPath* pPath,
                           DspEffectKind kind, PVOID pProcessor);
    // The Reset of an effect entity (no chunk outstanding): the spatial processor is cleared; the
    // path's limiters are reset; the headphone engine keeps its state.
    NTSTATUS ResetEffect(EffectPath* pPath, DspEffectKind kind, PVOID pProcessor);

    friend NTSTATUS SetupDspEntity(UsbDspEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector,
                                   PDEVICE_OBJECT pDevice);

protected:
    // Raises both change flags (0 to 1) for the effect processing, which clears them.
    void RaiseChangeFlags();
    // The byte under "Unit%02d_".
    void KeepEnable(UCHAR enable);

    PDEVICE_OBJECT m_pDevice = nullptr;
    UsbAudioUnit* m_pUnit = nullptr;
    ULONG m_ulSelector = 0;  // 0x8B or 0x8C
    LONG m_lResetPending = 0;
    LONG m_lValueChanged = 0;
    KSPIN_LOCK m_DspEntityLock;
    ULONG m_ulProcessingEnable = 0;  // the effect processing's copy, under the spin lock
    ULONG m_ulTransitionState = 0;
    WaveFormatRecord m_Format = {};

private:
    // The processing's view of this entity with its path and processor.
    EffectEntityState EffectState(EffectPath* pPath, DspEffectKind kind, PVOID pProcessor);
};

// Rates from the unit (at least one, at most 30); the current rate stays 0.
NTSTATUS SetupClockEntity(UsbClockEntity* pEntity, UsbAudioUnit* pUnit);
// The device's enable byte, replaced by the kept one; one source.
NTSTATUS SetupDspEntity(UsbDspEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector, PDEVICE_OBJECT pDevice);
