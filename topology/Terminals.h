// UAC1 input and output terminals. Besides their entities they speak the vendor protocol for
// jacks (number, channels, colour, connector, location, presence detection, connected channels)
// and for selectable outputs (speaker, headphones, line ...), one of which is active at a time.
#pragma once

#include "adapter/EntityInterfaces.h"
#include "adapter/UacDescriptorRules.h"
#include "topology/FeatureUnit.h"
#include "topology/UsbAudioUnit.h"

constexpr ULONG UAC1_INPUT_TERMINAL_MIN_LENGTH =
    UacMinimumLength(UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL);
constexpr ULONG UAC1_OUTPUT_TERMINAL_MIN_LENGTH =
    UacMinimumLength(UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_OUTPUT_TERMINAL);

class InputTerminal : public UsbAudioUnit, public ITerminalControl {
public:
    DECLARE_UNKNOWN_BASE()

    InputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
    ~InputTerminal() override;

    // Keeps the descriptor (at least 12 bytes), reads the jacks and creates the terminal entity.
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    // The chip variants' terminals replace it.
    virtual NTSTATUS Init(IAudioHal* hal);

    // ITerminalControl
    NTSTATUS GetKind(PULONG pKind) override;
    NTSTATUS GetKindCount(PULONG pCount) override;
    NTSTATUS GetKinds(PULONG pKinds) override;
    NTSTATUS SelectKind(ULONG ulKind) override;
    NTSTATUS GetJackCount(PULONG pCount, ULONG ulOutput) override;
    // Copies the jacks with IsConnected freshly read from the device.
    NTSTATUS GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG ulOutput) override;
    NTSTATUS GetTerminalInfo(UCHAR*) override { return STATUS_NOT_IMPLEMENTED; }

    // Refreshes the terminal entity and answers its id.
    NTSTATUS HandleStatusChange(ULONG, ULONG, PULONG pulId) override;

protected:
    USHORT TerminalType() const;

    ULONG m_ulJackCount;
    JackRecord* m_pJacks;
};

class OutputTerminal : public UsbAudioUnit, public ITerminalControl {
public:
    DECLARE_UNKNOWN_BASE()

    OutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
    ~OutputTerminal() override;

    // Keeps the descriptor (at least 9 bytes), reads the outputs and their jacks, selects the
    // active output and creates one entity per output (and a multi-output entity for several).
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    // The chip variants' terminals replace it.
    virtual NTSTATUS Init(IAudioHal* hal);

    // ITerminalControl: the kinds are the outputs' kinds; the active one is GetKind's.
    NTSTATUS GetKind(PULONG pKind) override;
    NTSTATUS GetKindCount(PULONG pCount) override;
    NTSTATUS GetKinds(PULONG pKinds) override;
    // Switches the device to the first output of that kind and keeps it under "UACUnit".
    NTSTATUS SelectKind(ULONG ulKind) override;
    NTSTATUS GetJackCount(PULONG pCount, ULONG ulOutput) override;
    NTSTATUS GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG ulOutput) override;
    NTSTATUS GetTerminalInfo(UCHAR*) override { return STATUS_NOT_IMPLEMENTED; }

    // Follows an output the device switched by itself, then refreshes the entities.
    NTSTATUS HandleStatusChange(ULONG, ULONG, PULONG pulId) override;

    ULONG GetOutputCount() const { return m_ulOutputCount; }

protected:
    USHORT TerminalType() const;
    NTSTATUS AllocateOutputArrays(ULONG ulCount);
    void FreeOutputs();
    NTSTATUS ReadOutputList();
    NTSTATUS ReadJacks(ULONG ulOutput);
    // Writes the output's terminal type as the device's current output; the result is not used.
    void SelectOutputOnDevice(ULONG ulOutput);
    void StoreActiveKind(PDEVICE_OBJECT pDevice);
    void RefreshEntitiesOfType(LONG lType, bool firstOnly, bool* pAnyRefreshed);

    ULONG m_ulActiveKind;
    ULONG m_ulOutputCount;
    PULONG m_pKinds;
    PUSHORT m_pTypes;
    PULONG m_pJackCounts;
    JackRecord** m_ppJacks;
};

// Reads a terminal's jacks with the jack-information request: none when the request fails or
// reports none; otherwise the whole entries the device delivered (non-paged records, tag "UA10").
NTSTATUS ReadTerminalJacks(UsbAudioUnit* pUnit, JackRecord** ppJacks, PULONG pulCount);
// Sets IsConnected of the terminal's records and of the caller's copy from the connected-channel mask.
NTSTATUS RefreshJackConnections(UsbAudioUnit* pUnit, JackRecord* pJacks, ULONG ulCount, JackRecord* pCopy);
