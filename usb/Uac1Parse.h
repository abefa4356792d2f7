// The UAC1 descriptor parsers of the function: the AudioControl parser builds the unit objects
// and their entities, the AudioStreaming parser the endpoints and their formats.
#pragma once

#include "platform/usb/Usb.h"

class Uac1Function;
class UsbAudioFunction;

// The AudioControl interface descriptor and the bytes from it to the end of the configuration.
NTSTATUS ParseAudioControlUac1(Uac1Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);
// The configuration, its first AudioStreaming interface descriptor and the bytes from that
// interface to the end of the configuration.
NTSTATUS ParseAudioStreamingUac1(Uac1Function* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                 PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);

// The source-resolution pass both classes' AudioControl parsers end with: each unit's source unit
// ids become the ids of those units' first entities (a source unit without entities keeps its
// unit id); a source naming no unit is STATUS_UNSUCCESSFUL.
NTSTATUS ResolveUnitSources(UsbAudioFunction* pFunction);
