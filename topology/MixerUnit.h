// UAC1 mixer and selector units: one entity each, whose sources are the unit's input pins. The
// mixer's controls are never read or sent; the selector's current input is.
#pragma once

#include "adapter/EntityInterfaces.h"
#include "adapter/UacDescriptorRules.h"
#include "topology/UsbAudioUnit.h"

// bLength through bNrInPins; the source ids follow.
constexpr ULONG UAC1_PIN_UNIT_FIXED_LENGTH =
    UacMinimumLength(UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_MIXER_UNIT);
static_assert(UAC1_PIN_UNIT_FIXED_LENGTH ==
                  UacMinimumLength(UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_SELECTOR_UNIT),
              "mixer and selector share the fixed fields before their source ids");

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
