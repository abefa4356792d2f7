// Routing entities bound to their unit: the selector, whose input the device holds and "Settings"
// keeps, and the mixer, whose inputs arrive once every unit exists.
#pragma once

#include "topology/SelectorEntity.h"
#include "topology/TerminalEntity.h"
#include "topology/UsbAudioUnit.h"

class UsbSelectorEntity : public SelectorEntity {
public:
    UsbSelectorEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : SelectorEntity(pOuterUnknown, ulId) {}

    // Inputs 1 .. count: the device first, then the branches hear of it, then it is kept.
    NTSTATUS SetSelected(ULONG ulInput) override;
    NTSTATUS Restore() override;
    // Takes the device's input; nothing is written and no branch is told.
    NTSTATUS Refresh() override;

    friend NTSTATUS SetupSelectorEntity(UsbSelectorEntity* pEntity, UsbAudioUnit* pUnit, PDEVICE_OBJECT pDevice);

protected:
    PDEVICE_OBJECT m_pDevice = nullptr;
    UsbAudioUnit* m_pUnit = nullptr;
};

class UsbMixerEntity : public MixerEntity {
public:
    UsbMixerEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : MixerEntity(pOuterUnknown, ulId) {}

    friend NTSTATUS SetupMixerEntity(UsbMixerEntity* pEntity, UsbAudioUnit* pUnit);

protected:
    UsbAudioUnit* m_pUnit = nullptr;
};

// One input per unit input; the kept input (under "Unit%02d_") replaces the device's and is
// brought into 1 .. count.
NTSTATUS SetupSelectorEntity(UsbSelectorEntity* pEntity, UsbAudioUnit* pUnit, PDEVICE_OBJECT pDevice);
// One zero source per unit input: the unit gives the real ids later.
NTSTATUS SetupMixerEntity(UsbMixerEntity* pEntity, UsbAudioUnit* pUnit);
