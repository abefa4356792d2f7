// The UAC2 descriptor parsers of the function: the AudioControl parser builds the unit objects
// (clock sources among them) and their entities, the AudioStreaming parser the endpoints, each
// tied to the clock entity of its terminal, and their formats at the clock's rates.
#pragma once

#include "platform/usb/Usb.h"

class Uac2Function;

// The AudioControl interface descriptor and the bytes from it to the end of the configuration.
// PASSIVE_LEVEL (the units' Init sends synchronous requests).
NTSTATUS ParseAudioControlUac2(Uac2Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);
// The configuration, its first AudioStreaming interface descriptor and the bytes from that
// interface to the end of the configuration. PASSIVE_LEVEL.
NTSTATUS ParseAudioStreamingUac2(Uac2Function* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                 PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);
