// The UAC1 descriptor parsers of the function: the AudioControl parser builds the unit objects
// and their entities, the AudioStreaming parser the endpoints and their formats.
#pragma once

#include "platform/usb/Usb.h"

class Uac1Function;
class UsbAudioFunction;

// The AudioControl interface descriptor and the bytes from it to the end of the configuration.
NTSTATUS ParseAudioControlUac1(Uac1Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);
// The AudioControl walk of the UAC1 functions with the unit builder of a variant: `build` makes one
// unit object of a terminal, mixer, selector or feature unit descriptor (and may rewrite it first);
// `bDeviceCheck` adds the check of the class function's two-output device after the resolution.
using Uac1UnitBuilder = NTSTATUS (*)(Uac1Function* pFunction, PUCHAR pDescriptor);
NTSTATUS ParseAudioControlWalk(Uac1Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes,
                               Uac1UnitBuilder build, bool bDeviceCheck);
// The configuration, its first AudioStreaming interface descriptor and the bytes from that
// interface to the end of the configuration.
NTSTATUS ParseAudioStreamingUac1(Uac1Function* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                 PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);

// The source-resolution pass both classes' AudioControl parsers end with: each unit's source unit
// ids become the ids of those units' first entities (a source unit without entities keeps its
// unit id); a source naming no unit is STATUS_UNSUCCESSFUL.
NTSTATUS ResolveUnitSources(UsbAudioFunction* pFunction);
