// The streaming endpoints of a UAC2 function, as its AudioStreaming parser creates them: a render
// endpoint for an interface linked to an input terminal, a capture endpoint for one linked to an
// output terminal, each clocked by the clock entity of its terminal.
#pragma once

#include "platform/nt/NtTypes.h"

class UsbStreamEndpoint;

// Constructs the endpoint (no reference taken); STATUS_INSUFFICIENT_RESOURCES. Built with the
// endpoint classes (stream/). PASSIVE_LEVEL (the parser).
NTSTATUS NewUac2Endpoint(BOOLEAN bCapture, ULONG ulInterfaceNumber, ULONG ulTerminalEntityId, ULONG ulClockEntityId,
                         UsbStreamEndpoint** ppEndpoint);
