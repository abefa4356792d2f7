// Terminal entities bound to their terminal unit: input and output terminals refresh their kinds
// and jacks from the unit; the multi-output terminal switches the device's output and keeps the
// active output kind under "Settings".
#pragma once

#include "topology/MultiOutputTerminalEntity.h"
#include "topology/TerminalEntity.h"
#include "topology/UsbAudioUnit.h"
#include "adapter/UsbDevice.h"

// The leading operations of the USB audio function's interface, in its vtable order: what the
// multi-output terminal needs after it switched the device's output.
class IUsbAudioFunctionOutputs : public IUnknown {
public:
    // Re-registers the wave subdevices of the endpoints whose output kind changed.
    virtual NTSTATUS ReRegisterEndpoints(ULONG ulUnitId) = 0;
    // The function's callback object, without a reference.
    virtual NTSTATUS GetCallbackObject(PVOID* ppCallbackObject) = 0;

protected:
    ~IUsbAudioFunctionOutputs() = default;
};

class UsbInputTerminalEntity : public InputTerminalEntity {
public:
    UsbInputTerminalEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : InputTerminalEntity(pOuterUnknown, ulId) {}

    // The active kind and the jacks, as the unit reports them now.
    NTSTATUS Refresh() override;

    friend NTSTATUS SetupInputTerminalEntity(UsbInputTerminalEntity* pEntity, UsbAudioUnit* pUnit,
                                             const AudioCapabilities* pCapabilities);

protected:
    UsbAudioUnit* m_pUnit = nullptr;
};

class UsbOutputTerminalEntity : public OutputTerminalEntity {
public:
    UsbOutputTerminalEntity(PUNKNOWN pOuterUnknown, ULONG ulId, ULONG ulOutputIndex)
        : OutputTerminalEntity(pOuterUnknown, ulId), m_ulOutputIndex(ulOutputIndex)
    {
    }

    // The jacks of the entity's output, as the unit reports them now.
    NTSTATUS Refresh() override;

    friend NTSTATUS SetupOutputTerminalEntity(UsbOutputTerminalEntity* pEntity, UsbAudioUnit* pUnit,
                                              const AudioCapabilities* pCapabilities);

protected:
    UsbAudioUnit* m_pUnit = nullptr;
    ULONG m_ulOutputIndex;
};

class UsbMultiOutputTerminalEntity : public MultiOutputTerminalEntity {
public:
    UsbMultiOutputTerminalEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : MultiOutputTerminalEntity(pOuterUnknown, ulId) {}

    // Asks the unit; the answer becomes the active kind.
    NTSTATUS GetKind(PULONG pKind) override;
    // Switches the device, re-registers the function's endpoints, moves every linked entity to the
    // new output and keeps the kind; any failure puts the old kind back on the device.
    NTSTATUS SelectKind(ULONG ulKind) override;
    NTSTATUS Restore() override;
    NTSTATUS Refresh() override;

    friend NTSTATUS SetupMultiOutputTerminalEntity(UsbMultiOutputTerminalEntity* pEntity, UsbAudioUnit* pUnit,
                                                   PDEVICE_OBJECT pDevice, IAudioHal* pFunction);

protected:
    PDEVICE_OBJECT m_pDevice = nullptr;
    IAudioHal* m_pFunction = nullptr;
    UsbAudioUnit* m_pUnit = nullptr;
};

// Set-up right after construction; `pCapabilities` is the terminal's 32-byte capability block.
NTSTATUS SetupInputTerminalEntity(UsbInputTerminalEntity* pEntity, UsbAudioUnit* pUnit,
                                  const AudioCapabilities* pCapabilities);
NTSTATUS SetupOutputTerminalEntity(UsbOutputTerminalEntity* pEntity, UsbAudioUnit* pUnit,
                                   const AudioCapabilities* pCapabilities);
// The kept active kind (under "Unit%02d_") replaces the unit's.
NTSTATUS SetupMultiOutputTerminalEntity(UsbMultiOutputTerminalEntity* pEntity, UsbAudioUnit* pUnit,
                                        PDEVICE_OBJECT pDevice, IAudioHal* pFunction);
