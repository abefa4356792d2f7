// The render-path node through which the V3 jack-polling thread passes, attenuates (by 12 dB) or
// silences the render stream while the jack sense settles. The mode is one 32-bit value written by
// the polling thread and read by Process on the streaming path without a lock.
#pragma once

#include "adapter/EntityInterfaces.h"
#include "adapter/UnknownBase.h"

constexpr ULONG V3_FUNCTION_TAG = MakePoolTag("7302");

enum JackMuteMode : ULONG {
    JACK_MUTE_PASS = 0,
    JACK_MUTE_ATTENUATE = 1,
    JACK_MUTE_SILENCE = 2,
};

class JackMuteNode : public UnknownBase, public IProcessingNode {
public:
    DECLARE_UNKNOWN_BASE()

    // Construction and Init: any IRQL.
    explicit JackMuteNode(PUNKNOWN pOuterUnknown) : UnknownBase(pOuterUnknown), m_ulMode(JACK_MUTE_PASS) {}
    NTSTATUS Init();
    // The polling thread only. Any IRQL.
    VOID SetMode(ULONG ulMode) { __atomic_store_n(&m_ulMode, ulMode, __ATOMIC_RELAXED); }
    // Any IRQL.
    ULONG GetMode() const { return __atomic_load_n(&m_ulMode, __ATOMIC_RELAXED); }

    // IProcessingNode. SetFormat, Flush and Reset do nothing: any IRQL.
    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WaveFormatRecord*) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    // PCM only: mode 1 scales every channel by 0.25, mode 2 silences it. DISPATCH_LEVEL, no allocation.
    NTSTATUS Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames) override;
    NTSTATUS Reset() override { return STATUS_SUCCESS; }

private:
    ULONG m_ulMode;
};
