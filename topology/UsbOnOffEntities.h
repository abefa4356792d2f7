// On/off entities bound to the unit that created them: every change goes to the device through the
// unit's IOnOffControl and is kept under "Settings", one byte per channel and output kind.
#pragma once

#include "topology/OnOffEntity.h"
#include "topology/UsbAudioUnit.h"

// The two fields of an entity that lies on one input branch of a selector.
class UsbBranchControl : public ISelectorBranchControl {
public:
    NTSTATUS OnSelectionChanging(ULONG, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS SetSelectedInput(ULONG ulInput) override;
    NTSTATUS SetBranchIndex(ULONG ulInput) override;

    ULONG BranchIndex() const { return __atomic_load_n(&m_ulBranchIndex, __ATOMIC_RELAXED); }
    ULONG SelectedInput() const { return __atomic_load_n(&m_ulSelectedInput, __ATOMIC_RELAXED); }

protected:
    ~UsbBranchControl() = default;

    ULONG m_ulBranchIndex = 0;    // 1-based selector input of the branch, 0 on none
    ULONG m_ulSelectedInput = 0;  // the selector's input as last told
};

// Mute, AGC or loudness (the type given), and the base of the other on/off classes.
class UsbOnOffEntity : public OnOffEntity {
public:
    UsbOnOffEntity(PUNKNOWN pOuterUnknown, ULONG ulId, LONG lType = ENTITY_MUTE)
        : OnOffEntity(pOuterUnknown, ulId, lType)
    {
    }

    // Sends, then stores and keeps the value only when the device took it; 0 either way.
    NTSTATUS SetValue(ULONG ulChannel, UCHAR value) override;
    // Reloads the values kept for the new output (the channel-count rule applies), sends them and
    // notifies the callback object when one is given.
    NTSTATUS SetOutputKind(ULONG ulKind, PVOID pCallbackObject) override;
    NTSTATUS Restore() override;
    NTSTATUS Refresh() override;

    friend NTSTATUS SetupOnOffEntity(UsbOnOffEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector,
                                     PDEVICE_OBJECT pDevice);
    friend NTSTATUS SetupSingleOnOffEntity(UsbOnOffEntity* pEntity, UsbAudioUnit* pUnit, PDEVICE_OBJECT pDevice);

protected:
    void StoreAndKeep(ULONG ulChannel, UCHAR value);

    PDEVICE_OBJECT m_pDevice = nullptr;
    UsbAudioUnit* m_pUnit = nullptr;
    ULONG m_ulSelector = 0;
};

class UsbBranchMuteEntity : public UsbOnOffEntity, public UsbBranchControl {
public:
    DECLARE_UNKNOWN_BASE()

    UsbBranchMuteEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : UsbOnOffEntity(pOuterUnknown, ulId, ENTITY_MUTE) {}
};

class UsbVendorSwitchEntity : public UsbOnOffEntity {
public:
    UsbVendorSwitchEntity(PUNKNOWN pOuterUnknown, ULONG ulId)
        : UsbOnOffEntity(pOuterUnknown, ulId, ENTITY_VENDOR_SWITCH)
    {
    }
};

// A switch kept only in the registry: nothing of it reaches the device here.
class UsbLedSwitchEntity : public UsbOnOffEntity {
public:
    UsbLedSwitchEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : UsbOnOffEntity(pOuterUnknown, ulId, ENTITY_LED_SWITCH) {}

    NTSTATUS SetValue(ULONG ulChannel, UCHAR value) override;
    NTSTATUS Refresh() override { return STATUS_SUCCESS; }
};

// Set-up right after construction. Reads the device's values and the kept ones (which win);
// sends nothing: Restore does.
NTSTATUS SetupOnOffEntity(UsbOnOffEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector, PDEVICE_OBJECT pDevice);
// One channel, its value only from the registry.
NTSTATUS SetupSingleOnOffEntity(UsbOnOffEntity* pEntity, UsbAudioUnit* pUnit, PDEVICE_OBJECT pDevice);
