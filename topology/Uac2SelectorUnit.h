// A UAC2 selector unit: one selector entity; the device's current input (1-based) is read and set
// through the Selector Control with class requests.
#pragma once

#include "adapter/EntityInterfaces.h"
#include "topology/UsbAudioUnit.h"

class Uac2SelectorUnit : public ISelectorControl, public UsbAudioUnit {
public:
    DECLARE_UNKNOWN_BASE()

    Uac2SelectorUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : UsbAudioUnit(pOuterUnknown, ulProvisionalId) {}

    // The descriptor must hold its bNrInPins source ids.
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    NTSTATUS Init(IAudioHal* hal);

    // ISelectorControl
    NTSTATUS GetSelected(PULONG pInput) override;
    NTSTATUS SetSelected(ULONG ulInput) override;
    NTSTATUS GetInputCount(PULONG pCount) override;
    NTSTATUS AddBranchControl(ISelectorBranchControl*) override { return STATUS_NOT_IMPLEMENTED; }
};
