// UAC1 selector unit: one selector entity; the device's current input is read and set with class
// requests (1-based input numbers).
#pragma once

#include "adapter/EntityInterfaces.h"
#include "topology/MixerUnit.h"
#include "topology/UsbAudioUnit.h"

class SelectorUnit : public UsbAudioUnit, public ISelectorControl {
public:
    DECLARE_UNKNOWN_BASE()

    SelectorUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : UsbAudioUnit(pOuterUnknown, ulProvisionalId) {}

    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    NTSTATUS Init(IAudioHal* hal);

    // ISelectorControl
    NTSTATUS GetSelected(PULONG pInput) override;
    NTSTATUS SetSelected(ULONG ulInput) override;
    NTSTATUS GetInputCount(PULONG pCount) override;
    NTSTATUS AddBranchControl(ISelectorBranchControl*) override { return STATUS_NOT_IMPLEMENTED; }
};
