// A UAC2 mixer or extension unit: one mixer entity that passes its inputs on. The unit itself
// issues no requests.
#pragma once

#include "topology/UsbAudioUnit.h"

class PassThroughUnit : public UsbAudioUnit {
public:
    PassThroughUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : UsbAudioUnit(pOuterUnknown, ulProvisionalId) {}

    // MIXER_UNIT (0x04: bNrInPins at byte 4, sources from 5) or EXTENSION_UNIT (0x09: bNrInPins at
    // byte 6, sources from 7); the descriptor must hold its source ids.
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    NTSTATUS Init(IAudioHal* hal);
};
