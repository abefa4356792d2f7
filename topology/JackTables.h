// Jacks and terminal kinds of the USB audio terminals: the colour table of a jack's configuration
// word, the records built from the jack-information reply, and the terminal-type tables that turn
// a wTerminalType into an endpoint kind.
#pragma once

#include "adapter/AudioTypes.h"
#include "platform/usb/Usb.h"

// 0x00RRGGBB, indexed by bits 12 to 15 of a jack's configuration word.
extern const ULONG JackColorTable[16];

// Bytes of one jack entry of the jack-information reply: channel mask, configuration word.
constexpr ULONG JACK_ENTRY_BYTES = 8;

// One record from an entry (8 bytes, little-endian); word 6 stays 0.
void FillJackRecord(const UCHAR* pEntry, JackRecord* pRecord);

// Whether an input terminal of the type reports its jacks: microphones, the telephony types and
// the analogue, line and S/PDIF connectors.
bool TerminalTypeHasJacks(USHORT terminalType);

// The kind an input terminal reports, and the kind whose capabilities it uses.
ULONG InputTerminalKindTable(USHORT terminalType);
// The kind a UAC2 input terminal reports: both telephony headset types are a handset there, and
// an analogue connector is Aux.
ULONG Uac2InputTerminalKindTable(USHORT terminalType);
ULONG CaptureKindTable(USHORT terminalType);
// The kind of an output. USB streaming is Stream (0) where the output terminal builds its outputs,
// and SPK (1) where it reads the device's current output and for the chip-variant terminals.
ULONG RenderKindTable(USHORT terminalType, bool streamingAsSpeaker);
