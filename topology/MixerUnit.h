// UAC1 mixer and selector units: one entity each, whose sources are the unit's input pins. The
// mixer's controls are never read or sent; the selector's current input is.
#pragma once

#include "adapter/EntityInterfaces.h"
#include "topology/UsbAudioUnit.h"

constexpr UCHAR UAC1_MIXER_UNIT = 0x04;
constexpr UCHAR UAC1_SELECTOR_UNIT = 0x05;
// bLength through bNrInPins; the source ids follow.
constexpr ULONG UAC1_PIN_UNIT_FIXED_LENGTH = 5;

// Both units read bNrInPins source ids after the fixed fields: the descriptor must hold them.
bool HoldsInputPins(const UCHAR* pDescriptor);

class MixerUnit : public UsbAudioUnit {
public:
    MixerUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : UsbAudioUnit(pOuterUnknown, ulProvisionalId) {}

    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    virtual NTSTATUS Init(IAudioHal* hal);
};

// The source ids of a mixer or selector unit's descriptor become the unit's sources.
NTSTATUS SetPinUnitSources(UsbAudioUnit* pUnit, const UCHAR* pDescriptor);
