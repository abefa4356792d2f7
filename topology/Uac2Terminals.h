// UAC2 terminals. Besides their entities they report the jacks behind them (the device's vendor
// jack list, read through the Connectors control), each jack's connection state, and the clock
// source that drives them.
#pragma once

#include "adapter/EntityInterfaces.h"
#include "adapter/UacDescriptorRules.h"
#include "topology/UsbAudioUnit.h"

KVX_DEFINE_GUID(IID_IClockSourceLink, "{E2FABFB5-CA88-4F28-AFF8-48505FDC234B}");

// The clock source of a terminal: the AudioStreaming parser gives the terminal's endpoint the
// entity of that clock source.
class IClockSourceLink : public IUnknown {
public:
    // bCSourceID of the terminal's descriptor.
    virtual NTSTATUS GetClockSourceId(PULONG id) = 0;

protected:
    ~IClockSourceLink() = default;
};

// Through bmControls (input: bytes 14-15, output: bytes 9-10).
constexpr ULONG UAC2_INPUT_TERMINAL_MIN_LENGTH =
    UacMinimumLength(UAC2_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL);
constexpr ULONG UAC2_OUTPUT_TERMINAL_MIN_LENGTH =
    UacMinimumLength(UAC2_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_OUTPUT_TERMINAL);

// The jacks of the device's current jack list (CUR of control 0x02, channel 0xFF): none for n = 0;
// a reply shorter than its count promises fails. Records come from non-paged pool, tag "UA20".
NTSTATUS Uac2ReadJackList(UsbAudioUnit* pUnit, JackRecord** ppJacks, PULONG pulCount);
// IsConnected of the records and of the caller's copy from the Connectors control's channel mask;
// a failed read counts every jack disconnected and is the status.
NTSTATUS Uac2RefreshJackConnections(UsbAudioUnit* pUnit, JackRecord* pJacks, ULONG ulCount, JackRecord* pCopy);

class Uac2InputTerminal : public ITerminalControl, public IClockSourceLink, public UsbAudioUnit {
public:
    DECLARE_UNKNOWN_BASE()

    Uac2InputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
    ~Uac2InputTerminal() override;

    // Keeps the descriptor (at least 16 bytes), reads the jacks and creates the terminal entity.
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    NTSTATUS Init(IAudioHal* hal);

    // ITerminalControl
    NTSTATUS GetKind(PULONG pKind) override;
    NTSTATUS GetKindCount(PULONG pCount) override;
    NTSTATUS GetKinds(PULONG pKinds) override;
    NTSTATUS SelectKind(ULONG ulKind) override;
    NTSTATUS GetJackCount(PULONG pCount, ULONG ulOutput) override;
    // Copies the jacks with IsConnected freshly read from the Connectors control.
    NTSTATUS GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG ulOutput) override;
    NTSTATUS GetTerminalInfo(UCHAR*) override { return STATUS_NOT_IMPLEMENTED; }

    // IClockSourceLink
    NTSTATUS GetClockSourceId(PULONG pId) override;

    // Connectors (0x02, channel 0) only: refreshes the terminal entity and answers its id.
    NTSTATUS HandleStatusChange(ULONG ulSelector, ULONG ulChannel, PULONG pulId) override;

private:
    bool IsInputDescriptor() const;
    USHORT TerminalType() const;
    bool ConnectorReadable() const;

    ULONG m_ulJackCount;
    JackRecord* m_pJacks;
};

// An output terminal with the device's selectable outputs (the output-type control 0x08), each
// with its own jacks; one output is active at a time and kept under "UACUnit%02d".
class Uac2OutputTerminal : public ITerminalControl, public IClockSourceLink, public UsbAudioUnit {
public:
    DECLARE_UNKNOWN_BASE()

    Uac2OutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
    ~Uac2OutputTerminal() override;

    // Keeps the descriptor (at least 11 bytes), reads the outputs and their jacks, selects the
    // active output and creates one entity per output (and a multi-output entity for several).
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    NTSTATUS Init(IAudioHal* hal);

    // ITerminalControl: the kinds are the outputs' kinds; the active one is GetKind's.
    NTSTATUS GetKind(PULONG pKind) override;
    NTSTATUS GetKindCount(PULONG pCount) override;
    NTSTATUS GetKinds(PULONG pKinds) override;
    // Switches the device to the first output of that kind and keeps it under "UACUnit".
    NTSTATUS SelectKind(ULONG ulKind) override;
    NTSTATUS GetJackCount(PULONG pCount, ULONG ulOutput) override;
    // The active output's jacks as the Connectors control reports them; another output's as
    // "SetJackConnect" says.
    NTSTATUS GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG ulOutput) override;
    NTSTATUS GetTerminalInfo(UCHAR*) override { return STATUS_NOT_IMPLEMENTED; }

    // IClockSourceLink
    NTSTATUS GetClockSourceId(PULONG pId) override;

    // Connectors (0x02) or output type (0x08, follows the device's output): refreshes the
    // multi-output and output entities.
    NTSTATUS HandleStatusChange(ULONG ulSelector, ULONG ulChannel, PULONG pulId) override;

    ULONG GetOutputCount() const { return m_ulOutputCount; }

private:
    bool IsOutputDescriptor() const;
    USHORT TerminalType() const;
    bool ConnectorReadable() const;
    NTSTATUS AllocateOutputs(ULONG ulCount);
    void FreeOutputs();
    NTSTATUS ReadOutputList();
    void SelectOutputOnDevice(ULONG ulOutput);
    void StoreActiveKind();
    void RefreshEntitiesOfType(LONG lType, bool firstOnly);

    ULONG m_ulActiveKind;
    ULONG m_ulOutputCount;
    PULONG m_pKinds;
    PUSHORT m_pTypes;
    PULONG m_pJackCounts;
    JackRecord** m_ppJacks;
};
