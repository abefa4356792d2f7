// A UAC2 clock source: one clock entity whose rates are the discrete subranges of the device's
// Sampling Frequency Control; the rate is set and read, and the Clock Validity Control read, with
// class requests.
#pragma once

#include "adapter/EntityInterfaces.h"
#include "topology/UsbAudioUnit.h"

class ClockSource : public IClockControl, public UsbAudioUnit {
public:
    DECLARE_UNKNOWN_BASE()

    ClockSource(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : UsbAudioUnit(pOuterUnknown, ulProvisionalId) {}

    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    // Id and type from the descriptor, no sources; one clock entity.
    NTSTATUS Init(IAudioHal* hal);

    // IClockControl. GetRates lowers *count to the subranges the device reports and fails with
    // 0xC000000D when any of them is continuous (its slot is not written).
    NTSTATUS GetRates(PULONG count, PULONG rates) override;
    NTSTATUS GetRateCount(PULONG count) override;
    NTSTATUS SetRate(ULONG rate) override;
    NTSTATUS GetRate(PULONG rate) override;
    NTSTATUS IsClockValid(PBOOLEAN valid) override;
    // The device holds the rates: a list cannot be given to the unit.
    NTSTATUS Init(LONG, const ULONG*) override { return STATUS_NOT_SUPPORTED; }
};
