// UAC2 terminals. Besides their entities they report the jacks behind them (the device's vendor
// jack list, read through the Connectors control), each jack's connection state, and the clock
// source that drives them.
#pragma once

#include "adapter/EntityInterfaces.h"
#include "adapter/UacDescriptorRules.h"
#include "topology/TerminalBase.h"
#include "topology/Uac2UnitRequest.h"
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

// The UAC2 terminals' version points: class requests (CUR of the Connectors and output-type
// controls), tag "UA20", jacks only behind a readable Connectors control, and only a Connectors
// change on channel 0 concerns an input terminal.
struct Uac2TerminalTraits {
    static constexpr ULONG TAG = UAC2_UNIT_TAG;
    static constexpr ULONG INPUT_MIN_LENGTH = UAC2_INPUT_TERMINAL_MIN_LENGTH;
    static constexpr ULONG OUTPUT_MIN_LENGTH = UAC2_OUTPUT_TERMINAL_MIN_LENGTH;
    static bool Describes(const UCHAR* pDescriptor, UCHAR subtype);
    static bool JacksReadable(const UCHAR* pDescriptor);
    static ULONG InputKind(USHORT terminalType);
    static NTSTATUS ReachDevice(IAudioHal*) { return STATUS_SUCCESS; }
    static NTSTATUS ReadJacks(UsbAudioUnit* pUnit, JackRecord** ppJacks, PULONG pulCount)
    {
        return Uac2ReadJackList(pUnit, ppJacks, pulCount);
    }
    static NTSTATUS RefreshJacks(UsbAudioUnit* pUnit, JackRecord* pJacks, ULONG ulCount, JackRecord* pCopy)
    {
        return Uac2RefreshJackConnections(pUnit, pJacks, ulCount, pCopy);
    }
    static NTSTATUS ReadCurrentOutput(UsbAudioUnit* pUnit, PUSHORT pType);
    static void SelectOutput(UsbAudioUnit* pUnit, USHORT terminalType);
    static bool IsJackChange(ULONG ulSelector, ULONG ulChannel) { return ulSelector == 0x02 && ulChannel == 0; }
};

class Uac2InputTerminal : public InputTerminalBase<Uac2TerminalTraits>, public IClockSourceLink {
public:
    DECLARE_UNKNOWN_BASE()

    Uac2InputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
        : InputTerminalBase<Uac2TerminalTraits>(pOuterUnknown, ulProvisionalId)
    {
    }

    // Keeps the descriptor (at least 16 bytes), reads the jacks and creates the terminal entity.
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    NTSTATUS Init(IAudioHal* hal);

    // IClockSourceLink
    NTSTATUS GetClockSourceId(PULONG pId) override;
};

// An output terminal with the device's selectable outputs (the output-type control 0x08), each
// with its own jacks; one output is active at a time and kept under "UACUnit%02d".
class Uac2OutputTerminal : public OutputTerminalBase<Uac2TerminalTraits>, public IClockSourceLink {
public:
    DECLARE_UNKNOWN_BASE()

    Uac2OutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
        : OutputTerminalBase<Uac2TerminalTraits>(pOuterUnknown, ulProvisionalId)
    {
    }

    // Keeps the descriptor (at least 11 bytes), reads the outputs and their jacks, selects the
    // active output and creates one entity per output (and a multi-output entity for several).
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    NTSTATUS Init(IAudioHal* hal);

    // Switches the device to the first output of that kind and keeps it under "UACUnit".
    NTSTATUS SelectKind(ULONG ulKind) override;

    // IClockSourceLink
    NTSTATUS GetClockSourceId(PULONG pId) override;

    // Connectors (0x02) or output type (0x08, follows the device's output): refreshes the
    // multi-output and output entities.
    NTSTATUS HandleStatusChange(ULONG ulSelector, ULONG ulChannel, PULONG pulId) override;

private:
    // The outputs the RANGE of the output-type control lists (one, the terminal's own, when it
    // lists fewer than two or fails), each output's jacks; then the remembered kind selected.
    NTSTATUS ReadOutputList();
};
