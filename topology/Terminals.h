// UAC1 input and output terminals. Besides their entities they speak the vendor protocol for
// jacks (number, channels, colour, connector, location, presence detection, connected channels)
// and for selectable outputs (speaker, headphones, line ...), one of which is active at a time.
#pragma once

#include "adapter/EntityInterfaces.h"
#include "adapter/UacDescriptorRules.h"
#include "topology/FeatureUnit.h"
#include "topology/TerminalBase.h"
#include "topology/UsbAudioUnit.h"

constexpr ULONG UAC1_INPUT_TERMINAL_MIN_LENGTH =
    UacMinimumLength(UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL);
constexpr ULONG UAC1_OUTPUT_TERMINAL_MIN_LENGTH =
    UacMinimumLength(UAC1_SET_AUDIO_CONTROL, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_OUTPUT_TERMINAL);

// Reads a terminal's jacks with the jack-information request: none when the request fails or
// reports none; otherwise the whole entries the device delivered (non-paged records, tag "UA10").
NTSTATUS ReadTerminalJacks(UsbAudioUnit* pUnit, JackRecord** ppJacks, PULONG pulCount);
// Sets IsConnected of the terminal's records and of the caller's copy from the connected-channel mask.
NTSTATUS RefreshJackConnections(UsbAudioUnit* pUnit, JackRecord* pJacks, ULONG ulCount, JackRecord* pCopy);

// The UAC1 terminals' version points: vendor requests, tag "UA10", a jack without presence
// detection always connected, and the owner asked for its USB device before each request.
struct Uac1TerminalTraits {
    static constexpr ULONG TAG = UAC1_UNIT_TAG;
    static constexpr ULONG INPUT_MIN_LENGTH = UAC1_INPUT_TERMINAL_MIN_LENGTH;
    static constexpr ULONG OUTPUT_MIN_LENGTH = UAC1_OUTPUT_TERMINAL_MIN_LENGTH;
    static bool Describes(const UCHAR* pDescriptor, UCHAR subtype);
    static bool JacksReadable(const UCHAR*) { return true; }
    static ULONG InputKind(USHORT terminalType);
    static NTSTATUS ReachDevice(IAudioHal* pOwner);
    static NTSTATUS ReadJacks(UsbAudioUnit* pUnit, JackRecord** ppJacks, PULONG pulCount)
    {
        return ReadTerminalJacks(pUnit, ppJacks, pulCount);
    }
    static NTSTATUS RefreshJacks(UsbAudioUnit* pUnit, JackRecord* pJacks, ULONG ulCount, JackRecord* pCopy)
    {
        return RefreshJackConnections(pUnit, pJacks, ulCount, pCopy);
    }
    static NTSTATUS ReadCurrentOutput(UsbAudioUnit* pUnit, PUSHORT pType);
    static void SelectOutput(UsbAudioUnit* pUnit, USHORT terminalType);
    static bool IsJackChange(ULONG, ULONG) { return true; }
};

class InputTerminal : public InputTerminalBase<Uac1TerminalTraits> {
public:
    DECLARE_UNKNOWN_BASE()

    InputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
        : InputTerminalBase<Uac1TerminalTraits>(pOuterUnknown, ulProvisionalId)
    {
    }

    // Keeps the descriptor (at least 12 bytes), reads the jacks and creates the terminal entity.
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    // The chip variants' terminals replace it.
    virtual NTSTATUS Init(IAudioHal* hal);
};

class OutputTerminal : public OutputTerminalBase<Uac1TerminalTraits> {
public:
    DECLARE_UNKNOWN_BASE()

    OutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
        : OutputTerminalBase<Uac1TerminalTraits>(pOuterUnknown, ulProvisionalId)
    {
    }

    // Keeps the descriptor (at least 9 bytes), reads the outputs and their jacks, selects the
    // active output and creates one entity per output (and a multi-output entity for several).
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    // The chip variants' terminals replace it.
    virtual NTSTATUS Init(IAudioHal* hal);

    // Switches the device to the first output of that kind and keeps it under "UACUnit"; the
    // active kind sends nothing.
    NTSTATUS SelectKind(ULONG ulKind) override;

    // Follows an output the device switched by itself, then refreshes the entities.
    NTSTATUS HandleStatusChange(ULONG, ULONG, PULONG pulId) override;

protected:
    // The device's output list (at least two outputs, else the terminal's own), each output's jacks.
    NTSTATUS ReadOutputList();
};
